// Tests of the protocol's plain code: request and reply frames, the decoding of every reply field
// with its arithmetic and sentinels, and the frame assembler fed the way the port feeds it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/tester_protocol.h"
#include "tests/device/device_test_support.h"

namespace {

// ---- Frames ---------------------------------------------------------------------------------

TEST(RequestFrame, CarriesLengthCommandPayloadAndEnd)
{
    uint8_t frame[kMaxRequestFrame];
    ASSERT_EQ(BuildRequestFrame(kCommandVoltages, nullptr, 0, frame), 4u);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 4), (std::vector<uint8_t>{0x02, 0x01, 0x0C, 0x03}));

    uint8_t on = 1;
    ASSERT_EQ(BuildRequestFrame(kCommandSetPower, &on, 1, frame), 5u);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 5),
              (std::vector<uint8_t>{0x02, 0x02, 0x20, 0x01, 0x03}));

    uint8_t settings[kSettingsSize];
    for (int i = 0; i < kSettingsSize; ++i) settings[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(BuildRequestFrame(kCommandWriteSettings, settings, kSettingsSize, frame), 22u);
    EXPECT_EQ(frame[1], 19);
    EXPECT_EQ(frame[2], 0x41);
    EXPECT_EQ(0, std::memcmp(frame + 3, settings, kSettingsSize));
    EXPECT_EQ(frame[21], 0x03);

    uint8_t big[300] = {};
    EXPECT_EQ(BuildRequestFrame(0x41, big, 255, big), 0u) << "LEN must fit one byte";
}

TEST(ReplyFrame, TwelveBitLengthBehindMarker)
{
    std::vector<uint8_t> data(258, 0x5A);
    std::vector<uint8_t> frame(262);
    ASSERT_EQ(BuildReplyFrame(data.data(), 258, frame.data()), 262u);
    EXPECT_EQ(frame[0], 0x02);
    EXPECT_EQ(frame[1], 0x02);
    EXPECT_EQ(frame[2], 0xF1);
    EXPECT_EQ(frame[261], 0x03);
}

// ---- Decoding -------------------------------------------------------------------------------

using Field = std::function<int32_t(const DeviceReadings&)>;

struct DecodeCase {
    const char* name;
    uint8_t command;
    uint32_t offset;  // reply data byte of the raw value
    RawType type;
    int32_t raw;
    std::vector<std::pair<Field, int32_t>> expected;  // fields and what they must hold
};

Field Voltage(int c) { return [c](const DeviceReadings& r) { return LoadWord(r.voltage[c]); }; }
Field Current(int c) { return [c](const DeviceReadings& r) { return LoadWord(r.current[c]); }; }
Field VoltageMin(int c) { return [c](const DeviceReadings& r) { return LoadWord(r.voltageMin[c]); }; }
Field VoltageMax(int c) { return [c](const DeviceReadings& r) { return LoadWord(r.voltageMax[c]); }; }
Field CurrentMin(int c) { return [c](const DeviceReadings& r) { return LoadWord(r.currentMin[c]); }; }
Field CurrentMax(int c) { return [c](const DeviceReadings& r) { return LoadWord(r.currentMax[c]); }; }
Field Ripple(int c) { return [c](const DeviceReadings& r) { return LoadWord(r.ripple[c]); }; }
Field Timing(int c, int k) { return [c, k](const DeviceReadings& r) { return LoadWord(r.timing[c][k]); }; }
Field SlewRate(int c) { return [c](const DeviceReadings& r) { return LoadWord(r.slewRate[c]); }; }
Field TurnOnSlope(int c) { return [c](const DeviceReadings& r) { return LoadWord(r.turnOnSlope[c]); }; }
Field VoltageSequence(int c) { return [c](const DeviceReadings& r) { return LoadWord(r.voltageSequence[c]); }; }
Field TimeSequence(int c) { return [c](const DeviceReadings& r) { return LoadWord(r.timeSequence[c]); }; }
Field Setting(int i) { return [i](const DeviceReadings& r) { return int32_t{LoadByte(r.deviceSettings[i])}; }; }
Field PowerStatus() { return [](const DeviceReadings& r) { return int32_t{LoadByte(r.powerStatus)}; }; }
Field TotalPower() { return [](const DeviceReadings& r) { return LoadWord(r.totalPower); }; }

constexpr int32_t kMarker = 777;
constexpr uint8_t kByteMarker = 0x77;

const std::vector<DecodeCase>& DecodeCases()
{
    static const std::vector<DecodeCase> cases = {
        // Voltages: raw counts to millivolts at each channel's scale, the SATA rails copying
        // 12V1/5V/3.3V, truncation toward 0.
        {"12V1 raw 3338 is 12001 mV", 0x0C, 1, RawType::S16, 3338, {{Voltage(0), 12001}, {Voltage(7), 12001}}},
        {"12V CPU from r1", 0x0C, 3, RawType::S16, 3338, {{Voltage(3), 12001}}},
        {"12V PCIe from r2", 0x0C, 5, RawType::S16, 3338, {{Voltage(5), 12001}}},
        {"negative truncates toward zero", 0x0C, 1, RawType::S16, -100, {{Voltage(0), -359}}},
        {"5V from r3", 0x0C, 7, RawType::S16, 3102, {{Voltage(1), 4999}, {Voltage(8), 4999}}},
        {"5VSB from r4", 0x0C, 9, RawType::S16, 3111, {{Voltage(4), 5014}}},
        {"3.3V from r5", 0x0C, 11, RawType::S16, 3005, {{Voltage(2), 3299}, {Voltage(9), 3299}}},
        {"-12V raw 667", 0x0C, 13, RawType::S16, 667, {{Voltage(6), -12002}}},
        {"-12V raw 3579", 0x0C, 13, RawType::S16, 3579, {{Voltage(6), 997}}},
        {"-12V raw 3580 above 1000 V is 0", 0x0C, 13, RawType::S16, 3580, {{Voltage(6), 0}}},
        {"-12V raw 3355", 0x0C, 13, RawType::S16, 3355, {{Voltage(6), -2}}},
        {"-12V raw 0", 0x0C, 13, RawType::S16, 0, {{Voltage(6), -14980}}},
        // Currents.
        {"12V1 current", 0x0D, 1, RawType::S16, 1000, {{Current(0), 13431}, {Current(6), 0}}},
        {"12V CPU current from r1", 0x0D, 3, RawType::S16, 1000, {{Current(3), 13431}}},
        {"12V PCIe current from r2", 0x0D, 5, RawType::S16, 1000, {{Current(5), 13431}}},
        {"5V current from r3", 0x0D, 7, RawType::S16, -7, {{Current(1), -94}}},
        {"5VSB current from r4", 0x0D, 9, RawType::S16, 500, {{Current(4), 1007}}},
        {"3.3V current from r5", 0x0D, 11, RawType::S16, 32767, {{Current(2), 440093}}},
        {"12V SATA current raw 4095 is 3299", 0x0D, 13, RawType::S16, 4095, {{Current(7), 3299}}},
        {"5V SATA current", 0x0D, 15, RawType::S16, 4095, {{Current(8), 3299}}},
        {"3.3V SATA current", 0x0D, 17, RawType::S16, 4095, {{Current(9), 3299}}},
        // Voltage minima and maxima: mV as sent, each with its own sentinel.
        {"minimum 0x7FFF is not available", 0x0E, 1, RawType::S16, 0x7FFF, {{VoltageMin(0), kNotAvailable}}},
        {"minimum 0x8000 is a value", 0x0E, 13, RawType::S16, -0x8000, {{VoltageMin(6), -32768}}},
        {"minimum of -12V", 0x0E, 13, RawType::S16, -12100, {{VoltageMin(6), -12100}}},
        {"maximum 0x8000 is not available", 0x0E, 15, RawType::S16, -0x8000, {{VoltageMax(0), kNotAvailable}}},
        {"maximum 0x7FFF is a value", 0x0E, 27, RawType::S16, 0x7FFF, {{VoltageMax(6), 32767}}},
        {"maximum of 5V", 0x0E, 17, RawType::S16, 5123, {{VoltageMax(1), 5123}}},
        // Current minima and maxima: 32-bit mA, no sentinel.
        {"current minimum 0", 0x0F, 1, RawType::S32, 70000, {{CurrentMin(0), 70000}}},
        {"current minimum 9", 0x0F, 37, RawType::S32, -5, {{CurrentMin(9), -5}}},
        {"current maximum 0", 0x0F, 41, RawType::S32, 0x7FFF, {{CurrentMax(0), 0x7FFF}}},
        {"current maximum 9", 0x0F, 77, RawType::S32, -100000 + 1, {{CurrentMax(9), -99999}}},
        // Ripple: unsigned mV, no sentinel.
        {"ripple 0", 0x10, 1, RawType::U16, 25, {{Ripple(0), 25}}},
        {"ripple 5 all ones is a value", 0x10, 11, RawType::U16, 0xFFFF, {{Ripple(5), 65535}}},
        // Timings: word at 3 + 8c + 2k.
        {"T1 of 12V1", 0x11, 3, RawType::U16, 180, {{Timing(0, 0), 180}}},
        {"T3 of 5V", 0x11, 15, RawType::U16, 250, {{Timing(1, 2), 250}}},
        {"T6 of 12V CPU timed out", 0x11, 33, RawType::U16, 0xFFFE, {{Timing(3, 3), kTimedOut}}},
        {"T2 of 3.3V not available", 0x11, 21, RawType::U16, 0xFFFF, {{Timing(2, 1), kNotAvailable}}},
        {"0xFFFD is a time", 0x11, 5, RawType::U16, 0xFFFD, {{Timing(0, 1), 65533}}},
        {"bytes 1 and 2 are the tester's", 0x11, 1, RawType::U16, 0xFFFE, {{Timing(0, 0), 0}}},
        // Slew rate, slope, sequencing.
        {"slew rate", 0x12, 1, RawType::U16, 1500, {{SlewRate(0), 1500}}},
        {"slew rate not available", 0x12, 7, RawType::U16, 0xFFFF, {{SlewRate(3), kNotAvailable}}},
        {"slew rate 0xFFFE is a value", 0x12, 3, RawType::U16, 0xFFFE, {{SlewRate(1), 65534}}},
        {"bytes 9 and 10 are not read", 0x12, 9, RawType::U16, 0x0101, {{SlewRate(3), 0}, {TurnOnSlope(0), 0}}},
        {"turn-on slope fail", 0x12, 11, RawType::U8, 1, {{TurnOnSlope(0), 1}}},
        {"turn-on slope not available", 0x12, 14, RawType::U8, 0xFF, {{TurnOnSlope(3), kNotAvailable}}},
        {"voltage sequence 12V1", 0x12, 15, RawType::U8, 0xFF, {{VoltageSequence(0), kNotAvailable}}},
        {"voltage sequence 5V", 0x12, 16, RawType::U8, 2, {{VoltageSequence(1), 2}, {VoltageSequence(2), kMarker}}},
        {"voltage sequence 12V CPU", 0x12, 17, RawType::U8, 0xFF, {{VoltageSequence(3), kNotAvailable}}},
        {"time sequence 12V1", 0x12, 18, RawType::U8, 1, {{TimeSequence(0), 1}}},
        {"time sequence 5V", 0x12, 19, RawType::U8, 0xFF, {{TimeSequence(1), kNotAvailable}, {TimeSequence(2), kMarker}}},
        {"time sequence 12V CPU", 0x12, 20, RawType::U8, 0xFE, {{TimeSequence(3), 0xFE}}},
        // Status and settings.
        {"power status", 0x0B, 1, RawType::U8, 0x15, {{PowerStatus(), 0x15}}},
        {"total power", 0x0B, 2, RawType::U32, 654321, {{TotalPower(), 654321}}},
        {"settings byte 0", 0x40, 1, RawType::U8, 0x33, {{Setting(0), 0x33}}},
        {"settings byte 17", 0x40, 18, RawType::U8, 2, {{Setting(17), 2}, {Setting(16), 0}}},
    };
    return cases;
}

TEST(DecodeReply, EveryFieldScaleAndSentinel)
{
    for (const DecodeCase& c : DecodeCases()) {
        SCOPED_TRACE(c.name);
        const ReplyLayout* layout = FindReplyLayout(c.command);
        ASSERT_NE(layout, nullptr);
        std::vector<uint8_t> data(layout->minLength, 0);
        data[0] = 0xEE;  // the tester's byte 0 is never read
        WriteRaw(c.type, c.raw, data.data() + c.offset);
        DeviceReadings readings;
        FillReadings(readings, kMarker, kByteMarker);
        ASSERT_TRUE(DecodeReply(c.command, data.data(), static_cast<uint32_t>(data.size()), readings));
        for (const auto& [field, value] : c.expected)
            EXPECT_EQ(field(readings), value);
    }
}

TEST(DecodeReply, ShortReplyIsNeverDecoded)
{
    const uint8_t commands[] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x20, 0x40};
    for (uint8_t command : commands) {
        SCOPED_TRACE(command);
        const ReplyLayout* layout = FindReplyLayout(command);
        ASSERT_NE(layout, nullptr);
        ASSERT_GT(layout->minLength, 0);
        std::vector<uint8_t> data(layout->minLength, 0x11);
        DeviceReadings readings;
        FillReadings(readings, kMarker, kByteMarker);
        EXPECT_FALSE(DecodeReply(command, data.data(), layout->minLength - 1u, readings));
        EXPECT_EQ(LoadWord(readings.voltage[0]), kMarker);
        EXPECT_EQ(LoadWord(readings.currentMax[9]), kMarker);
        EXPECT_EQ(LoadWord(readings.timing[3][3]), kMarker);
        EXPECT_EQ(LoadByte(readings.deviceSettings[17]), kByteMarker);
        EXPECT_EQ(LoadByte(readings.powerStatus), kByteMarker);
    }
}

TEST(DecodeReply, TableStaysInsideEachLayout)
{
    uint32_t count = 0;
    const DecodeRule* table = DecodeTable(count);
    ASSERT_GT(count, 0u);
    for (uint32_t i = 0; i < count; ++i) {
        const DecodeRule& rule = table[i];
        const ReplyLayout* layout = FindReplyLayout(rule.command);
        ASSERT_NE(layout, nullptr) << "rule " << i;
        if (rule.scale != ScaleRule::Zero) {
            EXPECT_GE(rule.offset, 1u) << "rule " << i << " reads the tester's byte 0";
            EXPECT_LE(rule.offset + (rule.count - 1u) * rule.stride + RawSize(rule.type), layout->minLength)
                << "rule " << i;
        }
    }
    EXPECT_EQ(FindReplyLayout(0x55), nullptr);
}

// ---- Frame assembler ------------------------------------------------------------------------

// Feeds a byte stream the way the port does: reads of exactly the size the assembler asks for
// (at most 256), one batch per read.
struct FeedResult {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint32_t> readSizes;
};

FeedResult FeedLikePort(FrameAssembler& assembler, const std::vector<uint8_t>& stream, uint64_t nowMs = 1000)
{
    FeedResult result;
    size_t at = 0;
    while (at < stream.size()) {
        uint32_t size = std::min<uint32_t>(assembler.Expected(), 256);
        size = static_cast<uint32_t>(std::min<size_t>(size, stream.size() - at));
        result.readSizes.push_back(size);
        assembler.BeginBatch(size, nowMs);
        for (uint32_t i = 0; i < size; ++i) {
            if (assembler.FeedByte(stream[at + i]))
                result.frames.emplace_back(assembler.FrameData(), assembler.FrameData() + assembler.FrameLength());
        }
        at += size;
    }
    return result;
}

std::vector<uint8_t> Reply(const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> frame(data.size() + 4);
    BuildReplyFrame(data.data(), static_cast<uint32_t>(data.size()), frame.data());
    return frame;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(FrameAssembler, AcceptsOnlyWellTerminatedFrames)
{
    FrameAssembler assembler;
    FeedResult good = FeedLikePort(assembler, {0x02, 0x01, 0xF0, 0xAA, 0x03});
    ASSERT_EQ(good.frames.size(), 1u);
    EXPECT_EQ(good.frames[0], std::vector<uint8_t>{0xAA});
    EXPECT_EQ(good.readSizes, (std::vector<uint32_t>{1, 1, 1, 2}));

    FeedResult bad = FeedLikePort(assembler, {0x02, 0x01, 0xF0, 0xAA, 0x04});
    EXPECT_TRUE(bad.frames.empty());
    EXPECT_EQ(assembler.DroppedCount(), 1u);
    EXPECT_FALSE(assembler.InFrame());
}

TEST(FrameAssembler, SkipsStrayBytesBeforeAFrame)
{
    FrameAssembler assembler;
    FeedResult r = FeedLikePort(assembler, Join({{0x03, 0x00, 0xF0, 0x03}, Reply({0x0C, 1, 2})}));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], (std::vector<uint8_t>{0x0C, 1, 2}));
}

TEST(FrameAssembler, LongReplyArrivesInReadsOfAtMost256)
{
    std::vector<uint8_t> data(258);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> frame = Reply(data);
    ASSERT_EQ(frame[1], 0x02);
    ASSERT_EQ(frame[2], 0xF1);

    FrameAssembler assembler;
    // After the header the whole remainder, data and end byte, is asked for at once.
    FeedLikePort(assembler, {frame[0], frame[1], frame[2]});
    EXPECT_EQ(assembler.Expected(), 259u);
    FeedResult r = FeedLikePort(assembler, std::vector<uint8_t>(frame.begin() + 3, frame.end()));
    EXPECT_EQ(r.readSizes, (std::vector<uint32_t>{256, 3}));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], data);
}

TEST(FrameAssembler, OverlongLengthIsSwallowedWithoutStoring)
{
    // 4095 announced data bytes; inside them a byte pattern that looks like a frame of its own.
    std::vector<uint8_t> body(4095, 0x00);
    const uint8_t fake[] = {0x02, 0x01, 0xF0, 0xAA, 0x03};
    std::memcpy(body.data() + 100, fake, sizeof(fake));
    std::vector<uint8_t> huge = Join({{0x02, 0xFF, 0xFF}, body, {0x03}});
    std::vector<uint8_t> stream = Join({huge, Reply({0x0D, 9, 8, 7})});

    FrameAssembler assembler;
    FeedResult r = FeedLikePort(assembler, stream);
    ASSERT_EQ(r.frames.size(), 1u) << "only the frame behind the overlong one";
    EXPECT_EQ(r.frames[0], (std::vector<uint8_t>{0x0D, 9, 8, 7}));
    EXPECT_EQ(assembler.DroppedCount(), 1u);
    for (uint32_t size : r.readSizes) EXPECT_LE(size, 256u);

    // 4092 data bytes is the most a frame may carry, and is still accepted.
    std::vector<uint8_t> largest(kMaxReplyData, 0x42);
    FeedResult fits = FeedLikePort(assembler, Reply(largest));
    ASSERT_EQ(fits.frames.size(), 1u);
    EXPECT_EQ(fits.frames[0].size(), kMaxReplyData);
}

TEST(FrameAssembler, BadMarkerAbandonsTheFrameAndRescansTheHeader)
{
    FrameAssembler assembler;
    // A third byte without the 0xF marker followed by 0x03 is not an empty reply.
    EXPECT_TRUE(FeedLikePort(assembler, {0x02, 0x01, 0x00, 0x03}).frames.empty());
    EXPECT_FALSE(assembler.InFrame());

    // Start bytes hidden in the rejected header bytes are found again: the real frame that follows
    // the garbage is not lost.
    std::vector<uint8_t> garbage = {0x03, 0xFF, 0x02, 0x41, 0x00, 0x02, 0x02, 0x07, 0x55, 0x02, 0x02};
    FeedResult r = FeedLikePort(assembler, Join({garbage, Reply({0x0B, 5})}));
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], (std::vector<uint8_t>{0x0B, 5}));

    // The real frame's start byte taken as a bad third header byte.
    FeedResult second = FeedLikePort(assembler, Join({{0x02, 0x05}, Reply({0x0C, 6})}));
    ASSERT_EQ(second.frames.size(), 1u);
    EXPECT_EQ(second.frames[0], (std::vector<uint8_t>{0x0C, 6}));
}

TEST(FrameAssembler, StrayStartByteRightBeforeAReply)
{
    // The stray byte starts a frame that takes the reply's start byte for its length; the reply's
    // length byte then lacks the marker, so both are scanned again and the reply is read whole.
    // Every reply the tester sends (81 data bytes at most) has a length byte below 0xF0.
    for (size_t length : {1, 2, 3, 6, 81, 0x1EF}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> data(length);
        for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(0x40 + i);
        FrameAssembler assembler;
        FeedResult r = FeedLikePort(assembler, Join({{kFrameStart}, Reply(data)}));
        ASSERT_EQ(r.frames.size(), 1u);
        EXPECT_EQ(r.frames[0], data);
        EXPECT_EQ(assembler.DroppedCount(), 1u);
        EXPECT_FALSE(assembler.InFrame());
    }

    // A length byte with the marker's nibble (here 0xF5: 245 data bytes) completes the stray
    // header instead, announcing 0x502 bytes; nothing can tell the two apart. The reply vanishes
    // into that frame, nothing is accepted, and once it has stalled the next reply is read.
    std::vector<uint8_t> data(0xF5, 0x11);
    FrameAssembler assembler;
    EXPECT_TRUE(FeedLikePort(assembler, Join({{kFrameStart}, Reply(data)}), 1000).frames.empty());
    EXPECT_TRUE(assembler.InFrame());
    FeedResult next = FeedLikePort(assembler, Reply({0x0B, 7}), 1000 + FrameAssembler::kStallMs);
    ASSERT_EQ(next.frames.size(), 1u);
    EXPECT_EQ(next.frames[0], (std::vector<uint8_t>{0x0B, 7}));
    EXPECT_EQ(assembler.DroppedCount(), 1u);
}

TEST(FrameAssembler, EmptyReadKeepsAPartialFrameUntilItStalls)
{
    FrameAssembler assembler;
    std::vector<uint8_t> frame = Reply({0x0C, 1, 2, 3});

    // Empty reads between the header and the rest (the normal gaps of a USB link).
    FeedLikePort(assembler, {frame.begin(), frame.begin() + 3}, 1000);
    assembler.BeginBatch(0, 1011);
    assembler.BeginBatch(0, 1050);
    EXPECT_TRUE(assembler.InFrame());
    FeedResult r = FeedLikePort(assembler, {frame.begin() + 3, frame.end()}, 1060);
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0], (std::vector<uint8_t>{0x0C, 1, 2, 3}));

    // A frame that stops coming is abandoned, so its tail cannot complete it and it cannot eat
    // the next reply.
    FeedLikePort(assembler, {0x02, 0x09, 0xF0, 0x0C}, 2000);
    assembler.BeginBatch(0, 2050);
    EXPECT_TRUE(assembler.InFrame());
    assembler.BeginBatch(0, 2100);
    EXPECT_FALSE(assembler.InFrame());
    FeedResult next = FeedLikePort(assembler, Reply({0x0D, 4}), 2110);
    ASSERT_EQ(next.frames.size(), 1u);
    EXPECT_EQ(next.frames[0], (std::vector<uint8_t>{0x0D, 4}));

    // The same when the next bytes come straight after the stall, without an empty read between.
    FeedLikePort(assembler, {0x02, 0x09, 0xF0}, 3000);
    FeedResult late = FeedLikePort(assembler, Reply({0x0E, 7}), 3200);
    ASSERT_EQ(late.frames.size(), 1u);
    EXPECT_EQ(late.frames[0], (std::vector<uint8_t>{0x0E, 7}));
}

TEST(FrameAssembler, StalledOverlongFrameStopsSwallowing)
{
    FrameAssembler assembler;
    FeedLikePort(assembler, {0x02, 0xFF, 0xFF, 0x00, 0x00}, 1000);
    EXPECT_TRUE(assembler.InFrame());
    assembler.BeginBatch(0, 1150);
    EXPECT_FALSE(assembler.InFrame());
    FeedResult r = FeedLikePort(assembler, Reply({0x0B, 1}), 1160);
    EXPECT_EQ(r.frames.size(), 1u);
}

// Line noise of every kind, fed in the port's read sizes: whatever arrives, the assembler keeps
// its bounds, and after a stall a real reply is taken whole.
TEST(FrameAssembler, RandomStreamsStayInBoundsAndARealReplyFollowsAStall)
{
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    FrameAssembler assembler;
    uint64_t now = 1000;
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> noise(next() % 6000);
        for (uint8_t& b : noise) {
            // Start and end bytes and the marker often, so that false frames of every length occur.
            uint32_t pick = next() % 8;
            b = pick == 0 ? 0x02 : pick == 1 ? 0x03 : pick == 2 ? 0xF0 | (next() % 16) : static_cast<uint8_t>(next());
        }
        size_t at = 0;
        while (at < noise.size()) {
            ASSERT_GE(assembler.Expected(), 1u);
            ASSERT_LE(assembler.Expected(), kAssemblyBufferSize - kReplyHeaderSize + 1);
            uint32_t size = std::min<uint32_t>(assembler.Expected(), 256);
            size = 1 + next() % size;  // a read may end early with what has arrived
            size = static_cast<uint32_t>(std::min<size_t>(size, noise.size() - at));
            assembler.BeginBatch(size, now);
            for (uint32_t i = 0; i < size; ++i) {
                if (assembler.FeedByte(noise[at + i])) {
                    ASSERT_LE(assembler.FrameLength(), kAssemblyBufferSize - kReplyHeaderSize - 1);
                }
            }
            at += size;
        }
        now += FrameAssembler::kStallMs;
        assembler.BeginBatch(0, now);
        ASSERT_FALSE(assembler.InFrame()) << "round " << round;
        std::vector<uint8_t> data(1 + next() % 300);
        for (uint8_t& b : data)
            b = static_cast<uint8_t>(next());
        FeedResult r = FeedLikePort(assembler, Reply(data), now + 1);
        ASSERT_EQ(r.frames.size(), 1u) << "round " << round;
        EXPECT_EQ(r.frames[0], data);
        now += 10;
    }
    // The noise did reach the paths that drop frames, not only the start-byte scan.
    EXPECT_GT(assembler.DroppedCount(), 300u);
}

}  // namespace
