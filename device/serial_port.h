// One serial device with its own I/O thread. The user hands whole frames to Write, asks for reads
// of an exact size with SetReadSize and RequestRead, and hears about completions through one
// handler that runs on the port's thread. serial_port_win32.cpp and serial_port_posix.cpp are the
// two backends of this one contract.
#pragma once

#include <atomic>
#include <cstdint>

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

// Open result codes; not combined: the last failing step's code is returned.
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
    // Stops the thread, waiting for it at most about 2000 ms; the thread closes the device.
    void Close();
    // Ignored while a write is pending, for 256 bytes or more, or without data.
    void Write(const uint8_t* data, uint32_t length);
    void SetEventHandler(SerialEventHandler handler, void* context);
    // Capped at 256.
    void SetReadSize(uint32_t n);
    void RequestRead();
    // Meant for the handler during a DataReceived notification.
    const uint8_t* ReceiveBuffer() const;
    uint32_t ReceivedCount() const;

private:
    // (fields: common ones, then one #ifdef _WIN32 section per backend)
};
