// The tester's wire protocol as plain code: request and reply frames, the receive-side frame
// assembler, and the decoding of every reply as one table interpreted by one small function.
// Nothing here touches a port or a thread, so the simulator and the tests use it directly.
#pragma once

#include <cstdint>

#include "device/device_readings.h"

// Frame bytes.
constexpr uint8_t kFrameStart = 0x02;
constexpr uint8_t kFrameEnd = 0x03;
constexpr uint8_t kReplyMarker = 0xF0;  // high nibble of a reply's third header byte

// The assembly buffer holds a whole frame: three header bytes, the data and the end byte.
constexpr uint32_t kAssemblyBufferSize = 4096;
constexpr uint32_t kMaxReplyData = kAssemblyBufferSize - 4;  // 4092
constexpr uint32_t kReplyHeaderSize = 3;
// A request's length byte counts the command and the payload.
constexpr uint32_t kMaxRequestPayload = 254;
constexpr uint32_t kMaxRequestFrame = kMaxRequestPayload + 4;

// Command bytes.
constexpr uint8_t kCommandIdentify = 0x0A;
constexpr uint8_t kCommandStatus = 0x0B;
constexpr uint8_t kCommandVoltages = 0x0C;
constexpr uint8_t kCommandCurrents = 0x0D;
constexpr uint8_t kCommandVoltageMinMax = 0x0E;
constexpr uint8_t kCommandCurrentMinMax = 0x0F;
constexpr uint8_t kCommandRipple = 0x10;
constexpr uint8_t kCommandTimings = 0x11;
constexpr uint8_t kCommandSlewAndSequence = 0x12;
constexpr uint8_t kCommandSetPower = 0x20;
constexpr uint8_t kCommandResetMinMax = 0x21;
constexpr uint8_t kCommandReadSettings = 0x40;
constexpr uint8_t kCommandWriteSettings = 0x41;

// Identify reply: the three letters and where the firmware version bytes sit.
constexpr uint8_t kIdentityLetters[3] = {'P', 'S', 'U'};
constexpr uint32_t kIdentityOffset = 1;
constexpr uint32_t kFirmwareFirstOffset = 10;
constexpr uint32_t kFirmwareSecondOffset = 11;
// Power switch reply: the result byte; refusal codes as the tester sends them.
constexpr uint32_t kPowerResultOffset = 1;
constexpr uint8_t kPowerResultOk = 0;
constexpr uint8_t kPowerRefusedOff = 1;
constexpr uint8_t kPowerRefusedOn = 2;
constexpr uint32_t kSettingsOffset = 1;

// Raw sentinels on the wire.
constexpr int32_t kRawMinimumUnset = 0x7FFF;
constexpr int32_t kRawMaximumUnset = -0x8000;
constexpr uint32_t kRawWordNotAvailable = 0xFFFF;
constexpr uint32_t kRawWordTimedOut = 0xFFFE;
constexpr uint32_t kRawByteNotAvailable = 0xFF;

// Builds 0x02, LEN, command, payload, 0x03 into frame (at least payloadLength + 4 bytes).
// Returns the frame length, or 0 when the payload does not fit a one-byte length.
uint32_t BuildRequestFrame(uint8_t command, const uint8_t* payload, uint32_t payloadLength,
                           uint8_t* frame);
// Builds 0x02, N low, 0xF0 | N high, data, 0x03 into frame (at least length + 4 bytes) for any
// 12-bit N, so the simulator can also send lengths the host must refuse. Returns the frame
// length, or 0 above 4095.
uint32_t BuildReplyFrame(const uint8_t* data, uint32_t length, uint8_t* frame);

// What the decoders of one command need from a reply. A reply shorter than minLength is never
// decoded; a longer one is decoded from the same positions, its extra bytes ignored (a newer
// firmware may add fields). sentLength is what the present firmware sends. A request that only
// reads may be sent a second time when its first reply cannot be told from a late one.
struct ReplyLayout {
    uint8_t command;
    uint16_t minLength;
    uint16_t sentLength;
    bool onlyReads;
};
// Null for a command this program does not send.
const ReplyLayout* FindReplyLayout(uint8_t command);

// ---- Decoding table -------------------------------------------------------------------------

enum class RawType : uint8_t { U8, S16, U16, U32, S32 };

// How a raw value becomes a stored value.
enum class ScaleRule : uint8_t {
    Copy,         // stored as it is
    Multiply,     // (int32_t)((float)raw * scale)
    MinusTwelve,  // (int32_t)(((float)raw - 3355.5618f) / 224.0f * 1000.0f), 0 when above 1000
    Zero,         // not measured: always 0, reads nothing
};

enum class SentinelRule : uint8_t {
    None,
    MinimumUnset,  // raw 0x7FFF -> kNotAvailable
    MaximumUnset,  // raw -0x8000 -> kNotAvailable
    WordUnset,     // raw 0xFFFF -> kNotAvailable
    TimingWord,    // raw 0xFFFF -> kNotAvailable, 0xFFFE -> kTimedOut
    ByteUnset,     // raw 0xFF -> kNotAvailable
};

// Destination arrays of DeviceReadings. Timing is addressed flat: index 4c + k is timing[c][k].
enum class ReadingField : uint8_t {
    PowerStatus,
    TotalPower,
    Voltage,
    Current,
    VoltageMin,
    VoltageMax,
    CurrentMin,
    CurrentMax,
    Ripple,
    Timing,
    SlewRate,
    TurnOnSlope,
    VoltageSequence,
    TimeSequence,
    Settings,
};

// One row: `count` raw values of `type` starting at reply data byte `offset`, `stride` bytes
// apart, go to field[firstIndex], field[firstIndex + 1], ...
struct DecodeRule {
    uint8_t command;
    uint16_t offset;
    RawType type;
    uint8_t count;
    uint8_t stride;
    ReadingField field;
    uint8_t firstIndex;
    ScaleRule scale;
    float factor;
    SentinelRule sentinel;
};

// The whole table, for tests and tools that want to walk it.
const DecodeRule* DecodeTable(uint32_t& ruleCount);

// Applies every row of the command to data. False, with readings untouched, when the command has
// no layout or the reply is shorter than its minimum length.
bool DecodeReply(uint8_t command, const uint8_t* data, uint32_t length, DeviceReadings& readings);

// The arithmetic of one value, shared with the simulator so that it encodes what the host decodes.
int32_t ScaleRawValue(ScaleRule scale, float factor, int32_t raw);
// The stored value of one raw value: sentinel rule first, then the scale.
int32_t DecodeRawValue(const DecodeRule& rule, int32_t raw);
// Little-endian reads and writes.
int32_t ReadRaw(RawType type, const uint8_t* at);
void WriteRaw(RawType type, int32_t value, uint8_t* at);
uint32_t RawSize(RawType type);

// ---- Frame assembler ------------------------------------------------------------------------

// Runs on the port's thread. Fed the bytes of each completed read in order; tells the port how
// many bytes to read next. Outside a frame it asks for one byte at a time, so the header is read
// byte by byte and the rest of the frame in one request.
class FrameAssembler {
public:
    // A partial frame that has made no progress for this long is abandoned so it cannot swallow
    // the next reply.
    static constexpr uint32_t kStallMs = 100;

    FrameAssembler();
    // Back to "waiting for a start byte".
    void Reset();
    // Called once per completed read, before its bytes are fed. An empty read leaves a partial
    // frame in place unless the frame has been stalled for kStallMs.
    void BeginBatch(uint32_t count, uint64_t nowMs);
    // True when b completed a frame with a valid end byte; its data is then FrameData().
    bool FeedByte(uint8_t b);
    // The size of the next read the port should make.
    uint32_t Expected() const { return rxExpected; }
    const uint8_t* FrameData() const { return rxBuffer + kReplyHeaderSize; }
    uint32_t FrameLength() const { return responseLength; }
    // Frames dropped so far (bad end byte, bad marker, announced length too long, stalled).
    uint32_t DroppedCount() const { return droppedCount; }
    bool InFrame() const { return rxPosition != 0 || skipRemaining != 0; }

private:
    void Abandon();

    uint8_t rxBuffer[kAssemblyBufferSize];
    uint16_t rxPosition;      // bytes of the current frame stored in rxBuffer
    uint16_t rxExpected;      // bytes wanted next
    uint16_t responseLength;  // data length announced by the current frame
    uint16_t skipRemaining;   // bytes still to swallow of a frame announced too long
    uint64_t lastProgressMs;  // time of the last read that brought bytes
    uint32_t droppedCount;
};
