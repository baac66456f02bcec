// Reads a saved readings log back: the five-line heading, then one row per line with its
// asctime-like time stamp, 32 numeric fields (empty where the cell had no value) and the verdict.
// Only what Save Log writes is accepted, so a chart can never be drawn from a file that merely
// looks like numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Fields 1 to 32 of a row, as the column header names them.
constexpr int kLogValueFieldCount = 32;

enum class LogField : int {
    Voltage12V = 0,
    Current12V = 1,
    Power12V = 2,
    Ripple12V = 3,
    Voltage5V = 4,
    Current5V = 5,
    Power5V = 6,
    Ripple5V = 7,
    Voltage3V3 = 8,
    Current3V3 = 9,
    Power3V3 = 10,
    Ripple3V3 = 11,
    Voltage12VCpu = 12,
    Current12VCpu = 13,
    Power12VCpu = 14,
    Ripple12VCpu = 15,
    VoltageMinus12V = 16,
    Voltage5VSB = 17,
    Current5VSB = 18,
    Power5VSB = 19,
    Voltage12VPcie = 20,
    Current12VPcie = 21,
    Power12VPcie = 22,
    Voltage12VSata = 23,
    Current12VSata = 24,
    Power12VSata = 25,
    Voltage5VSata = 26,
    Current5VSata = 27,
    Power5VSata = 28,
    Voltage3V3Sata = 29,
    Current3V3Sata = 30,
    Power3V3Sata = 31,
};

struct LogRow {
    // Seconds of the local clock counted from 1 January 1970 (no time zone is known, and none is
    // needed to place rows on an axis). A row whose clock was unreadable when it was logged takes
    // the time of the row before it; timeKnown tells them apart.
    int64_t time;
    bool timeKnown;
    bool fail;
    // Volts, amperes or watts; NaN where the field is empty.
    float value[kLogValueFieldCount];
};

struct ReadingsLogData {
    std::vector<LogRow> rows;
    // The count on line 3; a log cut short holds fewer rows than it announces.
    int64_t declaredCount = 0;
    int64_t failCount = 0;
    int64_t untimedCount = 0;
};

enum class LogReadResult : int {
    Ok = 0,
    NotALog = 1,  // the heading is not that of a readings log
    BadRow = 2,   // a data line that Save Log cannot have written
};

// Parses a whole file's bytes. Lines may end in CR LF (as written) or LF alone (a copy that went
// through a tool that converts line ends). On failure, message says which line and why.
LogReadResult ParseReadingsLog(std::string_view text, ReadingsLogData& log, std::string& message);

// The 24-character stamp, e.g. "Sat Dec  5 01:06:16 2026"; false unless every field is in range
// and the day name matches the date.
bool ParseTimeStamp(std::string_view text, int64_t& seconds);

// A field as the grid formats it ("-11.98", "3.41", "") into value; empty gives NaN. False for
// anything else.
bool ParseLogNumber(std::string_view text, float& value);

// Calendar helpers on the proleptic Gregorian calendar, shared with the time axis.
int64_t CountDaysFromCivil(int year, int month, int day);
void ConvertDaysToCivil(int64_t days, int& year, int& month, int& day);
extern const char kMonthNames[12][4];
