#pragma once

// One line on standard error: "kelmo-map: <text>".
void report(const char* text);
