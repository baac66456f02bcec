// The tester's command protocol over a SerialPort: each request is framed, written and answered
// by exactly the reply that belongs to it; the receive handler runs the frame assembler on the
// port's thread and hands accepted frames to the waiting request.
#include "device/tester_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

TesterDevice g_testerDevice;

namespace {

constexpr uint32_t kBaudRate = 115200;
constexpr uint32_t kParityNone = 0;
constexpr uint32_t kDataBits = 8;

constexpr uint32_t kWriteWaitMs = 100;
constexpr uint32_t kReplyWaitMs = 100;

// Who is using TesterDevice::response.
constexpr uint32_t kResponseFree = 0;
constexpr uint32_t kResponsePortWriting = 1;
constexpr uint32_t kResponseRequesterReading = 2;

// A frame length slot: the frame number's low bits above the length.
constexpr uint32_t kLengthBits = 12;
constexpr uint32_t kNumberTagMask = 0xFFFFF;

uint64_t NowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

TesterDevice::TesterDevice()
    : response{},
      responseLength{},
      responseSequence{},
      responseOwner(kResponseFree),
      frameCount(0),
      lastFrameMs(0),
      frameLengths{},
      framesSeen(0),
      settingsRead(false)
{
    for (auto& byte : readings.deviceSettings)
        StoreByte(byte, 0);
    StoreByte(readings.powerStatus, 0);
    StoreWord(readings.totalPower, 0);
    for (auto& word : readings.voltageMin) StoreWord(word, 0);
    for (auto& word : readings.voltage) StoreWord(word, 0);
    for (auto& word : readings.voltageMax) StoreWord(word, 0);
    for (auto& word : readings.ripple) StoreWord(word, 0);
    for (auto& word : readings.currentMin) StoreWord(word, 0);
    for (auto& word : readings.current) StoreWord(word, 0);
    for (auto& word : readings.currentMax) StoreWord(word, 0);
    for (auto& channel : readings.timing)
        for (auto& word : channel) StoreWord(word, 0);
    for (auto& word : readings.slewRate) StoreWord(word, 0);
    for (auto& word : readings.turnOnSlope) StoreWord(word, 0);
    for (auto& word : readings.voltageSequence) StoreWord(word, 0);
    for (auto& word : readings.timeSequence) StoreWord(word, 0);
}

TesterDevice::~TesterDevice()
{
    Close();
    port.reset();
}

uint32_t TesterDevice::Open(const wchar_t* portName)
{
    // The previous port's thread must be gone before the assembler starts afresh.
    Close();
    port = std::make_unique<SerialPort>();
    // A partial frame or an owed reply of an earlier connection has nothing to do with this one.
    assembler.Reset();
    matcher.Reset();
    framesSeen = frameCount.load(std::memory_order_acquire);
    // The block held now is another tester's, or none at all.
    settingsRead = false;
    port->SetEventHandler(&TesterDevice::OnSerialEvent, this);
    return port->Open(portName, kBaudRate, kParityNone, kDataBits, true);
}

int TesterDevice::LastOpenError() const { return port ? port->LastOpenError() : 0; }

void TesterDevice::Close()
{
    if (port)
        port->Close();
}

void TesterDevice::OnSerialEvent(SerialPort* port, void* context, SerialEvent code)
{
    TesterDevice* self = static_cast<TesterDevice*>(context);
    switch (code) {
    case SerialEvent::Started:
        port->RequestRead();
        port->SetReadSize(1);
        break;
    case SerialEvent::WriteDone:
        self->transmitDoneEvent.Signal();
        break;
    case SerialEvent::DataReceived: {
        uint64_t now = NowMs();
        const uint8_t* data = port->ReceiveBuffer();
        uint32_t count = port->ReceivedCount();
        bool accepted = false;
        self->assembler.BeginBatch(count, now);
        for (uint32_t i = 0; i < count; ++i) {
            if (self->assembler.FeedByte(data[i])) {
                self->PublishFrame(self->assembler.FrameData(), self->assembler.FrameLength(), now);
                accepted = true;
            }
        }
        port->SetReadSize(self->assembler.Expected());
        port->RequestRead();
        if (accepted)
            self->responseEvent.Signal();
        break;
    }
    default:
        break;  // stop and line-state notifications mean nothing to the protocol
    }
}

void TesterDevice::PublishFrame(const uint8_t* data, uint32_t length, uint64_t nowMs)
{
    uint32_t number = frameCount.load(std::memory_order_relaxed) + 1;
    uint32_t slot = number % kResponseSlots;
    uint32_t expected = kResponseFree;
    if (responseOwner.compare_exchange_strong(expected, kResponsePortWriting,
                                              std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
        std::memcpy(response[slot], data, std::min(length, kReplyCopySize));
        responseLength[slot] = length;
        responseSequence[slot] = number;
        responseOwner.store(kResponseFree, std::memory_order_release);
    }
    // Counted even when its data was dropped: it answers some request, and the account of owed
    // replies must see it.
    frameLengths[number % kLengthSlots].store(((number & kNumberTagMask) << kLengthBits) | length,
                                              std::memory_order_relaxed);
    lastFrameMs.store(nowMs, std::memory_order_relaxed);
    frameCount.store(number, std::memory_order_release);
}

void TesterDevice::PassFramesToMatcher()
{
    uint32_t count = frameCount.load(std::memory_order_acquire);
    uint64_t now = NowMs();
    while (framesSeen != count) {
        ++framesSeen;
        uint32_t entry = frameLengths[framesSeen % kLengthSlots].load(std::memory_order_relaxed);
        // A slot already taken by a newer frame: this frame's length is lost.
        bool kept = (entry >> kLengthBits) == (framesSeen & kNumberTagMask);
        uint32_t length = kept ? entry & ((1u << kLengthBits) - 1) : ReplyMatcher::kLengthLost;
        matcher.AddFrame(framesSeen, length, now);
    }
}

bool TesterDevice::TakeFrame(uint32_t sequence, uint8_t* reply, uint32_t replyCapacity,
                             uint32_t& replyLength)
{
    uint32_t expected = kResponseFree;
    while (!responseOwner.compare_exchange_weak(expected, kResponseRequesterReading,
                                                std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
        // The port's thread is copying a frame in: a few microseconds at most.
        expected = kResponseFree;
        std::this_thread::yield();
    }
    uint32_t slot = sequence % kResponseSlots;
    bool same = responseSequence[slot] == sequence;
    if (same) {
        replyLength = responseLength[slot];
        std::memcpy(reply, response[slot], std::min({responseLength[slot], replyCapacity, kReplyCopySize}));
    }
    responseOwner.store(kResponseFree, std::memory_order_release);
    return same;
}

bool TesterDevice::Exchange(uint8_t command, const uint8_t* payload, uint32_t payloadLength,
                            uint8_t* reply, uint32_t replyCapacity, uint32_t& replyLength)
{
    const ReplyLayout* layout = FindReplyLayout(command);
    uint8_t frame[kMaxRequestFrame];
    uint32_t frameLength = BuildRequestFrame(command, payload, payloadLength, frame);
    if (!layout || frameLength == 0 || !port)
        return false;

    PassFramesToMatcher();
    matcher.BeginRequest(command, NowMs());
    if (!layout->onlyReads && matcher.OwedReplies() > 0) {
        // A request that changes the tester is never sent twice, so it had better not go out
        // while replies are owed that may be taken for its own: a status request gives them
        // time to come and be placed first.
        uint8_t scratch[kReplyCopySize];
        uint32_t scratchLength = 0;
        Exchange(kCommandStatus, nullptr, 0, scratch, sizeof(scratch), scratchLength);
        PassFramesToMatcher();
        matcher.BeginRequest(command, NowMs());
    }

    // A second send shares the first one's time: the request keeps its bound.
    uint64_t boundMs = NowMs() + kWriteWaitMs + kReplyWaitMs;
    uint32_t takenLength = 0;
    for (bool taken = false; !taken;) {
        transmitDoneEvent.Reset();
        responseEvent.Reset();
        if (!port->Write(frame, frameLength))
            return false;  // not sent (the port is closed, or an earlier frame is still going out)
        matcher.Sent(NowMs());
        uint64_t now = NowMs();
        uint64_t writeWaitMs = boundMs > now ? std::min<uint64_t>(boundMs - now, kWriteWaitMs) : 0;
        bool written = transmitDoneEvent.Wait(static_cast<uint32_t>(writeWaitMs));
        // Without a write completion there is no time for a reply, but the request may have gone
        // out: its reply stays owed.
        uint64_t deadlineMs = written ? std::min<uint64_t>(NowMs() + kReplyWaitMs, boundMs) : NowMs();
        for (;;) {
            PassFramesToMatcher();
            now = NowMs();
            MatchStep step = matcher.Judge(lastFrameMs.load(std::memory_order_relaxed), now, deadlineMs,
                                           boundMs, layout->onlyReads);
            if (step.action == MatchAction::Fail)
                return false;
            if (step.action == MatchAction::Resend)
                break;
            if (step.action == MatchAction::Wait) {
                responseEvent.Wait(static_cast<uint32_t>(std::max<uint64_t>(step.wakeAtMs - now, 1)));
                continue;
            }
            if (TakeFrame(step.frame, reply, replyCapacity, takenLength)) {
                taken = true;
                break;
            }
            // Its data was not kept (newer frames took the slot, or it came while another was
            // being copied): wait for what else comes.
        }
    }
    if (takenLength < layout->minLength)
        return false;  // answered, but too short to decode: nothing stale is read
    replyLength = std::min(takenLength, replyCapacity);
    return true;
}

bool TesterDevice::Identify(uint8_t& firstVersionByte, uint8_t& secondVersionByte)
{
    uint8_t reply[kReplyCopySize];
    uint32_t length = 0;
    if (!Exchange(kCommandIdentify, nullptr, 0, reply, sizeof(reply), length))
        return false;
    if (std::memcmp(reply + kIdentityOffset, kIdentityLetters, sizeof(kIdentityLetters)) != 0)
        return false;
    firstVersionByte = reply[kFirmwareFirstOffset];
    secondVersionByte = reply[kFirmwareSecondOffset];
    return true;
}

// The measurement requests differ only in their command byte: the decoding table does the rest.
bool TesterDevice::ReadStatus() { return ReadAndDecode(kCommandStatus); }
bool TesterDevice::ReadVoltages() { return ReadAndDecode(kCommandVoltages); }
bool TesterDevice::ReadCurrents() { return ReadAndDecode(kCommandCurrents); }
bool TesterDevice::ReadVoltageMinMax() { return ReadAndDecode(kCommandVoltageMinMax); }
bool TesterDevice::ReadCurrentMinMax() { return ReadAndDecode(kCommandCurrentMinMax); }
bool TesterDevice::ReadRipple() { return ReadAndDecode(kCommandRipple); }
bool TesterDevice::ReadTimings() { return ReadAndDecode(kCommandTimings); }
bool TesterDevice::ReadSlewAndSequence() { return ReadAndDecode(kCommandSlewAndSequence); }
bool TesterDevice::ReadSettings()
{
    if (!ReadAndDecode(kCommandReadSettings))
        return false;
    settingsRead = true;
    return true;
}

bool TesterDevice::ReadAndDecode(uint8_t command)
{
    uint8_t reply[kReplyCopySize];
    uint32_t length = 0;
    if (!Exchange(command, nullptr, 0, reply, sizeof(reply), length))
        return false;
    return DecodeReply(command, reply, length, readings);
}

bool TesterDevice::ResetMinMax()
{
    uint8_t reply[kReplyCopySize];
    uint32_t length = 0;
    return Exchange(kCommandResetMinMax, nullptr, 0, reply, sizeof(reply), length);
}

bool TesterDevice::WriteSettings()
{
    uint8_t settings[kSettingsSize];
    for (int i = 0; i < kSettingsSize; ++i)
        settings[i] = LoadByte(readings.deviceSettings[i]);
    uint8_t reply[kReplyCopySize];
    uint32_t length = 0;
    return Exchange(kCommandWriteSettings, settings, sizeof(settings), reply, sizeof(reply), length);
}

uint8_t TesterDevice::SetPower(bool on)
{
    uint8_t payload = on ? 1 : 0;
    uint8_t reply[kReplyCopySize];
    uint32_t length = 0;
    if (!Exchange(kCommandSetPower, &payload, 1, reply, sizeof(reply), length))
        return 1;  // the same answer as a refused switch-off: the caller treats it as failure
    return reply[kPowerResultOffset];
}
