// The readings judgement from the application's tester state. Kept apart from the table itself so
// that programs using the table without a tester (tests, tools) need not link one.
#include "device/tester_device.h"
#include "measurement/readings_table.h"

void ReadingsTable::Evaluate()
{
    const DeviceReadings& readings = g_testerDevice.readings;
    Evaluate(LoadByte(readings.powerStatus), LoadByte(readings.deviceSettings[kSettingCpu12vCable]) != 0,
             LoadByte(readings.deviceSettings[kSettingPcie12vCable]) != 0);
}
