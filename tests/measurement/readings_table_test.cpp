// The copy of the tester's measurements into the display cells, the power per rail, the limit
// tables and the PASS/N/A/FAIL judgement.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>

#include "measurement/readings_table.h"

namespace {

using enum RailId;
using enum ReadingColumn;
constexpr uint8_t kOn = kPowerStatusOn;
constexpr uint8_t kOff = kPowerStatusOff;
constexpr int32_t N = kNotAvailable;
constexpr int32_t X = -7;  // stood in the cell before the copy and was not written

// Every field carries its origin: thousands give the field, units the channel, tens the timing.
// Each row of kCopied is a display rail; the SATA rows show the main rails' voltages with their
// own currents, -12V has no power, 5VSB and -12V ripple are cleared, and 3.3V has no sequencing.
// A table starts with nothing available and clears back to that.
TEST(ReadingsTable, CopyPutsEveryFieldInItsCellAndLeavesTheOthersThenClears)
{
    auto r = std::make_unique<DeviceReadings>();
    for (int c = 0; c < kChannelCount; ++c) {
        if (c < kVoltageMinMaxChannels) {
            StoreWord(r->voltageMin[c], 1000 + c);
            StoreWord(r->voltageMax[c], 3000 + c);
        }
        StoreWord(r->voltage[c], 2000 + c);
        StoreWord(r->currentMin[c], 4000 + c);
        StoreWord(r->current[c], 5000 + c);
        StoreWord(r->currentMax[c], 6000 + c);
        if (c < kRippleChannels)
            StoreWord(r->ripple[c], 7000 + c);
        if (c < kTimedChannels) {
            for (int k = 0; k < kTimingsPerChannel; ++k)
                StoreWord(r->timing[c][k], 8000 + 10 * k + c);
            StoreWord(r->slewRate[c], 9000 + c);
            StoreWord(r->turnOnSlope[c], 9100 + c);
            StoreWord(r->voltageSequence[c], 9200 + c);
            StoreWord(r->timeSequence[c], 9300 + c);
        }
    }
    StoreWord(r->voltageMin[0], N);  // sentinels pass through unchanged
    StoreWord(r->timing[1][2], kTimedOut);
    const int32_t kCopied[kRailCount][kColumnCount] = {
        {N, 2000, 3000, 4000, 5000, 6000, 10000, 7000, 8000, 8010, 8020, 8030, 9000, 9100, 9200, 9300},
        {1001, 2001, 3001, 4001, 5001, 6001, 10007, 7001, 8001, 8011, kTimedOut, 8031, 9001, 9101, 9201, 9301},
        {1002, 2002, 3002, 4002, 5002, 6002, 10014, 7002, 8002, 8012, 8022, 8032, 9002, 9102, X, X},
        {1003, 2003, 3003, 4003, 5003, 6003, 10021, 7003, 8003, 8013, 8023, 8033, 9003, 9103, 9203, 9303},
        {1006, 2006, 3006, 4006, 5006, 6006, X, N, X, X, X, X, X, X, X, X},          // -12V: channel 6
        {1004, 2004, 3004, 4004, 5004, 6004, 10028, N, X, X, X, X, X, X, X, X},      // 5VSB: channel 4
        {1005, 2005, 3005, 4005, 5005, 6005, 10035, X, X, X, X, X, X, X, X, X},      // 12V PCIe
        {N, 2000, 3000, 4007, 5007, 6007, 10014, X, X, X, X, X, X, X, X, X},         // 12V SATA
        {1001, 2001, 3001, 4008, 5008, 6008, 10021, X, X, X, X, X, X, X, X, X},      // 5V SATA
        {1002, 2002, 3002, 4009, 5009, 6009, 10028, X, X, X, X, X, X, X, X, X},      // 3.3V SATA
    };
    // Built over garbage, so that whatever the constructor leaves unset shows.
    alignas(ReadingsTable) static unsigned char storage[sizeof(ReadingsTable)];
    std::memset(storage, 0x7f, sizeof storage);
    ReadingsTable* table = new (storage) ReadingsTable;
    for (int i = 0; i < kCellCount; ++i) {
        EXPECT_EQ(LoadWord(table->value[i]), N) << i;
        EXPECT_EQ(table->text[i][0], L'\0') << i;
        EXPECT_EQ(table->state[i], CellState::NotAvailable) << i;
        StoreWord(table->value[i], X);
    }
    EXPECT_EQ(LoadWord(g_readingsTable.value[kCellCount - 1]), N);
    table->CopyFromDevice(*r);
    for (int cell = 0; cell < kCellCount; ++cell)
        EXPECT_EQ(LoadWord(table->value[cell]), kCopied[cell / 16][cell % 16]) << "rail " << cell / 16 << " column " << cell % 16;
    table->ClearValues();
    for (int i = 0; i < kCellCount; ++i)
        EXPECT_EQ(LoadWord(table->value[i]), N) << i;
}

TEST(ReadingsTable, PowerIsASinglePrecisionProductThenQuotientTruncated)
{
    // 11000 x 30014 = 330154000 rounds to 330153984 in single precision before the division.
    const struct { int32_t mv, ma, mw; } rows[] = {
        {12001, 3299, 39591}, {11000, 30014, 330153}, {11003, 30000, 330089}, {1999, 1, 1}, {-12002, 1, -12},
        {-999, 1, 0}, {0, 60000, 0}, {INT32_MAX, INT32_MAX, INT32_MAX}, {INT32_MIN, INT32_MAX, INT32_MIN},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ComputeRailPower(row.mv, row.ma), row.mw) << row.mv << " x " << row.ma;
}

// The two limit tables, one pair per rail and column group, read from the arrays the judgement uses.
struct Pair {
    int32_t low, high;
};
constexpr Pair kAny = {-100000, 100000};
constexpr Pair kOnVolts[kRailCount] = {{11400, 12600}, {4750, 5250}, {3140, 3470}, {11400, 12600}, {-13200, -10800},
                                       {4750, 5250},   {11400, 12600}, {11400, 12600}, kAny, kAny};
constexpr Pair kOffVolts[kRailCount] = {{0, 1200}, {0, 500}, {0, 330}, {0, 1200}, {-1200, 1000},
                                        {4750, 5250}, {0, 1200}, {0, 1200}, {0, 500}, {0, 330}};
// Columns 3 to 15, alike in both tables: currents (3 to 5), power, ripple, T1, T2, T3, T6, slew
// rate and the three flags (13 to 15).
constexpr int kGroupOfColumn[16] = {-1, -1, -1, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9};
constexpr Pair kA = {0, 60000}, kP = {0, 720000}, kT1 = {0, 499}, kT2 = {0, 20}, kT3 = {100, 500}, kT6 = {1, 30000};
constexpr Pair kCommon[kRailCount][10] = {
    {kA, kP, {0, 120}, kT1, kT2, kT3, kT6, {600, 100000}, {0, 0}},  // 12V1
    {kA, kP, {0, 50}, kT1, kT2, kT3, kT6, {250, 100000}, {0, 0}},   // 5V
    {kA, kP, {0, 50}, kT1, kT2, kT3, kT6, {165, 100000}, {0, 0}},   // 3.3V
    {kA, kP, {0, 120}, kT1, kT2, kT3, kT6, {600, 100000}, {0, 0}},  // 12V CPU
    {kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny},   // -12V: no limit anywhere
    {kA, kP, kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny},       // 5VSB
    {kA, kP, kAny, kT1, kT2, kT3, kT6, {600, 100000}, {0, 0}},      // 12V PCIe
    {kA, kP, kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny},       // 12V SATA
    {kA, kP, kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny},       // 5V SATA
    {kA, kP, kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny},       // 3.3V SATA
};

TEST(ReadingsLimits, EveryCellWithThePsuOnAndOff)
{
    for (const auto& [limits, volts] : {std::pair{&kPowerOnLimits, kOnVolts}, std::pair{&kPowerOffLimits, kOffVolts}}) {
        SCOPED_TRACE(limits == &kPowerOnLimits ? "on" : "off");
        for (int cell = 0; cell < kCellCount; ++cell) {
            const int rail = cell / 16, column = cell % 16;
            const Pair expected = column < 3 ? volts[rail] : kCommon[rail][kGroupOfColumn[column]];
            EXPECT_EQ(limits->low[cell], expected.low) << "rail " << rail << " column " << column;
            EXPECT_EQ(limits->high[cell], expected.high) << "rail " << rail << " column " << column;
        }
    }
}

struct Judgement {
    RailId rail;
    ReadingColumn column;
    int32_t value;
    uint8_t status;
    bool cpu, pcie;
    CellState expected;
};

// Limits are inclusive and signed; the power state picks the table (on wins over off); the
// 12V CPU and PCIe voltage cells fail while on only with their cable declared.
TEST(ReadingsEvaluation, CellVerdicts)
{
    constexpr auto P = CellState::Pass, F = CellState::Fail, NA = CellState::NotAvailable;
    const Judgement rows[] = {
        {Rail12V1, Volt, 11400, kOn, 0, 0, P},          {Rail12V1, Volt, 12600, kOn, 0, 0, P},
        {Rail12V1, Volt, 11399, kOn, 0, 0, F},          {Rail12V1, Volt, 12601, kOn, 0, 0, F},
        {Rail12V1, Volt, 0, kOff, 0, 0, P},             {Rail12V1, Volt, 1200, kOff, 0, 0, P},
        {Rail12V1, Volt, 1201, kOff, 0, 0, F},          {Rail12V1, Volt, -1, kOff, 0, 0, F},
        {Rail12V1, Volt, 12000, kOff, 0, 0, F},         {Rail12V1, Volt, 12000, kOn | kOff, 0, 0, P},
        {Rail12V1, Volt, 1000, kOn | kOff, 0, 0, F},    {Rail5VSB, Volt, 5000, kOff, 0, 0, P},
        {RailMinus12V, MinVolt, -13200, kOn, 0, 0, P},  {RailMinus12V, MinVolt, -10800, kOn, 0, 0, P},
        {RailMinus12V, MinVolt, -10799, kOn, 0, 0, F},  {RailMinus12V, MinVolt, 12000, kOn, 0, 0, F},
        {Rail5V, TurnOnSlope, 0, kOn, 0, 0, P},         {Rail5V, TurnOnSlope, 1, kOn, 0, 0, F},
        {Rail12VCpu, TSeq, 1, kOff, 0, 0, F},           {Rail12V1, VSeq, 0, kOff, 0, 0, P},
        {Rail12V1, Current, 60000, kOff, 0, 0, P},      {Rail12V1, Current, 60001, kOff, 0, 0, F},
        {Rail12V1, Current, -1, kOn, 0, 0, F},          {Rail5VSata, Volt, -99999, kOn, 0, 0, P},
        {Rail5VSata, Volt, 100000, kOn, 0, 0, P},       {Rail5VSata, Volt, 100001, kOn, 0, 0, F},
        {Rail12VCpu, Current, 70000, kOn, 1, 0, F},     {Rail12VPcie, Power, 720001, kOn, 0, 0, F},
        {Rail3V3, TSeq, 1, kOn, 0, 0, F},               {Rail12VCpu, MinCurrent, -5, kOn, 0, 0, F},
        {Rail5VSB, TSeq, 1, kOn, 0, 0, P},              {Rail12VPcie, MinCurrent, -5, kOn, 0, 0, F},
    };
    for (const Judgement& j : rows)
        EXPECT_EQ(EvaluateCell(CellIndex(j.rail, j.column), j.value, j.status, j.cpu, j.pcie), j.expected)
            << "rail " << int(j.rail) << " column " << int(j.column) << " value " << j.value << " status " << int(j.status);

    for (int column = 0; column <= 2; ++column) {
        SCOPED_TRACE(column);
        for (const auto& [rail, own] : {std::pair{Rail12VCpu, true}, std::pair{Rail12VPcie, false}}) {
            const int cell = CellIndex(rail, static_cast<ReadingColumn>(column));
            EXPECT_EQ(EvaluateCell(cell, 0, kOn, !own, own), NA);
            EXPECT_EQ(EvaluateCell(cell, 0, kOn, own, !own), F);
            EXPECT_EQ(EvaluateCell(cell, 12000, kOn, false, false), P);
            EXPECT_EQ(EvaluateCell(cell, 5000, kOff, false, false), F);
        }
    }
    EXPECT_EQ(EvaluateCell(-1, 0, kOn, true, true), NA);
    EXPECT_EQ(EvaluateCell(kCellCount, 0, kOn, true, true), NA);
    for (int cell = 0; cell < kCellCount; ++cell) {
        EXPECT_EQ(EvaluateCell(cell, N, kOn, true, true), NA) << cell;
        EXPECT_EQ(EvaluateCell(cell, N, kOff, true, true), NA) << cell;
        if (cell < 64 && cell % 16 >= 8 && cell % 16 <= 11) {  // T/O fails the timings
            EXPECT_EQ(EvaluateCell(cell, kTimedOut, kOn, false, false), F) << cell;
            EXPECT_EQ(EvaluateCell(cell, kTimedOut, kOff, false, false), F) << cell;
        }
        for (uint8_t status : {0x00, 0x04, 0x1C, 0xFC}) {  // the verdict bits alone: neither on nor off
            EXPECT_EQ(EvaluateCell(cell, 0, status, true, true), NA) << cell;
            EXPECT_EQ(EvaluateCell(cell, 999999, status, true, true), NA) << cell;
        }
    }
}

}  // namespace
