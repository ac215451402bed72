// SPDX-License-Identifier: MIT
// The one-line reporter, below both the entry point and the device-mapper
// stage, the only two rooms that print.
#pragma once

// One line on standard error: "kelmo-map: <text>".
void report(const char* text);

// The same after `label`, which names the device a later stage makes
// ("kelmo-usb: "): "kelmo-map: <label><text>".
void report_after(const char* label, const char* text);
