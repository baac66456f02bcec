// Fuzz target: the receive-side FrameAssembler fed a byte stream cut into reads of 1 to 256 bytes
// (or of Expected() bytes, as the port reads), with empty reads and a fake clock that sometimes
// jumps past the stall limit.
//
// Input: flags, schedule length n, n (size, time) pairs, then the stream.
//   flags bit 0: the rest describes frames (below) rather than being the stream itself;
//   flags bit 1: each read is Expected() bytes, as the port makes them, instead of size + 1.
//   time: bits 0-5 the milliseconds since the previous read; bit 6 adds kStallMs - 1 to them
//   (so 0 and 1 sit on either side of the limit); bit 7 makes the read an empty one.
// Framed streams are ops, op % 5: 0 a valid frame (length byte + 256 x op bits 5-7, or with op
// bit 4 kMaxReplyData - (byte & 3); then its data); 1 a frame announced longer than the buffer
// (byte % 3 beyond; fill data); 2 a frame with a bad end byte (length, end byte, data); 3 a run of
// byte + 1 bytes without a start byte; 4 a three-byte header without the reply marker (with op
// bit 7: a start byte and a length byte right before a valid frame, as in op 0; a lone start
// byte when that byte is 0x02, and the frame's length byte then never looks like a marker). Their
// clock never lets a frame stall, and every valid frame must then come out, in order, exactly.
//
// Checked on every stream: an accepted frame is 0x02, len lo, 0xF0 | len hi, data, 0x03 exactly
// as those bytes lie in the stream ending at the byte just fed, and began after the last stall;
// a stall abandons the partial frame and nothing else does at batch start; Expected() is 1
// outside a frame's body and otherwise exactly the bytes left of the frame (or of the swallowed
// over-long frame), never 0 and never beyond the buffer.
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "device/tester_protocol.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kMaxStream = 1 << 14;
constexpr uint64_t kStallMs = FrameAssembler::kStallMs;
// Data of generated frames once the input runs out: a whole small frame, so that an assembler
// that lost step inside a frame would accept a frame nobody sent.
constexpr uint8_t kFill[] = {kFrameStart, 0x01, kReplyMarker, 0x55, kFrameEnd};

// A byte of a run or header that must not be taken for a start byte.
uint8_t NotStart(uint8_t b) { return b == kFrameStart ? 0x12 : b; }

uint32_t TakeFrameLength(uint8_t op, ByteReader& in)
{
    const uint32_t length = in.Byte() | (static_cast<uint32_t>(op >> 5) << 8);
    return op & 0x10 ? kMaxReplyData - (length & 3) : length;  // bit 4: the largest frames the buffer holds
}

struct FramedStream {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<size_t, uint32_t>> valid;  // where each valid frame's 0x02 lies, its length
    uint32_t drops = 0;

    // Data from the input while it lasts (none when in is null), then the fill.
    void Frame(ByteReader* in, uint32_t length, uint8_t end)
    {
        bytes.insert(bytes.end(), {kFrameStart, static_cast<uint8_t>(length & 0xFF),
                                   static_cast<uint8_t>(kReplyMarker | (length >> 8))});
        for (uint32_t i = 0; i < length; ++i)
            bytes.push_back(in == nullptr || in->Empty() ? kFill[i % sizeof kFill] : in->Byte());
        bytes.push_back(end);
    }

    // behindStart: the frame follows a lone start byte, so its length byte must not look like a marker.
    void Valid(uint8_t op, ByteReader& in, bool behindStart = false)
    {
        uint32_t length = TakeFrameLength(op, in);
        if (behindStart && (length & 0xF0) == kReplyMarker) length &= ~0x80u;
        valid.emplace_back(bytes.size(), length);
        Frame(&in, length, kFrameEnd);
    }

    void Build(ByteReader& in)
    {
        bytes.clear();
        valid.clear();
        drops = 0;
        while (!in.Empty() && bytes.size() < kMaxStream) {
            const uint8_t op = in.Byte();
            drops += op % 5 == 1 || op % 5 == 2 || op % 5 == 4;  // each drops one frame
            switch (op % 5) {
            case 0: Valid(op, in); break;
            case 1:  // announced beyond the buffer: swallowed whole, data and end byte included
                Frame(nullptr, kMaxReplyData + 1 + in.Byte() % 3, kFrameEnd);
                break;
            case 2: {
                const uint32_t length = TakeFrameLength(op, in);
                const uint8_t end = in.Byte();
                Frame(&in, length, end == kFrameEnd ? 0x13 : end);
                break;
            }
            case 3:
                for (uint32_t i = in.Byte() + 1u; i > 0; --i) bytes.push_back(NotStart(in.Byte()));
                break;
            case 4: {
                const uint8_t low = in.Byte();
                if (op & 0x80) {
                    // A start byte and one more (none when that is a start byte) right before a
                    // frame: the frame's start byte, or its length byte, arrives where a marker was
                    // wanted and must be read again as a start byte, or a length byte.
                    bytes.push_back(kFrameStart);
                    if (low != kFrameStart) bytes.push_back(low);
                    Valid(static_cast<uint8_t>(op & 0x7F), in, low == kFrameStart);
                    break;
                }
                uint8_t third = in.Byte();
                if ((third & 0xF0) == kReplyMarker) third &= 0x7F;
                bytes.insert(bytes.end(), {kFrameStart, NotStart(low), NotStart(third)});
                break;
            }
            }
        }
    }
};

}  // namespace

FUZZ_TARGET(in)
{
    const uint8_t flags = in.Byte();
    const bool framed = (flags & 1) != 0, portReads = (flags & 2) != 0;
    std::vector<uint8_t> schedule(2 * in.Byte());  // (size, time) pairs; none: reads of Expected() bytes, 1 ms apart
    for (uint8_t& b : schedule) b = in.Byte();
    const bool portSized = portReads || schedule.empty();
    if (schedule.empty()) schedule = {0, 1};

    // Kept from input to input: fresh pages for every stream would cost more than the run.
    static FramedStream sent;
    static std::vector<uint8_t> raw;
    if (framed)
        sent.Build(in);
    else
        raw.assign(in.Rest(), in.Rest() + std::min(in.Remaining(), kMaxStream));
    const std::vector<uint8_t>& stream = framed ? sent.bytes : raw;

    // On the heap, so that ASan sees a write past the assembly buffer's object.
    const auto assembler = std::make_unique<FrameAssembler>();
    FrameAssembler& fa = *assembler;
    FUZZ_CHECK(fa.Expected() == 1 && !fa.InFrame(), "a new assembler waits for a start byte");

    size_t pos = 0, stallPos = 0, reads = 0, accepted = 0, emptyInARow = 0;  // stallPos: frames begin after it
    uint64_t now = 0, lastNonEmpty = 0;  // the assembler's own starting point too
    size_t bodyEnd = 0;  // where the frame body being read ends in the stream; 0 outside a body
    bool swallowed = false;  // that body was announced too long: skipped, never accepted
    while (pos < stream.size()) {
        const size_t at = 2 * (reads++ % (schedule.size() / 2));
        const uint8_t size = schedule[at], time = schedule[at + 1];
        const bool emptyRead = (time & 0x80) != 0 && emptyInARow < 8;
        uint64_t step = (time & 0x3F) + (time & 0x40 ? kStallMs - 1 : 0);
        if (framed && now + step - lastNonEmpty >= kStallMs) step = 0;  // every frame must arrive
        now += step;
        const size_t wanted = portSized ? fa.Expected() : size + 1u;
        const size_t count = emptyRead ? 0 : std::min(wanted, stream.size() - pos);
        emptyInARow = emptyRead ? emptyInARow + 1 : 0;

        const bool wasInFrame = fa.InFrame(), stall = wasInFrame && now - lastNonEmpty >= kStallMs;
        const uint32_t droppedBefore = fa.DroppedCount();
        fa.BeginBatch(static_cast<uint32_t>(count), now);
        if (stall) {
            FUZZ_CHECK(!fa.InFrame() && fa.Expected() == 1, "a stalled frame is abandoned");
            FUZZ_CHECK(fa.DroppedCount() == droppedBefore + 1, "an abandoned frame is counted");
            stallPos = pos;
            bodyEnd = 0;
        } else {
            FUZZ_CHECK(fa.InFrame() == wasInFrame, "a read in time keeps the partial frame");
            FUZZ_CHECK(fa.DroppedCount() == droppedBefore, "nothing dropped without a stall");
        }
        if (count > 0) lastNonEmpty = now;

        for (const size_t batchEnd = pos + count; pos < batchEnd;) {
            const uint8_t b = stream[pos++];
            const uint32_t dropped = fa.DroppedCount();
            const bool ok = fa.FeedByte(b);
            const uint32_t expected = fa.Expected();
            FUZZ_CHECK(expected >= 1, "the port is always asked for at least one byte");
            FUZZ_CHECK(expected <= kAssemblyBufferSize, "never more than the buffer holds");

            if (bodyEnd > pos) {
                FUZZ_CHECK(!ok && fa.InFrame(), "a frame ends only at its announced end");
                FUZZ_CHECK(expected == bodyEnd - pos, "Expected() is what is left of the frame");
            } else if (bodyEnd != 0) {
                FUZZ_CHECK(!fa.InFrame() && expected == 1, "back to the start byte after a frame");
                FUZZ_CHECK(!swallowed || !ok, "an over-long frame is never accepted");
                FUZZ_CHECK(swallowed || ok == (b == kFrameEnd), "a body ending in 0x03 is a frame");
                FUZZ_CHECK(swallowed || fa.DroppedCount() == dropped + (ok ? 0 : 1),
                           "a bad end byte is counted as a drop");
                bodyEnd = 0;
            } else if (expected > 1) {
                // A reply header has just been read: three stream bytes announce the body.
                FUZZ_CHECK(pos >= 3 + stallPos, "a header lies whole after the last stall");
                FUZZ_CHECK(stream[pos - 3] == kFrameStart && (stream[pos - 1] & 0xF0) == kReplyMarker,
                           "a body is asked for only behind a reply header");
                const uint32_t announced = (static_cast<uint32_t>(stream[pos - 1] & 0x0F) << 8) | stream[pos - 2];
                FUZZ_CHECK(expected == announced + 1, "the body asked for is the announced length + end");
                FUZZ_CHECK(fa.InFrame(), "reading a body is being in a frame");
                swallowed = announced > kMaxReplyData;
                bodyEnd = pos + expected;
                FUZZ_CHECK(fa.DroppedCount() == dropped + (swallowed ? 1 : 0),
                           "an over-long announcement is counted as a drop at once");
            }

            if (ok) {
                const uint32_t length = fa.FrameLength();
                FUZZ_CHECK(length <= kMaxReplyData, "an accepted frame fits the buffer");
                const size_t start = pos - (length + 4);
                FUZZ_CHECK(pos >= length + 4 && start >= stallPos, "an accepted frame began after the last stall");
                const uint8_t* frame = fa.FrameData() - kReplyHeaderSize;
                FUZZ_CHECK(!std::memcmp(frame, &stream[start], length + 4),
                           "the accepted frame is the stream's bytes ending here");
                FUZZ_CHECK(frame[0] == kFrameStart && frame[1] == (length & 0xFF) &&
                               frame[2] == (kReplyMarker | (length >> 8)) && frame[length + 3] == kFrameEnd,
                           "an accepted frame is a well-formed reply frame");
                FUZZ_CHECK(!fa.InFrame() && expected == 1, "after a frame, a start byte is awaited");
                FUZZ_CHECK(!framed || accepted < sent.valid.size(), "no frame nobody sent");
                FUZZ_CHECK(!framed || sent.valid[accepted] == std::make_pair(start, length),
                           "the frames come out in the order sent, none skipped");
                ++accepted;
            }
        }
        if (bodyEnd == 0) FUZZ_CHECK(fa.Expected() == 1, "headers are read one byte at a time");
    }

    FUZZ_CHECK(!framed || accepted == sent.valid.size(), "every valid frame was accepted");
    FUZZ_CHECK(!framed || fa.DroppedCount() == sent.drops, "every bad frame was counted once");
    FUZZ_CHECK(!framed || !fa.InFrame(), "a stream of whole frames leaves no partial frame");
}
