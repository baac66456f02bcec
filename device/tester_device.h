// The tester's command protocol over a SerialPort: request framing, the frame assembler that
// runs on the port's thread, and the decoding of every reply into DeviceReadings.
#pragma once

#include <cstdint>
#include <memory>

#include "device/auto_event.h"
#include "device/device_readings.h"
#include "device/serial_port.h"

class TesterDevice {
public:
    TesterDevice();
    ~TesterDevice();
    TesterDevice(const TesterDevice&) = delete;
    TesterDevice& operator=(const TesterDevice&) = delete;

    // 0 when the port opened (its thread then runs), 1 when it did not.
    uint32_t Open(const wchar_t* portName);
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
    // The reply's result byte; 1 when either wait times out.
    uint8_t SetPower(bool on);

    // The receive handler, on the port's thread.
    static void OnSerialEvent(SerialPort* port, void* context, SerialEvent code);

    DeviceReadings readings;

private:
    // (fields owned by tester_device.cpp)
};

// The application's single tester.
extern TesterDevice g_testerDevice;
