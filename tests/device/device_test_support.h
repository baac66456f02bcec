// Shared by the device tests: a marker in every field of DeviceReadings, so that a test sees which
// fields a reply wrote, a copy of every field, and the list of TesterDevice's requests that answer
// true or false.
#pragma once

#include <vector>

#include "device/tester_device.h"

// Calls word(atomic int32) and byte(atomic uint8) for every field of the readings, in one order.
template <typename Readings, typename Word, typename Byte>
void VisitReadings(Readings& r, Word word, Byte byte)
{
    auto words = [&](auto* field, int count) {
        for (int i = 0; i < count; ++i) word(field[i]);
    };
    for (auto& b : r.deviceSettings) byte(b);
    byte(r.powerStatus);
    words(&r.totalPower, 1);
    for (auto* field : {r.voltageMin, r.voltageMax}) words(field, kVoltageMinMaxChannels);
    for (auto* field : {r.voltage, r.currentMin, r.current, r.currentMax}) words(field, kChannelCount);
    words(r.ripple, kRippleChannels);
    for (auto& channel : r.timing) words(channel, kTimingsPerChannel);
    for (auto* field : {r.slewRate, r.turnOnSlope, r.voltageSequence, r.timeSequence}) words(field, kTimedChannels);
}

inline void FillReadings(DeviceReadings& r, int32_t word, uint8_t byte = 0x77)
{
    VisitReadings(r, [word](std::atomic<int32_t>& w) { StoreWord(w, word); },
                  [byte](std::atomic<uint8_t>& b) { StoreByte(b, byte); });
}

// Where each field starts in SnapshotReadings (VisitReadings' order).
enum Slot : int {
    kSet = 0, kPower = 18, kTotal = 19, kVMin = 20, kVMax = 27, kV = 34, kCMin = 44, kC = 54, kCMax = 64,
    kRip = 74, kTim = 80, kSlew = 96, kSlope = 100, kVSeq = 104, kTSeq = 108,
};

// Every field of the readings, in VisitReadings' order.
inline std::vector<int32_t> SnapshotReadings(const DeviceReadings& r)
{
    std::vector<int32_t> values;
    VisitReadings(r, [&](const std::atomic<int32_t>& w) { values.push_back(LoadWord(w)); },
                  [&](const std::atomic<uint8_t>& b) { values.push_back(LoadByte(b)); });
    return values;
}

// In the order of the tester's command numbers.
using Request = bool (TesterDevice::*)();
inline constexpr Request kRequests[] = {
    &TesterDevice::ReadStatus,        &TesterDevice::ReadVoltages,      &TesterDevice::ReadCurrents,
    &TesterDevice::ReadVoltageMinMax, &TesterDevice::ReadCurrentMinMax, &TesterDevice::ReadRipple,
    &TesterDevice::ReadTimings,       &TesterDevice::ReadSlewAndSequence, &TesterDevice::ReadSettings,
    &TesterDevice::ResetMinMax,       &TesterDevice::WriteSettings,
};
