// The main window's command table without the window system, and the port probe.
//
// Refresh probes the ports with the one TesterDevice, which a disconnected or lost worker may
// hold for a while after Connect is offered again (the rest of its cycle, the port's close). So
// Refresh is enabled only when no worker exists; until then it is owed, and timer 1 enables it.
//
// Disconnect and Exit wait for the worker on the UI thread. The worker's requests to the window
// are posted, never sent, so the worker does not stall behind that wait: the wait ends as soon as
// the worker has ended, and whatever it asked for meanwhile is applied afterwards, where
// IsWorkerEnableStale keeps the device controls of the ended connection disabled.
#include "ui/main_commands.h"

#include <algorithm>
#include <memory>

#include "device/tester_device.h"
#include "measurement/connection_worker.h"
#include "measurement/handshake.h"
#include "records/logger.h"
#include "records/readings_log.h"
#include "records/test_report.h"
#include "ui/ui_ids.h"

#include <cwctype>

const wchar_t* const kProbedPortNames[kProbedPortCount] = {L"COM1", L"COM2", L"COM3", L"COM4", L"COM5"};

namespace {

// Refresh was due to be enabled while a worker still existed. UI thread only.
bool g_refreshOwed = false;

bool IsDeviceControl(int controlId)
{
    return controlId == kPowerButtonId || controlId == kResetMinMaxButtonId ||
           controlId == kConfigureButtonId;
}

void ConnectOrDisconnect(WindowHandle window)
{
    if (g_stopRequested.load(std::memory_order_relaxed) != 0) {
        // The new worker hands Refresh back when it ends.
        g_refreshOwed = false;
        EnableControl(window, kConnectButtonId, false);
        EnableControl(window, kRefreshButtonId, false);
        if (!StartConnectionWorker(window)) {
            // No worker will ever hand the buttons back.
            EnableControl(window, kConnectButtonId, true);
            OfferRefresh(window);
        }
        return;
    }
    EnableControl(window, kConnectButtonId, false);
    DisableDeviceControls(window);
    WaitForWorkerExit();
    SetControlText(window, kConnectButtonId, kConnectText);
    EnableControl(window, kConnectButtonId, true);
    // A worker still finishing its cycle or closing the port holds the tester.
    OfferRefresh(window);
}

}  // namespace

bool IsWorkerEnableStale(int controlId, bool enable)
{
    return enable && IsDeviceControl(controlId) && g_stopRequested.load(std::memory_order_relaxed) != 0;
}

void ApplyWorkerEnable(WindowHandle window, int controlId, bool enable)
{
    if (enable && controlId == kRefreshButtonId)
        OfferRefresh(window);
    else if (!IsWorkerEnableStale(controlId, enable))
        EnableControl(window, controlId, enable);
}

void OfferRefresh(WindowHandle window)
{
    // Acquire: a worker's count drops after it has given the tester back.
    g_refreshOwed = g_workerThreads.load(std::memory_order_acquire) != 0;
    if (!g_refreshOwed)
        EnableControl(window, kRefreshButtonId, true);
}

void EnableOwedRefresh(WindowHandle window)
{
    if (g_refreshOwed)
        OfferRefresh(window);
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
    // Refresh is offered only once no worker holds the tester, so it is free here; should it not
    // be, waiting would only freeze the window.
    if (!TryTakeTesterDevice())
        return false;
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

std::vector<std::wstring> ChooseListedPorts(const std::vector<std::wstring>& listed)
{
    constexpr int kHighestPort = 256;
    std::vector<int> numbers;
    for (const std::wstring& name : listed) {
        if (name.size() < 4 || name.size() > 6 || std::towupper(name[0]) != L'C' || std::towupper(name[1]) != L'O' ||
            std::towupper(name[2]) != L'M' || name[3] == L'0')
            continue;
        int number = 0;
        bool digits = true;
        for (size_t i = 3; i < name.size(); ++i) {
            digits = digits && name[i] >= L'0' && name[i] <= L'9';
            number = number * 10 + (name[i] - L'0');
        }
        if (digits && number > kProbedPortCount && number <= kHighestPort)
            numbers.push_back(number);
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::vector<std::wstring> ports;
    for (int number : numbers)
        ports.push_back(L"COM" + std::to_wstring(number));
    return ports;
}

bool FindTesterPorts(const wchar_t* const* firstNames, int firstCount, const std::vector<std::wstring>& listedNames,
                     std::vector<std::wstring>& found)
{
    found.clear();
    std::unique_ptr<bool[]> answered(new bool[firstCount > 0 ? firstCount : 1]);
    if (!ProbeTesterPorts(firstNames, firstCount, answered.get()))
        return false;
    for (int i = 0; i < firstCount; ++i)
        if (answered[i])
            found.push_back(firstNames[i]);
    if (!found.empty() || listedNames.empty())
        return true;
    std::vector<const wchar_t*> names;
    for (const std::wstring& name : listedNames)
        names.push_back(name.c_str());
    answered.reset(new bool[names.size()]);
    if (!ProbeTesterPorts(names.data(), static_cast<int>(names.size()), answered.get()))
        return false;
    for (size_t i = 0; i < names.size(); ++i)
        if (answered[i])
            found.push_back(names[i]);
    return true;
}
