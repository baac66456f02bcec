// The console tool's readable picture of the readings: the status line, the rail grid and the
// timing grid with PASS / FAIL / N/A verdicts, built from the readings table's texts and states.
#pragma once

#include <string>

#include "device/device_readings.h"

struct ScreenStyle {
    bool colour;  // ANSI colours for PASS (green), FAIL (red) and N/A (grey) cells
};

// The power status line: power state, total power, the tester's own verdicts and cable flags.
std::string FormatStatusLines(const DeviceReadings& readings);
// Both grids from g_readingsTable's texts and states; the caller has formatted and evaluated it.
std::string FormatReadingsGrids(const ScreenStyle& style);
// The 18 settings bytes, with the four this program edits spelt out.
std::string FormatSettingsLine(const DeviceReadings& readings);
