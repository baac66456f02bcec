// The test report: a 34-line snapshot of the power state, total power, the tester's two verdicts
// and the voltage, timing and slew tables with a verdict per row, as the window shows them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "records/readings_log.h"
#include "records/save_files.h"

// Width of a padded field of the tables.
constexpr size_t kReportFieldWidth = 15;

// The whole report file as bytes (CR LF line ends), from the cell texts and states and the
// tester's powerStatus and totalPower (mW, unsigned). No locale enters any number.
std::string BuildTestReport(const CellTextArray& texts, const CellStateArray& states,
                            uint8_t powerStatus, uint32_t totalPower);

// "123.5" for 123456 mW: single-precision watts, one decimal, rounded to nearest. out holds at
// least 16 characters; returns the length.
size_t FormatTotalPowerWatts(uint32_t totalPower, char* out);

// Row verdicts. Voltage rows: Min Volt., Volt. and Max Volt. all pass (PASS or N/A). Timing and
// slew rows: "N/A" when a deciding cell is N/A, else "FAIL" when one is FAIL, else "PASS".
const char* GetVoltageRowVerdict(const CellStateArray& states, int rail);
const char* GetDecidingCellsVerdict(const CellStateArray& states, const int* cells, int cellCount);

// Writes report bytes line by line, flushing after each line end. False, with the rest not
// written, as soon as a line does not reach the file.
bool WriteTestReport(std::FILE* file, const std::string& report);

// Save Report: the same prompt as Save Log, then the report of the readings at this moment.
// True only when the whole file was written and closed; false on cancel or any failure, which the
// window does not show (the console does).
bool SaveTestReport(WindowHandle owner);
