// The readings log: one comma-separated row of the grid's texts with an overall verdict per tick
// of timer 2, kept in the application's Logger, and Save Log, which writes all rows behind their
// time stamps under a short heading. Files are single-byte text with CR LF line ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "measurement/readings_table.h"
#include "records/readings_log_format.h"
#include "records/logger.h"
#include "records/save_files.h"

using CellTextArray = wchar_t[kCellCount][kCellTextSize];
using CellStateArray = CellState[kCellCount];

// Fields 1 to 32 of a row: cell indices in column order.
constexpr int kReadingsLogFieldCount = 32;
extern const int kReadingsLogCells[kReadingsLogFieldCount];
// The Volt. cells of 12V1, 5V, 3.3V, 12V CPU, -12V, 5VSB and 12V PCIe: the only cells the verdict
// looks at.
constexpr int kReadingsLogVerdictCellCount = 7;
extern const int kReadingsLogVerdictCells[kReadingsLogVerdictCellCount];

// "PASS" unless one of the seven deciding Volt. cells is FAIL.
const wchar_t* GetReadingsLogVerdict(const CellStateArray& states);

// Builds one row (33 fields, 32 commas, no line end) into row, which holds kLogTextUnits units,
// and returns its length. The row always fits the Logger's 299 units whole: should the cell texts
// ever be too long for that, a field that does not fit is left empty rather than cutting the row,
// so every row keeps its columns and its verdict. A comma inside a cell text (a decimal comma)
// becomes a point so that it cannot split a column.
size_t BuildReadingsLogRow(const CellTextArray& texts, const CellStateArray& states, wchar_t* row);

// Timer 2: one row from the readings table's texts and states into the application's Logger.
void AddReadingsLogRow();

// Save Log: prompts for the file, then writes every stored row, oldest first. True only when the
// whole file was written and closed; false on cancel or any failure, which the window does not
// show (the console does). The Logger keeps its rows either way.
bool SaveReadingsLog(WindowHandle owner);

// Writes the whole log file to an open file, flushing after every line. A null logger is an empty
// log. The count on line 3 is the number of rows that follow. False, with the rest not written,
// as soon as a line does not reach the file.
bool WriteReadingsLog(std::FILE* file, const Logger* logger);

void FormatTimeStamp(int64_t time, char (&out)[kTimeStampChars + 1]);
// From a broken-down time; false (placeholder written) when a field is outside its range.
bool FormatTimeStampFields(const std::tm& local, char (&out)[kTimeStampChars + 1]);
