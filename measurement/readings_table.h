// The program's single picture of the supply under test: ten rails by sixteen columns, each cell
// with a value in the tester's units, the text the window shows for it and a PASS/N/A/FAIL
// verdict, judged against the fixed power-on and power-off limit tables.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/device_readings.h"

// Display order: the row of the readings grid.
enum class RailId : int {
    Rail12V1 = 0,
    Rail5V = 1,
    Rail3V3 = 2,
    Rail12VCpu = 3,
    RailMinus12V = 4,
    Rail5VSB = 5,
    Rail12VPcie = 6,
    Rail12VSata = 7,
    Rail5VSata = 8,
    Rail3V3Sata = 9,
};

// The column of the grid.
enum class ReadingColumn : int {
    MinVolt = 0,
    Volt = 1,
    MaxVolt = 2,
    MinCurrent = 3,
    Current = 4,
    MaxCurrent = 5,
    Power = 6,
    Ripple = 7,
    T1 = 8,
    T2 = 9,
    T3 = 10,
    T6 = 11,
    SlewRate = 12,
    TurnOnSlope = 13,
    VSeq = 14,
    TSeq = 15,
};

// The numeric values are part of the contract: colouring treats 0 as PASS, 2 as FAIL, the rest N/A.
enum class CellState : uint8_t { Pass = 0, NotAvailable = 1, Fail = 2 };

constexpr int kRailCount = 10;
constexpr int kColumnCount = 16;
constexpr int kCellCount = kRailCount * kColumnCount;
// UTF-16 units of a cell text, terminator included.
constexpr int kCellTextSize = 10;

constexpr int CellIndex(RailId rail, ReadingColumn column)
{
    return kColumnCount * static_cast<int>(rail) + static_cast<int>(column);
}

// Inclusive limits in the stored units.
struct CellLimits {
    int32_t low[kCellCount];
    int32_t high[kCellCount];
};

extern const CellLimits kPowerOnLimits;
extern const CellLimits kPowerOffLimits;

class ReadingsTable {
public:
    ReadingsTable();

    // Every value back to kNotAvailable.
    void ClearValues();
    // Worker thread, once per poll cycle.
    void CopyFromDevice(const DeviceReadings& readings);
    // UI thread: judges all 160 cells from the application's tester state (powerStatus and the
    // two cable flags of g_testerDevice). Lives in readings_table_tester.cpp, so only programs
    // that call it link the tester.
    void Evaluate();
    // The same judgement from explicit inputs.
    void Evaluate(uint8_t powerStatus, bool cpu12vConnected, bool pcie12vConnected);

    // Written by the connection worker, read by the UI thread (relaxed).
    std::atomic<int32_t> value[kCellCount];
    // UI thread only.
    wchar_t text[kCellCount][kCellTextSize];
    // UI thread only.
    CellState state[kCellCount];
};

// One cell's verdict.
CellState EvaluateCell(int cellIndex, int32_t value, uint8_t powerStatus, bool cpu12vConnected,
                       bool pcie12vConnected);

// A rail's power in mW: voltage x current, then / 1000, each step in single precision, truncated
// toward zero (saturating at the 32-bit limits, which no tester reading reaches).
int32_t ComputeRailPower(int32_t voltageMillivolts, int32_t currentMilliamps);

extern ReadingsTable g_readingsTable;
