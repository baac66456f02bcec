// The two fixed limit tables, power on and power off, written one row per rail exactly as the
// tester's limits are published, and expanded at compile time into the 160-cell arrays the
// evaluation indexes. Both limits of a pair are inclusive; a pair of kNoLimit stands for "no limit".
#include "measurement/readings_table.h"

namespace {

struct LimitPair {
    int32_t low;
    int32_t high;
};

// The pair meaning "any value": the sentinel kNotAvailable is the lowest value a cell can hold
// and is caught before the comparison anyway.
constexpr LimitPair kNoLimit = {-100000, 100000};

// Columns 0 to 2 (Min Volt., Volt., Max Volt.) of a rail all carry the rail's voltage pair.
struct VoltageRow {
    RailId rail;
    LimitPair volts;  // mV
};

// The columns whose limits do not depend on the power state.
struct CommonRow {
    RailId rail;
    LimitPair currents;  // mA, columns 3 to 5
    LimitPair power;     // mW
    LimitPair ripple;    // mV
    LimitPair t1;        // ms
    LimitPair t2;        // ms
    LimitPair t3;        // ms
    LimitPair t6;        // ms
    LimitPair slewRate;  // mV/ms
    LimitPair flags;     // Turn-on Slope, V Seq., T Seq.
};

constexpr VoltageRow kPowerOnVoltageRows[kRailCount] = {
    {RailId::Rail12V1, {11400, 12600}},
    {RailId::Rail5V, {4750, 5250}},
    {RailId::Rail3V3, {3140, 3470}},
    {RailId::Rail12VCpu, {11400, 12600}},
    {RailId::RailMinus12V, {-13200, -10800}},
    {RailId::Rail5VSB, {4750, 5250}},
    {RailId::Rail12VPcie, {11400, 12600}},
    {RailId::Rail12VSata, {11400, 12600}},
    {RailId::Rail5VSata, {-100000, 100000}},
    {RailId::Rail3V3Sata, {-100000, 100000}},
};

constexpr VoltageRow kPowerOffVoltageRows[kRailCount] = {
    {RailId::Rail12V1, {0, 1200}},
    {RailId::Rail5V, {0, 500}},
    {RailId::Rail3V3, {0, 330}},
    {RailId::Rail12VCpu, {0, 1200}},
    {RailId::RailMinus12V, {-1200, 1000}},
    {RailId::Rail5VSB, {4750, 5250}},
    {RailId::Rail12VPcie, {0, 1200}},
    {RailId::Rail12VSata, {0, 1200}},
    {RailId::Rail5VSata, {0, 500}},
    {RailId::Rail3V3Sata, {0, 330}},
};

// The 12V PCIe timing, slew and flag pairs are published although those cells never hold a value.
constexpr CommonRow kCommonRows[kRailCount] = {
    // rail                  currents     power        ripple    T1        T2       T3          T6          slew rate      flags
    {RailId::Rail12V1,     {0, 60000}, {0, 720000}, {0, 120}, {0, 499}, {0, 20}, {100, 500}, {1, 30000}, {600, 100000}, {0, 0}},
    {RailId::Rail5V,       {0, 60000}, {0, 720000}, {0, 50},  {0, 499}, {0, 20}, {100, 500}, {1, 30000}, {250, 100000}, {0, 0}},
    {RailId::Rail3V3,      {0, 60000}, {0, 720000}, {0, 50},  {0, 499}, {0, 20}, {100, 500}, {1, 30000}, {165, 100000}, {0, 0}},
    {RailId::Rail12VCpu,   {0, 60000}, {0, 720000}, {0, 120}, {0, 499}, {0, 20}, {100, 500}, {1, 30000}, {600, 100000}, {0, 0}},
    {RailId::RailMinus12V, kNoLimit,   kNoLimit,    kNoLimit, kNoLimit, kNoLimit, kNoLimit,  kNoLimit,   kNoLimit,      kNoLimit},
    {RailId::Rail5VSB,     {0, 60000}, {0, 720000}, kNoLimit, kNoLimit, kNoLimit, kNoLimit,  kNoLimit,   kNoLimit,      kNoLimit},
    {RailId::Rail12VPcie,  {0, 60000}, {0, 720000}, kNoLimit, {0, 499}, {0, 20}, {100, 500}, {1, 30000}, {600, 100000}, {0, 0}},
    {RailId::Rail12VSata,  {0, 60000}, {0, 720000}, kNoLimit, kNoLimit, kNoLimit, kNoLimit,  kNoLimit,   kNoLimit,      kNoLimit},
    {RailId::Rail5VSata,   {0, 60000}, {0, 720000}, kNoLimit, kNoLimit, kNoLimit, kNoLimit,  kNoLimit,   kNoLimit,      kNoLimit},
    {RailId::Rail3V3Sata,  {0, 60000}, {0, 720000}, kNoLimit, kNoLimit, kNoLimit, kNoLimit,  kNoLimit,   kNoLimit,      kNoLimit},
};

constexpr void SetPair(CellLimits& limits, RailId rail, ReadingColumn column, LimitPair pair)
{
    const int cell = CellIndex(rail, column);
    limits.low[cell] = pair.low;
    limits.high[cell] = pair.high;
}

constexpr CellLimits ExpandLimits(const VoltageRow (&voltageRows)[kRailCount],
                                  const CommonRow (&commonRows)[kRailCount])
{
    CellLimits limits{};
    for (const VoltageRow& row : voltageRows) {
        SetPair(limits, row.rail, ReadingColumn::MinVolt, row.volts);
        SetPair(limits, row.rail, ReadingColumn::Volt, row.volts);
        SetPair(limits, row.rail, ReadingColumn::MaxVolt, row.volts);
    }
    for (const CommonRow& row : commonRows) {
        SetPair(limits, row.rail, ReadingColumn::MinCurrent, row.currents);
        SetPair(limits, row.rail, ReadingColumn::Current, row.currents);
        SetPair(limits, row.rail, ReadingColumn::MaxCurrent, row.currents);
        SetPair(limits, row.rail, ReadingColumn::Power, row.power);
        SetPair(limits, row.rail, ReadingColumn::Ripple, row.ripple);
        SetPair(limits, row.rail, ReadingColumn::T1, row.t1);
        SetPair(limits, row.rail, ReadingColumn::T2, row.t2);
        SetPair(limits, row.rail, ReadingColumn::T3, row.t3);
        SetPair(limits, row.rail, ReadingColumn::T6, row.t6);
        SetPair(limits, row.rail, ReadingColumn::SlewRate, row.slewRate);
        SetPair(limits, row.rail, ReadingColumn::TurnOnSlope, row.flags);
        SetPair(limits, row.rail, ReadingColumn::VSeq, row.flags);
        SetPair(limits, row.rail, ReadingColumn::TSeq, row.flags);
    }
    return limits;
}

// Every rail must appear once, in display order, or a row would silently land on the wrong cells.
constexpr bool RowsAreInRailOrder()
{
    for (int r = 0; r < kRailCount; ++r) {
        if (static_cast<int>(kPowerOnVoltageRows[r].rail) != r ||
            static_cast<int>(kPowerOffVoltageRows[r].rail) != r ||
            static_cast<int>(kCommonRows[r].rail) != r) {
            return false;
        }
    }
    return true;
}
static_assert(RowsAreInRailOrder(), "limit rows must list every rail once, in display order");

}  // namespace

constinit const CellLimits kPowerOnLimits = ExpandLimits(kPowerOnVoltageRows, kCommonRows);
constinit const CellLimits kPowerOffLimits = ExpandLimits(kPowerOffVoltageRows, kCommonRows);
