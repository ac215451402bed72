// SPDX-License-Identifier: MIT
#include "report/report.h"

#include <cstdio>

void report(const char* text) { fprintf(stderr, "kelmo-map: %s\n", text); }

void report_after(const char* label, const char* text) { fprintf(stderr, "kelmo-map: %s%s\n", label, text); }
