// The copy of the tester's measurements into the display cells and the PASS/N/A/FAIL judgement.
#include <gtest/gtest.h>

#include <memory>

#include "measurement/readings_table.h"

namespace {

constexpr uint8_t kOn = kPowerStatusOn;
constexpr uint8_t kOff = kPowerStatusOff;

int Cell(RailId rail, ReadingColumn column) { return CellIndex(rail, column); }

// Every field gets a value that tells where it came from: hundreds give the field, units the
// channel (and tens the timing number).
void FillDistinct(DeviceReadings& r)
{
    for (int c = 0; c < kVoltageMinMaxChannels; ++c) {
        StoreWord(r.voltageMin[c], 1000 + c);
        StoreWord(r.voltageMax[c], 3000 + c);
    }
    for (int c = 0; c < kChannelCount; ++c) {
        StoreWord(r.voltage[c], 2000 + c);
        StoreWord(r.currentMin[c], 4000 + c);
        StoreWord(r.current[c], 5000 + c);
        StoreWord(r.currentMax[c], 6000 + c);
    }
    for (int c = 0; c < kRippleChannels; ++c) {
        StoreWord(r.ripple[c], 7000 + c);
    }
    for (int c = 0; c < kTimedChannels; ++c) {
        for (int k = 0; k < kTimingsPerChannel; ++k) {
            StoreWord(r.timing[c][k], 8000 + 10 * k + c);
        }
        StoreWord(r.slewRate[c], 9000 + c);
        StoreWord(r.turnOnSlope[c], 9100 + c);
        StoreWord(r.voltageSequence[c], 9200 + c);
        StoreWord(r.timeSequence[c], 9300 + c);
    }
}

int32_t ValueAt(const ReadingsTable& t, RailId rail, ReadingColumn column)
{
    return LoadWord(t.value[CellIndex(rail, column)]);
}

TEST(ReadingsTableCopy, StartsWithNothingAvailable)
{
    auto table = std::make_unique<ReadingsTable>();
    for (int i = 0; i < kCellCount; ++i) {
        EXPECT_EQ(LoadWord(table->value[i]), kNotAvailable) << i;
        EXPECT_EQ(table->text[i][0], L'\0') << i;
        EXPECT_EQ(table->state[i], CellState::NotAvailable) << i;
    }
    EXPECT_EQ(LoadWord(g_readingsTable.value[0]), kNotAvailable);
    EXPECT_EQ(LoadWord(g_readingsTable.value[kCellCount - 1]), kNotAvailable);
}

TEST(ReadingsTableCopy, RailsTakeTheirChannels)
{
    auto readings = std::make_unique<DeviceReadings>();
    FillDistinct(*readings);
    auto table = std::make_unique<ReadingsTable>();
    table->CopyFromDevice(*readings);

    struct Expected {
        RailId rail;
        int voltageChannel;
        int currentChannel;
    };
    const Expected rows[] = {
        {RailId::Rail12V1, 0, 0},     {RailId::Rail5V, 1, 1},      {RailId::Rail3V3, 2, 2},
        {RailId::Rail12VCpu, 3, 3},   {RailId::RailMinus12V, 6, 6}, {RailId::Rail5VSB, 4, 4},
        {RailId::Rail12VPcie, 5, 5},  {RailId::Rail12VSata, 0, 7}, {RailId::Rail5VSata, 1, 8},
        {RailId::Rail3V3Sata, 2, 9},
    };
    for (const Expected& e : rows) {
        SCOPED_TRACE(static_cast<int>(e.rail));
        EXPECT_EQ(ValueAt(*table, e.rail, ReadingColumn::MinVolt), 1000 + e.voltageChannel);
        EXPECT_EQ(ValueAt(*table, e.rail, ReadingColumn::Volt), 2000 + e.voltageChannel);
        EXPECT_EQ(ValueAt(*table, e.rail, ReadingColumn::MaxVolt), 3000 + e.voltageChannel);
        EXPECT_EQ(ValueAt(*table, e.rail, ReadingColumn::MinCurrent), 4000 + e.currentChannel);
        EXPECT_EQ(ValueAt(*table, e.rail, ReadingColumn::Current), 5000 + e.currentChannel);
        EXPECT_EQ(ValueAt(*table, e.rail, ReadingColumn::MaxCurrent), 6000 + e.currentChannel);
    }

    // Power of the SATA rails: the main rail's voltage with the SATA current.
    EXPECT_EQ(ValueAt(*table, RailId::Rail12VSata, ReadingColumn::Power), 2000 * 5007 / 1000);
    EXPECT_EQ(ValueAt(*table, RailId::Rail5VSB, ReadingColumn::Power), 2004 * 5004 / 1000);
    EXPECT_EQ(ValueAt(*table, RailId::RailMinus12V, ReadingColumn::Power), kNotAvailable);

    // Timings, slew and flags of the four main rails.
    for (int rail = 0; rail < 4; ++rail) {
        SCOPED_TRACE(rail);
        const RailId r = static_cast<RailId>(rail);
        EXPECT_EQ(ValueAt(*table, r, ReadingColumn::Ripple), 7000 + rail);
        EXPECT_EQ(ValueAt(*table, r, ReadingColumn::T1), 8000 + rail);
        EXPECT_EQ(ValueAt(*table, r, ReadingColumn::T2), 8010 + rail);
        EXPECT_EQ(ValueAt(*table, r, ReadingColumn::T3), 8020 + rail);
        EXPECT_EQ(ValueAt(*table, r, ReadingColumn::T6), 8030 + rail);
        EXPECT_EQ(ValueAt(*table, r, ReadingColumn::SlewRate), 9000 + rail);
        EXPECT_EQ(ValueAt(*table, r, ReadingColumn::TurnOnSlope), 9100 + rail);
    }
    EXPECT_EQ(ValueAt(*table, RailId::Rail12V1, ReadingColumn::VSeq), 9200);
    EXPECT_EQ(ValueAt(*table, RailId::Rail5V, ReadingColumn::VSeq), 9201);
    EXPECT_EQ(ValueAt(*table, RailId::Rail12VCpu, ReadingColumn::VSeq), 9203);
    EXPECT_EQ(ValueAt(*table, RailId::Rail12V1, ReadingColumn::TSeq), 9300);
    EXPECT_EQ(ValueAt(*table, RailId::Rail5V, ReadingColumn::TSeq), 9301);
    EXPECT_EQ(ValueAt(*table, RailId::Rail12VCpu, ReadingColumn::TSeq), 9303);
}

TEST(ReadingsTableCopy, CellsWithoutASourceAreNeverWritten)
{
    auto readings = std::make_unique<DeviceReadings>();
    FillDistinct(*readings);
    auto table = std::make_unique<ReadingsTable>();
    // Whatever stood there before a copy must survive it.
    for (int i = 0; i < kCellCount; ++i) {
        StoreWord(table->value[i], -7);
    }
    table->CopyFromDevice(*readings);

    EXPECT_EQ(ValueAt(*table, RailId::RailMinus12V, ReadingColumn::Power), -7);
    EXPECT_EQ(ValueAt(*table, RailId::Rail3V3, ReadingColumn::VSeq), -7);
    EXPECT_EQ(ValueAt(*table, RailId::Rail3V3, ReadingColumn::TSeq), -7);
    for (RailId rail : {RailId::Rail12VPcie, RailId::Rail12VSata, RailId::Rail5VSata, RailId::Rail3V3Sata}) {
        EXPECT_EQ(ValueAt(*table, rail, ReadingColumn::Ripple), -7) << static_cast<int>(rail);
    }
    for (int rail = 4; rail < kRailCount; ++rail) {
        for (int column = 8; column < kColumnCount; ++column) {
            EXPECT_EQ(LoadWord(table->value[16 * rail + column]), -7) << rail << "/" << column;
        }
    }
    // 5VSB and -12V ripple are cleared on every copy, even though the tester sends channel 4's.
    EXPECT_EQ(ValueAt(*table, RailId::Rail5VSB, ReadingColumn::Ripple), kNotAvailable);
    EXPECT_EQ(ValueAt(*table, RailId::RailMinus12V, ReadingColumn::Ripple), kNotAvailable);

    // A fresh table keeps those cells at the sentinel.
    auto fresh = std::make_unique<ReadingsTable>();
    fresh->CopyFromDevice(*readings);
    EXPECT_EQ(ValueAt(*fresh, RailId::RailMinus12V, ReadingColumn::Power), kNotAvailable);
    EXPECT_EQ(ValueAt(*fresh, RailId::Rail3V3, ReadingColumn::VSeq), kNotAvailable);
    EXPECT_EQ(ValueAt(*fresh, RailId::Rail12VSata, ReadingColumn::T1), kNotAvailable);

    fresh->ClearValues();
    for (int i = 0; i < kCellCount; ++i) {
        EXPECT_EQ(LoadWord(fresh->value[i]), kNotAvailable) << i;
    }
}

TEST(ReadingsTableCopy, SentinelsAreCopiedUnchanged)
{
    auto readings = std::make_unique<DeviceReadings>();
    FillDistinct(*readings);
    StoreWord(readings->voltageMin[0], kNotAvailable);
    StoreWord(readings->timing[1][2], kTimedOut);
    StoreWord(readings->timing[3][0], kNotAvailable);
    auto table = std::make_unique<ReadingsTable>();
    table->CopyFromDevice(*readings);
    EXPECT_EQ(ValueAt(*table, RailId::Rail12V1, ReadingColumn::MinVolt), kNotAvailable);
    EXPECT_EQ(ValueAt(*table, RailId::Rail12VSata, ReadingColumn::MinVolt), kNotAvailable);
    EXPECT_EQ(ValueAt(*table, RailId::Rail5V, ReadingColumn::T3), kTimedOut);
    EXPECT_EQ(ValueAt(*table, RailId::Rail12VCpu, ReadingColumn::T1), kNotAvailable);
}

TEST(ReadingsTablePower, SinglePrecisionProductThenQuotient)
{
    // 12.001 V at 3.299 A.
    EXPECT_EQ(ComputeRailPower(12001, 3299), 39591);
    // 11000 x 30014 = 330154000 is not a single-precision number: the product rounds to
    // 330153984 before the division, so the result is one below the exact 330154 (and below
    // what voltage x (current / 1000) would give).
    EXPECT_EQ(ComputeRailPower(11000, 30014), 330153);
    EXPECT_EQ(ComputeRailPower(11003, 30000), 330089);
    // Truncation toward zero on both sides.
    EXPECT_EQ(ComputeRailPower(1999, 1), 1);
    EXPECT_EQ(ComputeRailPower(-12002, 1), -12);
    EXPECT_EQ(ComputeRailPower(-999, 1), 0);
    EXPECT_EQ(ComputeRailPower(0, 60000), 0);
    // Far outside any reading: saturates instead of an undefined conversion.
    EXPECT_EQ(ComputeRailPower(INT32_MAX, INT32_MAX), INT32_MAX);
    EXPECT_EQ(ComputeRailPower(INT32_MIN, INT32_MAX), INT32_MIN);

    auto readings = std::make_unique<DeviceReadings>();
    StoreWord(readings->voltage[kChannel12VCpu], 11000);
    StoreWord(readings->current[kChannel12VCpu], 30014);
    auto table = std::make_unique<ReadingsTable>();
    table->CopyFromDevice(*readings);
    EXPECT_EQ(ValueAt(*table, RailId::Rail12VCpu, ReadingColumn::Power), 330153);
}

// ---- Evaluation ----

CellState Judge(int cell, int32_t value, uint8_t status, bool cpu = false, bool pcie = false)
{
    return EvaluateCell(cell, value, status, cpu, pcie);
}

TEST(ReadingsEvaluation, LimitsAreInclusive)
{
    const int volt = Cell(RailId::Rail12V1, ReadingColumn::Volt);
    EXPECT_EQ(Judge(volt, 11400, kOn), CellState::Pass);
    EXPECT_EQ(Judge(volt, 12600, kOn), CellState::Pass);
    EXPECT_EQ(Judge(volt, 11399, kOn), CellState::Fail);
    EXPECT_EQ(Judge(volt, 12601, kOn), CellState::Fail);
    EXPECT_EQ(Judge(volt, 0, kOff), CellState::Pass);
    EXPECT_EQ(Judge(volt, 1200, kOff), CellState::Pass);
    EXPECT_EQ(Judge(volt, 1201, kOff), CellState::Fail);
    EXPECT_EQ(Judge(volt, -1, kOff), CellState::Fail);
    // -12V limits are negative: the comparison is signed.
    const int minus = Cell(RailId::RailMinus12V, ReadingColumn::MinVolt);
    EXPECT_EQ(Judge(minus, -13200, kOn), CellState::Pass);
    EXPECT_EQ(Judge(minus, -10800, kOn), CellState::Pass);
    EXPECT_EQ(Judge(minus, -10799, kOn), CellState::Fail);
    EXPECT_EQ(Judge(minus, 12000, kOn), CellState::Fail);
    // Flags: only 0 passes.
    const int slope = Cell(RailId::Rail5V, ReadingColumn::TurnOnSlope);
    EXPECT_EQ(Judge(slope, 0, kOn), CellState::Pass);
    EXPECT_EQ(Judge(slope, 1, kOn), CellState::Fail);
    EXPECT_EQ(Judge(Cell(RailId::Rail12VCpu, ReadingColumn::TSeq), 1, kOff), CellState::Fail);
    EXPECT_EQ(Judge(Cell(RailId::Rail12V1, ReadingColumn::VSeq), 0, kOff), CellState::Pass);
}

TEST(ReadingsEvaluation, Sentinels)
{
    for (int cell = 0; cell < kCellCount; ++cell) {
        EXPECT_EQ(Judge(cell, kNotAvailable, kOn, true, true), CellState::NotAvailable) << cell;
        EXPECT_EQ(Judge(cell, kNotAvailable, kOff, true, true), CellState::NotAvailable) << cell;
    }
    for (int rail = 0; rail < 4; ++rail) {
        for (int column = 8; column <= 11; ++column) {
            EXPECT_EQ(Judge(16 * rail + column, kTimedOut, kOn), CellState::Fail) << rail << column;
            EXPECT_EQ(Judge(16 * rail + column, kTimedOut, kOff), CellState::Fail) << rail << column;
        }
    }
    // One above the sentinel is an ordinary, if odd, value.
    EXPECT_EQ(Judge(Cell(RailId::Rail5VSata, ReadingColumn::Volt), -99999, kOn), CellState::Pass);
    EXPECT_EQ(Judge(Cell(RailId::Rail5VSata, ReadingColumn::Volt), 100000, kOn), CellState::Pass);
    EXPECT_EQ(Judge(Cell(RailId::Rail5VSata, ReadingColumn::Volt), 100001, kOn), CellState::Fail);
}

TEST(ReadingsEvaluation, PowerStateChoosesTheLimits)
{
    const int sb = Cell(RailId::Rail5VSB, ReadingColumn::Volt);
    EXPECT_EQ(Judge(sb, 5000, kOff), CellState::Pass);
    EXPECT_EQ(Judge(sb, 5000, kOn), CellState::Pass);
    const int main12 = Cell(RailId::Rail12V1, ReadingColumn::Volt);
    EXPECT_EQ(Judge(main12, 1300, kOff), CellState::Fail);
    EXPECT_EQ(Judge(main12, 12000, kOff), CellState::Fail);
    EXPECT_EQ(Judge(main12, 12000, kOn), CellState::Pass);
    // Both bits: judged as on.
    EXPECT_EQ(Judge(main12, 12000, kOn | kOff), CellState::Pass);
    EXPECT_EQ(Judge(main12, 1000, kOn | kOff), CellState::Fail);
    // The verdict bits alone are neither on nor off.
    for (uint8_t status : {uint8_t{0}, uint8_t{0x04}, uint8_t{0x1C}, uint8_t{0xFC}}) {
        for (int cell = 0; cell < kCellCount; ++cell) {
            EXPECT_EQ(Judge(cell, 0, status, true, true), CellState::NotAvailable) << cell;
            EXPECT_EQ(Judge(cell, 999999, status, true, true), CellState::NotAvailable) << cell;
        }
    }
    // Other columns carry the same limits in both states.
    const int current = Cell(RailId::Rail12V1, ReadingColumn::Current);
    EXPECT_EQ(Judge(current, 60000, kOff), CellState::Pass);
    EXPECT_EQ(Judge(current, 60001, kOff), CellState::Fail);
    EXPECT_EQ(Judge(current, -1, kOn), CellState::Fail);
}

TEST(ReadingsEvaluation, OptionalCablesSoftenOnlyVoltageFailuresWhileOn)
{
    for (int column = 0; column <= 2; ++column) {
        const int cpu = Cell(RailId::Rail12VCpu, static_cast<ReadingColumn>(column));
        const int pcie = Cell(RailId::Rail12VPcie, static_cast<ReadingColumn>(column));
        EXPECT_EQ(cpu, 48 + column);
        EXPECT_EQ(pcie, 96 + column);
        EXPECT_EQ(Judge(cpu, 0, kOn, false, true), CellState::NotAvailable);
        EXPECT_EQ(Judge(cpu, 0, kOn, true, false), CellState::Fail);
        EXPECT_EQ(Judge(pcie, 0, kOn, true, false), CellState::NotAvailable);
        EXPECT_EQ(Judge(pcie, 0, kOn, false, true), CellState::Fail);
        // In range passes whether or not the cable is declared.
        EXPECT_EQ(Judge(cpu, 12000, kOn, false, false), CellState::Pass);
        EXPECT_EQ(Judge(pcie, 12000, kOn, false, false), CellState::Pass);
        // Off: the flags play no part.
        EXPECT_EQ(Judge(cpu, 5000, kOff, false, false), CellState::Fail);
        EXPECT_EQ(Judge(pcie, 5000, kOff, false, false), CellState::Fail);
    }
    // Currents and power of those rails are judged normally.
    EXPECT_EQ(Judge(Cell(RailId::Rail12VCpu, ReadingColumn::Current), 70000, kOn), CellState::Fail);
    EXPECT_EQ(Judge(Cell(RailId::Rail12VCpu, ReadingColumn::Current), 70000, kOn, true), CellState::Fail);
    EXPECT_EQ(Judge(Cell(RailId::Rail12VPcie, ReadingColumn::Power), 720001, kOn), CellState::Fail);
    // The neighbours of the cable cells are not softened.
    EXPECT_EQ(Judge(Cell(RailId::Rail3V3, ReadingColumn::TSeq), 1, kOn), CellState::Fail);
    EXPECT_EQ(Judge(Cell(RailId::Rail12VCpu, ReadingColumn::MinCurrent), -5, kOn), CellState::Fail);
    EXPECT_EQ(Judge(Cell(RailId::Rail5VSB, ReadingColumn::TSeq), 1, kOn), CellState::Pass);
    EXPECT_EQ(Judge(Cell(RailId::Rail12VPcie, ReadingColumn::MinCurrent), -5, kOn), CellState::Fail);
}

TEST(ReadingsEvaluation, WholeTableFromACopy)
{
    auto readings = std::make_unique<DeviceReadings>();
    // A healthy supply, switched on.
    // Channel order: 12V1, 5V, 3.3V, 12V CPU, 5VSB, 12V PCIe, -12V, then the SATA repeats.
    const int32_t volts[kChannelCount] = {12000, 5000, 3300, 12100, 5050, 11900, -12000, 12000, 5000, 3300};
    for (int c = 0; c < kChannelCount; ++c) {
        StoreWord(readings->voltage[c], volts[c]);
        StoreWord(readings->current[c], c == kChannelMinus12V ? 0 : 2000);
        StoreWord(readings->currentMin[c], 1000);
        StoreWord(readings->currentMax[c], 3000);
    }
    for (int c = 0; c < kVoltageMinMaxChannels; ++c) {
        StoreWord(readings->voltageMin[c], volts[c]);
        StoreWord(readings->voltageMax[c], volts[c]);
    }
    for (int c = 0; c < kTimedChannels; ++c) {
        StoreWord(readings->ripple[c], 20);
        StoreWord(readings->timing[c][0], 100);
        StoreWord(readings->timing[c][1], 10);
        StoreWord(readings->timing[c][2], 300);
        StoreWord(readings->timing[c][3], 1000);
        StoreWord(readings->slewRate[c], 1260);
    }
    // The 12V SATA voltage cells show exactly 12V1's values, judged with the same limits.
    StoreWord(readings->voltage[kChannel12V1], 12700);
    StoreWord(readings->voltage[kChannel12VSata], 12000);  // ignored: the tester repeats channel 0

    auto table = std::make_unique<ReadingsTable>();
    table->CopyFromDevice(*readings);
    table->Evaluate(kOn, false, false);

    EXPECT_EQ(ValueAt(*table, RailId::Rail12VSata, ReadingColumn::Volt), 12700);
    EXPECT_EQ(table->state[Cell(RailId::Rail12V1, ReadingColumn::Volt)], CellState::Fail);
    EXPECT_EQ(table->state[Cell(RailId::Rail12VSata, ReadingColumn::Volt)], CellState::Fail);
    EXPECT_EQ(table->state[Cell(RailId::Rail12VSata, ReadingColumn::MinVolt)], CellState::Pass);
    EXPECT_EQ(table->state[Cell(RailId::Rail5VSata, ReadingColumn::Volt)], CellState::Pass);
    EXPECT_EQ(table->state[Cell(RailId::Rail3V3, ReadingColumn::SlewRate)], CellState::Pass);
    EXPECT_EQ(table->state[Cell(RailId::Rail12V1, ReadingColumn::T6)], CellState::Pass);
    EXPECT_EQ(table->state[Cell(RailId::Rail12VCpu, ReadingColumn::Power)], CellState::Pass);

    // Never written, or cleared every cycle: always N/A, whatever the power state.
    const int alwaysNotAvailable[] = {
        Cell(RailId::RailMinus12V, ReadingColumn::Power), Cell(RailId::Rail5VSB, ReadingColumn::Ripple),
        Cell(RailId::RailMinus12V, ReadingColumn::Ripple), Cell(RailId::Rail3V3, ReadingColumn::VSeq),
        Cell(RailId::Rail3V3, ReadingColumn::TSeq),
    };
    for (uint8_t status : {kOn, kOff, uint8_t{kOn | kOff}, uint8_t{0}}) {
        table->Evaluate(status, true, true);
        for (int cell : alwaysNotAvailable) {
            EXPECT_EQ(table->state[cell], CellState::NotAvailable) << cell << " status " << int(status);
        }
        for (int rail = 4; rail < kRailCount; ++rail) {
            for (int column = 8; column < kColumnCount; ++column) {
                EXPECT_EQ(table->state[16 * rail + column], CellState::NotAvailable);
            }
        }
    }

    table->Evaluate(0, true, true);
    for (int i = 0; i < kCellCount; ++i) {
        EXPECT_EQ(table->state[i], CellState::NotAvailable) << i;
    }
    // Switched off with the rails still up: the main voltages fail, 5VSB passes.
    table->Evaluate(kOff, false, false);
    EXPECT_EQ(table->state[Cell(RailId::Rail5V, ReadingColumn::Volt)], CellState::Fail);
    EXPECT_EQ(table->state[Cell(RailId::Rail5VSB, ReadingColumn::Volt)], CellState::Pass);
    EXPECT_EQ(table->state[Cell(RailId::Rail12VCpu, ReadingColumn::Volt)], CellState::Fail);
}

}  // namespace
