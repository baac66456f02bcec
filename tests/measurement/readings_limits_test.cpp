// The two limit tables against the published rows, one literal pair per rail and column group,
// read straight from the cell arrays the evaluation uses.
#include <gtest/gtest.h>

#include "measurement/readings_table.h"

namespace {

struct Pair {
    int32_t low;
    int32_t high;
};

constexpr Pair kAny = {-100000, 100000};

// Columns 0 to 2, by rail.
constexpr Pair kOnVolts[kRailCount] = {{11400, 12600}, {4750, 5250}, {3140, 3470}, {11400, 12600}, {-13200, -10800},
                                       {4750, 5250},   {11400, 12600}, {11400, 12600}, kAny, kAny};
constexpr Pair kOffVolts[kRailCount] = {{0, 1200}, {0, 500}, {0, 330}, {0, 1200}, {-1200, 1000},
                                        {4750, 5250}, {0, 1200}, {0, 1200}, {0, 500}, {0, 330}};

// Columns 3 to 15 carry the same pairs in both tables: currents (3 to 5), power, ripple, T1, T2, T3,
// T6, slew rate and the three flags (13 to 15).
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
        for (int rail = 0; rail < kRailCount; ++rail) {
            for (int column = 0; column < 16; ++column) {
                const Pair expected = column < 3 ? volts[rail] : kCommon[rail][kGroupOfColumn[column]];
                const int cell = 16 * rail + column;
                EXPECT_EQ(limits->low[cell], expected.low) << "rail " << rail << " column " << column;
                EXPECT_EQ(limits->high[cell], expected.high) << "rail " << rail << " column " << column;
                EXPECT_LE(limits->low[cell], limits->high[cell]);
            }
        }
    }
}

}  // namespace
