// The main window's command table without the window system, and the port probe.
//
// Disconnect and Exit wait for the worker on the UI thread. The worker's requests to the window
// are posted, never sent, so the worker does not stall behind that wait: the wait ends as soon as
// the worker has ended, and whatever it asked for meanwhile is applied afterwards, where
// IsWorkerEnableStale keeps the device controls of the ended connection disabled.
#include "ui/main_commands.h"

#include <chrono>
#include <thread>

#include "device/tester_device.h"
#include "measurement/connection_worker.h"
#include "measurement/handshake.h"
#include "records/logger.h"
#include "records/readings_log.h"
#include "records/test_report.h"
#include "ui/ui_ids.h"

const wchar_t* const kProbedPortNames[kProbedPortCount] = {L"COM1", L"COM2", L"COM3", L"COM4", L"COM5"};

namespace {

constexpr auto kDeviceWaitStep = std::chrono::milliseconds(10);
constexpr int kDeviceWaitSteps = 250;

bool IsDeviceControl(int controlId)
{
    return controlId == kPowerButtonId || controlId == kResetMinMaxButtonId ||
           controlId == kConfigureButtonId;
}

void ConnectOrDisconnect(WindowHandle window)
{
    if (g_stopRequested.load(std::memory_order_relaxed) != 0) {
        EnableControl(window, kConnectButtonId, false);
        EnableControl(window, kRefreshButtonId, false);
        if (!StartConnectionWorker(window)) {
            // No worker will ever hand the buttons back.
            EnableControl(window, kConnectButtonId, true);
            EnableControl(window, kRefreshButtonId, true);
        }
        return;
    }
    EnableControl(window, kConnectButtonId, false);
    DisableDeviceControls(window);
    WaitForWorkerExit();
    SetControlText(window, kConnectButtonId, kConnectText);
    EnableControl(window, kConnectButtonId, true);
    EnableControl(window, kRefreshButtonId, true);
}

}  // namespace

bool IsWorkerEnableStale(int controlId, bool enable)
{
    return enable && IsDeviceControl(controlId) && g_stopRequested.load(std::memory_order_relaxed) != 0;
}

WindowAction RunMainCommand(WindowHandle window, int commandId)
{
    switch (commandId) {
    case kRefreshButtonId:
        return WindowAction::RefreshPortList;
    case kConnectButtonId:
        ConnectOrDisconnect(window);
        return WindowAction::None;
    case kPowerButtonId:
        RequestPowerSwitch(window);
        return WindowAction::None;
    case kClearLogButtonId:
        if (g_logger)
            g_logger->Clear();
        return WindowAction::None;
    case kSaveLogButtonId:
        SaveReadingsLog(window);
        // Whether or not a file was written: a saved log starts a new min/max period.
        g_resetMinMaxEvent.Signal();
        return WindowAction::None;
    case kResetMinMaxButtonId:
        g_resetMinMaxEvent.Signal();
        return WindowAction::None;
    case kSaveReportButtonId:
        SaveTestReport(window);
        return WindowAction::None;
    case kConfigureButtonId:
        return WindowAction::OpenConfigDialog;
    case kHelpButtonId:
        return WindowAction::OpenUserGuide;
    case kAboutButtonId:
        return WindowAction::OpenAboutDialog;
    case kExitButtonId:
        WaitForWorkerExit();
        return WindowAction::DestroyWindow;
    default:
        return WindowAction::None;
    }
}

bool ProbeTesterPorts(const wchar_t* const* names, int count, bool* answered)
{
    for (int i = 0; i < count; ++i)
        answered[i] = false;
    // A disconnected worker may still be closing the port: give it the time its close takes.
    int waited = 0;
    while (!TryTakeTesterDevice()) {
        if (++waited > kDeviceWaitSteps)
            return false;
        std::this_thread::sleep_for(kDeviceWaitStep);
    }
    for (int i = 0; i < count; ++i) {
        if (g_testerDevice.Open(names[i]) != 0)
            continue;
        uint8_t firstVersionByte = 0;
        uint8_t secondVersionByte = 0;
        answered[i] = g_testerDevice.Identify(firstVersionByte, secondVersionByte);
        g_testerDevice.Close();
    }
    ReleaseTesterDevice();
    return true;
}
