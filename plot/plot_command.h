// One chart from one log file: what ombrelo-plot does, and what the console calls after Save Log.
// Result codes are the tool's exit codes.
#pragma once

#include <cstdio>
#include <string>

constexpr int kPlotOk = 0;
constexpr int kPlotNotALog = 1;    // the file is not a readings log, or a row is malformed
constexpr int kPlotUsage = 2;      // wrong command line
constexpr int kPlotCannotRead = 3; // the log cannot be opened or read, or is far too large
constexpr int kPlotCannotWrite = 4;// the chart cannot be written

// A readings log of 100,000 full rows is under 32 MB; a file twice that size is not one.
constexpr long long kMaxLogBytes = 64LL * 1024 * 1024;

// The chart's default path: the log's, with its extension (if any) replaced by ".svg".
std::string GetDefaultChartPath(const std::string& logPath);

// Reads logPath, draws it and writes svgPath. message says what was done or what went wrong,
// naming the file and, for a malformed log, the line.
int PlotReadingsLogFile(const std::string& logPath, const std::string& svgPath, std::string& message);

// Platform: fopen on a UTF-8 path ("rb" or "wb").
std::FILE* OpenPlotFile(const std::string& path, const char* mode);
