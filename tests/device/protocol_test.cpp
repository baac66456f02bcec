// Tests of the protocol's plain code: request and reply frames, the decoding of every reply field
// with its arithmetic and sentinels, and the frame assembler fed the way the port feeds it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "device/tester_protocol.h"
#include "tests/device/device_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Reply(const Bytes& data)
{
    Bytes frame(data.size() + 4);
    EXPECT_EQ(BuildReplyFrame(data.data(), static_cast<uint32_t>(data.size()), frame.data()), frame.size());
    return frame;
}

Bytes Pattern(size_t length, uint8_t first)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i * 7);
    return bytes;
}

// ---- Frames ---------------------------------------------------------------------------------

TEST(Frames, RequestCarriesLengthCommandPayloadAndEndAndReplyATwelveBitLength)
{
    const Bytes settings = Pattern(kSettingsSize, 0xA0), most = Pattern(kMaxRequestPayload, 1);
    const struct {
        uint8_t command;
        Bytes payload;
        Bytes frame;  // empty: refused
    } kRequests[] = {
        {kCommandVoltages, {}, {0x02, 0x01, 0x0C, 0x03}},
        {kCommandSetPower, {1}, {0x02, 0x02, 0x20, 0x01, 0x03}},
        {kCommandWriteSettings, settings, Join({{0x02, 19, 0x41}, settings, {0x03}})},
        {kCommandWriteSettings, most, Join({{0x02, 0xFF, 0x41}, most, {0x03}})},
        {kCommandWriteSettings, Bytes(255), {}},  // LEN must fit one byte
    };
    for (const auto& row : kRequests) {
        Bytes frame(300, 0xEE);
        uint32_t length = BuildRequestFrame(row.command, row.payload.data(),
                                            static_cast<uint32_t>(row.payload.size()), frame.data());
        frame.resize(length);
        EXPECT_EQ(frame, row.frame) << "payload of " << row.payload.size();
    }
    // Data lengths 258 and 4095 (the most a header can announce); 4096 does not fit.
    const Bytes reply = Reply(Bytes(258, 0x5A));
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 3), (Bytes{0x02, 0x02, 0xF1}));
    EXPECT_EQ(reply.back(), 0x03);
    EXPECT_EQ(Reply(Bytes(0xFFF, 1))[2], 0xFF);
    Bytes big(0x1004);
    EXPECT_EQ(BuildReplyFrame(big.data(), 0x1000, big.data()), 0u);
}

// ---- Decoding -------------------------------------------------------------------------------

constexpr int32_t kMarker = 777;

struct DecodeCase {
    uint8_t command;
    uint32_t offset;  // reply data byte of the raw value
    RawType type;
    int32_t raw;
    std::vector<std::pair<int, int32_t>> expected;  // slots and what they must hold
};

using enum RawType;
// Voltages: raw counts to millivolts at each channel's scale, the SATA rails copying 12V1/5V/3.3V,
// truncation toward 0; -12V by its own formula, 0 above 1000 mV. Minima and maxima each with its
// own sentinel, the other extreme being a value. Timings: the word at 3 + 8c + 2k.
const DecodeCase kDecodeCases[] = {
    {0x0C, 1, S16, 3338, {{kV + 0, 12001}, {kV + 7, 12001}}}, {0x0C, 3, S16, 3338, {{kV + 3, 12001}}},
    {0x0C, 5, S16, 3338, {{kV + 5, 12001}}}, {0x0C, 1, S16, -100, {{kV + 0, -359}}},
    {0x0C, 7, S16, 3102, {{kV + 1, 4999}, {kV + 8, 4999}}}, {0x0C, 9, S16, 3111, {{kV + 4, 5014}}},
    {0x0C, 11, S16, 3005, {{kV + 2, 3299}, {kV + 9, 3299}}}, {0x0C, 13, S16, 667, {{kV + 6, -12002}}},
    {0x0C, 13, S16, 3579, {{kV + 6, 997}}}, {0x0C, 13, S16, 3580, {{kV + 6, 0}}},
    {0x0C, 13, S16, 3355, {{kV + 6, -2}}}, {0x0C, 13, S16, 0, {{kV + 6, -14980}}},
    {0x0D, 1, S16, 1000, {{kC + 0, 13431}, {kC + 6, 0}}}, {0x0D, 3, S16, 1000, {{kC + 3, 13431}}},
    {0x0D, 5, S16, 1000, {{kC + 5, 13431}}}, {0x0D, 7, S16, -7, {{kC + 1, -94}}},
    {0x0D, 9, S16, 500, {{kC + 4, 1007}}}, {0x0D, 11, S16, 32767, {{kC + 2, 440093}}},
    {0x0D, 13, S16, 4095, {{kC + 7, 3299}}}, {0x0D, 15, S16, 4095, {{kC + 8, 3299}}},
    {0x0D, 17, S16, 4095, {{kC + 9, 3299}}}, {0x0E, 1, S16, 0x7FFF, {{kVMin + 0, kNotAvailable}}},
    {0x0E, 13, S16, -0x8000, {{kVMin + 6, -32768}}}, {0x0E, 13, S16, -12100, {{kVMin + 6, -12100}}},
    {0x0E, 15, S16, -0x8000, {{kVMax + 0, kNotAvailable}}}, {0x0E, 27, S16, 0x7FFF, {{kVMax + 6, 32767}}},
    {0x0E, 17, S16, 5123, {{kVMax + 1, 5123}}},
    {0x0F, 1, S32, 70000, {{kCMin + 0, 70000}}},  // 32-bit mA, no sentinel
    {0x0F, 37, S32, -5, {{kCMin + 9, -5}}}, {0x0F, 41, S32, 0x7FFF, {{kCMax + 0, 0x7FFF}}},
    {0x0F, 77, S32, -99999, {{kCMax + 9, -99999}}}, {0x10, 1, U16, 25, {{kRip + 0, 25}}},
    {0x10, 11, U16, 0xFFFF, {{kRip + 5, 65535}}},  // all ones is a ripple
    {0x11, 3, U16, 180, {{kTim + 0, 180}}}, {0x11, 15, U16, 250, {{kTim + 6, 250}}},
    {0x11, 33, U16, 0xFFFE, {{kTim + 15, kTimedOut}}}, {0x11, 21, U16, 0xFFFF, {{kTim + 9, kNotAvailable}}},
    {0x11, 5, U16, 0xFFFD, {{kTim + 1, 65533}}},
    {0x11, 1, U16, 0xFFFE, {{kTim + 0, 0}}},  // bytes 1 and 2 are the tester's
    {0x12, 1, U16, 1500, {{kSlew + 0, 1500}}}, {0x12, 7, U16, 0xFFFF, {{kSlew + 3, kNotAvailable}}},
    {0x12, 3, U16, 0xFFFE, {{kSlew + 1, 65534}}},
    {0x12, 9, U16, 0x0101, {{kSlew + 3, 0}, {kSlope + 0, 0}}},  // bytes 9 and 10 are not read
    {0x12, 11, U8, 1, {{kSlope + 0, 1}}}, {0x12, 14, U8, 0xFF, {{kSlope + 3, kNotAvailable}}},
    {0x12, 15, U8, 0xFF, {{kVSeq + 0, kNotAvailable}}},
    {0x12, 16, U8, 2, {{kVSeq + 1, 2}, {kVSeq + 2, kMarker}}},  // 3.3V is never written
    {0x12, 17, U8, 0xFF, {{kVSeq + 3, kNotAvailable}}}, {0x12, 18, U8, 1, {{kTSeq + 0, 1}}},
    {0x12, 19, U8, 0xFF, {{kTSeq + 1, kNotAvailable}, {kTSeq + 2, kMarker}}},
    {0x12, 20, U8, 0xFE, {{kTSeq + 3, 0xFE}}}, {0x0B, 1, U8, 0x15, {{kPower, 0x15}}},
    {0x0B, 2, U32, 654321, {{kTotal, 654321}}}, {0x40, 1, U8, 0x33, {{kSet + 0, 0x33}}},
    {0x40, 18, U8, 2, {{kSet + 17, 2}, {kSet + 16, 0}}},
};

TEST(DecodeReply, EveryFieldScaleAndSentinel)
{
    for (const DecodeCase& c : kDecodeCases) {
        SCOPED_TRACE(testing::Message() << "command " << int{c.command} << ", byte " << c.offset);
        const ReplyLayout* layout = FindReplyLayout(c.command);
        ASSERT_NE(layout, nullptr);
        Bytes data(layout->minLength, 0);
        data[0] = 0xEE;  // the tester's byte 0 is never read
        WriteRaw(c.type, c.raw, data.data() + c.offset);
        DeviceReadings readings;
        FillReadings(readings, kMarker);
        ASSERT_TRUE(DecodeReply(c.command, data.data(), static_cast<uint32_t>(data.size()), readings));
        std::vector<int32_t> values = SnapshotReadings(readings);
        for (const auto& [slot, value] : c.expected) EXPECT_EQ(values[slot], value) << "slot " << slot;
    }
}

TEST(DecodeReply, ShortReplyOrUnknownCommandIsNeverDecodedAndTheTableStaysInsideEachLayout)
{
    DeviceReadings readings;
    FillReadings(readings, kMarker);
    const std::vector<int32_t> untouched = SnapshotReadings(readings);
    const Bytes data(100, 0x11);
    for (uint8_t command : {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x20, 0x40}) {
        const ReplyLayout* layout = FindReplyLayout(command);
        ASSERT_NE(layout, nullptr) << int{command};
        ASSERT_GT(layout->minLength, 0) << int{command};
        EXPECT_FALSE(DecodeReply(command, data.data(), layout->minLength - 1u, readings)) << int{command};
    }
    EXPECT_EQ(FindReplyLayout(0x55), nullptr);
    EXPECT_FALSE(DecodeReply(0x55, data.data(), 100, readings));
    EXPECT_EQ(SnapshotReadings(readings), untouched);

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
}

// ---- Frame assembler ------------------------------------------------------------------------

// Feeds a byte stream the way the port does: reads of exactly the size the assembler asks for
// (at most 256), one batch per read. Empty bytes: one empty read.
std::vector<uint32_t> FeedLikePort(FrameAssembler& assembler, const Bytes& stream, uint64_t nowMs,
                                   std::vector<Bytes>& frames)
{
    std::vector<uint32_t> sizes;
    if (stream.empty())
        assembler.BeginBatch(0, nowMs);
    for (size_t at = 0; at < stream.size();) {
        uint32_t size = std::min<uint32_t>(assembler.Expected(), 256);
        size = static_cast<uint32_t>(std::min<size_t>(size, stream.size() - at));
        sizes.push_back(size);
        assembler.BeginBatch(size, nowMs);
        for (uint32_t i = 0; i < size; ++i) {
            if (assembler.FeedByte(stream[at + i]))
                frames.emplace_back(assembler.FrameData(), assembler.FrameData() + assembler.FrameLength());
        }
        at += size;
    }
    return sizes;
}

struct Chunk {
    Bytes bytes;
    uint64_t ms = 1000;
    int inFrameAfter = -1;  // 0 or 1: what InFrame() must say after this chunk
};

struct AssemblyCase {
    const char* name;
    std::vector<Chunk> chunks;
    std::vector<Bytes> frames;
    uint32_t dropped;
    std::vector<uint32_t> reads = {};  // the read sizes asked for, when given
};

std::vector<AssemblyCase> AssemblyCases()
{
    // 4095 announced data bytes, inside them a pattern that looks like a frame of its own.
    Bytes body(4095, 0x00);
    const uint8_t fake[] = {0x02, 0x01, 0xF0, 0xAA, 0x03};
    std::memcpy(body.data() + 100, fake, sizeof(fake));
    const Bytes frame = Reply({0x0C, 1, 2, 3}), largest(kMaxReplyData, 0x42), data258 = Pattern(258, 0);
    std::vector<AssemblyCase> cases = {
        // The header is asked for byte by byte, the rest at once in reads of at most 256.
        {"well terminated", {{{0x02, 0x01, 0xF0, 0xAA, 0x03}}}, {{0xAA}}, 0, {1, 1, 1, 2}},
        {"258 data bytes", {{Reply(data258)}}, {data258}, 0, {1, 1, 1, 256, 3}},
        {"bad end byte", {{{0x02, 0x01, 0xF0, 0xAA, 0x04}, 1000, 0}}, {}, 1},
        {"stray bytes before a frame", {{Join({{0x03, 0x00, 0xF0, 0x03}, Reply({0x0C, 1, 2})})}}, {{0x0C, 1, 2}}, 0},
        {"overlong length swallowed, then the largest frame",
         {{Join({{0x02, 0xFF, 0xFF}, body, {0x03}, Reply({0x0D, 9, 8, 7})})}, {Reply(largest)}},
         {{0x0D, 9, 8, 7}, largest}, 1},
        // A third byte without the 0xF marker followed by 0x03 is not an empty reply.
        {"bad marker", {{{0x02, 0x01, 0x00, 0x03}, 1000, 0}}, {}, 1},
        // Start bytes hidden in the rejected header bytes are found again.
        {"frame behind garbage",
         {{Join({{0x03, 0xFF, 0x02, 0x41, 0x00, 0x02, 0x02, 0x07, 0x55, 0x02, 0x02}, Reply({0x0B, 5})})}},
         {{0x0B, 5}}, 5},
        {"start byte taken as a bad third header byte", {{Join({{0x02, 0x05}, Reply({0x0C, 6})})}}, {{0x0C, 6}}, 1},
        // A length byte with the marker's nibble (0xF5: 245 data bytes) completes a stray header
        // instead, announcing 0x502 bytes: the reply vanishes into it until it stalls.
        {"stray start byte before a length with the marker's nibble",
         {{Join({{kFrameStart}, Reply(Bytes(0xF5, 0x11))}), 1000, 1},
          {Reply({0x0B, 7}), 1000 + FrameAssembler::kStallMs, 0}},
         {{0x0B, 7}}, 1},
        // Empty reads between the header and the rest are the normal gaps of a USB link; a frame
        // that stops coming is abandoned so that it cannot eat the next reply, also when the next
        // bytes come straight after the stall without an empty read between.
        {"empty reads keep a partial frame until it stalls",
         {{{frame.begin(), frame.begin() + 3}, 1000}, {{}, 1011}, {{}, 1050, 1}, {{frame.begin() + 3, frame.end()}, 1060},
          {{0x02, 0x09, 0xF0, 0x0C}, 2000}, {{}, 2050, 1}, {{}, 2100, 0}, {Reply({0x0D, 4}), 2110},
          {{0x02, 0x09, 0xF0}, 3000}, {Reply({0x0E, 7}), 3200, 0}},
         {{0x0C, 1, 2, 3}, {0x0D, 4}, {0x0E, 7}}, 2},
        {"a stalled overlong frame stops swallowing",
         {{{0x02, 0xFF, 0xFF, 0x00, 0x00}, 1000, 1}, {{}, 1150, 0}, {Reply({0x0B, 1}), 1160}}, {{0x0B, 1}}, 2},
    };
    // The stray start byte takes the reply's start byte for its length; the reply's length byte
    // then lacks the marker, so both are scanned again and the reply is read whole. Every reply
    // the tester sends (81 data bytes at most) has a length byte below 0xF0.
    for (size_t length : {1, 2, 3, 6, 81, 0x1EF})
        cases.push_back({"stray start byte right before a reply", {{Join({{kFrameStart}, Reply(Pattern(length, 0x40))}), 1000, 0}},
                         {Pattern(length, 0x40)}, 1});
    return cases;
}

TEST(FrameAssembler, Streams)
{
    for (const AssemblyCase& c : AssemblyCases()) {
        SCOPED_TRACE(c.name);
        FrameAssembler assembler;
        std::vector<Bytes> frames;
        std::vector<uint32_t> reads;
        for (size_t i = 0; i < c.chunks.size(); ++i) {
            for (uint32_t size : FeedLikePort(assembler, c.chunks[i].bytes, c.chunks[i].ms, frames)) reads.push_back(size);
            if (c.chunks[i].inFrameAfter >= 0) {
                EXPECT_EQ(assembler.InFrame(), c.chunks[i].inFrameAfter == 1) << "after chunk " << i;
            }
        }
        EXPECT_EQ(frames, c.frames);
        EXPECT_EQ(assembler.DroppedCount(), c.dropped);
        EXPECT_LE(*std::max_element(reads.begin(), reads.end()), 256u);
        EXPECT_EQ(reads, c.reads.empty() ? reads : c.reads);
    }
}

// Line noise of every kind, fed in the port's read sizes: whatever arrives, the assembler keeps
// its bounds, and after a stall a real reply is taken whole.
TEST(FrameAssembler, RandomStreamsStayInBoundsAndARealReplyFollowsAStall)
{
    uint32_t seed = 12345;
    auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
    FrameAssembler assembler;
    uint64_t now = 1000;
    for (int round = 0; round < 300; ++round) {
        Bytes noise(next() % 6000);
        for (uint8_t& b : noise) {
            // Start and end bytes and the marker often, so that false frames of every length occur.
            uint32_t pick = next() % 8;
            b = pick == 0 ? 0x02 : pick == 1 ? 0x03 : pick == 2 ? 0xF0 | (next() % 16) : static_cast<uint8_t>(next());
        }
        for (size_t at = 0; at < noise.size();) {
            ASSERT_GE(assembler.Expected(), 1u);
            ASSERT_LE(assembler.Expected(), kAssemblyBufferSize - kReplyHeaderSize + 1);
            uint32_t size = 1 + next() % std::min<uint32_t>(assembler.Expected(), 256);  // a read may end early
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
        Bytes data(1 + next() % 300);
        for (uint8_t& b : data) b = static_cast<uint8_t>(next());
        std::vector<Bytes> frames;
        FeedLikePort(assembler, Reply(data), now + 1, frames);
        ASSERT_EQ(frames, std::vector<Bytes>{data}) << "round " << round;
        now += 10;
    }
    // The noise did reach the paths that drop frames, not only the start-byte scan.
    EXPECT_GT(assembler.DroppedCount(), 300u);
}

}  // namespace
