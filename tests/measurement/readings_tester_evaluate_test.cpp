// The application's judgement: ReadingsTable::Evaluate() takes the power state and the two cable
// flags from the tester's own state (powerStatus, settings bytes 14 and 15).
#include <gtest/gtest.h>

#include "device/tester_device.h"
#include "measurement/readings_table.h"

namespace {

TEST(ReadingsTesterEvaluate, ReadsPowerStatusAndCableFlags)
{
    DeviceReadings& readings = g_testerDevice.readings;
    const int cpuVolt = CellIndex(RailId::Rail12VCpu, ReadingColumn::Volt);
    const int pcieVolt = CellIndex(RailId::Rail12VPcie, ReadingColumn::Volt);
    const int mainVolt = CellIndex(RailId::Rail12V1, ReadingColumn::Volt);
    StoreWord(g_readingsTable.value[cpuVolt], 0);
    StoreWord(g_readingsTable.value[pcieVolt], 0);
    StoreWord(g_readingsTable.value[mainVolt], 12000);

    StoreByte(readings.powerStatus, kPowerStatusOn);
    StoreByte(readings.deviceSettings[kSettingCpu12vCable], 0);
    StoreByte(readings.deviceSettings[kSettingPcie12vCable], 1);
    g_readingsTable.Evaluate();
    EXPECT_EQ(g_readingsTable.state[mainVolt], CellState::Pass);
    EXPECT_EQ(g_readingsTable.state[cpuVolt], CellState::NotAvailable);
    EXPECT_EQ(g_readingsTable.state[pcieVolt], CellState::Fail);

    StoreByte(readings.deviceSettings[kSettingCpu12vCable], 1);
    StoreByte(readings.deviceSettings[kSettingPcie12vCable], 0);
    g_readingsTable.Evaluate();
    EXPECT_EQ(g_readingsTable.state[cpuVolt], CellState::Fail);
    EXPECT_EQ(g_readingsTable.state[pcieVolt], CellState::NotAvailable);

    // Off: 12 V present is a failure; the cable flags do not matter.
    StoreByte(readings.powerStatus, kPowerStatusOff);
    g_readingsTable.Evaluate();
    EXPECT_EQ(g_readingsTable.state[mainVolt], CellState::Fail);
    EXPECT_EQ(g_readingsTable.state[cpuVolt], CellState::Pass);

    // Neither: everything N/A.
    StoreByte(readings.powerStatus, kPowerStatusVoltagesPass);
    g_readingsTable.Evaluate();
    for (int i = 0; i < kCellCount; ++i) {
        EXPECT_EQ(g_readingsTable.state[i], CellState::NotAvailable) << i;
    }
    g_readingsTable.ClearValues();
}

}  // namespace
