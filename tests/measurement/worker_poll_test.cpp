// The worker's poll cycle against the simulated tester: the order of the requests, the power,
// reset and settings requests it serves, refusals, a lost tester, and the rule that two workers
// never use the tester at the same time.
#include "tests/measurement/worker_harness.h"

#include <atomic>
#include <functional>
#include <memory>

#include "device/tester_device.h"
#include "measurement/connection_worker.h"
#include "measurement/handshake.h"
#include "tests/stubs/recording_window_ops.h"

namespace {

using PollTest = WorkerTest;
using Commands = std::vector<std::string>;

bool IsPowerOn() { return (LoadByte(g_testerDevice.readings.powerStatus) & kPowerStatusOn) != 0; }

// Runs act once, on the worker's thread, at the Power button step that opens the worker's next
// cycle. Requests made there are all pending when that cycle ends, whereas requests made from the
// test's thread could fall on either side of the worker's checks of them.
void ActAtNextCycle(std::function<void()> act)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    SetCallObserver([act = std::move(act), done](const WindowCall& call) {
        if (call.controlId == kPowerButtonId && call.kind != WindowCallKind::Message && !done->exchange(true))
            act();
    });
}

// A switch is one request at the top of the next cycle, for the state opposite the reported one.
// A refused switch shows its one message and the supply stays as it was; the protocol reports an
// unanswered switch as 1: a refused switch-off, but nothing for a switch-on. The button is
// disabled by the command and enabled again by each cycle's status step.
TEST_F(PollTest, PowerSwitches)
{
    const wchar_t* const kCooling = L"Not allowed\nCooling is in progress";
    const wchar_t* const kUseButton = L"Not allowed\nUse PC power botton";
    const struct {
        std::vector<std::string> options;
        bool on, switches;
        const wchar_t* message;  // nullptr: none
    } cases[] = {
        {{}, false, true, nullptr},
        {{"--on"}, true, true, nullptr},
        {{"--refuse-on"}, false, false, kCooling},
        {{"--on", "--refuse-off"}, true, false, kUseButton},
        {{"--ignore", "20"}, false, false, nullptr},
        {{"--on", "--ignore", "20"}, true, false, kUseButton},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        SimulatedTester sim;
        ASSERT_TRUE(StartPolling(sim, c.options));
        ASSERT_EQ(IsPowerOn(), c.on);
        ClearRecordedCalls();
        RequestPowerSwitch(g_mainWindow);
        ASSERT_TRUE(WaitForCycles(sim, 2));
        ASSERT_EQ(CountRecordedCalls(IsKind(WindowCallKind::Message)), c.message ? 1 : 0);
        if (c.message) {
            EXPECT_EQ(CountRecordedCalls(IsMessage(c.message)), 1);
            EXPECT_EQ(CountRecordedCalls([](const WindowCall& call) { return call.title == L"Ombrelo Error"; }), 1);
        }
        EXPECT_EQ(IsPowerOn(), c.on != c.switches);
        EXPECT_EQ(g_powerRequest.load(), 0);
        EXPECT_TRUE(IsDisable(1004)(GetRecordedCalls().front()));
        EXPECT_EQ(CountRecordedCalls(IsEnable(1004)), 2);
        const Commands commands = sim.ReadCommands();
        ASSERT_EQ(CountCommand(commands, "20"), 1);
        const int at = FindCommand(commands, "20");
        EXPECT_EQ(sim.ReadLog()[at], c.on ? "20 00" : "20 01");
        EXPECT_EQ(commands[at - 1], "0f");  // a cycle had just ended
        EXPECT_EQ(Slice(commands, at + 1, 8), kPlainCycle);
        Disconnect();
    }
}

TEST_F(PollTest, SettingsAreWrittenAfterTheMeasurementsAndAPendingResetThenReadBack)
{
    SimulatedTester sim;
    ASSERT_TRUE(StartPolling(sim));
    DeviceReadings& readings = g_testerDevice.readings;
    const uint8_t cpu = LoadByte(readings.deviceSettings[kSettingCpu12vCable]) ? 0 : 1;
    StoreByte(readings.deviceSettings[kSettingCpu12vCable], cpu);
    uint8_t bytes[kSettingsSize];
    for (int i = 0; i < kSettingsSize; ++i)
        bytes[i] = LoadByte(readings.deviceSettings[i]);
    ActAtNextCycle([] {  // two resets in one cycle send one
        g_settingsChangedEvent.Signal();
        g_resetMinMaxEvent.Signal();
        g_resetMinMaxEvent.Signal();
    });
    ASSERT_TRUE(WaitForCycles(sim, 3));

    const Commands commands = sim.ReadCommands();
    const int at = FindCommand(commands, "41");
    ASSERT_GT(at, 1);
    EXPECT_EQ(CountCommand(commands, "21"), 1);
    EXPECT_EQ(sim.ReadLog()[at], SettingsWriteLine(bytes));
    EXPECT_EQ(Slice(commands, at - 2, 4), (Commands{"0f", "21", "41", "40"}));
    EXPECT_EQ(Slice(commands, at + 2, 8), kPlainCycle);
    // Read back: the tester kept what was written.
    EXPECT_EQ(LoadByte(readings.deviceSettings[kSettingCpu12vCable]), cpu);
}

// The account of each cycle's requests that the console's JSON lines carry: what was asked since
// the last count, what failed, and the longest wait.
TEST_F(PollTest, CycleStatsCountTheRequestsSinceTheLastCycle)
{
    struct Seen {
        uint32_t cycle, requests, failed, longestReadMs;
    };
    // The account published with a count, read in the pause after it.
    auto waitForCycle = [](uint32_t cycle) {
        PollUntil([&] { return g_pollCycleStats.cycle.load(std::memory_order_acquire) >= cycle; });
        return Seen{g_pollCycleStats.cycle.load(), g_pollCycleStats.requests.load(),
                    g_pollCycleStats.failedRequests.load(), g_pollCycleStats.longestReadMs.load()};
    };
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({"--ignore", "10"}));  // ripple never answers
    const uint32_t base = g_pollCycleCount.load();
    ASSERT_TRUE(ConnectTo(sim));
    const Seen seen = waitForCycle(base + 1);
    ASSERT_EQ(seen.cycle, base + 1);
    EXPECT_EQ(seen.requests, 10u) << "the first cycle carries the settings and status reads of the connect";
    EXPECT_EQ(seen.failed, 1u);
    EXPECT_GE(seen.longestReadMs, 100u) << "the ripple request waited out its reply time";

    // The reset goes out after the count of the cycle that saw the press, so it is in the account
    // of the cycle after that: one of the next two, depending on when the press came.
    g_resetMinMaxEvent.Signal();
    const Seen next = waitForCycle(base + 2);
    const Seen after = waitForCycle(base + 3);
    ASSERT_EQ(after.cycle, base + 3);
    EXPECT_EQ(next.requests + after.requests, 8u + 8u + 1u);
    EXPECT_EQ(next.failed + after.failed, 2u);
    EXPECT_EQ(CountCommand(sim.ReadCommands(), "21"), 1);
}

// A second worker started while the first is ending (here: the first sits in its "Connection
// lost" message with Connect already offered) waits until the first has closed the device.
TEST_F(PollTest, NewWorkerWaitsUntilTheEndingWorkerHasClosedTheDevice)
{
    SimulatedTester lost, fresh;
    ASSERT_TRUE(lost.Start({"--ignore", "0f"}));
    ASSERT_TRUE(fresh.Start({}));
    HoldMessageBoxes(true);
    ASSERT_TRUE(ConnectTo(lost));
    ASSERT_TRUE(WaitForRecordedCall(IsMessage(L"Connection lost\n"), 5000));
    ASSERT_EQ(g_stopRequested.load(), 1);  // what the Connect button looks at
    EXPECT_FALSE(TryTakeTesterDevice()) << "a probe may not run now either";

    // What the second worker finds when it first reads the port list: the first one's port
    // closed and its timer stopped.
    struct AtSecondStart {
        std::atomic<int> getTexts{0}, timerStops{-1};
        std::atomic<bool> lostPortOpen{true};
    };
    auto at = std::make_shared<AtSecondStart>();
    SetCallObserver([at, path = lost.Path()](const WindowCall& call) {
        if (call.kind == WindowCallKind::GetText && at->getTexts.fetch_add(1) == 0) {
            at->lostPortOpen.store(IsOpenInThisProcess(path));
            at->timerStops.store(CountRecordedCalls(IsKind(WindowCallKind::StopTimer)));
        }
    });
    StartWorkerOn(fresh.Path());
    HoldMessageBoxes(false);
    ASSERT_TRUE(WaitForCycles(fresh, 1));
    EXPECT_FALSE(at->lostPortOpen.load());
    EXPECT_EQ(at->timerStops.load(), 1);
    EXPECT_EQ(CountRecordedCalls(IsSetText(1003, L"Disconnect")), 2);
    EXPECT_EQ(g_workerRunning.load(), 1);
    EXPECT_EQ(g_stopRequested.load(), 0);
    EXPECT_EQ(fresh.ReadCommands().front(), "0a");
    Disconnect();
    SetCallObserver(nullptr);
}

}  // namespace
