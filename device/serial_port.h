// One serial device with its own I/O thread. The user hands whole frames to Write, asks for reads
// of an exact size with SetReadSize and RequestRead, and hears about completions through one
// handler that runs on the port's thread. serial_port_win32.cpp and serial_port_posix.cpp are the
// two backends of this one contract.
#pragma once

#include <atomic>
#include <cstdint>

#ifndef _WIN32
#include <pthread.h>

#include "device/auto_event.h"
#endif

enum class SerialEvent : uint32_t {
    Started = 0,       // the port's thread has started, before it waits for anything
    Stopped = 1,       // the thread is ending; the device has just been closed
    WriteDone = 2,     // a write has completed
    DataReceived = 3,  // a read has completed; ReceiveBuffer and ReceivedCount describe it
    Ring = 4,          // the ring indicator changed and is on
    CarrierOn = 5,     // the carrier line changed and is on
    CarrierOff = 6,    // the carrier line changed and is off
};

class SerialPort;

// Runs on the port's thread and must return promptly: the thread does nothing else meanwhile.
using SerialEventHandler = void (*)(SerialPort* port, void* context, SerialEvent code);

// Open result codes; not combined: the last failing step's code is returned. LastOpenError tells
// why that step failed.
constexpr uint32_t kSerialOpenOk = 0;
constexpr uint32_t kSerialOpenMaskFailed = 1;
constexpr uint32_t kSerialOpenTimeoutsFailed = 2;
constexpr uint32_t kSerialOpenSettingsFailed = 4;
constexpr uint32_t kSerialOpenDeviceFailed = 8;
constexpr uint32_t kSerialOpenNoName = 16;
constexpr uint32_t kSerialOpenEventMissing = 32;

constexpr uint32_t kSerialBufferSize = 256;

class SerialPort {
public:
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // parity: 0 none, 1 odd, 2 even. Returns one of the kSerialOpen codes.
    uint32_t Open(const wchar_t* portName, uint32_t baudRate, uint32_t parity, uint32_t dataBits,
                  bool lineEvents);
    // The system's error for the failing step of the last Open (errno here, GetLastError on
    // Windows), 0 after a successful one. Never 0 after a failed one: a step that fails without
    // a system error reports EINVAL / ERROR_INVALID_PARAMETER, a name that does not fit
    // ENAMETOOLONG / ERROR_FILENAME_EXCED_RANGE. A port another program holds gives EBUSY here
    // and, as Windows reports it, ERROR_ACCESS_DENIED there.
    int LastOpenError() const;
    // Stops the thread, waiting for it at most about 2000 ms; the thread closes the device.
    void Close();
    // True when the frame was taken for sending; WriteDone follows. False, and nothing is sent,
    // while a write is pending, for 256 bytes or more, without data, or when the port is not open
    // (never opened, closed, or its thread ended after a device failure).
    bool Write(const uint8_t* data, uint32_t length);
    void SetEventHandler(SerialEventHandler handler, void* context);
    // Capped at 256.
    void SetReadSize(uint32_t n);
    void RequestRead();
    // Meant for the handler during a DataReceived notification.
    const uint8_t* ReceiveBuffer() const;
    uint32_t ReceivedCount() const;

private:
#ifdef _WIN32
    // Device names are short ("COM7"); "\\\\.\\" is put in front when opening so COM10 and up work.
    static constexpr uint32_t kNameLength = 10;
#else
    // Device paths such as /dev/pts/12 or /dev/ttyACM0.
    static constexpr uint32_t kNameLength = 256;
#endif
    static constexpr uint32_t kEventCount = 7;

    friend struct SerialPortThreadEntry;  // the platform's thread entry point

    void NotifyUser(SerialEvent code);
    void RunThread();
    void StopThread(bool waitWithoutLimit);

    // Both backends start from these values; their constructors set only their own fields.
    // Set by Open before the thread starts; read by the thread.
    bool lineEventsEnabled = false;
    wchar_t portName[kNameLength] = {};
    uint32_t baudRate = 0;
    uint32_t parity = 0;

    // Written by Open on the owner's thread; read there by LastOpenError.
    int openError = 0;
    // Set by Open just before the thread starts, cleared by the port thread as it closes the
    // device; read by Write (any thread).
    std::atomic<bool> deviceOpen{false};
    // writePending: set by Write (any thread), cleared by the port thread once the write is done.
    std::atomic<bool> writePending{false};
    // readPending, lineWaitPending: written by the port thread only (Open clears them before it
    // starts).
    std::atomic<bool> readPending{false};
    std::atomic<bool> lineWaitPending{false};
    // Written by the port thread; stable for the handler during DataReceived.
    uint8_t receiveBuffer[kSerialBufferSize] = {};
    // Written by SetReadSize (any thread); read by the port thread when it starts a read.
    std::atomic<uint32_t> readSize{1};
    // Written by the port thread before DataReceived.
    std::atomic<uint32_t> receivedCount{0};
    // Filled by Write only while no write is pending; transmitLength is stored last (release) and
    // the port thread loads it (acquire) before it touches the buffer.
    uint8_t transmitBuffer[kSerialBufferSize] = {};
    std::atomic<uint32_t> transmitLength{0};
    // Written by SetEventHandler; read by the port thread for each notification.
    std::atomic<SerialEventHandler> eventHandler{nullptr};
    std::atomic<void*> eventContext{nullptr};

#ifdef _WIN32
    // Kernel objects are kept as void* so that <windows.h> stays out of this header.
    // events: 0 stop (auto), 1 read done (manual), 2 read request (auto), 3 write done (manual),
    // 4 write request (auto), 5 line wait done (manual), 6 line wait request (auto).
    void* events[kEventCount];
    void* device;  // opened by Open, closed by the port thread as it ends (or by Open on failure)
    void* thread;  // written by Open, Close and the destructor on the owner's thread
    uint32_t threadId;
    // OVERLAPPED records (four pointer-sized words each), used by the port thread only; the
    // backend checks that they fit.
    alignas(void*) unsigned char readOverlapped[4 * sizeof(void*)];
    alignas(void*) unsigned char writeOverlapped[4 * sizeof(void*)];
    alignas(void*) unsigned char lineWaitOverlapped[4 * sizeof(void*)];
    // A DWORD; written by the system when the port thread's line-event wait completes.
    unsigned long lineEventMask;
    // Port thread only: cleared when the driver cannot wait for line events at all.
    bool lineWaitsSupported;
#else
    // Requests from other threads to the port thread; each is consumed by the thread, and a
    // request made while one is outstanding collapses into it, like the auto-reset events of the
    // Windows backend.
    std::atomic<bool> stopRequested;
    std::atomic<bool> readRequested;
    std::atomic<bool> writeRequested;
    // Opened by Open before the thread starts; closed (and set to -1) by the port thread as it
    // ends, or by Open on failure. Thread start and join order every access.
    int device;
    // The wake-up pipe: [0] polled by the port thread, [1] written by Write, RequestRead, Close.
    // Made by the constructor; -1 when the system refused.
    int wakeFds[2];
    // The thread (written on the owner's thread only) and the signal it gives as it ends.
    bool threadStarted;
    pthread_t thread;
    AutoResetEvent threadEndedEvent;
    // Port thread only: progress of the pending read and write.
    uint32_t readWanted;
    uint32_t readGot;
    int64_t readDeadlineNs;
    uint32_t writeLength;
    uint32_t writeOffset;
    bool writeActive;
#endif
};
