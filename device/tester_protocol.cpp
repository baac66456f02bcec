// The tester's frames, its reply layouts and the decoding table with its interpreter, and the
// receive-side frame assembler. Plain code: no port, no thread, no clock of its own.
#include "device/tester_protocol.h"

#include <cstring>

namespace {

constexpr float kScale12V = 3.59538f;
constexpr float kScale5V = 1.61172f;
constexpr float kScale3V3 = 1.09812f;
constexpr float kScaleCurrent = 13.43101f;
constexpr float kScale5VSBCurrent = 2.01465f;
constexpr float kScaleSataCurrent = 0.80586f;

using R = RawType;
using F = ReadingField;
using S = ScaleRule;
using N = SentinelRule;

// Every reply field the program reads, command by command. Offsets are reply data byte positions
// (data byte 0 is never read). A row with count > 1 reads values `stride` bytes apart into
// consecutive entries of its field.
constexpr DecodeRule kDecodeTable[] = {
    // command                  offset type  n  stride field              first scale       factor              sentinel
    {kCommandStatus,            1,  R::U8,  1,  1, F::PowerStatus,     0, S::Copy,        1.0f,               N::None},
    {kCommandStatus,            2,  R::U32, 1,  4, F::TotalPower,      0, S::Copy,        1.0f,               N::None},

    {kCommandVoltages,          1,  R::S16, 1,  2, F::Voltage,         0, S::Multiply,    kScale12V,          N::None},
    {kCommandVoltages,          3,  R::S16, 1,  2, F::Voltage,         3, S::Multiply,    kScale12V,          N::None},
    {kCommandVoltages,          5,  R::S16, 1,  2, F::Voltage,         5, S::Multiply,    kScale12V,          N::None},
    {kCommandVoltages,          7,  R::S16, 1,  2, F::Voltage,         1, S::Multiply,    kScale5V,           N::None},
    {kCommandVoltages,          9,  R::S16, 1,  2, F::Voltage,         4, S::Multiply,    kScale5V,           N::None},
    {kCommandVoltages,          11, R::S16, 1,  2, F::Voltage,         2, S::Multiply,    kScale3V3,          N::None},
    {kCommandVoltages,          13, R::S16, 1,  2, F::Voltage,         6, S::MinusTwelve, 1.0f,               N::None},
    // The SATA connectors carry the main rails: the tester reports them once.
    {kCommandVoltages,          1,  R::S16, 1,  2, F::Voltage,         7, S::Multiply,    kScale12V,          N::None},
    {kCommandVoltages,          7,  R::S16, 1,  2, F::Voltage,         8, S::Multiply,    kScale5V,           N::None},
    {kCommandVoltages,          11, R::S16, 1,  2, F::Voltage,         9, S::Multiply,    kScale3V3,          N::None},

    {kCommandCurrents,          1,  R::S16, 1,  2, F::Current,         0, S::Multiply,    kScaleCurrent,      N::None},
    {kCommandCurrents,          3,  R::S16, 1,  2, F::Current,         3, S::Multiply,    kScaleCurrent,      N::None},
    {kCommandCurrents,          5,  R::S16, 1,  2, F::Current,         5, S::Multiply,    kScaleCurrent,      N::None},
    {kCommandCurrents,          7,  R::S16, 1,  2, F::Current,         1, S::Multiply,    kScaleCurrent,      N::None},
    {kCommandCurrents,          9,  R::S16, 1,  2, F::Current,         4, S::Multiply,    kScale5VSBCurrent,  N::None},
    {kCommandCurrents,          11, R::S16, 1,  2, F::Current,         2, S::Multiply,    kScaleCurrent,      N::None},
    {kCommandCurrents,          0,  R::S16, 1,  0, F::Current,         6, S::Zero,        0.0f,               N::None},
    {kCommandCurrents,          13, R::S16, 3,  2, F::Current,         7, S::Multiply,    kScaleSataCurrent,  N::None},

    {kCommandVoltageMinMax,     1,  R::S16, 7,  2, F::VoltageMin,      0, S::Copy,        1.0f,               N::MinimumUnset},
    {kCommandVoltageMinMax,     15, R::S16, 7,  2, F::VoltageMax,      0, S::Copy,        1.0f,               N::MaximumUnset},

    {kCommandCurrentMinMax,     1,  R::S32, 10, 4, F::CurrentMin,      0, S::Copy,        1.0f,               N::None},
    {kCommandCurrentMinMax,     41, R::S32, 10, 4, F::CurrentMax,      0, S::Copy,        1.0f,               N::None},

    {kCommandRipple,            1,  R::U16, 6,  2, F::Ripple,          0, S::Copy,        1.0f,               N::None},

    // Bytes 1 and 2 belong to the tester; timing[c][k] is the word at 3 + 8c + 2k.
    {kCommandTimings,           3,  R::U16, 16, 2, F::Timing,          0, S::Copy,        1.0f,               N::TimingWord},

    {kCommandSlewAndSequence,   1,  R::U16, 4,  2, F::SlewRate,        0, S::Copy,        1.0f,               N::WordUnset},
    {kCommandSlewAndSequence,   11, R::U8,  4,  1, F::TurnOnSlope,     0, S::Copy,        1.0f,               N::ByteUnset},
    // The tester does not judge the 3.3V sequencing: entry 2 is never written.
    {kCommandSlewAndSequence,   15, R::U8,  2,  1, F::VoltageSequence, 0, S::Copy,        1.0f,               N::ByteUnset},
    {kCommandSlewAndSequence,   17, R::U8,  1,  1, F::VoltageSequence, 3, S::Copy,        1.0f,               N::ByteUnset},
    {kCommandSlewAndSequence,   18, R::U8,  2,  1, F::TimeSequence,    0, S::Copy,        1.0f,               N::ByteUnset},
    {kCommandSlewAndSequence,   20, R::U8,  1,  1, F::TimeSequence,    3, S::Copy,        1.0f,               N::ByteUnset},

    {kCommandReadSettings,      1,  R::U8,  18, 1, F::Settings,        0, S::Copy,        1.0f,               N::None},
};

// The shortest reply each command's decoder accepts (one past the last byte it reads), the length
// the present firmware sends, and whether the request leaves the tester as it was. Replies
// without data the program reads carry at most the tester's own byte 0.
constexpr ReplyLayout kReplyLayouts[] = {
    {kCommandIdentify, 12, 12, true},
    {kCommandStatus, 6, 6, true},
    {kCommandVoltages, 15, 15, true},
    {kCommandCurrents, 19, 19, true},
    {kCommandVoltageMinMax, 29, 29, true},
    {kCommandCurrentMinMax, 81, 81, true},
    {kCommandRipple, 13, 13, true},
    {kCommandTimings, 35, 35, true},
    {kCommandSlewAndSequence, 21, 21, true},
    {kCommandSetPower, 2, 2, false},
    {kCommandResetMinMax, 0, 1, false},
    {kCommandReadSettings, 19, 19, true},
    {kCommandWriteSettings, 0, 1, false},
};

std::atomic<int32_t>* FindDestination(DeviceReadings& readings, ReadingField field, uint32_t index)
{
    switch (field) {
    case F::TotalPower: return index < 1 ? &readings.totalPower : nullptr;
    case F::Voltage: return index < kChannelCount ? &readings.voltage[index] : nullptr;
    case F::Current: return index < kChannelCount ? &readings.current[index] : nullptr;
    case F::VoltageMin: return index < kVoltageMinMaxChannels ? &readings.voltageMin[index] : nullptr;
    case F::VoltageMax: return index < kVoltageMinMaxChannels ? &readings.voltageMax[index] : nullptr;
    case F::CurrentMin: return index < kChannelCount ? &readings.currentMin[index] : nullptr;
    case F::CurrentMax: return index < kChannelCount ? &readings.currentMax[index] : nullptr;
    case F::Ripple: return index < kRippleChannels ? &readings.ripple[index] : nullptr;
    case F::Timing:
        return index < kTimedChannels * kTimingsPerChannel
                   ? &readings.timing[index / kTimingsPerChannel][index % kTimingsPerChannel]
                   : nullptr;
    case F::SlewRate: return index < kTimedChannels ? &readings.slewRate[index] : nullptr;
    case F::TurnOnSlope: return index < kTimedChannels ? &readings.turnOnSlope[index] : nullptr;
    case F::VoltageSequence: return index < kTimedChannels ? &readings.voltageSequence[index] : nullptr;
    case F::TimeSequence: return index < kTimedChannels ? &readings.timeSequence[index] : nullptr;
    case F::PowerStatus:
    case F::Settings: return nullptr;  // byte fields, stored by StoreValue
    }
    return nullptr;
}

void StoreValue(DeviceReadings& readings, ReadingField field, uint32_t index, int32_t value)
{
    if (field == F::PowerStatus) {
        StoreByte(readings.powerStatus, static_cast<uint8_t>(value));
        return;
    }
    if (field == F::Settings) {
        if (index < kSettingsSize)
            StoreByte(readings.deviceSettings[index], static_cast<uint8_t>(value));
        return;
    }
    std::atomic<int32_t>* word = FindDestination(readings, field, index);
    if (word)
        StoreWord(*word, value);
}

}  // namespace

uint32_t BuildRequestFrame(uint8_t command, const uint8_t* payload, uint32_t payloadLength,
                           uint8_t* frame)
{
    if (payloadLength > kMaxRequestPayload || (payloadLength > 0 && !payload))
        return 0;
    frame[0] = kFrameStart;
    frame[1] = static_cast<uint8_t>(payloadLength + 1);
    frame[2] = command;
    if (payloadLength > 0)
        std::memcpy(frame + 3, payload, payloadLength);
    frame[3 + payloadLength] = kFrameEnd;
    return payloadLength + 4;
}

uint32_t BuildReplyFrame(const uint8_t* data, uint32_t length, uint8_t* frame)
{
    if (length > 0xFFF || (length > 0 && !data))
        return 0;
    frame[0] = kFrameStart;
    frame[1] = static_cast<uint8_t>(length & 0xFF);
    frame[2] = static_cast<uint8_t>(kReplyMarker | (length >> 8));
    if (length > 0)
        std::memcpy(frame + kReplyHeaderSize, data, length);
    frame[kReplyHeaderSize + length] = kFrameEnd;
    return length + 4;
}

const ReplyLayout* FindReplyLayout(uint8_t command)
{
    for (const ReplyLayout& layout : kReplyLayouts)
        if (layout.command == command)
            return &layout;
    return nullptr;
}

const DecodeRule* DecodeTable(uint32_t& ruleCount)
{
    ruleCount = sizeof(kDecodeTable) / sizeof(kDecodeTable[0]);
    return kDecodeTable;
}

uint32_t RawSize(RawType type)
{
    switch (type) {
    case R::U8: return 1;
    case R::S16:
    case R::U16: return 2;
    case R::U32:
    case R::S32: return 4;
    }
    return 1;
}

int32_t ReadRaw(RawType type, const uint8_t* at)
{
    uint32_t word = 0;
    for (uint32_t i = RawSize(type); i > 0; --i)
        word = (word << 8) | at[i - 1];
    switch (type) {
    case R::U8:
    case R::U16: return static_cast<int32_t>(word);
    case R::S16: return static_cast<int16_t>(static_cast<uint16_t>(word));
    case R::U32:  // the tester's unsigned total power is kept in the same 32 bits
    case R::S32: return static_cast<int32_t>(word);
    }
    return 0;
}

void WriteRaw(RawType type, int32_t value, uint8_t* at)
{
    uint32_t word = static_cast<uint32_t>(value);
    for (uint32_t i = 0; i < RawSize(type); ++i) {
        at[i] = static_cast<uint8_t>(word & 0xFF);
        word >>= 8;
    }
}

int32_t ScaleRawValue(ScaleRule scale, float factor, int32_t raw)
{
    switch (scale) {
    case S::Copy: return raw;
    case S::Zero: return 0;
    case S::Multiply: {
        float value = static_cast<float>(raw) * factor;
        return static_cast<int32_t>(value);
    }
    case S::MinusTwelve: {
        // Each step rounded to single precision, as the tester's own figures are made.
        float value = static_cast<float>(raw) - 3355.5618f;
        value = value / 224.0f;
        value = value * 1000.0f;
        int32_t millivolts = static_cast<int32_t>(value);
        return millivolts > 1000 ? 0 : millivolts;
    }
    }
    return raw;
}

int32_t DecodeRawValue(const DecodeRule& rule, int32_t raw)
{
    switch (rule.sentinel) {
    case N::None: break;
    case N::MinimumUnset:
        if (raw == kRawMinimumUnset)
            return kNotAvailable;
        break;
    case N::MaximumUnset:
        if (raw == kRawMaximumUnset)
            return kNotAvailable;
        break;
    case N::WordUnset:
        if (static_cast<uint32_t>(raw) == kRawWordNotAvailable)
            return kNotAvailable;
        break;
    case N::TimingWord:
        if (static_cast<uint32_t>(raw) == kRawWordNotAvailable)
            return kNotAvailable;
        if (static_cast<uint32_t>(raw) == kRawWordTimedOut)
            return kTimedOut;
        break;
    case N::ByteUnset:
        if (static_cast<uint32_t>(raw) == kRawByteNotAvailable)
            return kNotAvailable;
        break;
    }
    return ScaleRawValue(rule.scale, rule.factor, raw);
}

bool DecodeReply(uint8_t command, const uint8_t* data, uint32_t length, DeviceReadings& readings)
{
    const ReplyLayout* layout = FindReplyLayout(command);
    if (!layout || length < layout->minLength)
        return false;
    for (const DecodeRule& rule : kDecodeTable) {
        if (rule.command != command)
            continue;
        for (uint32_t i = 0; i < rule.count; ++i) {
            int32_t raw = 0;
            if (rule.scale != S::Zero) {
                uint32_t at = rule.offset + i * rule.stride;
                if (at + RawSize(rule.type) > length)
                    return false;  // a table row beyond its layout: cannot happen with the table above
                raw = ReadRaw(rule.type, data + at);
            }
            StoreValue(readings, rule.field, rule.firstIndex + i, DecodeRawValue(rule, raw));
        }
    }
    return true;
}

// ---- Frame assembler ------------------------------------------------------------------------

FrameAssembler::FrameAssembler() : droppedCount(0) { Reset(); }

void FrameAssembler::Reset()
{
    rxPosition = 0;
    rxExpected = 1;
    responseLength = 0;
    skipRemaining = 0;
    lastProgressMs = 0;
}

void FrameAssembler::Abandon()
{
    ++droppedCount;
    rxPosition = 0;
    rxExpected = 1;
    skipRemaining = 0;
}

void FrameAssembler::BeginBatch(uint32_t count, uint64_t nowMs)
{
    if (InFrame() && nowMs - lastProgressMs >= kStallMs)
        Abandon();
    if (count > 0)
        lastProgressMs = nowMs;
}

bool FrameAssembler::FeedByte(uint8_t b)
{
    if (skipRemaining > 0) {
        // Swallowing a frame announced longer than the buffer, so the stream stays in step.
        --skipRemaining;
        rxExpected = skipRemaining > 0 ? skipRemaining : 1;
        return false;
    }
    switch (rxPosition) {
    case 0:
        if (b == kFrameStart) {
            rxBuffer[0] = b;
            rxPosition = 1;
        }
        rxExpected = 1;
        return false;
    case 1:
        rxBuffer[1] = b;
        rxPosition = 2;
        rxExpected = 1;
        return false;
    case 2: {
        if ((b & 0xF0) != kReplyMarker) {
            // Not a reply header. A start byte may hide in the two bytes just taken for one:
            // scan them again so a real frame right behind garbage is not lost.
            uint8_t second = rxBuffer[1];
            ++droppedCount;
            rxPosition = 0;
            rxExpected = 1;
            FeedByte(second);
            FeedByte(b);
            return false;
        }
        uint32_t length = (static_cast<uint32_t>(b & 0x0F) << 8) | rxBuffer[1];
        if (length > kMaxReplyData) {
            ++droppedCount;
            rxPosition = 0;
            skipRemaining = static_cast<uint16_t>(length + 1);
            rxExpected = skipRemaining;
            return false;
        }
        rxBuffer[2] = b;
        rxPosition = 3;
        responseLength = static_cast<uint16_t>(length);
        rxExpected = static_cast<uint16_t>(length + 1);
        return false;
    }
    default:
        rxBuffer[rxPosition] = b;
        ++rxPosition;
        --rxExpected;
        if (rxExpected > 0)
            return false;
        rxPosition = 0;
        rxExpected = 1;
        if (b != kFrameEnd) {
            ++droppedCount;
            return false;
        }
        return true;
    }
}
