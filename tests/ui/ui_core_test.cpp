// The main window's decisions without a window: centring, the Configuration dialog's mappings and
// its OK step, and what each command does to the hand-shake state, seen through the recording
// window seam. Connect, Disconnect and the port probe run against the simulated tester.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>

#include "device/tester_device.h"
#include "measurement/handshake.h"
#include "records/logger.h"
#include "tests/measurement/worker_harness.h"
#include "tests/stubs/recording_window_ops.h"
#include "ui/app_settings.h"
#include "ui/main_commands.h"
#include "ui/ui_ids.h"
#include "ui/window_geometry.h"

namespace {

TEST(WindowGeometry, CentringAndStatusLabelFit)
{
    const struct { const char* what; WindowBox parent; WindowPosition expected; } centred[] = {
        {"centred", {100, 50, 600, 400}, {300, 200}},
        {"odd difference truncates toward zero", {100, 100, 101, 101}, {51, 100}},
        {"parent off the left edge", {-500, 100, 300, 300}, {0, 200}},
        {"parent off the top edge", {100, -400, 300, 300}, {150, 0}},
        {"sticks out at the right", {900, 100, 300, 300}, {824, 200}},
        {"sticks out at the bottom", {100, 700, 300, 300}, {150, 668}},
    };
    for (const auto& c : centred) {
        const WindowPosition at = ComputeCenteredPosition(200, 100, c.parent, 1024, 768);
        EXPECT_EQ(std::pair(at.x, at.y), std::pair(c.expected.x, c.expected.y)) << c.what;
    }
    // A label whose ink would come within 4 px of the next item is drawn tighter, by at most
    // 2 px per character, and clipped 4 px before that item.
    const struct { const char* what; int x, inkWidth, characters; PanelLabelFit expected; } labels[] = {
        {"fits with room", 190, 50, 8, {0, 246}},          {"ends exactly 4 px before", 180, 66, 9, {0, 246}},
        {"one pixel over", 180, 67, 9, {-1, 246}},         {"nine over: 2 px per gap", 180, 75, 9, {-2, 246}},
        {"too wide: clipped", 180, 100, 9, {-2, 246}},     {"one character: clipped only", 240, 20, 1, {0, 246}},
        {"two characters, one over", 180, 67, 2, {-1, 246}},
    };
    for (const auto& c : labels) {
        const PanelLabelFit fit = FitStatusLabel(c.x, c.inkWidth, c.characters, 250);
        EXPECT_EQ(std::pair(fit.characterExtra, fit.clipRight),
                  std::pair(c.expected.characterExtra, c.expected.clipRight)) << c.what;
    }
}

TEST(ConfigMappings, ValuesToIndicesAndBack)
{
    for (auto [value, index] : {std::pair{0, 0}, {1, 1}, {5, 1}})
        EXPECT_EQ(GetComplianceIndex(value), index) << value;
    for (auto [value, index] : {std::pair{2, 0}, {1, 1}, {0, 2}, {7, 2}})
        EXPECT_EQ(GetBuzzerIndex(value), index) << value;
    for (auto [value, index] : {std::pair{1, 0}, {10, 1}, {30, 2}, {60, 3}, {0, kNoSelection}, {20, kNoSelection}})
        EXPECT_EQ(GetLogIntervalIndex(value), index) << value;
    for (auto [value, index] : {std::pair{0, 0}, {1, 1}, {1, kNoSelection}})
        EXPECT_EQ(GetComplianceModeFromIndex(index), value) << index;
    for (auto [value, index] : {std::pair{2, 0}, {1, 1}, {0, 2}, {0, kNoSelection}})
        EXPECT_EQ(GetBuzzerModeFromIndex(index), value) << index;
    for (auto [value, index] : {std::pair{1, 0}, {10, 1}, {30, 2}, {60, 3}, {42, kNoSelection}, {42, 4}}) {
        uint8_t seconds = 42;
        EXPECT_EQ(GetLogIntervalFromIndex(index, seconds), value != 42) << index;
        EXPECT_EQ(seconds, value) << index;
    }
}

std::array<int, 5> Stored()
{
    const AppSettings s = ReadAppSettings();
    return {s.cpu12vConnected, s.pcie12vConnected, s.complianceMode, s.buzzerMode, s.logIntervalSeconds};
}

// OK stores the dialog's choice (no selection counts as "Loose" and "Off"; an interval without a
// selection stays as it was), asks the worker, and restarts timer 2 while connected. Odd stored
// values are shown normalised.
TEST(ConfigOk, StoresTheChoiceRestartsTimerTwoAndAsksTheWorker)
{
    const std::pair<ConfigDialogState, std::array<int, 5>> rows[] = {
        {{true, false, 1, 2, 1}, {1, 0, 1, 0, 10}},
        {{true, true, kNoSelection, kNoSelection, 3}, {1, 1, 1, 0, 60}},
        {{false, false, 0, 0, kNoSelection}, {0, 0, 0, 2, 60}},
    };
    int window = 0;
    g_logIntervalSeconds.store(10);
    g_stopRequested.store(0);  // connected
    for (const auto& [chosen, stored] : rows) {
        SCOPED_TRACE(stored[4] * 10 + stored[3]);
        ClearRecordedCalls();
        g_settingsChangedEvent.Reset();
        ApplyConfigDialogState(&window, chosen);
        EXPECT_EQ(Stored(), stored);
        EXPECT_TRUE(g_settingsChangedEvent.Wait(0));
        const auto calls = GetRecordedCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].kind, WindowCallKind::StartTimer);
        EXPECT_EQ(calls[0].periodMs, stored[4] * 1000u);
    }
    auto& block = g_testerDevice.readings.deviceSettings;
    for (auto [index, value] : {std::pair{kSettingCpu12vCable, 3}, {kSettingPcie12vCable, 0},
                                {kSettingComplianceMode, 9}, {kSettingBuzzerMode, 7}})
        StoreByte(block[index], value);
    const ConfigDialogState shown = GetConfigDialogState(ReadAppSettings());
    EXPECT_EQ((std::array{int(shown.cpuChecked), int(shown.pcieChecked), shown.complianceIndex, shown.buzzerIndex,
                          shown.logIntervalIndex}),
              (std::array{1, 0, 1, 2, 3}));
    g_logIntervalSeconds.store(10);
    g_stopRequested.store(1);
}

// Commands: which hand-shake words and controls each one touches.
class CommandTest : public WorkerTest {
protected:
    void Connect(const SimulatedTester& sim)
    {
        SetRecordedPortName(sim.WidePath());
        RunMainCommand(&window, kConnectButtonId);
    }
};

// The tester misses its first settings reply. Configure stays off until the read is tried again at
// the top of a poll cycle and answered, and OK then sends bytes 0-13 as this tester holds them,
// not the block the program held before (here another tester's).
TEST_F(CommandTest, ConfigureWaitsForTheTestersOwnSettings)
{
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({"--drop-once", "40"}));
    for (auto& byte : g_testerDevice.readings.deviceSettings)
        StoreByte(byte, 0xEE);
    // Settings reads the tester had seen when Configure was offered.
    auto readsAtConfigure = std::make_shared<std::atomic<int>>(-1);
    SetCallObserver([&sim, readsAtConfigure](const WindowCall& call) {
        if (IsEnable(kConfigureButtonId)(call) && readsAtConfigure->load() < 0)
            readsAtConfigure->store(CountCommand(sim.ReadCommands(), "40"));
    });
    Connect(sim);
    ASSERT_TRUE(WaitForRecordedCall(IsEnable(kConfigureButtonId), 8000));
    EXPECT_EQ(readsAtConfigure->load(), 2) << "Configure offered before the tester's block was read";
    EXPECT_EQ(CountRecordedCalls(IsEnable(kConfigureButtonId)), 1);

    const size_t before = sim.ReadLog().size();
    ApplyConfigDialogState(&window, {false, true, 1, 1, 1});
    // In this cycle or, when the signal came after this cycle's check of it, in the next.
    std::string written;
    for (size_t seen = before; written.empty() && seen < before + 2 * kPlainCycle.size() + 4 &&
                               PollUntil([&] { return sim.ReadLog().size() > seen; });
         ++seen) {
        const std::string line = sim.ReadLog()[seen];
        if (line.rfind("41", 0) == 0)
            written = line;
    }
    const uint8_t expected[kSettingsSize] = {1, 0, 0x32, 0, 0x64, 0, 5, 0x0a, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1};
    EXPECT_EQ(written, SettingsWriteLine(expected));
}

// The connection is lost while the Configuration dialog is open (the worker sits in its
// "Connection lost" message); OK then still stores the interval and asks the worker, but starts
// no timer 2, so no readings-log row is added without a tester.
TEST_F(CommandTest, OkAfterALostConnectionStartsNoLogTimer)
{
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({"--ignore", "0f"}));
    HoldMessageBoxes(true);
    Connect(sim);
    ASSERT_TRUE(WaitForRecordedCall(IsMessage(L"Connection lost\n"), 8000));
    ClearRecordedCalls();
    ApplyConfigDialogState(&window, {false, false, 0, 0, 0});
    EXPECT_EQ(g_logIntervalSeconds.load(), 1);
    EXPECT_TRUE(g_settingsChangedEvent.Wait(0));
    HoldMessageBoxes(false);
    ASSERT_TRUE(WaitForWorkersEnded());
    EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::StartTimer)), 0) << "timer 2 started without a tester";
    EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::StopTimer)), 1);
    g_logIntervalSeconds.store(10);
}

// Disconnect while the worker cannot end (it sits in a refusal message): the tester is still
// held after the wait, so Refresh is not offered, neither by Disconnect nor by the ending worker's
// request nor by a display tick; the first tick after the worker has let go of it offers it.
TEST_F(CommandTest, RefreshWaitsUntilTheEndingWorkerHasLetGoOfTheTester)
{
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({"--on", "--refuse-off"}));
    Connect(sim);
    ASSERT_TRUE(WaitForRecordedCall(IsSetText(kConnectButtonId, L"Disconnect"), 5000));
    ASSERT_TRUE(WaitForCycles(sim, 1));
    HoldMessageBoxes(true);
    RunMainCommand(&window, kPowerButtonId);
    ASSERT_TRUE(WaitForRecordedCall(IsMessage(L"Not allowed\nUse PC power botton"), 5000));

    ClearRecordedCalls();
    RunMainCommand(&window, kConnectButtonId);  // Disconnect: the wait gives up
    ASSERT_TRUE(IsTesterDeviceTaken());
    EXPECT_TRUE(WaitForRecordedCall(IsEnable(kConnectButtonId), 0));
    ApplyWorkerEnable(&window, kRefreshButtonId, true);
    EnableOwedRefresh(&window);
    EXPECT_EQ(CountRecordedCalls(IsEnable(kRefreshButtonId)), 0) << "Refresh offered while the tester is held";

    HoldMessageBoxes(false);
    ASSERT_TRUE(WaitForWorkersEnded());
    for (int tick = 0; tick < 2; ++tick) {
        EnableOwedRefresh(&window);
        EXPECT_EQ(CountRecordedCalls(IsEnable(kRefreshButtonId)), 1) << "offered once, tick " << tick;
    }
}

TEST_F(CommandTest, ButtonRequests)
{
    for (int id : {kOkId, kCancelId, kPortListId, 1000, kStatusPanelId, 1100})
        EXPECT_EQ(RunMainCommand(&window, id), WindowAction::None) << id;
    EXPECT_TRUE(GetRecordedCalls().empty());
    EXPECT_EQ(g_stopRequested.load(), 1);
    EXPECT_FALSE(g_resetMinMaxEvent.Wait(0));

    // Save Log resets the minima and maxima even when the prompt is cancelled (no name given).
    for (int id : {kResetMinMaxButtonId, kSaveLogButtonId}) {
        EXPECT_EQ(RunMainCommand(&window, id), WindowAction::None);
        EXPECT_TRUE(g_resetMinMaxEvent.Wait(0)) << id;
    }
    for (auto [status, target] : {std::pair{kPowerStatusOn, 0}, {kPowerStatusOff, 1}}) {
        StoreByte(g_testerDevice.readings.powerStatus, status);
        RunMainCommand(&window, kPowerButtonId);
        EXPECT_EQ(g_powerRequest.load(), 1);
        EXPECT_EQ(g_powerTarget.load(), target);
    }
    EXPECT_EQ(CountRecordedCalls(IsDisable(kPowerButtonId)), 2);
    StoreByte(g_testerDevice.readings.powerStatus, 0);
    g_powerRequest.store(0);

    CreateApplicationLogger();
    LogRecord(L"row", kLogResults);
    ASSERT_EQ(g_logger->GetRecordCount(), 1);
    RunMainCommand(&window, kClearLogButtonId);
    EXPECT_EQ(g_logger->GetRecordCount(), 0);
    DestroyApplicationLogger();
    RunMainCommand(&window, kClearLogButtonId);  // no Logger: nothing to clear, no crash

    g_stopRequested.store(0);
    EXPECT_EQ(RunMainCommand(&window, kExitButtonId), WindowAction::DestroyWindow);
    EXPECT_EQ(g_stopRequested.load(), 1);
}

// A worker's enable of a device control is dropped once a stop is requested; Refresh is offered
// only when no worker exists; anything else is applied as asked.
TEST_F(CommandTest, WorkerEnables)
{
    const struct { int id; bool enable; uint8_t stop; bool stale; } rows[] = {
        {kPowerButtonId, true, 1, true},    {kConfigureButtonId, true, 1, true}, {kResetMinMaxButtonId, true, 1, true},
        {kPowerButtonId, true, 0, false},   {kPowerButtonId, false, 1, false},  {kConnectButtonId, true, 1, false},
        {kRefreshButtonId, false, 1, false}, {kRefreshButtonId, true, 1, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.id << " " << row.enable << " " << int(row.stop));
        g_stopRequested.store(row.stop);
        EXPECT_EQ(IsWorkerEnableStale(row.id, row.enable), row.stale);
        ClearRecordedCalls();
        ApplyWorkerEnable(&window, row.id, row.enable);
        const auto calls = GetRecordedCalls();
        ASSERT_EQ(calls.size(), row.stale ? 0u : 1u);
        EXPECT_TRUE(row.stale || (row.enable ? IsEnable(row.id) : IsDisable(row.id))(calls[0]));
    }
    g_stopRequested.store(1);
}

TEST_F(CommandTest, ConnectThenDisconnectFollowsTheStateTable)
{
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({"--on"}));
    // Idle -> Connecting: Connect and Refresh off at once, the worker turns them back on.
    Connect(sim);
    auto calls = GetRecordedCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_TRUE(IsDisable(kConnectButtonId)(calls[0]));
    EXPECT_TRUE(IsDisable(kRefreshButtonId)(calls[1]));
    ASSERT_TRUE(WaitForRecordedCall(IsSetText(kConnectButtonId, L"Disconnect"), 5000));
    ASSERT_TRUE(WaitForRecordedCall(IsEnable(kConnectButtonId), 5000));
    ASSERT_TRUE(WaitForCycles(sim, 1));
    EXPECT_EQ(g_stopRequested.load(), 0);
    EXPECT_EQ(g_workerRunning.load(), 1);

    // Connected -> Disconnecting -> Idle; the wait ends with the worker: its thread is gone.
    ClearRecordedCalls();
    RunMainCommand(&window, kConnectButtonId);
    EXPECT_EQ(g_workerRunning.load(), 0);
    EXPECT_EQ(g_workerThreads.load(), 0);
    calls = GetRecordedCalls();
    auto position = [&](const CallMatch& match) {
        const auto at = std::find_if(calls.begin(), calls.end(), match);
        return at == calls.end() ? -1 : static_cast<int>(at - calls.begin());
    };
    const int disableConnect = position(IsDisable(kConnectButtonId));
    const int connectText = position(IsSetText(kConnectButtonId, L"Connect"));
    ASSERT_GE(disableConnect, 0);
    ASSERT_GT(connectText, disableConnect);
    for (int id : {kPowerButtonId, kConfigureButtonId, kResetMinMaxButtonId}) {
        EXPECT_GT(position(IsDisable(id)), disableConnect) << id;
        EXPECT_LT(position(IsDisable(id)), connectText) << id;
    }
    EXPECT_GT(position(IsEnable(kConnectButtonId)), connectText);
    EXPECT_GT(position(IsEnable(kRefreshButtonId)), connectText);
    EXPECT_EQ(g_stopRequested.load(), 1);
}

// The probe lists only answering ports, closes each, never shares the tester, and tries the
// listed ports (above the first five, in order, once) only when none of the first five answers.
TEST_F(CommandTest, ProbeAndPortChoice)
{
    SimulatedTester first, second, mute;
    ASSERT_TRUE(first.Start({}));
    ASSERT_TRUE(second.Start({}));
    ASSERT_TRUE(mute.Start({"--silent"}));
    const std::wstring paths[] = {L"/nonexistent/tty0", first.WidePath(), mute.WidePath(), second.WidePath()};
    const wchar_t* names[] = {paths[0].c_str(), paths[1].c_str(), paths[2].c_str(), paths[3].c_str()};
    // A simulator that a loaded host keeps from replying within the link's time reads as silent:
    // a probe is repeated for that, up to three times, while a wrong answer from a sound host
    // is wrong every time.
    const std::vector<bool> expected = {false, true, false, true};
    std::vector<bool> seen;
    for (int attempt = 0; attempt < 3 && seen != expected; ++attempt) {
        bool answered[4] = {true, false, true, false};
        ASSERT_TRUE(ProbeTesterPorts(names, 4, answered));
        seen.assign(answered, answered + 4);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(IsTesterDeviceTaken());
    EXPECT_FALSE(IsOpenInThisProcess(second.Path())) << "the last probed port was left open";

    // While a worker holds the tester the probe does not run at all.
    const size_t firstRequests = first.ReadLog().size();
    TakeTesterDevice();
    bool busy[1] = {true};
    EXPECT_FALSE(ProbeTesterPorts(names + 1, 1, busy));
    EXPECT_FALSE(busy[0]);
    std::vector<std::wstring> found = {L"stale"};
    EXPECT_FALSE(FindTesterPorts(names + 1, 1, {}, found));
    EXPECT_TRUE(found.empty());
    ReleaseTesterDevice();
    EXPECT_EQ(first.ReadLog().size(), firstRequests);

    EXPECT_EQ(ChooseListedPorts({L"COM7", L"COM3", L"com12", L"COM7", L"LPT1", L"COM", L"COM06", L"COM6x", L"COM257",
                                 L"COM256", L"COM6"}),
              (std::vector<std::wstring>{L"COM6", L"COM7", L"COM12", L"COM256"}));
    const std::vector<std::wstring> listed = {L"/nonexistent/tty9", second.WidePath()};
    ASSERT_TRUE(FindTesterPorts(names, 1, listed, found));
    EXPECT_EQ(found, std::vector<std::wstring>{listed[1]});
    const size_t secondRequests = second.ReadLog().size();
    ASSERT_TRUE(FindTesterPorts(names, 2, listed, found));
    EXPECT_EQ(found, std::vector<std::wstring>{paths[1]});
    EXPECT_EQ(second.ReadLog().size(), secondRequests) << "a listed port was probed though a first one answered";
}

}  // namespace
