// The simulated tester's side of the protocol: a working ATX supply behind the tester, with rails
// near nominal, a load, ripple, power-on timings after each switch-on, minima and maxima kept
// since the last reset, and the 18-byte settings block. Knows nothing of ports or faults on the
// line (sim_main.cpp does those); it only answers one request at a time.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "device/device_readings.h"
#include "device/tester_protocol.h"

struct TesterOptions {
    bool steady = false;          // no noise: every reading sits on its nominal value
    bool startOn = false;         // the supply is on (and its timings measured) from the start
    bool refuseOn = false;        // every switch-on is refused (result 2)
    bool refuseOff = false;       // every switch-off is refused (result 1)
    bool timedOut = false;        // the T6 measurement of every channel times out
    uint32_t coolingMs = 3000;    // switch-on refused this long after a switch-off
    uint8_t identity[3] = {'P', 'S', 'U'};
    uint8_t firmware[2] = {2, 11};
    uint32_t seed = 1;
    // Added to a live rail's voltage, by tester channel (0 to 6), in mV: a supply that is out of
    // tolerance on that rail.
    int32_t voltageOffsetMv[kVoltageMinMaxChannels] = {};
};

// What the tester has measured, in the units the host stores, sentinels included. Laid out like
// the host's readings so that the reply encoder can walk the same decoding table.
struct TesterValues {
    int32_t powerStatus = 0;
    int32_t totalPower = 0;
    int32_t voltage[kChannelCount] = {};
    int32_t current[kChannelCount] = {};
    int32_t voltageMin[kVoltageMinMaxChannels] = {};
    int32_t voltageMax[kVoltageMinMaxChannels] = {};
    int32_t currentMin[kChannelCount] = {};
    int32_t currentMax[kChannelCount] = {};
    int32_t ripple[kRippleChannels] = {};
    int32_t timing[kTimedChannels * kTimingsPerChannel] = {};
    int32_t slewRate[kTimedChannels] = {};
    int32_t turnOnSlope[kTimedChannels] = {};
    int32_t voltageSequence[kTimedChannels] = {};
    int32_t timeSequence[kTimedChannels] = {};
    int32_t settings[kSettingsSize] = {};
};

// The raw value whose decoded value lies nearest to `value` (sentinels map to their raw codes).
int32_t EncodeValue(const DecodeRule& rule, int32_t value);

// The values as the host decodes them from the replies, by the decoding table: one JSON object
// with an array per DeviceReadings field ("voltage", "currentMax", "timing", ...) in stored units,
// null for not available and timed out. For a soak run's checks against the host's readings. With
// a command, only the fields its reply carries ("{}" for a reply without readings).
std::string FormatDecodedValuesJson(const TesterValues& values, int command = -1);

class SimulatedTester {
public:
    explicit SimulatedTester(const TesterOptions& options);

    // Answers one request. Returns the reply data length (data[0] echoes the command), or -1 when
    // the tester has no answer for it. data must hold kMaxReplyData bytes.
    int32_t Answer(uint8_t command, const uint8_t* payload, uint32_t payloadLength,
                   uint64_t nowMs, uint8_t* data);

    const TesterValues& Values() const { return values; }
    // From now on every reading sits on its nominal value (the end of a --chaos run).
    void MakeSteady() { options.steady = true; }

private:
    void Measure(uint64_t nowMs);
    void MeasureSwitchOn();
    void ClearSwitchOnMeasurements();
    void ResetMinMax();
    void TrackMinMax();
    uint8_t SwitchPower(bool on, uint64_t nowMs);
    int32_t Noise(int32_t amplitude);
    // Fills data from values by the decoding table rows of `command`.
    void EncodeReply(uint8_t command, uint8_t* data);

    TesterOptions options;
    TesterValues values;
    std::mt19937 random;
    bool powerOn;
    bool everSwitchedOn;
    bool switchedOffOnce;
    uint64_t switchedOffMs;
    bool minMaxEmpty;  // since the last reset no voltage has been sampled
};
