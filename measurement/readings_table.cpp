// The readings table: the copy of the tester's decoded measurements into the 160 display cells
// (rail order of the grid, not the tester's channel order), the power per rail, and the
// PASS/N/A/FAIL judgement of every cell against the power-on or power-off limits.
#include "measurement/readings_table.h"

#include <cstdint>
#include <limits>

ReadingsTable g_readingsTable;

namespace {

// Where a display row takes its measurements from: the SATA rows show the voltages of the main
// rails (the tester has no separate SATA voltage inputs) with their own currents.
struct RailSource {
    int voltageChannel;
    int currentChannel;
};

constexpr RailSource kRailSources[kRailCount] = {
    {kChannel12V1, kChannel12V1},         // 12V1
    {kChannel5V, kChannel5V},             // 5V
    {kChannel3V3, kChannel3V3},           // 3.3V
    {kChannel12VCpu, kChannel12VCpu},     // 12V CPU
    {kChannelMinus12V, kChannelMinus12V}, // -12V
    {kChannel5VSB, kChannel5VSB},         // 5VSB
    {kChannel12VPcie, kChannel12VPcie},   // 12V PCIe
    {kChannel12V1, kChannel12VSata},      // 12V SATA
    {kChannel5V, kChannel5VSata},         // 5V SATA
    {kChannel3V3, kChannel3V3Sata},       // 3.3V SATA
};

// The four main rails (12V1, 5V, 3.3V, 12V CPU): the only ones with ripple, timing, slew and
// flag cells, and the only ones whose display row equals their tester channel.
constexpr int kMainRails = kTimedChannels;

void StoreCell(std::atomic<int32_t>* values, int rail, ReadingColumn column, int32_t v)
{
    StoreWord(values[CellIndex(static_cast<RailId>(rail), column)], v);
}

}  // namespace

int32_t ComputeRailPower(int32_t voltageMillivolts, int32_t currentMilliamps)
{
    // Single precision in the order voltage x current, then / 1000: this order is part of the
    // result (rounding the product first), so it is written as separate steps that the compiler
    // may neither reorder nor fuse.
    const float volts = static_cast<float>(voltageMillivolts);
    const float amps = static_cast<float>(currentMilliamps);
    const float product = volts * amps;
    const float milliwatts = product / 1000.0f;
    // Truncation toward zero. A quotient outside the 32-bit range (only from values no tester
    // field produces) would make the conversion undefined; it saturates instead.
    constexpr float kTwoTo31 = 2147483648.0f;
    if (milliwatts >= kTwoTo31) {
        return std::numeric_limits<int32_t>::max();
    }
    if (milliwatts < -kTwoTo31) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(milliwatts);
}

ReadingsTable::ReadingsTable()
{
    for (int i = 0; i < kCellCount; ++i) {
        value[i].store(kNotAvailable, std::memory_order_relaxed);
        text[i][0] = L'\0';
        state[i] = CellState::NotAvailable;
    }
}

void ReadingsTable::ClearValues()
{
    for (std::atomic<int32_t>& v : value) {
        StoreWord(v, kNotAvailable);
    }
}

void ReadingsTable::CopyFromDevice(const DeviceReadings& readings)
{
    for (int rail = 0; rail < kRailCount; ++rail) {
        const RailSource& source = kRailSources[rail];
        const int vc = source.voltageChannel;
        const int cc = source.currentChannel;
        // Voltage channels are 0 to 6, the range of the minima and maxima arrays.
        StoreCell(value, rail, ReadingColumn::MinVolt, LoadWord(readings.voltageMin[vc]));
        StoreCell(value, rail, ReadingColumn::Volt, LoadWord(readings.voltage[vc]));
        StoreCell(value, rail, ReadingColumn::MaxVolt, LoadWord(readings.voltageMax[vc]));
        StoreCell(value, rail, ReadingColumn::MinCurrent, LoadWord(readings.currentMin[cc]));
        StoreCell(value, rail, ReadingColumn::Current, LoadWord(readings.current[cc]));
        StoreCell(value, rail, ReadingColumn::MaxCurrent, LoadWord(readings.currentMax[cc]));
        // The tester measures no current on -12V, so its power cell is left alone.
        if (rail != static_cast<int>(RailId::RailMinus12V)) {
            StoreCell(value, rail, ReadingColumn::Power,
                      ComputeRailPower(LoadWord(readings.voltage[vc]), LoadWord(readings.current[cc])));
        }
    }

    // Ripple is measured on the four main rails only. 5VSB and -12V are cleared every cycle; the
    // ripple cells of 12V PCIe and the SATA rails are never written.
    for (int rail = 0; rail < kMainRails; ++rail) {
        StoreCell(value, rail, ReadingColumn::Ripple, LoadWord(readings.ripple[rail]));
    }
    StoreCell(value, static_cast<int>(RailId::Rail5VSB), ReadingColumn::Ripple, kNotAvailable);
    StoreCell(value, static_cast<int>(RailId::RailMinus12V), ReadingColumn::Ripple, kNotAvailable);

    for (int rail = 0; rail < kMainRails; ++rail) {
        StoreCell(value, rail, ReadingColumn::T1, LoadWord(readings.timing[rail][0]));
        StoreCell(value, rail, ReadingColumn::T2, LoadWord(readings.timing[rail][1]));
        StoreCell(value, rail, ReadingColumn::T3, LoadWord(readings.timing[rail][2]));
        StoreCell(value, rail, ReadingColumn::T6, LoadWord(readings.timing[rail][3]));
        StoreCell(value, rail, ReadingColumn::SlewRate, LoadWord(readings.slewRate[rail]));
        StoreCell(value, rail, ReadingColumn::TurnOnSlope, LoadWord(readings.turnOnSlope[rail]));
        // The tester reports no sequencing for 3.3V; those two cells stay not available.
        if (rail != static_cast<int>(RailId::Rail3V3)) {
            StoreCell(value, rail, ReadingColumn::VSeq, LoadWord(readings.voltageSequence[rail]));
            StoreCell(value, rail, ReadingColumn::TSeq, LoadWord(readings.timeSequence[rail]));
        }
    }
}

void ReadingsTable::Evaluate(uint8_t powerStatus, bool cpu12vConnected, bool pcie12vConnected)
{
    for (int i = 0; i < kCellCount; ++i) {
        state[i] = EvaluateCell(i, LoadWord(value[i]), powerStatus, cpu12vConnected, pcie12vConnected);
    }
}

CellState EvaluateCell(int cellIndex, int32_t value, uint8_t powerStatus, bool cpu12vConnected,
                       bool pcie12vConnected)
{
    if (cellIndex < 0 || cellIndex >= kCellCount) {
        return CellState::NotAvailable;
    }
    // On wins when the tester sets both bits.
    const bool on = (powerStatus & kPowerStatusOn) != 0;
    const bool off = (powerStatus & kPowerStatusOff) != 0;
    if (!on && !off) {
        return CellState::NotAvailable;
    }
    if (value == kNotAvailable) {
        return CellState::NotAvailable;
    }
    const CellLimits& limits = on ? kPowerOnLimits : kPowerOffLimits;
    if (limits.low[cellIndex] <= value && value <= limits.high[cellIndex]) {
        return CellState::Pass;
    }
    if (on) {
        // An out-of-range voltage on an optional cable only counts when the user has declared
        // the cable connected; otherwise nothing is plugged in and there is nothing to judge.
        const int cpuFirst = CellIndex(RailId::Rail12VCpu, ReadingColumn::MinVolt);
        const int pcieFirst = CellIndex(RailId::Rail12VPcie, ReadingColumn::MinVolt);
        if (cellIndex >= cpuFirst && cellIndex <= cpuFirst + 2) {
            return cpu12vConnected ? CellState::Fail : CellState::NotAvailable;
        }
        if (cellIndex >= pcieFirst && cellIndex <= pcieFirst + 2) {
            return pcie12vConnected ? CellState::Fail : CellState::NotAvailable;
        }
    }
    return CellState::Fail;
}
