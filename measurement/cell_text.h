// The texts of the readings cells, as the window shows them and the readings log and test report
// print them, and which cells the window writes at all.
#pragma once

#include <cstdint>

#include "measurement/readings_table.h"

// Shown in the cells for which the window never writes a text.
constexpr const wchar_t* kFixedNotAvailableText = L"N/A";

// Formats one value of the given column (ReadingColumn 0 to 15) into a cell buffer; always
// terminated and never longer than kCellTextSize - 1 characters. kNotAvailable gives an empty
// text. The decimal mark is a point whatever the C locale. A number too long for the cell with
// its decimals (in practice only the tester's raw minimum and maximum currents, from a million
// amperes up or minus a hundred thousand down) is shown in whole units, which always fits for
// a scaled value; a ripple or timing beyond nine characters, which no tester field can hold,
// shows "#########".
void FormatCellText(int column, int32_t value, wchar_t out[kCellTextSize]);

// True for the 112 cells that have a control in the readings grids.
bool HasCellControl(int cellIndex);
// True for the twelve cell controls that always show "N/A" and are never written.
bool IsFixedNotAvailableCell(int cellIndex);
// True for the 100 cells whose text the display writes: a control, and not a fixed "N/A" one.
bool IsCellDisplayed(int cellIndex);

// Formats every displayed cell's present value into table.text. UI thread.
void FormatDisplayedCellTexts(ReadingsTable& table);
