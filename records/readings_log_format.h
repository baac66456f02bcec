// The fixed lines of a readings log file, shared by the writer (Save Log) and by the tools that
// read the file back, which must not pull in the save machinery to know them; and the test
// report's first line, by which a reader tells a report given in place of a log.
#pragma once

#include <cstddef>

inline constexpr char kReadingsLogTitle[] = "ZENTARIX Ombrelo Log file";
inline constexpr char kTestReportTitle[] = "ZENTARIX Ombrelo Report file";
inline constexpr char kReadingsLogUnderline[] = "============================";
// Line 3, followed by the number of records.
inline constexpr char kReadingsLogCountPrefix[] = "Number of records logged: ";
inline constexpr char kReadingsLogColumnHeader[] =
    "Time,12V Voltage,12V Current,12V Power,12V Ripple,5V Voltage,5V Current,5V Power,5V Ripple,"
    "3.3V Voltage,3.3V Current,3.3V Power,3.3V Ripple,12V CPU Voltage,12V CPU Current,"
    "12V CPU Power,12V CPU Ripple,-12V Voltage,5VSB Voltage,5VSB Current,5VSB Power,"
    "12V PCIe Voltage,12V PCIe Current,12V PCIe Power,12V SATA Voltage,12V SATA Current,"
    "12V SATA Power,5V SATA Voltage,5V SATA Current,5V SATA Power,3.3V SATA Voltage,"
    "3.3V SATA Current,3.3V SATA Power,Status";

// The classic asctime layout, 24 characters and a terminator, English names whatever the locale.
constexpr size_t kTimeStampChars = 24;
// A time the local-time conversion rejects (or -1, an unreadable clock) keeps the width.
inline constexpr char kTimeStampPlaceholder[] = "??? ??? ?? ??:??:?? ????";
