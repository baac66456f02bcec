// The hand-shake state shared by the main window and the connection worker, and the operations
// both sides use on it.
#include "measurement/handshake.h"

#include <chrono>
#include <thread>

#include "device/tester_device.h"

WindowHandle g_mainWindow = nullptr;
std::atomic<uint8_t> g_stopRequested{1};
std::atomic<int32_t> g_workerRunning{0};
std::atomic<int32_t> g_powerRequest{0};
std::atomic<int32_t> g_powerTarget{0};
AutoResetEvent g_resetMinMaxEvent;
AutoResetEvent g_settingsChangedEvent;
std::atomic<uint8_t> g_logIntervalSeconds{10};
std::atomic<int32_t> g_workerThreads{0};
std::atomic<uint32_t> g_pollCycleCount{0};

namespace {

// 0: free; 1: held by a connection worker or a port probe. Taken with acquire so the new holder
// sees everything the previous one did to the TesterDevice; given back with release.
std::atomic<int32_t> g_testerDeviceOwner{0};

// The wait gives up after 2 s; it looks every 10 ms so that it ends as soon as the worker has.
constexpr auto kExitWaitLimit = std::chrono::milliseconds(2000);
constexpr auto kExitWaitStep = std::chrono::milliseconds(10);
constexpr auto kOwnerPollStep = std::chrono::milliseconds(10);

const int kDeviceControls[] = {kPowerButtonId, kConfigureButtonId, kResetMinMaxButtonId};
// Configure is not among them: it waits for the tester's settings block (see the worker).
const int kEnabledDeviceControls[] = {kPowerButtonId, kResetMinMaxButtonId};

}  // namespace

void EnableDeviceControls(WindowHandle window)
{
    for (int id : kEnabledDeviceControls)
        EnableControl(window, id, true);
}

void DisableDeviceControls(WindowHandle window)
{
    for (int id : kDeviceControls)
        EnableControl(window, id, false);
}

void RequestPowerSwitch(WindowHandle window)
{
    bool isOn = (LoadByte(g_testerDevice.readings.powerStatus) & kPowerStatusOn) != 0;
    g_powerTarget.store(isOn ? 0 : 1, std::memory_order_relaxed);
    // Release: a worker that sees this request also sees the target stored above.
    g_powerRequest.store(1, std::memory_order_release);
    EnableControl(window, kPowerButtonId, false);
}

bool ReadPowerRequest(int32_t& target)
{
    if (g_powerRequest.load(std::memory_order_acquire) == 0)
        return false;
    // Read after the request: at least as new as the target published with it. A press that
    // lands between the two loads only brings a newer target for the same (collapsed) request.
    target = g_powerTarget.load(std::memory_order_relaxed);
    return true;
}

void ClearPowerRequest() { g_powerRequest.store(0, std::memory_order_relaxed); }

bool WaitForWorkerExit()
{
    g_stopRequested.store(1, std::memory_order_relaxed);
    // A polling worker clears g_workerRunning a moment before it gives the tester back and its
    // thread ends; the wait takes that moment too, so that the tester is free when it returns.
    // A worker still connecting is not waited for beyond g_workerRunning, as before.
    const bool polling = g_workerRunning.load(std::memory_order_relaxed) != 0;
    const auto end = std::chrono::steady_clock::now() + kExitWaitLimit;
    const auto ended = [polling] {
        return g_workerRunning.load(std::memory_order_relaxed) == 0 &&
               (!polling || g_workerThreads.load(std::memory_order_acquire) == 0);
    };
    while (!ended() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(kExitWaitStep);
    return ended();
}

bool TryTakeTesterDevice()
{
    int32_t expected = 0;
    return g_testerDeviceOwner.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                                       std::memory_order_relaxed);
}

void TakeTesterDevice()
{
    // The holder is an ending worker: its remaining work is bounded (the rest of one cycle and
    // the port's close) unless it sits in a message box, which the user closes.
    while (!TryTakeTesterDevice())
        std::this_thread::sleep_for(kOwnerPollStep);
}

void ReleaseTesterDevice() { g_testerDeviceOwner.store(0, std::memory_order_release); }

bool IsTesterDeviceTaken() { return g_testerDeviceOwner.load(std::memory_order_relaxed) != 0; }
