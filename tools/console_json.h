// The console's JSON lines for test benches: one object per poll cycle with every rail's values
// in volts, amperes and watts, the grid's texts and verdicts, the tester's own verdicts and the
// overall verdict, and the summary object that ends a --test run. Numbers are written with
// std::to_chars, so no locale changes a decimal point; strings are escaped as JSON requires.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "measurement/readings_table.h"
#include "tools/console_test_run.h"

// Appends text as a JSON string literal (quotes, backslash, control characters escaped).
void AppendJsonString(std::string& out, std::string_view text);
// Appends the shortest decimal that reads back as value; null for NaN and infinities.
void AppendJsonNumber(std::string& out, double value);
// A stored milli-unit value (mV, mA, mW, mV/ms) as units: 12060 -> 12.06.
void AppendJsonMilliUnits(std::string& out, int64_t milliUnits);

// "2026-12-06T15:06:27.123Z" from milliseconds since the epoch.
std::string FormatJsonTime(int64_t epochMs);

// The JSON key of a column ("minVolt", "volt", ... "tSeq").
extern const char* const kJsonColumnKeys[kColumnCount];

// The worker's account of the requests behind one cycle (see PollCycleStats).
struct JsonLinkStats {
    uint32_t requests = 0;
    uint32_t failedRequests = 0;
    uint32_t longestReadMs = 0;
    uint32_t longestOtherMs = 0;
    uint64_t steadyMs = 0;  // the monotonic clock when the cycle was counted
};

// Everything one cycle line reports. texts/states are the grid's, as last formatted and
// evaluated; values are the table's stored values.
struct JsonCycleInput {
    uint32_t cycle = 0;
    int64_t timeMs = 0;
    const ReadingsTable* table = nullptr;
    uint8_t powerStatus = 0;
    uint32_t totalPowerMw = 0;
    bool cpu12vConnected = false;
    bool pcie12vConnected = false;
    // Null when the worker's account does not belong to this cycle: the line then has no "link".
    const JsonLinkStats* link = nullptr;
};

// One line (no line end): {"type":"cycle", ...}.
std::string BuildCycleJson(const JsonCycleInput& input);

// The --test run's last line (no line end): {"type":"summary", ...}. error is empty when the run
// reached a verdict; otherwise the verdict is "ERROR" and error says why.
std::string BuildSummaryJson(int64_t timeMs, uint32_t cycles, const TestVerdict& verdict, uint8_t powerStatus,
                             int exitCode, const std::string& error);
