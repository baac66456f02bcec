// The connection worker: connect sequence, poll cycle and the end of a connection.
//
// Rules this file keeps beyond the plain sequence:
// - One user of the TesterDevice at a time. After a lost connection the worker offers Connect
//   and Refresh before it has finished its cycle and closed the port, and the main window stops
//   waiting for a disconnecting worker after 2 s; a new worker or a port probe started then would
//   share the device with the ending worker. So every worker takes the device token first (a new
//   one waits there until the ending one is done) and gives it back as its very last act, after
//   the port is closed and timer 2 killed.
// - A power switch acts on the target published with the request (see RequestPowerSwitch).
// - Configure is offered only once a settings block has been read from this tester in this
//   connection: the dialog shows that block and OK writes all 18 bytes of it back, so a block
//   that was never read (zeros, or the previous tester's) would overwrite bytes 0-13, which the
//   program neither shows nor means to change. A missed read is tried again in every cycle.
// - Requests left over from an earlier connection (a Power press or a Save Log just before the
//   connection ended, or while none existed) are dropped when a tester is accepted: a new
//   connection must not switch the supply or wipe the tester's minima and maxima unasked.
#include "measurement/connection_worker.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "device/tester_device.h"
#include "measurement/handshake.h"
#include "measurement/readings_table.h"

namespace {

// Tester results of a refused power switch.
constexpr uint8_t kSwitchOnRefused = 2;
constexpr uint8_t kSwitchOffRefused = 1;

constexpr auto kSleepSlice = std::chrono::milliseconds(50);

uint64_t GetSteadyMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// The requests since the last published cycle. Worker thread only (one worker at a time holds
// the device token, and the next one starts after the last one's final act).
struct RequestTally {
    uint32_t requests = 0;
    uint32_t failed = 0;
    uint32_t longestReadMs = 0;
    uint32_t longestOtherMs = 0;
};
RequestTally g_tally;

enum class RequestKind { Read, Other };

// Runs one request, timing it into the tally. A power switch's result byte cannot tell a refusal
// from silence, so `judged` leaves it out of the failure count.
template <typename Request>
auto TallyRequest(RequestKind kind, Request request, bool judged = true)
{
    uint64_t start = GetSteadyMs();
    auto result = request();
    uint32_t took = static_cast<uint32_t>(GetSteadyMs() - start);
    uint32_t& longest = kind == RequestKind::Read ? g_tally.longestReadMs : g_tally.longestOtherMs;
    longest = std::max(longest, took);
    ++g_tally.requests;
    if (judged && !result)
        ++g_tally.failed;
    return result;
}

void PublishCycleStats()
{
    g_pollCycleStats.requests.store(g_tally.requests, std::memory_order_relaxed);
    g_pollCycleStats.failedRequests.store(g_tally.failed, std::memory_order_relaxed);
    g_pollCycleStats.longestReadMs.store(g_tally.longestReadMs, std::memory_order_relaxed);
    g_pollCycleStats.longestOtherMs.store(g_tally.longestOtherMs, std::memory_order_relaxed);
    g_pollCycleStats.endMs.store(GetSteadyMs(), std::memory_order_relaxed);
    g_pollCycleStats.cycle.store(g_pollCycleCount.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    g_tally = RequestTally{};
}

// The last acts of every worker, whichever way it ends. The port is already closed.
void EndWorker()
{
    ReleaseTesterDevice();
    g_workerThreads.fetch_sub(1, std::memory_order_release);
}

// A tester that was not accepted: the user is told, the port closed and Connect offered again.
void RefuseTester(WindowHandle window, const wchar_t* message)
{
    ShowErrorMessage(window, message, kErrorTitle);
    g_testerDevice.Close();
    g_stopRequested.store(1, std::memory_order_relaxed);
    EnableControl(window, kConnectButtonId, true);
    EnableControl(window, kRefreshButtonId, true);
}

void ShowPowerButton(WindowHandle window, uint8_t powerStatus)
{
    SetControlText(window, kPowerButtonId, (powerStatus & kPowerStatusOn) ? kPowerOffText : kPowerOnText);
}

void ServePowerRequest(WindowHandle window)
{
    int32_t target = 0;
    if (!ReadPowerRequest(target))
        return;
    if (target != 0) {
        // A switch-on that got no answer reads as 1 and shows nothing.
        if (TallyRequest(RequestKind::Other, [] { return g_testerDevice.SetPower(true); }, false) ==
            kSwitchOnRefused)
            ShowErrorMessage(window, kCoolingText, kErrorTitle);
    } else {
        // The protocol layer reports an unanswered switch-off as 1, which reads as a refusal.
        if (TallyRequest(RequestKind::Other, [] { return g_testerDevice.SetPower(false); }, false) ==
            kSwitchOffRefused)
            ShowErrorMessage(window, kUsePowerButtonText, kErrorTitle);
    }
    ClearPowerRequest();
}

void UpdatePowerButton(WindowHandle window)
{
    if (!TallyRequest(RequestKind::Read, [] { return g_testerDevice.ReadStatus(); }))
        return;  // the button keeps its text and state until a later status reply
    uint8_t status = LoadByte(g_testerDevice.readings.powerStatus);
    if (status & kPowerStatusOn) {
        EnableControl(window, kPowerButtonId, true);
        SetControlText(window, kPowerButtonId, kPowerOffText);
    } else if (status & kPowerStatusOff) {
        EnableControl(window, kPowerButtonId, true);
        SetControlText(window, kPowerButtonId, kPowerOnText);
    } else {
        EnableControl(window, kPowerButtonId, false);
    }
}

void ReportLostConnection(WindowHandle window)
{
    DisableDeviceControls(window);
    g_stopRequested.store(1, std::memory_order_relaxed);
    SetControlText(window, kConnectButtonId, kConnectText);
    EnableControl(window, kConnectButtonId, true);
    EnableControl(window, kRefreshButtonId, true);
    ShowErrorMessage(window, kConnectionLostText, kConnectionLostTitle);
}

// The pause that sets the poll rate. It ends early once a stop is requested, which changes
// nothing about the rate and lets Disconnect and Exit find the worker gone sooner.
void SleepBetweenCycles()
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPollSleepMs);
    while (g_stopRequested.load(std::memory_order_relaxed) == 0) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return;
        std::this_thread::sleep_for(end - now < kSleepSlice ? end - now : kSleepSlice);
    }
}

void ReadSettingsAndOfferConfigure(WindowHandle window)
{
    if (TallyRequest(RequestKind::Read, [] { return g_testerDevice.ReadSettings(); }))
        EnableControl(window, kConfigureButtonId, true);
}

void RunPollCycle(WindowHandle window)
{
    // A missed settings read is tried again first in the cycle, after the pause, when no reply of
    // the measurements is still owed: the currents reply has the settings reply's length, so
    // behind a late one the settings read would fail again, and a settings read left owed would
    // spoil the currents read that follows, cycle after cycle.
    if (!g_testerDevice.HasSettings())
        ReadSettingsAndOfferConfigure(window);
    ServePowerRequest(window);
    UpdatePowerButton(window);

    TallyRequest(RequestKind::Read, [] { return g_testerDevice.ReadVoltages(); });
    TallyRequest(RequestKind::Read, [] { return g_testerDevice.ReadRipple(); });
    TallyRequest(RequestKind::Read, [] { return g_testerDevice.ReadCurrents(); });
    TallyRequest(RequestKind::Read, [] { return g_testerDevice.ReadTimings(); });
    TallyRequest(RequestKind::Read, [] { return g_testerDevice.ReadSlewAndSequence(); });
    TallyRequest(RequestKind::Read, [] { return g_testerDevice.ReadVoltageMinMax(); });
    // Only the last request of the cycle decides whether the tester is still there; the cycle
    // is finished either way.
    if (!TallyRequest(RequestKind::Read, [] { return g_testerDevice.ReadCurrentMinMax(); }))
        ReportLostConnection(window);

    g_readingsTable.CopyFromDevice(g_testerDevice.readings);
    PublishCycleStats();
    g_pollCycleCount.fetch_add(1, std::memory_order_release);

    // Zero time-out: tests and consumes, so several presses within a cycle give one command.
    if (g_resetMinMaxEvent.Wait(0))
        TallyRequest(RequestKind::Other, [] { return g_testerDevice.ResetMinMax(); });
    if (g_testerDevice.HasSettings() && g_settingsChangedEvent.Wait(0)) {
        // A failed read-back leaves the block as last reported, with the dialog's bytes 14-17.
        TallyRequest(RequestKind::Other, [] { return g_testerDevice.WriteSettings(); });
        TallyRequest(RequestKind::Read, [] { return g_testerDevice.ReadSettings(); });
    }
    SleepBetweenCycles();
}

}  // namespace

PollCycleStats g_pollCycleStats;

void ConnectionWorker(WindowHandle /*window*/)
{
    TakeTesterDevice();
    WindowHandle window = g_mainWindow;

    wchar_t portName[kPortNameBufferSize] = {};
    GetControlText(window, kPortListId, portName, kPortNameBufferSize);
    // A port that does not open fails the identify below.
    g_testerDevice.Open(portName);

    uint8_t firstVersionByte = 0;
    uint8_t secondVersionByte = 0;
    if (!g_testerDevice.Identify(firstVersionByte, secondVersionByte)) {
        RefuseTester(window, kDeviceNotFoundText);
        EndWorker();
        return;
    }
    if (secondVersionByte == kFirmwareNeedsUpdate) {
        RefuseTester(window, kFirmwareUpdateText);
        EndWorker();
        return;
    }

    // Accepted. Stale requests go before the device controls are offered, so no press of this
    // connection can be lost here.
    ClearPowerRequest();
    g_resetMinMaxEvent.Reset();
    g_settingsChangedEvent.Reset();
    g_stopRequested.store(0, std::memory_order_relaxed);
    SetControlText(window, kConnectButtonId, kDisconnectText);
    StartLogTimer(window, static_cast<uint32_t>(g_logIntervalSeconds.load(std::memory_order_relaxed)) * 1000u);
    g_workerRunning.store(1, std::memory_order_relaxed);
    EnableDeviceControls(window);
    EnableControl(window, kConnectButtonId, true);

    g_tally = RequestTally{};
    ReadSettingsAndOfferConfigure(window);
    TallyRequest(RequestKind::Read, [] { return g_testerDevice.ReadStatus(); });
    ShowPowerButton(window, LoadByte(g_testerDevice.readings.powerStatus));

    while (g_stopRequested.load(std::memory_order_relaxed) == 0)
        RunPollCycle(window);

    StopLogTimer(window);
    g_testerDevice.Close();
    g_workerRunning.store(0, std::memory_order_relaxed);
    EndWorker();
}

bool StartConnectionWorker(WindowHandle window)
{
    g_workerThreads.fetch_add(1, std::memory_order_relaxed);
    // std::thread reports a failed start only by throwing; this is the one place that can happen.
    try {
        std::thread(ConnectionWorker, window).detach();
    } catch (const std::system_error&) {
        g_workerThreads.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    return true;
}
