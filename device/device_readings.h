// The decoded measurements and tester state, in signed 32-bit milli-units (mV, mA, mW, ms,
// mV/ms), indexed by the tester's own channel order. Written by the thread that makes the
// requests (the connection worker), read by the UI thread word by word: every field is an
// atomic with relaxed order, so a reader may see fields of two poll cycles side by side.
#pragma once

#include <atomic>
#include <cstdint>

// No value.
constexpr int32_t kNotAvailable = -100000;
// In timing values only: the tester timed out measuring it.
constexpr int32_t kTimedOut = 100000;

// The tester's numbering of the measured rails; not the display order.
enum DeviceChannel : int {
    kChannel12V1 = 0,
    kChannel5V = 1,
    kChannel3V3 = 2,
    kChannel12VCpu = 3,
    kChannel5VSB = 4,
    kChannel12VPcie = 5,
    kChannelMinus12V = 6,
    kChannel12VSata = 7,
    kChannel5VSata = 8,
    kChannel3V3Sata = 9,
};

constexpr int kChannelCount = 10;
constexpr int kVoltageMinMaxChannels = 7;
constexpr int kRippleChannels = 6;
constexpr int kTimedChannels = 4;
constexpr int kTimingsPerChannel = 4;
constexpr int kSettingsSize = 18;

// Settings bytes this program edits.
constexpr int kSettingCpu12vCable = 14;
constexpr int kSettingPcie12vCable = 15;
constexpr int kSettingComplianceMode = 16;
constexpr int kSettingBuzzerMode = 17;

// powerStatus bits.
constexpr uint8_t kPowerStatusOn = 0x01;
constexpr uint8_t kPowerStatusOff = 0x02;
constexpr uint8_t kPowerStatusVoltagesPass = 0x04;
constexpr int kPowerStatusTimingsShift = 3;

struct DeviceReadings {
    std::atomic<uint8_t> deviceSettings[kSettingsSize];
    std::atomic<uint8_t> powerStatus;
    // The tester sends an unsigned 32-bit number of mW; readers take it as uint32_t.
    std::atomic<int32_t> totalPower;
    std::atomic<int32_t> voltageMin[kVoltageMinMaxChannels];
    std::atomic<int32_t> voltage[kChannelCount];
    std::atomic<int32_t> voltageMax[kVoltageMinMaxChannels];
    std::atomic<int32_t> ripple[kRippleChannels];
    std::atomic<int32_t> currentMin[kChannelCount];
    std::atomic<int32_t> current[kChannelCount];
    std::atomic<int32_t> currentMax[kChannelCount];
    std::atomic<int32_t> timing[kTimedChannels][kTimingsPerChannel];
    std::atomic<int32_t> slewRate[kTimedChannels];
    std::atomic<int32_t> turnOnSlope[kTimedChannels];
    std::atomic<int32_t> voltageSequence[kTimedChannels];
    std::atomic<int32_t> timeSequence[kTimedChannels];
};

inline int32_t LoadWord(const std::atomic<int32_t>& word) { return word.load(std::memory_order_relaxed); }
inline void StoreWord(std::atomic<int32_t>& word, int32_t value) { word.store(value, std::memory_order_relaxed); }
inline uint8_t LoadByte(const std::atomic<uint8_t>& byte) { return byte.load(std::memory_order_relaxed); }
inline void StoreByte(std::atomic<uint8_t>& byte, uint8_t value) { byte.store(value, std::memory_order_relaxed); }
