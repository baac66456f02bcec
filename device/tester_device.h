// The tester's command protocol over a SerialPort: request framing, the frame assembler that
// runs on the port's thread, and the decoding of every reply into DeviceReadings.
#pragma once

#include <cstdint>
#include <memory>

#include "device/auto_event.h"
#include "device/device_readings.h"
#include "device/reply_matcher.h"
#include "device/serial_port.h"
#include "device/tester_protocol.h"

class TesterDevice {
public:
    TesterDevice();
    ~TesterDevice();
    TesterDevice(const TesterDevice&) = delete;
    TesterDevice& operator=(const TesterDevice&) = delete;

    // 0 when the port opened (its thread then runs), otherwise the port's kSerialOpen code of the
    // failing step; LastOpenError then says why.
    uint32_t Open(const wchar_t* portName);
    // The system's error of the last Open's failing step (SerialPort::LastOpenError), 0 after a
    // successful Open or before the first. Read on the thread that opened, or after it.
    int LastOpenError() const;
    void Close();

    // Every request blocks for at most about 200 ms and returns false on either time-out,
    // leaving readings unchanged.
    bool Identify(uint8_t& firstVersionByte, uint8_t& secondVersionByte);
    bool ReadStatus();
    bool ReadVoltages();
    bool ReadCurrents();
    bool ReadVoltageMinMax();
    bool ReadCurrentMinMax();
    bool ReadRipple();
    bool ReadTimings();
    bool ReadSlewAndSequence();
    bool ReadSettings();
    bool ResetMinMax();
    bool WriteSettings();
    // A settings block has been read from the tester since the port was opened, so that
    // readings.deviceSettings holds its bytes 0-13 as this tester reported them. Requester only.
    bool HasSettings() const { return settingsRead; }
    // The reply's result byte; 1 when either wait times out.
    uint8_t SetPower(bool on);

    // The receive handler, on the port's thread.
    static void OnSerialEvent(SerialPort* port, void* context, SerialEvent code);

    DeviceReadings readings;

private:
    // One request/reply exchange: frame and send the request, wait for the write and for the
    // reply that answers it, and copy at most replyCapacity bytes of that reply into reply.
    // False on either time-out or when the reply is shorter than the command's layout.
    bool Exchange(uint8_t command, const uint8_t* payload, uint32_t payloadLength, uint8_t* reply,
                  uint32_t replyCapacity, uint32_t& replyLength);
    // A measurement request: exchange, then decode by the table.
    bool ReadAndDecode(uint8_t command);
    // Port thread: a frame was accepted by the assembler.
    void PublishFrame(const uint8_t* data, uint32_t length, uint64_t nowMs);
    // Requester: gives the matcher every frame that arrived since it last looked.
    void PassFramesToMatcher();
    // Requester: copies the frame numbered `sequence` out of its response slot. False when a newer
    // frame has taken the slot in the meantime, or the frame could not be kept.
    bool TakeFrame(uint32_t sequence, uint8_t* reply, uint32_t replyCapacity, uint32_t& replyLength);

    // Room for the longest reply any decoder reads; the requester copies replies out of their
    // slot so that the port's thread is never kept waiting by a decode. Kept small: the worker
    // runs on a small stack.
    static constexpr uint32_t kReplyCopySize = 96;
    // The last few frames are kept, so that a request still finds its reply when a late one for
    // another request arrived right behind it.
    static constexpr uint32_t kResponseSlots = 4;
    // The lengths of the last frames, for the matcher, each tagged with its frame number.
    static constexpr uint32_t kLengthSlots = 16;

    std::unique_ptr<SerialPort> port;

    // Receive side, written by the port's thread only.
    FrameAssembler assembler;

    // The last accepted frames' data (at most kReplyCopySize bytes of each), in slot
    // number % kResponseSlots. Written by the port's thread while it holds responseOwner, read by
    // the requesting thread while it holds it.
    uint8_t response[kResponseSlots][kReplyCopySize];
    uint32_t responseLength[kResponseSlots];
    uint32_t responseSequence[kResponseSlots];  // frameCount value of the frame in the slot
    // kResponseFree, or which side is using response. The port's thread drops a frame's data
    // (counting the frame) rather than wait while the requester copies.
    std::atomic<uint32_t> responseOwner;
    // Written by the port's thread: frames accepted since construction, when the last one arrived
    // (steady clock, ms), and each frame's length: (number & 0xFFFFF) << 12 | length, in slot
    // number % kLengthSlots, stored before frameCount.
    std::atomic<uint32_t> frameCount;
    std::atomic<uint64_t> lastFrameMs;
    std::atomic<uint32_t> frameLengths[kLengthSlots];

    AutoResetEvent responseEvent;      // signalled by the port's thread after a frame
    AutoResetEvent transmitDoneEvent;  // signalled by the port's thread after a write

    // Requesting thread only: which frame answers which request, and the frames it has been given.
    ReplyMatcher matcher;
    uint32_t framesSeen;
    // Requester only: see HasSettings.
    bool settingsRead;
};

// The application's single tester.
extern TesterDevice g_testerDevice;
