// The simulated tester's measurements and replies. Replies are encoded by walking the host's own
// decoding table backwards, so what the host decodes is what the tester measured.
#include "sim/simulated_tester.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// A healthy ATX supply under a moderate load, by tester channel.
constexpr int32_t kNominalMillivolts[kVoltageMinMaxChannels] = {12060, 5040, 3340, 12050,
                                                                5030,  12040, -11920};
constexpr int32_t kVoltageNoise[kVoltageMinMaxChannels] = {25, 12, 8, 25, 12, 25, 30};
constexpr int32_t kLoadMilliamps[kChannelCount] = {9000, 7000, 5000, 6000, 800,
                                                   4000, 0,    1500, 1200, 600};
constexpr int32_t kStandbyMilliamps = 250;
constexpr int32_t kRippleMillivolts[kRippleChannels] = {22, 14, 11, 24, 12, 23};
constexpr int32_t kStandbyRipple = 8;
// ATX tolerances the tester applies for its own voltages verdict: 5 %, 10 % on -12 V.
constexpr int32_t kTolerancePercent[kVoltageMinMaxChannels] = {5, 5, 5, 5, 5, 5, 10};

int32_t* FindSlot(TesterValues& values, ReadingField field, uint32_t index)
{
    switch (field) {
    case ReadingField::PowerStatus: return index < 1 ? &values.powerStatus : nullptr;
    case ReadingField::TotalPower: return index < 1 ? &values.totalPower : nullptr;
    case ReadingField::Voltage: return index < kChannelCount ? &values.voltage[index] : nullptr;
    case ReadingField::Current: return index < kChannelCount ? &values.current[index] : nullptr;
    case ReadingField::VoltageMin:
        return index < kVoltageMinMaxChannels ? &values.voltageMin[index] : nullptr;
    case ReadingField::VoltageMax:
        return index < kVoltageMinMaxChannels ? &values.voltageMax[index] : nullptr;
    case ReadingField::CurrentMin: return index < kChannelCount ? &values.currentMin[index] : nullptr;
    case ReadingField::CurrentMax: return index < kChannelCount ? &values.currentMax[index] : nullptr;
    case ReadingField::Ripple: return index < kRippleChannels ? &values.ripple[index] : nullptr;
    case ReadingField::Timing:
        return index < kTimedChannels * kTimingsPerChannel ? &values.timing[index] : nullptr;
    case ReadingField::SlewRate: return index < kTimedChannels ? &values.slewRate[index] : nullptr;
    case ReadingField::TurnOnSlope: return index < kTimedChannels ? &values.turnOnSlope[index] : nullptr;
    case ReadingField::VoltageSequence:
        return index < kTimedChannels ? &values.voltageSequence[index] : nullptr;
    case ReadingField::TimeSequence:
        return index < kTimedChannels ? &values.timeSequence[index] : nullptr;
    case ReadingField::Settings: return index < kSettingsSize ? &values.settings[index] : nullptr;
    }
    return nullptr;
}

const DecodeRule* FindRule(uint8_t command, ReadingField field, uint32_t index)
{
    uint32_t count = 0;
    const DecodeRule* table = DecodeTable(count);
    for (uint32_t i = 0; i < count; ++i) {
        const DecodeRule& rule = table[i];
        if (rule.command == command && rule.field == field && index >= rule.firstIndex &&
            index < static_cast<uint32_t>(rule.firstIndex + rule.count))
            return &rule;
    }
    return nullptr;
}

// What the host will decode for a measured value: the tester's converter has finite steps.
int32_t Quantize(uint8_t command, ReadingField field, uint32_t index, int32_t value)
{
    const DecodeRule* rule = FindRule(command, field, index);
    return rule ? DecodeRawValue(*rule, EncodeValue(*rule, value)) : value;
}

int32_t ClampToType(RawType type, int64_t raw)
{
    int64_t low = INT32_MIN, high = INT32_MAX;
    switch (type) {
    case RawType::U8: low = 0; high = 0xFF; break;
    case RawType::S16: low = -0x8000; high = 0x7FFF; break;
    case RawType::U16: low = 0; high = 0xFFFF; break;
    case RawType::U32:
    case RawType::S32: break;
    }
    return static_cast<int32_t>(raw < low ? low : raw > high ? high : raw);
}

const char* NameField(ReadingField field)
{
    switch (field) {
    case ReadingField::PowerStatus: return "powerStatus";
    case ReadingField::TotalPower: return "totalPower";
    case ReadingField::Voltage: return "voltage";
    case ReadingField::Current: return "current";
    case ReadingField::VoltageMin: return "voltageMin";
    case ReadingField::VoltageMax: return "voltageMax";
    case ReadingField::CurrentMin: return "currentMin";
    case ReadingField::CurrentMax: return "currentMax";
    case ReadingField::Ripple: return "ripple";
    case ReadingField::Timing: return "timing";
    case ReadingField::SlewRate: return "slewRate";
    case ReadingField::TurnOnSlope: return "turnOnSlope";
    case ReadingField::VoltageSequence: return "voltageSequence";
    case ReadingField::TimeSequence: return "timeSequence";
    case ReadingField::Settings: return "settings";
    }
    return "?";
}

constexpr ReadingField kAllFields[] = {
    ReadingField::PowerStatus, ReadingField::TotalPower,  ReadingField::Voltage,         ReadingField::Current,
    ReadingField::VoltageMin,  ReadingField::VoltageMax,  ReadingField::CurrentMin,      ReadingField::CurrentMax,
    ReadingField::Ripple,      ReadingField::Timing,      ReadingField::SlewRate,        ReadingField::TurnOnSlope,
    ReadingField::VoltageSequence, ReadingField::TimeSequence, ReadingField::Settings};

}  // namespace

std::string FormatDecodedValuesJson(const TesterValues& source, int command)
{
    TesterValues values = source;
    uint32_t count = 0;
    const DecodeRule* table = DecodeTable(count);
    std::string out = "{";
    bool firstField = true;
    for (ReadingField field : kAllFields) {
        // Entries no table row writes (the tester never reports them) are left out as null.
        constexpr uint32_t kMaxEntries = kTimedChannels * kTimingsPerChannel > kSettingsSize
                                             ? kTimedChannels * kTimingsPerChannel
                                             : kSettingsSize;
        std::string entries[kMaxEntries];
        uint32_t used = 0;
        for (uint32_t r = 0; r < count; ++r) {
            const DecodeRule& rule = table[r];
            if (rule.field != field || (command >= 0 && rule.command != command))
                continue;
            for (uint32_t i = 0; i < rule.count; ++i) {
                uint32_t index = rule.firstIndex + i;
                int32_t* slot = FindSlot(values, field, index);
                if (!slot || index >= kMaxEntries)
                    continue;
                int32_t raw = rule.scale == ScaleRule::Zero ? 0 : EncodeValue(rule, *slot);
                int32_t decoded = DecodeRawValue(rule, raw);
                bool unset = (decoded == kNotAvailable && rule.sentinel != SentinelRule::None) ||
                             (decoded == kTimedOut && rule.sentinel == SentinelRule::TimingWord);
                entries[index] = unset ? "null" : std::to_string(decoded);
                used = index + 1 > used ? index + 1 : used;
            }
        }
        if (command >= 0 && used == 0)
            continue;
        out += firstField ? "\"" : ",\"";
        firstField = false;
        out += NameField(field);
        out += "\":[";
        for (uint32_t i = 0; i < used; ++i) {
            out += i ? "," : "";
            out += entries[i].empty() ? "null" : entries[i];
        }
        out += "]";
    }
    out += "}";
    return out;
}

int32_t EncodeValue(const DecodeRule& rule, int32_t value)
{
    if (value == kNotAvailable) {
        switch (rule.sentinel) {
        case SentinelRule::MinimumUnset: return kRawMinimumUnset;
        case SentinelRule::MaximumUnset: return kRawMaximumUnset;
        case SentinelRule::WordUnset:
        case SentinelRule::TimingWord: return static_cast<int32_t>(kRawWordNotAvailable);
        case SentinelRule::ByteUnset: return static_cast<int32_t>(kRawByteNotAvailable);
        case SentinelRule::None: break;
        }
    }
    if (value == kTimedOut && rule.sentinel == SentinelRule::TimingWord)
        return static_cast<int32_t>(kRawWordTimedOut);

    double estimate = value;
    switch (rule.scale) {
    case ScaleRule::Copy: return ClampToType(rule.type, value);
    case ScaleRule::Zero: return 0;
    case ScaleRule::Multiply: estimate = value / static_cast<double>(rule.factor); break;
    case ScaleRule::MinusTwelve: estimate = value / 1000.0 * 224.0 + 3355.5618; break;
    }
    // The decoder truncates in single precision: try the neighbours and keep the closest.
    int64_t base = std::llround(estimate);
    int32_t best = ClampToType(rule.type, base);
    int64_t bestError = std::llabs(static_cast<int64_t>(ScaleRawValue(rule.scale, rule.factor, best)) - value);
    for (int64_t raw = base - 2; raw <= base + 2; ++raw) {
        int32_t candidate = ClampToType(rule.type, raw);
        int64_t error =
            std::llabs(static_cast<int64_t>(ScaleRawValue(rule.scale, rule.factor, candidate)) - value);
        if (error < bestError) {
            best = candidate;
            bestError = error;
        }
    }
    return best;
}

SimulatedTester::SimulatedTester(const TesterOptions& chosen)
    : options(chosen),
      random(chosen.seed),
      powerOn(false),
      everSwitchedOn(false),
      switchedOffOnce(false),
      switchedOffMs(0),
      minMaxEmpty(true)
{
    // Bytes 0 to 13 are the tester's own (limits and thresholds of its firmware); 14 to 17 are
    // the cables, the compliance mode and the buzzer mode.
    static const uint8_t kDefaultSettings[kSettingsSize] = {0x01, 0x00, 0x32, 0x00, 0x64, 0x00,
                                                            0x05, 0x0A, 0x00, 0x00, 0x00, 0x00,
                                                            0x00, 0x00, 1,    1,    0,    2};
    for (int i = 0; i < kSettingsSize; ++i)
        values.settings[i] = kDefaultSettings[i];
    ClearSwitchOnMeasurements();
    if (options.startOn) {
        powerOn = true;
        everSwitchedOn = true;
        MeasureSwitchOn();
    }
    Measure(0);
    ResetMinMax();
}

int32_t SimulatedTester::Noise(int32_t amplitude)
{
    if (options.steady || amplitude <= 0)
        return 0;
    std::uniform_int_distribution<int32_t> spread(-amplitude, amplitude);
    return spread(random);
}

void SimulatedTester::ClearSwitchOnMeasurements()
{
    for (int32_t& word : values.timing) word = kNotAvailable;
    for (int c = 0; c < kTimedChannels; ++c) {
        values.slewRate[c] = kNotAvailable;
        values.turnOnSlope[c] = kNotAvailable;
        values.voltageSequence[c] = kNotAvailable;
        values.timeSequence[c] = kNotAvailable;
    }
}

void SimulatedTester::MeasureSwitchOn()
{
    bool cpuCable = values.settings[kSettingCpu12vCable] != 0;
    for (int c = 0; c < kTimedChannels; ++c) {
        int32_t* t = &values.timing[c * kTimingsPerChannel];
        if (c == kChannel12VCpu && !cpuCable) {
            // Nothing plugged into the CPU connector: nothing to time.
            for (int k = 0; k < kTimingsPerChannel; ++k) t[k] = kNotAvailable;
            values.slewRate[c] = kNotAvailable;
            values.turnOnSlope[c] = kNotAvailable;
            values.voltageSequence[c] = kNotAvailable;
            values.timeSequence[c] = kNotAvailable;
            continue;
        }
        t[0] = 150 + 10 * c + Noise(20);  // T1: PS_ON to rail in regulation
        t[1] = 8 + c + Noise(2);          // T2: rise time
        t[2] = 250 + Noise(30);           // T3: rail in regulation to PWR_OK
        t[3] = options.timedOut ? kTimedOut : 15 + c + Noise(3);  // T6
        values.slewRate[c] = kNominalMillivolts[c] / (t[1] > 0 ? t[1] : 1);
        values.turnOnSlope[c] = 0;
        values.voltageSequence[c] = 0;
        values.timeSequence[c] = 0;
    }
}

void SimulatedTester::ResetMinMax()
{
    for (int c = 0; c < kVoltageMinMaxChannels; ++c) {
        values.voltageMin[c] = kNotAvailable;
        values.voltageMax[c] = kNotAvailable;
    }
    // Current extremes have no "empty" code on the wire: they restart from the present load.
    for (int c = 0; c < kChannelCount; ++c) {
        values.currentMin[c] = values.current[c];
        values.currentMax[c] = values.current[c];
    }
    minMaxEmpty = true;
}

void SimulatedTester::TrackMinMax()
{
    for (int c = 0; c < kVoltageMinMaxChannels; ++c) {
        int32_t v = values.voltage[c];
        if (values.voltageMin[c] == kNotAvailable || v < values.voltageMin[c])
            values.voltageMin[c] = v;
        if (values.voltageMax[c] == kNotAvailable || v > values.voltageMax[c])
            values.voltageMax[c] = v;
    }
    for (int c = 0; c < kChannelCount; ++c) {
        int32_t i = values.current[c];
        if (minMaxEmpty || i < values.currentMin[c]) values.currentMin[c] = i;
        if (minMaxEmpty || i > values.currentMax[c]) values.currentMax[c] = i;
    }
    minMaxEmpty = false;
}

void SimulatedTester::Measure(uint64_t nowMs)
{
    bool cpuCable = values.settings[kSettingCpu12vCable] != 0;
    bool pcieCable = values.settings[kSettingPcie12vCable] != 0;
    // The load breathes slowly, as a real machine's does.
    double load = options.steady ? 1.0 : 1.0 + 0.05 * std::sin(static_cast<double>(nowMs) / 3000.0);

    for (int c = 0; c < kVoltageMinMaxChannels; ++c) {
        int32_t mv = 0;
        if (powerOn || c == kChannel5VSB)
            mv = kNominalMillivolts[c] + options.voltageOffsetMv[c] + Noise(kVoltageNoise[c]);
        if ((c == kChannel12VCpu && !cpuCable) || (c == kChannel12VPcie && !pcieCable))
            mv = 0;
        values.voltage[c] = Quantize(kCommandVoltages, ReadingField::Voltage, c, mv);
    }
    values.voltage[kChannel12VSata] = values.voltage[kChannel12V1];
    values.voltage[kChannel5VSata] = values.voltage[kChannel5V];
    values.voltage[kChannel3V3Sata] = values.voltage[kChannel3V3];

    for (int c = 0; c < kChannelCount; ++c) {
        int32_t ma = 0;
        if (powerOn)
            ma = static_cast<int32_t>(kLoadMilliamps[c] * load) + Noise(kLoadMilliamps[c] / 40);
        else if (c == kChannel5VSB)
            ma = kStandbyMilliamps + Noise(10);
        if (c == kChannelMinus12V || (c == kChannel12VCpu && !cpuCable) ||
            (c == kChannel12VPcie && !pcieCable))
            ma = 0;
        values.current[c] = Quantize(kCommandCurrents, ReadingField::Current, c, ma);
    }

    for (int c = 0; c < kRippleChannels; ++c) {
        int32_t ripple = 0;
        if (powerOn)
            ripple = kRippleMillivolts[c] + Noise(3);
        else if (c == kChannel5VSB)
            ripple = kStandbyRipple + Noise(2);
        values.ripple[c] = ripple < 0 ? 0 : ripple;
    }

    int64_t milliwatts = 0;
    for (int c = 0; c < kChannelCount; ++c)
        milliwatts += static_cast<int64_t>(std::abs(values.voltage[c])) * values.current[c] / 1000;
    values.totalPower = static_cast<int32_t>(milliwatts);

    bool voltagesPass = powerOn;
    for (int c = 0; c < kVoltageMinMaxChannels && voltagesPass; ++c) {
        if ((c == kChannel12VCpu && !cpuCable) || (c == kChannel12VPcie && !pcieCable))
            continue;
        int32_t margin = std::abs(kNominalMillivolts[c]) * kTolerancePercent[c] / 100;
        if (std::abs(values.voltage[c] - kNominalMillivolts[c]) > margin)
            voltagesPass = false;
    }
    int32_t timingsVerdict = 2;  // not available
    if (powerOn && everSwitchedOn) {
        timingsVerdict = 0;
        for (int c = 0; c < kTimedChannels; ++c) {
            const int32_t* t = &values.timing[c * kTimingsPerChannel];
            if (t[0] == kNotAvailable)
                continue;
            bool pass = t[0] <= 500 && t[1] >= 1 && t[1] <= 20 && t[2] >= 100 && t[2] <= 500 &&
                        t[3] != kTimedOut && t[3] >= 1;
            if (!pass)
                timingsVerdict = 1;
        }
    }
    values.powerStatus = (powerOn ? kPowerStatusOn : kPowerStatusOff) |
                         (voltagesPass ? kPowerStatusVoltagesPass : 0) |
                         (timingsVerdict << kPowerStatusTimingsShift);
}

uint8_t SimulatedTester::SwitchPower(bool on, uint64_t nowMs)
{
    if (on) {
        if (powerOn)
            return kPowerResultOk;
        if (options.refuseOn)
            return kPowerRefusedOn;
        if (switchedOffOnce && nowMs - switchedOffMs < options.coolingMs)
            return kPowerRefusedOn;  // still cooling down from the last switch-off
        powerOn = true;
        everSwitchedOn = true;
        MeasureSwitchOn();
        return kPowerResultOk;
    }
    if (options.refuseOff)
        return kPowerRefusedOff;
    if (powerOn) {
        powerOn = false;
        switchedOffOnce = true;
        switchedOffMs = nowMs;
        ClearSwitchOnMeasurements();
    }
    return kPowerResultOk;
}

void SimulatedTester::EncodeReply(uint8_t command, uint8_t* data)
{
    uint32_t count = 0;
    const DecodeRule* table = DecodeTable(count);
    for (uint32_t r = 0; r < count; ++r) {
        const DecodeRule& rule = table[r];
        if (rule.command != command || rule.scale == ScaleRule::Zero)
            continue;
        for (uint32_t i = 0; i < rule.count; ++i) {
            int32_t* slot = FindSlot(values, rule.field, rule.firstIndex + i);
            if (slot)
                WriteRaw(rule.type, EncodeValue(rule, *slot), data + rule.offset + i * rule.stride);
        }
    }
}

int32_t SimulatedTester::Answer(uint8_t command, const uint8_t* payload, uint32_t payloadLength,
                                uint64_t nowMs, uint8_t* data)
{
    Measure(nowMs);
    if (command == kCommandVoltages || command == kCommandCurrents)
        TrackMinMax();

    const ReplyLayout* layout = FindReplyLayout(command);
    if (!layout)
        return -1;  // not a command of this tester
    uint32_t length = layout->sentLength > 0 ? layout->sentLength : 1;
    std::memset(data, 0, length);
    data[0] = command;

    switch (command) {
    case kCommandIdentify: {
        static const char kSerial[] = "SIM001";
        std::memcpy(data + kIdentityOffset, options.identity, 3);
        std::memcpy(data + 4, kSerial, 6);
        data[kFirmwareFirstOffset] = options.firmware[0];
        data[kFirmwareSecondOffset] = options.firmware[1];
        return static_cast<int32_t>(length);
    }
    case kCommandSetPower:
        if (payloadLength != 1 || payload[0] > 1)
            return -1;
        data[kPowerResultOffset] = SwitchPower(payload[0] == 1, nowMs);
        Measure(nowMs);
        return static_cast<int32_t>(length);
    case kCommandResetMinMax:
        ResetMinMax();
        return static_cast<int32_t>(length);
    case kCommandWriteSettings:
        if (payloadLength != kSettingsSize)
            return -1;
        for (int i = 0; i < kSettingsSize; ++i)
            values.settings[i] = payload[i];
        return static_cast<int32_t>(length);
    default:
        EncodeReply(command, data);
        return static_cast<int32_t>(length);
    }
}
