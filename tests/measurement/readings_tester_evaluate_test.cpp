// The application's judgement: ReadingsTable::Evaluate() takes the power state and the two cable
// flags from the tester's own state (powerStatus, settings bytes 14 and 15).
#include <gtest/gtest.h>

#include "device/tester_device.h"
#include "measurement/readings_table.h"

TEST(ReadingsTesterEvaluate, ReadsPowerStatusAndCableFlags)
{
    using S = CellState;
    DeviceReadings& readings = g_testerDevice.readings;
    const int cells[] = {CellIndex(RailId::Rail12V1, ReadingColumn::Volt), CellIndex(RailId::Rail12VCpu, ReadingColumn::Volt),
                         CellIndex(RailId::Rail12VPcie, ReadingColumn::Volt), kCellCount - 1};
    const int32_t values[] = {12000, 0, 0, 5};
    // Off: 12 V present fails and the cable flags play no part; neither bit: N/A.
    const struct { uint8_t status, cpu, pcie; S main, cpuVolt, pcieVolt, last; } rows[] = {
        {kPowerStatusOn, 0, 1, S::Pass, S::NotAvailable, S::Fail, S::Pass},
        {kPowerStatusOn, 1, 0, S::Pass, S::Fail, S::NotAvailable, S::Pass},
        {kPowerStatusOff, 1, 0, S::Fail, S::Pass, S::Pass, S::Pass},
        {kPowerStatusVoltagesPass, 1, 1, S::NotAvailable, S::NotAvailable, S::NotAvailable, S::NotAvailable},
    };
    for (int i = 0; i < 4; ++i)
        StoreWord(g_readingsTable.value[cells[i]], values[i]);
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.status) * 100 + row.cpu * 10 + row.pcie);
        StoreByte(readings.powerStatus, row.status);
        StoreByte(readings.deviceSettings[kSettingCpu12vCable], row.cpu);
        StoreByte(readings.deviceSettings[kSettingPcie12vCable], row.pcie);
        g_readingsTable.Evaluate();
        EXPECT_EQ(g_readingsTable.state[cells[0]], row.main);
        EXPECT_EQ(g_readingsTable.state[cells[1]], row.cpuVolt);
        EXPECT_EQ(g_readingsTable.state[cells[2]], row.pcieVolt);
        EXPECT_EQ(g_readingsTable.state[cells[3]], row.last);
    }
    g_readingsTable.ClearValues();
}
