// The decisions of the readings display that do not need a window: the colour of a cell and the
// texts and backgrounds of the status panel. The Win32 window applies them.
#pragma once

#include <cstdint>

#include "measurement/readings_table.h"

// Win32 COLORREF values (0x00BBGGRR).
constexpr uint32_t kColourPass = 0x0000FF00;          // green
constexpr uint32_t kColourFail = 0x000000FF;          // red
constexpr uint32_t kColourNotAvailable = 0x00C0C0C0;  // grey

// Control ids of the readings cells: 1100 + CellIndex.
constexpr int kFirstCellControlId = 1100;
constexpr int kLastCellControlId = kFirstCellControlId + kCellCount - 1;

bool IsCellControlId(int controlId);
// The cell behind a cell control id; -1 for any other control.
int CellIndexFromControlId(int controlId);

// The background of a cell from the control's present text (only its first three characters
// count), the cell's value and its state: grey for "N/A" or no value, else green for PASS, red
// for FAIL and grey for anything else.
uint32_t ChooseCellColour(const wchar_t* controlText, int32_t value, CellState state);

// How a status panel text is drawn.
enum class StatusBackground : int {
    Default = 0,      // opaque, the context's default (white)
    Transparent = 1,
    Pass = 2,         // opaque green
    Fail = 3,         // opaque red
};

struct StatusText {
    const wchar_t* text;
    StatusBackground background;
};

// Large enough for "Total Power: " with any 32-bit number of watts.
constexpr int kTotalPowerTextSize = 32;

// "Power: ON", "Power: OFF" or "Power: N/A" on the default background.
StatusText GetPowerStateText(uint8_t powerStatus);
// "Total Power: %.1fW", totalPower taken as unsigned milliwatts; decimal point in every locale.
void FormatTotalPowerText(uint32_t totalPowerMilliwatts, wchar_t out[kTotalPowerTextSize]);
// The tester's voltages verdict: "PASS" on green or "FAIL" on red.
StatusText GetVoltagesVerdict(uint8_t powerStatus);
// The tester's timings verdict: "PASS" on green, " FAIL " on red, or "N/A" without background.
StatusText GetTimingsVerdict(uint8_t powerStatus);

