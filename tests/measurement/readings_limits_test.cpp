// The two limit tables against the published rows, one literal pair per rail and column group,
// read straight from the cell arrays the evaluation uses.
#include <gtest/gtest.h>

#include "measurement/readings_table.h"

namespace {

struct Pair {
    int32_t low;
    int32_t high;
};

void ExpectPair(const CellLimits& limits, int rail, int column, Pair expected)
{
    const int cell = 16 * rail + column;
    EXPECT_EQ(limits.low[cell], expected.low) << "rail " << rail << " column " << column;
    EXPECT_EQ(limits.high[cell], expected.high) << "rail " << rail << " column " << column;
}

void ExpectColumns(const CellLimits& limits, int rail, int firstColumn, int lastColumn, Pair expected)
{
    for (int column = firstColumn; column <= lastColumn; ++column) {
        ExpectPair(limits, rail, column, expected);
    }
}

constexpr Pair kAny = {-100000, 100000};

TEST(ReadingsLimits, VoltagesWithThePsuOn)
{
    const CellLimits& on = kPowerOnLimits;
    ExpectColumns(on, 0, 0, 2, {11400, 12600});
    ExpectColumns(on, 1, 0, 2, {4750, 5250});
    ExpectColumns(on, 2, 0, 2, {3140, 3470});
    ExpectColumns(on, 3, 0, 2, {11400, 12600});
    ExpectColumns(on, 4, 0, 2, {-13200, -10800});
    ExpectColumns(on, 5, 0, 2, {4750, 5250});
    ExpectColumns(on, 6, 0, 2, {11400, 12600});
    ExpectColumns(on, 7, 0, 2, {11400, 12600});
    ExpectColumns(on, 8, 0, 2, {-100000, 100000});
    ExpectColumns(on, 9, 0, 2, {-100000, 100000});
}

TEST(ReadingsLimits, VoltagesWithThePsuOff)
{
    const CellLimits& off = kPowerOffLimits;
    ExpectColumns(off, 0, 0, 2, {0, 1200});
    ExpectColumns(off, 1, 0, 2, {0, 500});
    ExpectColumns(off, 2, 0, 2, {0, 330});
    ExpectColumns(off, 3, 0, 2, {0, 1200});
    ExpectColumns(off, 4, 0, 2, {-1200, 1000});
    ExpectColumns(off, 5, 0, 2, {4750, 5250});
    ExpectColumns(off, 6, 0, 2, {0, 1200});
    ExpectColumns(off, 7, 0, 2, {0, 1200});
    ExpectColumns(off, 8, 0, 2, {0, 500});
    ExpectColumns(off, 9, 0, 2, {0, 330});
}

// Columns 3 to 15 carry the same pairs in both tables.
void ExpectCommonRows(const CellLimits& t)
{
    // 12V1
    ExpectColumns(t, 0, 3, 5, {0, 60000});
    ExpectPair(t, 0, 6, {0, 720000});
    ExpectPair(t, 0, 7, {0, 120});
    ExpectPair(t, 0, 8, {0, 499});
    ExpectPair(t, 0, 9, {0, 20});
    ExpectPair(t, 0, 10, {100, 500});
    ExpectPair(t, 0, 11, {1, 30000});
    ExpectPair(t, 0, 12, {600, 100000});
    ExpectColumns(t, 0, 13, 15, {0, 0});
    // 5V
    ExpectColumns(t, 1, 3, 5, {0, 60000});
    ExpectPair(t, 1, 6, {0, 720000});
    ExpectPair(t, 1, 7, {0, 50});
    ExpectPair(t, 1, 8, {0, 499});
    ExpectPair(t, 1, 9, {0, 20});
    ExpectPair(t, 1, 10, {100, 500});
    ExpectPair(t, 1, 11, {1, 30000});
    ExpectPair(t, 1, 12, {250, 100000});
    ExpectColumns(t, 1, 13, 15, {0, 0});
    // 3.3V
    ExpectColumns(t, 2, 3, 5, {0, 60000});
    ExpectPair(t, 2, 6, {0, 720000});
    ExpectPair(t, 2, 7, {0, 50});
    ExpectPair(t, 2, 8, {0, 499});
    ExpectPair(t, 2, 9, {0, 20});
    ExpectPair(t, 2, 10, {100, 500});
    ExpectPair(t, 2, 11, {1, 30000});
    ExpectPair(t, 2, 12, {165, 100000});
    ExpectColumns(t, 2, 13, 15, {0, 0});
    // 12V CPU
    ExpectColumns(t, 3, 3, 5, {0, 60000});
    ExpectPair(t, 3, 6, {0, 720000});
    ExpectPair(t, 3, 7, {0, 120});
    ExpectPair(t, 3, 8, {0, 499});
    ExpectPair(t, 3, 9, {0, 20});
    ExpectPair(t, 3, 10, {100, 500});
    ExpectPair(t, 3, 11, {1, 30000});
    ExpectPair(t, 3, 12, {600, 100000});
    ExpectColumns(t, 3, 13, 15, {0, 0});
    // -12V: no limit anywhere.
    ExpectColumns(t, 4, 3, 15, kAny);
    // 5VSB
    ExpectColumns(t, 5, 3, 5, {0, 60000});
    ExpectPair(t, 5, 6, {0, 720000});
    ExpectColumns(t, 5, 7, 15, kAny);
    // 12V PCIe
    ExpectColumns(t, 6, 3, 5, {0, 60000});
    ExpectPair(t, 6, 6, {0, 720000});
    ExpectPair(t, 6, 7, kAny);
    ExpectPair(t, 6, 8, {0, 499});
    ExpectPair(t, 6, 9, {0, 20});
    ExpectPair(t, 6, 10, {100, 500});
    ExpectPair(t, 6, 11, {1, 30000});
    ExpectPair(t, 6, 12, {600, 100000});
    ExpectColumns(t, 6, 13, 15, {0, 0});
    // The SATA rails
    for (int rail = 7; rail <= 9; ++rail) {
        ExpectColumns(t, rail, 3, 5, {0, 60000});
        ExpectPair(t, rail, 6, {0, 720000});
        ExpectColumns(t, rail, 7, 15, kAny);
    }
}

TEST(ReadingsLimits, OtherColumnsWithThePsuOn) { ExpectCommonRows(kPowerOnLimits); }

TEST(ReadingsLimits, OtherColumnsWithThePsuOff) { ExpectCommonRows(kPowerOffLimits); }

TEST(ReadingsLimits, EveryPairIsOrdered)
{
    for (int cell = 0; cell < kCellCount; ++cell) {
        EXPECT_LE(kPowerOnLimits.low[cell], kPowerOnLimits.high[cell]) << cell;
        EXPECT_LE(kPowerOffLimits.low[cell], kPowerOffLimits.high[cell]) << cell;
    }
}

}  // namespace
