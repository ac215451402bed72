// SPDX-License-Identifier: MIT
#include "report/report.h"

#include <cstdio>

void report(const char* text) { fprintf(stderr, "kelmo-map: %s\n", text); }
