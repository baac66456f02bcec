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
#include <vector>

#include "device/tester_protocol.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kMaxStream = 1 << 14;
// Data of generated frames once the input runs out: a whole small frame, so that an assembler
// that lost step inside a frame would accept a frame nobody sent.
constexpr uint8_t kFill[] = {kFrameStart, 0x01, kReplyMarker, 0x55, kFrameEnd};

struct Read {
    uint8_t size;
    uint8_t time;
};

struct SentFrame {
    size_t start;  // of the 0x02 in the stream
    uint32_t length;
};

struct FramedStream {
    std::vector<uint8_t> bytes;
    std::vector<SentFrame> valid;
    uint32_t drops = 0;
};

uint32_t TakeFrameLength(uint8_t op, ByteReader& in)
{
    uint32_t length = in.Byte() | (static_cast<uint32_t>(op >> 5) << 8);
    if (op & 0x10)
        length = kMaxReplyData - (length & 3);  // the largest frames the buffer holds
    return length;
}

// Data from the input while it lasts (none when in is null), then the fill.
void AppendFrame(FramedStream& s, ByteReader* in, uint32_t length, uint8_t end)
{
    s.bytes.push_back(kFrameStart);
    s.bytes.push_back(static_cast<uint8_t>(length & 0xFF));
    s.bytes.push_back(static_cast<uint8_t>(kReplyMarker | (length >> 8)));
    for (uint32_t i = 0; i < length; ++i)
        s.bytes.push_back(in == nullptr || in->Empty() ? kFill[i % sizeof kFill] : in->Byte());
    s.bytes.push_back(end);
}

// A byte of a run or header that must not be taken for a start byte.
uint8_t NotStart(uint8_t b) { return b == kFrameStart ? 0x12 : b; }

// behindStart: the frame follows a lone start byte, so its length byte must not look like a marker.
void AppendValidFrame(FramedStream& s, uint8_t op, ByteReader& in, bool behindStart = false)
{
    uint32_t length = TakeFrameLength(op, in);
    if (behindStart && (length & 0xF0) == kReplyMarker)
        length &= ~0x80u;
    s.valid.push_back({s.bytes.size(), length});
    AppendFrame(s, &in, length, kFrameEnd);
}

void BuildFramedStream(ByteReader& in, FramedStream& s)
{
    s.bytes.clear();
    s.valid.clear();
    s.drops = 0;
    while (!in.Empty() && s.bytes.size() < kMaxStream) {
        const uint8_t op = in.Byte();
        switch (op % 5) {
        case 0: AppendValidFrame(s, op, in); break;
        case 1:  // announced beyond the buffer: swallowed whole, data and end byte included
            AppendFrame(s, nullptr, kMaxReplyData + 1 + in.Byte() % 3, kFrameEnd);
            ++s.drops;
            break;
        case 2: {
            const uint32_t length = TakeFrameLength(op, in);
            const uint8_t end = in.Byte();
            AppendFrame(s, &in, length, end == kFrameEnd ? 0x13 : end);
            ++s.drops;
            break;
        }
        case 3:
            for (uint32_t i = in.Byte() + 1u; i > 0; --i) s.bytes.push_back(NotStart(in.Byte()));
            break;
        case 4: {
            const uint8_t low = in.Byte();
            ++s.drops;
            if (op & 0x80) {
                // A start byte and one more (none when that is a start byte) right before a
                // frame: the frame's start byte, or its length byte, arrives where a marker was
                // wanted and must be read again as a start byte, or a length byte.
                s.bytes.push_back(kFrameStart);
                if (low != kFrameStart)
                    s.bytes.push_back(low);
                AppendValidFrame(s, static_cast<uint8_t>(op & 0x7F), in, low == kFrameStart);
                break;
            }
            uint8_t third = in.Byte();
            if ((third & 0xF0) == kReplyMarker)
                third &= 0x7F;
            s.bytes.insert(s.bytes.end(), {kFrameStart, NotStart(low), NotStart(third)});
            break;
        }
        }
    }
}

// What the harness knows of the frame body being read: the stream position where it ends.
struct Pending {
    bool active = false;
    bool swallowed = false;  // announced too long: skipped, never accepted
    size_t end = 0;
};

}  // namespace

FUZZ_TARGET(in)
{
    const uint8_t flags = in.Byte();
    const bool framed = (flags & 1) != 0;
    const bool portReads = (flags & 2) != 0;
    std::vector<Read> schedule(in.Byte());
    for (Read& r : schedule) {
        r.size = in.Byte();
        r.time = in.Byte();
    }

    // Kept from input to input: fresh pages for every stream would cost more than the run.
    static FramedStream framedStream;
    static std::vector<uint8_t> rawStream;
    if (framed) {
        BuildFramedStream(in, framedStream);
    } else {
        rawStream.assign(in.Rest(), in.Rest() + std::min(in.Remaining(), kMaxStream));
    }
    const std::vector<uint8_t>& stream = framed ? framedStream.bytes : rawStream;

    // On the heap, so that ASan sees a write past the assembly buffer's object.
    auto assembler = std::make_unique<FrameAssembler>();
    FrameAssembler& fa = *assembler;
    FUZZ_CHECK(fa.Expected() == 1 && !fa.InFrame(), "a new assembler waits for a start byte");

    size_t pos = 0;           // bytes fed so far
    size_t stallPos = 0;      // a frame accepted later began at or after this
    uint64_t now = 0;
    uint64_t lastNonEmpty = 0;  // the assembler's own starting point too
    size_t readIndex = 0;
    size_t acceptedFrames = 0;
    size_t emptyInARow = 0;
    Pending pending;

    while (pos < stream.size()) {
        const Read r = schedule.empty() ? Read{0, 1} : schedule[readIndex % schedule.size()];
        ++readIndex;
        const bool emptyRead = (r.time & 0x80) != 0 && emptyInARow < 8;
        uint64_t step = r.time & 0x3F;
        if (r.time & 0x40)
            step += FrameAssembler::kStallMs - 1;
        if (framed && now + step - lastNonEmpty >= FrameAssembler::kStallMs)
            step = 0;  // a framed stream never stalls, so that every frame must arrive
        now += step;

        size_t count = 0;
        if (!emptyRead) {
            count = (portReads || schedule.empty()) ? fa.Expected() : r.size + 1u;
            count = std::min(count, stream.size() - pos);
        }
        emptyInARow = emptyRead ? emptyInARow + 1 : 0;

        const bool wasInFrame = fa.InFrame();
        const uint32_t droppedBefore = fa.DroppedCount();
        const bool stall = wasInFrame && now - lastNonEmpty >= FrameAssembler::kStallMs;
        fa.BeginBatch(static_cast<uint32_t>(count), now);
        if (stall) {
            FUZZ_CHECK(!fa.InFrame() && fa.Expected() == 1, "a stalled frame is abandoned");
            FUZZ_CHECK(fa.DroppedCount() == droppedBefore + 1, "an abandoned frame is counted");
            stallPos = pos;
            pending = Pending{};
        } else {
            FUZZ_CHECK(fa.InFrame() == wasInFrame, "a read in time keeps the partial frame");
            FUZZ_CHECK(fa.DroppedCount() == droppedBefore, "nothing dropped without a stall");
        }
        if (count > 0)
            lastNonEmpty = now;

        for (size_t i = 0; i < count; ++i) {
            const uint8_t b = stream[pos];
            const uint32_t droppedBeforeByte = fa.DroppedCount();
            const bool accepted = fa.FeedByte(b);
            ++pos;
            const uint32_t expected = fa.Expected();
            FUZZ_CHECK(expected >= 1, "the port is always asked for at least one byte");
            FUZZ_CHECK(expected <= kAssemblyBufferSize, "never more than the buffer holds");

            if (pending.active) {
                const size_t left = pending.end - pos;
                if (left > 0) {
                    FUZZ_CHECK(!accepted && fa.InFrame(), "a frame ends only at its announced end");
                    FUZZ_CHECK(expected == left, "Expected() is what is left of the frame");
                } else {
                    FUZZ_CHECK(!fa.InFrame() && expected == 1, "back to the start byte after a frame");
                    if (pending.swallowed) {
                        FUZZ_CHECK(!accepted, "an over-long frame is never accepted");
                    } else {
                        FUZZ_CHECK(accepted == (b == kFrameEnd), "a body ending in 0x03 is a frame");
                        FUZZ_CHECK(fa.DroppedCount() == droppedBeforeByte + (accepted ? 0 : 1),
                                   "a bad end byte is counted as a drop");
                    }
                    pending = Pending{};
                }
            } else if (expected > 1) {
                // A reply header has just been read: three stream bytes announce the body.
                FUZZ_CHECK(pos >= 3 + stallPos, "a header lies whole after the last stall");
                const uint32_t announced =
                    (static_cast<uint32_t>(stream[pos - 1] & 0x0F) << 8) | stream[pos - 2];
                FUZZ_CHECK(stream[pos - 3] == kFrameStart && (stream[pos - 1] & 0xF0) == kReplyMarker,
                           "a body is asked for only behind a reply header");
                FUZZ_CHECK(expected == announced + 1, "the body asked for is the announced length + end");
                FUZZ_CHECK(fa.InFrame(), "reading a body is being in a frame");
                pending.active = true;
                pending.swallowed = announced > kMaxReplyData;
                pending.end = pos + expected;
                FUZZ_CHECK(fa.DroppedCount() == droppedBeforeByte + (pending.swallowed ? 1 : 0),
                           "an over-long announcement is counted as a drop at once");
            }

            if (accepted) {
                const uint32_t length = fa.FrameLength();
                FUZZ_CHECK(length <= kMaxReplyData, "an accepted frame fits the buffer");
                FUZZ_CHECK(pos >= length + 4 && pos - (length + 4) >= stallPos,
                           "an accepted frame began after the last stall");
                const size_t start = pos - (length + 4);
                const uint8_t* frame = fa.FrameData() - kReplyHeaderSize;
                FUZZ_CHECK(std::memcmp(frame, &stream[start], length + 4) == 0,
                           "the accepted frame is the stream's bytes ending here");
                FUZZ_CHECK(frame[0] == kFrameStart && frame[1] == (length & 0xFF) &&
                               frame[2] == (kReplyMarker | (length >> 8)) &&
                               frame[length + 3] == kFrameEnd,
                           "an accepted frame is a well-formed reply frame");
                FUZZ_CHECK(!fa.InFrame() && expected == 1, "after a frame, a start byte is awaited");
                if (framed) {
                    FUZZ_CHECK(acceptedFrames < framedStream.valid.size(), "no frame nobody sent");
                    const SentFrame& sent = framedStream.valid[acceptedFrames];
                    FUZZ_CHECK(sent.start == start && sent.length == length,
                               "the frames come out in the order sent, none skipped");
                }
                ++acceptedFrames;
            }
        }
        if (!pending.active)
            FUZZ_CHECK(fa.Expected() == 1, "headers are read one byte at a time");
    }

    if (framed) {
        FUZZ_CHECK(acceptedFrames == framedStream.valid.size(), "every valid frame was accepted");
        FUZZ_CHECK(fa.DroppedCount() == framedStream.drops, "every bad frame was counted once");
        FUZZ_CHECK(!fa.InFrame(), "a stream of whole frames leaves no partial frame");
    }
}
