// Shared by the device tests: a marker in every field of DeviceReadings, so that a test sees which
// fields a reply wrote, and the list of TesterDevice's requests that answer true or false.
#pragma once

#include "device/tester_device.h"

inline void FillReadings(DeviceReadings& r, int32_t word, uint8_t byte = 0x77)
{
    auto fill = [word](std::atomic<int32_t>* field, int count) {
        for (int i = 0; i < count; ++i) StoreWord(field[i], word);
    };
    for (auto& b : r.deviceSettings) StoreByte(b, byte);
    StoreByte(r.powerStatus, byte);
    fill(&r.totalPower, 1);
    for (auto* field : {r.voltageMin, r.voltageMax}) fill(field, kVoltageMinMaxChannels);
    for (auto* field : {r.voltage, r.currentMin, r.current, r.currentMax}) fill(field, kChannelCount);
    fill(r.ripple, kRippleChannels);
    for (auto& channel : r.timing) fill(channel, kTimingsPerChannel);
    for (auto* field : {r.slewRate, r.turnOnSlope, r.voltageSequence, r.timeSequence}) fill(field, kTimedChannels);
}

// In the order of the tester's command numbers.
using Request = bool (TesterDevice::*)();
constexpr Request kRequests[] = {
    &TesterDevice::ReadStatus,        &TesterDevice::ReadVoltages,      &TesterDevice::ReadCurrents,
    &TesterDevice::ReadVoltageMinMax, &TesterDevice::ReadCurrentMinMax, &TesterDevice::ReadRipple,
    &TesterDevice::ReadTimings,       &TesterDevice::ReadSlewAndSequence, &TesterDevice::ReadSettings,
    &TesterDevice::ResetMinMax,       &TesterDevice::WriteSettings,
};
