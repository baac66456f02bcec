// The main window's decisions without a window: centring, the Configuration dialog's mappings and
// its OK step, and what each command does to the hand-shake state, seen through the recording
// window seam. Connect, Disconnect and the port probe run against the simulated tester.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

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

TEST(CenteredPosition, CentresAndKeepsInsideTheScreen)
{
    struct Case {
        const char* what;
        int width, height;
        WindowBox parent;
        WindowPosition expected;
    };
    const Case cases[] = {
        {"centred", 200, 100, {100, 50, 600, 400}, {300, 200}},
        {"odd difference truncates toward zero", 200, 100, {100, 100, 101, 101}, {51, 100}},
        {"parent off the left edge", 200, 100, {-500, 100, 300, 300}, {0, 200}},
        {"parent off the top edge", 200, 100, {100, -400, 300, 300}, {150, 0}},
        {"sticks out at the right", 200, 100, {900, 100, 300, 300}, {824, 200}},
        {"sticks out at the bottom", 200, 100, {100, 700, 300, 300}, {150, 668}},
    };
    for (const Case& c : cases) {
        const WindowPosition at = ComputeCenteredPosition(c.width, c.height, c.parent, 1024, 768);
        EXPECT_EQ(at.x, c.expected.x) << c.what;
        EXPECT_EQ(at.y, c.expected.y) << c.what;
    }
}

// Labels keep their position; one whose ink would come within 4 px of the next item is drawn
// tighter, by at most 2 px per character, and clipped 4 px before that item.
TEST(StatusLabelFit, EndsFourPixelsBeforeTheNextItem)
{
    struct Case {
        const char* what;
        int x, inkWidth, characters, nextX;
        PanelLabelFit expected;
    };
    const Case cases[] = {
        {"fits with room", 190, 50, 8, 250, {0, 246}},
        {"ends exactly 4 px before", 180, 66, 9, 250, {0, 246}},
        {"one pixel over", 180, 67, 9, 250, {-1, 246}},
        {"nine over: 2 px per gap", 180, 75, 9, 250, {-2, 246}},
        {"too wide to tighten: clipped", 180, 100, 9, 250, {-2, 246}},
        {"one character: clipped only", 240, 20, 1, 250, {0, 246}},
    };
    for (const Case& c : cases) {
        const PanelLabelFit fit = FitStatusLabel(c.x, c.inkWidth, c.characters, c.nextX);
        EXPECT_EQ(fit.characterExtra, c.expected.characterExtra) << c.what;
        EXPECT_EQ(fit.clipRight, c.expected.clipRight) << c.what;
    }
}

TEST(ConfigMappings, ValuesToIndicesAndBack)
{
    struct Case {
        uint8_t value;
        int index;
    };
    for (Case c : {Case{0, 0}, Case{1, 1}, Case{5, 1}})
        EXPECT_EQ(GetComplianceIndex(c.value), c.index) << int(c.value);
    for (Case c : {Case{2, 0}, Case{1, 1}, Case{0, 2}, Case{7, 2}})
        EXPECT_EQ(GetBuzzerIndex(c.value), c.index) << int(c.value);
    for (Case c : {Case{1, 0}, Case{10, 1}, Case{30, 2}, Case{60, 3}, Case{0, kNoSelection}, Case{20, kNoSelection}})
        EXPECT_EQ(GetLogIntervalIndex(c.value), c.index) << int(c.value);

    for (Case c : {Case{0, 0}, Case{1, 1}, Case{1, kNoSelection}})
        EXPECT_EQ(GetComplianceModeFromIndex(c.index), c.value) << c.index;
    for (Case c : {Case{2, 0}, Case{1, 1}, Case{0, 2}, Case{0, kNoSelection}})
        EXPECT_EQ(GetBuzzerModeFromIndex(c.index), c.value) << c.index;
    for (Case c : {Case{1, 0}, Case{10, 1}, Case{30, 2}, Case{60, 3}}) {
        uint8_t seconds = 0;
        EXPECT_TRUE(GetLogIntervalFromIndex(c.index, seconds));
        EXPECT_EQ(seconds, c.value);
    }
    uint8_t unchanged = 42;
    EXPECT_FALSE(GetLogIntervalFromIndex(kNoSelection, unchanged));
    EXPECT_FALSE(GetLogIntervalFromIndex(4, unchanged));
    EXPECT_EQ(unchanged, 42);
}

class ConfigOkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearRecordedCalls();
        g_settingsChangedEvent.Reset();
        g_logIntervalSeconds.store(10);
        g_stopRequested.store(0);  // connected: OK restarts timer 2
    }
    void TearDown() override
    {
        g_logIntervalSeconds.store(10);
        g_stopRequested.store(1);
    }
    void StoreSettings(uint8_t cpu, uint8_t pcie, uint8_t compliance, uint8_t buzzer)
    {
        auto& block = g_testerDevice.readings.deviceSettings;
        StoreByte(block[kSettingCpu12vCable], cpu);
        StoreByte(block[kSettingPcie12vCable], pcie);
        StoreByte(block[kSettingComplianceMode], compliance);
        StoreByte(block[kSettingBuzzerMode], buzzer);
    }
    int window = 0;
};

TEST_F(ConfigOkTest, OkUnchangedNormalisesOddValuesRestartsTimerAndAsksTheWorker)
{
    StoreSettings(3, 0, 9, 7);
    const ConfigDialogState shown = GetConfigDialogState(ReadAppSettings());
    EXPECT_TRUE(shown.cpuChecked);
    EXPECT_FALSE(shown.pcieChecked);
    EXPECT_EQ(shown.complianceIndex, 1);  // "Loose"
    EXPECT_EQ(shown.buzzerIndex, 2);      // "Off"
    EXPECT_EQ(shown.logIntervalIndex, 1);

    ApplyConfigDialogState(&window, shown);
    const AppSettings stored = ReadAppSettings();
    EXPECT_EQ(stored.cpu12vConnected, 1);
    EXPECT_EQ(stored.pcie12vConnected, 0);
    EXPECT_EQ(stored.complianceMode, 1);
    EXPECT_EQ(stored.buzzerMode, 0);
    EXPECT_EQ(stored.logIntervalSeconds, 10);
    EXPECT_TRUE(g_settingsChangedEvent.Wait(0));
    const auto calls = GetRecordedCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, WindowCallKind::StartTimer);
    EXPECT_EQ(calls[0].periodMs, 10000u);
}

TEST_F(ConfigOkTest, ChosenCablesAndSixtySecondsAndNoSelections)
{
    StoreSettings(0, 0, 0, 2);
    ApplyConfigDialogState(&window, {true, true, kNoSelection, kNoSelection, 3});
    AppSettings stored = ReadAppSettings();
    EXPECT_EQ(stored.cpu12vConnected, 1);
    EXPECT_EQ(stored.pcie12vConnected, 1);
    EXPECT_EQ(stored.complianceMode, 1);  // no selection counts as "Loose"
    EXPECT_EQ(stored.buzzerMode, 0);      // and as "Off"
    EXPECT_EQ(stored.logIntervalSeconds, 60);
    EXPECT_EQ(GetRecordedCalls().back().periodMs, 60000u);

    // An interval without a selection stays as it was.
    ApplyConfigDialogState(&window, {false, false, 0, 0, kNoSelection});
    stored = ReadAppSettings();
    EXPECT_EQ(stored.logIntervalSeconds, 60);
    EXPECT_EQ(stored.complianceMode, 0);
    EXPECT_EQ(stored.buzzerMode, 2);
    EXPECT_EQ(GetRecordedCalls().back().periodMs, 60000u);
}

// Commands that need no tester: which hand-shake words and controls each one touches.
class CommandTest : public WorkerTest {};

// The request log's line of a settings write: the command, then the 18 bytes.
std::string SettingsWriteLine(const uint8_t (&bytes)[kSettingsSize])
{
    std::string line = "41";
    char hex[4];
    for (uint8_t byte : bytes) {
        snprintf(hex, sizeof hex, " %02x", byte);
        line += hex;
    }
    return line;
}

// The tester misses its first settings reply. Configure stays off until the read is tried again at
// the top of a poll cycle and answered, and OK then sends bytes 0-13 as this tester holds them, not the block
// the program held before (here another tester's).
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
    SetRecordedPortName(std::wstring(sim.Path().begin(), sim.Path().end()));
    RunMainCommand(&window, kConnectButtonId);
    if (!WaitForRecordedCall(IsEnable(kConfigureButtonId), 8000)) {
        std::string asked;
        for (const std::string& line : sim.ReadCommands())
            asked += line + " ";
        FAIL() << "Configure never offered; requests: " << asked;
    }
    EXPECT_EQ(readsAtConfigure->load(), 2) << "Configure offered before the tester's block was read";
    EXPECT_EQ(CountRecordedCalls(IsEnable(kConfigureButtonId)), 1);

    const size_t before = sim.ReadLog().size();
    ApplyConfigDialogState(&window, {false, true, 1, 1, 1});
    // In this cycle or, when the signal came after this cycle's check of it, in the next.
    std::string written;
    for (size_t seen = before; written.empty() && seen < before + 2 * kPlainCycle.size() + 4 &&
                               sim.WaitForRequests(seen + 1, 5000);
         ++seen) {
        const std::vector<std::string> log = sim.ReadLog();
        if (log[seen].rfind("41", 0) == 0)
            written = log[seen];
    }
    const uint8_t expected[kSettingsSize] = {0x01, 0x00, 0x32, 0x00, 0x64, 0x00, 0x05, 0x0a, 0x00,
                                             0x00, 0x00, 0x00, 0x00, 0x00, 0,    1,    1,    1};
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
    SetRecordedPortName(std::wstring(sim.Path().begin(), sim.Path().end()));
    RunMainCommand(&window, kConnectButtonId);
    ASSERT_TRUE(WaitForRecordedCall(IsMessage(L"Connection lost\n"), 8000));
    ClearRecordedCalls();
    ApplyConfigDialogState(&window, {false, false, 0, 0, 0});
    EXPECT_EQ(g_logIntervalSeconds.load(), 1);
    EXPECT_TRUE(g_settingsChangedEvent.Wait(0));
    HoldMessageBoxes(false);
    ASSERT_TRUE(WaitForWorkersEnded(8000));
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
    SetRecordedPortName(std::wstring(sim.Path().begin(), sim.Path().end()));
    RunMainCommand(&window, kConnectButtonId);
    ASSERT_TRUE(WaitForRecordedCall(IsSetText(kConnectButtonId, L"Disconnect"), 5000));
    ASSERT_TRUE(WaitForCycles(sim, 1, 5000));
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
    ASSERT_TRUE(WaitForWorkersEnded(8000));
    EnableOwedRefresh(&window);
    EXPECT_EQ(CountRecordedCalls(IsEnable(kRefreshButtonId)), 1);
    EnableOwedRefresh(&window);
    EXPECT_EQ(CountRecordedCalls(IsEnable(kRefreshButtonId)), 1) << "offered once";
}

TEST_F(CommandTest, IgnoredIdsDoNothing)
{
    for (int id : {kOkId, kCancelId, kPortListId, 1000, kStatusPanelId, 1100}) {
        EXPECT_EQ(RunMainCommand(&window, id), WindowAction::None) << id;
    }
    EXPECT_TRUE(GetRecordedCalls().empty());
    EXPECT_EQ(g_stopRequested.load(), 1);
    EXPECT_FALSE(g_resetMinMaxEvent.Wait(0));
}

TEST_F(CommandTest, ButtonRequests)
{
    EXPECT_EQ(RunMainCommand(&window, kResetMinMaxButtonId), WindowAction::None);
    EXPECT_TRUE(g_resetMinMaxEvent.Wait(0));

    // Save Log resets the minima and maxima even when the prompt is cancelled (no name given).
    EXPECT_EQ(RunMainCommand(&window, kSaveLogButtonId), WindowAction::None);
    EXPECT_TRUE(g_resetMinMaxEvent.Wait(0));

    StoreByte(g_testerDevice.readings.powerStatus, kPowerStatusOn);
    RunMainCommand(&window, kPowerButtonId);
    EXPECT_EQ(g_powerRequest.load(), 1);
    EXPECT_EQ(g_powerTarget.load(), 0);
    StoreByte(g_testerDevice.readings.powerStatus, kPowerStatusOff);
    RunMainCommand(&window, kPowerButtonId);
    EXPECT_EQ(g_powerTarget.load(), 1);
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

TEST(WorkerEnableRule, DeviceControlsStayDisabledOnceStopped)
{
    struct Case {
        int id;
        bool enable;
        uint8_t stop;
        bool stale;
    };
    const Case cases[] = {
        {kPowerButtonId, true, 1, true},   {kConfigureButtonId, true, 1, true},
        {kResetMinMaxButtonId, true, 1, true}, {kPowerButtonId, true, 0, false},
        {kPowerButtonId, false, 1, false}, {kConnectButtonId, true, 1, false},
        {kRefreshButtonId, true, 1, false},
    };
    for (const Case& c : cases) {
        g_stopRequested.store(c.stop);
        EXPECT_EQ(IsWorkerEnableStale(c.id, c.enable), c.stale) << c.id << " " << c.enable << " " << int(c.stop);
    }
    g_stopRequested.store(1);
}

TEST_F(CommandTest, ConnectThenDisconnectFollowsTheStateTable)
{
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({"--on"}));
    SetRecordedPortName(std::wstring(sim.Path().begin(), sim.Path().end()));

    // Idle -> Connecting: Connect and Refresh off at once, the worker turns them back on.
    RunMainCommand(&window, kConnectButtonId);
    auto calls = GetRecordedCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_TRUE(IsDisable(kConnectButtonId)(calls[0]));
    EXPECT_TRUE(IsDisable(kRefreshButtonId)(calls[1]));
    ASSERT_TRUE(WaitForRecordedCall(IsSetText(kConnectButtonId, L"Disconnect"), 5000));
    ASSERT_TRUE(WaitForRecordedCall(IsEnable(kConnectButtonId), 5000));
    ASSERT_TRUE(WaitForCycles(sim, 1, 5000));
    EXPECT_EQ(g_stopRequested.load(), 0);
    EXPECT_EQ(g_workerRunning.load(), 1);

    // Connected -> Disconnecting -> Idle; the wait ends with the worker: its thread is gone.
    ClearRecordedCalls();
    RunMainCommand(&window, kConnectButtonId);
    EXPECT_EQ(g_workerRunning.load(), 0);
    EXPECT_EQ(g_workerThreads.load(), 0);
    calls = GetRecordedCalls();
    auto position = [&](const std::function<bool(const WindowCall&)>& match) {
        for (size_t i = 0; i < calls.size(); ++i)
            if (match(calls[i]))
                return static_cast<int>(i);
        return -1;
    };
    const int disableConnect = position(IsDisable(kConnectButtonId));
    const int connectText = position(IsSetText(kConnectButtonId, L"Connect"));
    ASSERT_GE(disableConnect, 0);
    ASSERT_GT(connectText, disableConnect);
    for (int id : {kPowerButtonId, kConfigureButtonId, kResetMinMaxButtonId}) {
        const int disabled = position(IsDisable(id));
        EXPECT_GT(disabled, disableConnect) << id;
        EXPECT_LT(disabled, connectText) << id;
    }
    EXPECT_GT(position(IsEnable(kConnectButtonId)), connectText);
    EXPECT_GT(position(IsEnable(kRefreshButtonId)), connectText);
    EXPECT_EQ(g_stopRequested.load(), 1);
}

TEST_F(CommandTest, ProbeListsOnlyAnsweringPortsAndNeverSharesTheTester)
{
    SimulatedTester first;
    SimulatedTester second;
    SimulatedTester mute;
    ASSERT_TRUE(first.Start({}));
    ASSERT_TRUE(second.Start({}));
    ASSERT_TRUE(mute.Start({"--silent"}));
    auto wide = [](const std::string& s) { return std::wstring(s.begin(), s.end()); };
    const std::wstring paths[] = {L"/nonexistent/tty0", wide(first.Path()), wide(mute.Path()),
                                  wide(second.Path())};
    const wchar_t* names[] = {paths[0].c_str(), paths[1].c_str(), paths[2].c_str(), paths[3].c_str()};
    bool answered[4] = {true, false, true, false};
    ASSERT_TRUE(ProbeTesterPorts(names, 4, answered));
    EXPECT_FALSE(answered[0]);
    EXPECT_TRUE(answered[1]);
    EXPECT_FALSE(answered[2]);
    EXPECT_TRUE(answered[3]);
    EXPECT_FALSE(IsTesterDeviceTaken());

    // While a worker holds the tester the probe does not run at all.
    const size_t requestsBefore = first.ReadLog().size();
    TakeTesterDevice();
    bool busy[1] = {true};
    EXPECT_FALSE(ProbeTesterPorts(names + 1, 1, busy));
    EXPECT_FALSE(busy[0]);
    ReleaseTesterDevice();
    EXPECT_EQ(first.ReadLog().size(), requestsBefore);
}

TEST(PortList, ListedPortsAboveTheFirstFiveAreTakenInOrderOnce)
{
    const std::vector<std::wstring> listed = {L"COM7", L"COM3", L"com12", L"COM7", L"LPT1", L"COM", L"COM06",
                                              L"COM6x", L"COM257", L"COM256", L"COM6"};
    EXPECT_EQ(ChooseListedPorts(listed), (std::vector<std::wstring>{L"COM6", L"COM7", L"COM12", L"COM256"}));
}

TEST_F(CommandTest, ListedPortsAreProbedOnlyWhenNoneOfTheFirstAnswers)
{
    SimulatedTester low;
    SimulatedTester high;
    ASSERT_TRUE(low.Start({}));
    ASSERT_TRUE(high.Start({}));
    auto wide = [](const std::string& s) { return std::wstring(s.begin(), s.end()); };
    const std::wstring lowPath = wide(low.Path());
    const std::vector<std::wstring> listed = {L"/nonexistent/tty9", wide(high.Path())};
    const wchar_t* missing[] = {L"/nonexistent/tty0"};
    std::vector<std::wstring> found;
    ASSERT_TRUE(FindTesterPorts(missing, 1, listed, found));
    EXPECT_EQ(found, std::vector<std::wstring>{listed[1]});
    const size_t highRequests = high.ReadLog().size();
    const wchar_t* answering[] = {L"/nonexistent/tty0", lowPath.c_str()};
    ASSERT_TRUE(FindTesterPorts(answering, 2, listed, found));
    EXPECT_EQ(found, std::vector<std::wstring>{lowPath});
    EXPECT_EQ(high.ReadLog().size(), highRequests) << "a listed port was probed though a first one answered";
}

}  // namespace
