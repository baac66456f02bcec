// The worker's poll cycle against the simulated tester: the order of the requests, the power,
// reset and settings requests it serves, refusals, a lost tester, and the rule that two workers
// never use the tester at the same time.
#include "tests/measurement/worker_harness.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <sstream>

#include "device/tester_device.h"
#include "measurement/connection_worker.h"
#include "measurement/handshake.h"
#include "tests/stubs/recording_window_ops.h"

namespace {

using PollTest = WorkerTest;

bool IsPowerOn() { return (LoadByte(g_testerDevice.readings.powerStatus) & kPowerStatusOn) != 0; }

// Waits until the worker has shown the given power state on the Power button after the last
// clear of the recorded calls.
bool WaitForPowerButton(bool on, int timeoutMs)
{
    return WaitForRecordedCall(IsSetText(1004, on ? L"Power OFF" : L"Power ON"), timeoutMs);
}

// Brings the simulated supply into the wanted state through the Power command.
bool SwitchPowerTo(const SimulatedTester& sim, bool on)
{
    if (!WorkerTest::WaitForCycles(sim, 1, 5000))
        return false;
    if (IsPowerOn() == on)
        return true;
    ClearRecordedCalls();
    RequestPowerSwitch(g_mainWindow);
    return WaitForPowerButton(on, 5000) && IsPowerOn() == on;
}

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

std::vector<std::string> Slice(const std::vector<std::string>& v, int from, int count)
{
    if (from < 0 || from + count > static_cast<int>(v.size()))
        return {};
    return std::vector<std::string>(v.begin() + from, v.begin() + from + count);
}

TEST_F(PollTest, CycleAsksForEverythingInFixedOrder)
{
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({}));
    ASSERT_TRUE(ConnectTo(sim));
    ASSERT_TRUE(WaitForCycles(sim, 3, 8000));
    std::vector<std::string> commands = sim.ReadCommands();
    EXPECT_EQ(Slice(commands, 0, 3), (std::vector<std::string>{"0a", "40", "0b"}));
    for (int cycle = 0; cycle < 3; ++cycle)
        EXPECT_EQ(Slice(commands, 3 + 8 * cycle, 8), kPlainCycle) << "cycle " << cycle;
}

TEST_F(PollTest, PowerSwitchOpensTheNextCycleAndActsOnTheRequestedState)
{
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({}));
    ASSERT_TRUE(ConnectTo(sim));
    ASSERT_TRUE(WaitForCycles(sim, 1, 5000));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        bool wasOn = IsPowerOn();
        ClearRecordedCalls();
        RequestPowerSwitch(g_mainWindow);
        ASSERT_TRUE(WaitForPowerButton(!wasOn, 5000));
        ASSERT_TRUE(WaitForCycles(sim, 1, 5000));
        EXPECT_EQ(IsPowerOn(), !wasOn);
        EXPECT_EQ(g_powerRequest.load(), 0);
        std::vector<std::string> log = sim.ReadLog();
        std::vector<std::string> commands = sim.ReadCommands();
        int at = FindCommand(commands, "20", round);
        ASSERT_GT(at, 0);
        EXPECT_EQ(log[at], wasOn ? "20 00" : "20 01");
        EXPECT_EQ(commands[at - 1], "0f");  // a cycle had just ended
        EXPECT_EQ(Slice(commands, at + 1, 8), kPlainCycle);
        // Disabled by the command, enabled again only by the worker's status steps: every
        // cycle's status step enables it, and the test may have watched more than one cycle.
        EXPECT_TRUE(IsDisable(1004)(GetRecordedCalls().front()));
        const int enables = CountRecordedCalls(IsEnable(1004));
        const std::vector<std::string> later = sim.ReadCommands();
        const int statusSteps = static_cast<int>(std::count(later.begin() + at, later.end(), "0b"));
        EXPECT_GE(enables, 1);
        EXPECT_LE(enables, statusSteps);
        EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::Message)), 0);
    }
}

// A refused switch shows its one message, the supply stays as it was, and the request went out.
TEST_F(PollTest, RefusedSwitchesShowTheirMessage)
{
    const struct {
        std::vector<std::string> options;
        bool on;
        const wchar_t* message;
        const char* request;
    } cases[] = {
        {{"--refuse-on"}, false, L"Not allowed\nCooling is in progress", "20 01"},
        {{"--on", "--refuse-off"}, true, L"Not allowed\nUse PC power botton", "20 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.front());
        SimulatedTester sim;
        ASSERT_TRUE(sim.Start(c.options));
        ASSERT_TRUE(ConnectTo(sim));
        ASSERT_TRUE(SwitchPowerTo(sim, c.on));
        ClearRecordedCalls();
        RequestPowerSwitch(g_mainWindow);
        ASSERT_TRUE(WaitForRecordedCall(IsKind(WindowCallKind::Message), 5000));
        ASSERT_TRUE(WaitForCycles(sim, 1, 5000));
        EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::Message)), 1);
        EXPECT_EQ(CountRecordedCalls(IsMessage(c.message)), 1);
        for (const WindowCall& call : GetRecordedCalls()) {
            if (call.kind == WindowCallKind::Message) {
                EXPECT_EQ(call.title, L"Ombrelo Error");
            }
        }
        EXPECT_EQ(IsPowerOn(), c.on);
        std::vector<std::string> commands = sim.ReadCommands();
        EXPECT_EQ(sim.ReadLog()[FindCommand(commands, "20", CountCommand(commands, "20") - 1)], c.request);
        WaitForWorkerExit();
        ASSERT_TRUE(WaitForWorkersEnded(8000));
    }
}

// The protocol reports an unanswered switch as 1: a refused switch-off, but nothing for a switch-on.
TEST_F(PollTest, UnansweredSwitchShowsTheSwitchOffRefusalOnly)
{
    struct Case {
        std::vector<std::string> options;
        bool on;
        int messages;
    };
    const Case cases[] = {
        {{"--ignore", "20"}, false, 0},
        {{"--on", "--ignore", "20"}, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.on ? "switch-off" : "switch-on");
        SimulatedTester sim;
        ASSERT_TRUE(sim.Start(c.options));
        ASSERT_TRUE(ConnectTo(sim));
        ASSERT_TRUE(WaitForCycles(sim, 1, 5000));
        ASSERT_EQ(IsPowerOn(), c.on);
        ClearRecordedCalls();
        RequestPowerSwitch(g_mainWindow);
        ASSERT_TRUE(WaitForCycles(sim, 2, 6000));
        EXPECT_EQ(CountCommand(sim.ReadCommands(), "20"), 1);
        EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::Message)), c.messages);
        EXPECT_EQ(CountRecordedCalls(IsMessage(L"Not allowed\nUse PC power botton")), c.messages);
        EXPECT_EQ(g_powerRequest.load(), 0);
        // The status step gives the button back.
        EXPECT_EQ(CountRecordedCalls(IsEnable(1004)), 2);
        WaitForWorkerExit();
        ASSERT_TRUE(WaitForWorkersEnded(8000));
    }
}

TEST_F(PollTest, TwoResetRequestsInOneCycleSendOneReset)
{
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({}));
    ASSERT_TRUE(ConnectTo(sim));
    ASSERT_TRUE(WaitForCycles(sim, 1, 5000));
    ActAtNextCycle([] {
        g_resetMinMaxEvent.Signal();
        g_resetMinMaxEvent.Signal();
    });
    ASSERT_TRUE(WaitForCycles(sim, 3, 8000));
    std::vector<std::string> commands = sim.ReadCommands();
    ASSERT_EQ(CountCommand(commands, "21"), 1);
    int at = FindCommand(commands, "21");
    EXPECT_EQ(commands[at - 1], "0f");  // after the measurements
    EXPECT_EQ(Slice(commands, at + 1, 8), kPlainCycle);
}

TEST_F(PollTest, SettingsAreWrittenAfterTheMeasurementsAndAPendingResetThenReadBack)
{
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({}));
    ASSERT_TRUE(ConnectTo(sim));
    ASSERT_TRUE(WaitForCycles(sim, 1, 5000));
    DeviceReadings& readings = g_testerDevice.readings;
    uint8_t cpu = LoadByte(readings.deviceSettings[kSettingCpu12vCable]) ? 0 : 1;
    StoreByte(readings.deviceSettings[kSettingCpu12vCable], cpu);
    std::ostringstream expected;
    expected << "41";
    char hex[4];
    for (int i = 0; i < kSettingsSize; ++i) {
        snprintf(hex, sizeof hex, " %02x", LoadByte(readings.deviceSettings[i]));
        expected << hex;
    }
    ActAtNextCycle([] {
        g_settingsChangedEvent.Signal();
        g_resetMinMaxEvent.Signal();
    });
    ASSERT_TRUE(WaitForCycles(sim, 3, 8000));

    std::vector<std::string> log = sim.ReadLog();
    std::vector<std::string> commands = sim.ReadCommands();
    int at = FindCommand(commands, "41");
    ASSERT_GT(at, 1);
    EXPECT_EQ(log[at], expected.str());
    EXPECT_EQ(commands[at - 2], "0f");
    EXPECT_EQ(commands[at - 1], "21");
    EXPECT_EQ(commands[at + 1], "40");
    EXPECT_EQ(Slice(commands, at + 2, 8), kPlainCycle);
    // Read back: the tester kept what was written.
    EXPECT_EQ(LoadByte(readings.deviceSettings[kSettingCpu12vCable]), cpu);
}

TEST_F(PollTest, RequestsLeftFromBeforeTheConnectionAreDropped)
{
    StoreByte(g_testerDevice.readings.powerStatus, 0);
    RequestPowerSwitch(&window);
    g_resetMinMaxEvent.Signal();
    g_settingsChangedEvent.Signal();
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({}));
    ASSERT_TRUE(ConnectTo(sim));
    ASSERT_TRUE(WaitForCycles(sim, 2, 6000));
    std::vector<std::string> commands = sim.ReadCommands();
    EXPECT_EQ(CountCommand(commands, "20"), 0);
    EXPECT_EQ(CountCommand(commands, "21"), 0);
    EXPECT_EQ(CountCommand(commands, "41"), 0);
    EXPECT_EQ(g_powerRequest.load(), 0);
}

TEST_F(PollTest, TesterThatStopsAnsweringMinMaxIsLost)
{
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({"--ignore", "0f"}));
    ASSERT_TRUE(ConnectTo(sim));
    ASSERT_TRUE(WaitForRecordedCall(IsKind(WindowCallKind::Message), 5000));
    ASSERT_TRUE(WaitForWorkersEnded(8000));
    EXPECT_EQ(g_stopRequested.load(), 1);
    EXPECT_EQ(g_workerRunning.load(), 0);

    std::vector<WindowCall> calls = GetRecordedCalls();
    int message = -1;
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].kind == WindowCallKind::Message)
            message = static_cast<int>(i);
    ASSERT_GE(message, 6);
    EXPECT_EQ(calls[message].text, L"Connection lost\n");
    EXPECT_EQ(calls[message].title, L"Ombrelo: Error");
    EXPECT_TRUE(IsDisable(1004)(calls[message - 6]));
    EXPECT_TRUE(IsDisable(1009)(calls[message - 5]));
    EXPECT_TRUE(IsDisable(1007)(calls[message - 4]));
    EXPECT_TRUE(IsSetText(1003, L"Connect")(calls[message - 3]));
    EXPECT_TRUE(IsEnable(1003)(calls[message - 2]));
    EXPECT_TRUE(IsEnable(1001)(calls[message - 1]));
    // The timer goes with the connection, after the message.
    ASSERT_EQ(static_cast<int>(calls.size()), message + 2);
    EXPECT_EQ(calls.back().kind, WindowCallKind::StopTimer);
    EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::Message)), 1);
    // One cycle: everything was asked, and only the minima/maxima of currents went unanswered.
    std::vector<std::string> commands = sim.ReadCommands();
    EXPECT_EQ(Slice(commands, 3, 8), kPlainCycle);
    EXPECT_EQ(commands.size(), 11u);
}

// The account of each cycle's requests that the console's JSON lines carry: what was asked since
// the last count, what failed, and the longest wait.
TEST_F(PollTest, CycleStatsCountTheRequestsSinceTheLastCycle)
{
    struct Seen {
        uint32_t cycle, requests, failed, longestReadMs;
    };
    // The account published with a count, read in the pause after it.
    auto waitForCycle = [](uint32_t cycle, Seen& seen) {
        for (int i = 0; i < 800; ++i) {
            if (g_pollCycleStats.cycle.load(std::memory_order_acquire) >= cycle) {
                seen = {g_pollCycleStats.cycle.load(), g_pollCycleStats.requests.load(),
                        g_pollCycleStats.failedRequests.load(), g_pollCycleStats.longestReadMs.load()};
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    };
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({"--ignore", "10"}));  // ripple never answers
    const uint32_t base = g_pollCycleCount.load();
    ASSERT_TRUE(ConnectTo(sim));
    Seen seen{};
    ASSERT_TRUE(waitForCycle(base + 1, seen));
    EXPECT_EQ(seen.cycle, base + 1);
    EXPECT_EQ(seen.requests, 10u) << "the first cycle carries the settings and status reads of the connect";
    EXPECT_EQ(seen.failed, 1u);
    EXPECT_GE(seen.longestReadMs, 100u) << "the ripple request waited out its reply time";

    // The reset goes out after the count of the cycle that saw the press, so it is in the account
    // of the cycle after that: one of the next two, depending on when the press came.
    g_resetMinMaxEvent.Signal();
    Seen next{}, after{};
    ASSERT_TRUE(waitForCycle(base + 2, next));
    ASSERT_TRUE(waitForCycle(base + 3, after));
    ASSERT_EQ(after.cycle, base + 3);
    EXPECT_EQ(next.requests + after.requests, 8u + 8u + 1u);
    EXPECT_EQ(next.failed + after.failed, 2u);
    EXPECT_EQ(CountCommand(sim.ReadCommands(), "21"), 1);
}

// A second worker started while the first is ending (here: the first sits in its "Connection
// lost" message with Connect already offered) waits until the first has closed the device.
TEST_F(PollTest, NewWorkerWaitsUntilTheEndingWorkerHasClosedTheDevice)
{
    SimulatedTester lost;
    SimulatedTester fresh;
    ASSERT_TRUE(lost.Start({"--ignore", "0f"}));
    ASSERT_TRUE(fresh.Start({}));
    HoldMessageBoxes(true);
    ASSERT_TRUE(ConnectTo(lost));
    ASSERT_TRUE(WaitForRecordedCall(IsMessage(L"Connection lost\n"), 5000));
    ASSERT_EQ(g_stopRequested.load(), 1);  // what the Connect button looks at

    // A probe may not run now either.
    EXPECT_FALSE(TryTakeTesterDevice());

    StartWorkerOn(fresh.Path());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(fresh.ReadLog().empty());
    EXPECT_EQ(CountRecordedCalls(IsSetText(1003, L"Disconnect")), 1);  // only the first worker's
    EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::StopTimer)), 0);

    HoldMessageBoxes(false);
    ASSERT_TRUE(fresh.WaitForRequests(3, 8000));
    EXPECT_EQ(CountRecordedCalls(IsSetText(1003, L"Disconnect")), 2);
    ASSERT_TRUE(WaitForCycles(fresh, 1, 5000));

    // The first worker killed its timer before the second started its own.
    std::vector<WindowCall> calls = GetRecordedCalls();
    int stop = -1;
    int secondStart = -1;
    int starts = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].kind == WindowCallKind::StopTimer && stop < 0)
            stop = static_cast<int>(i);
        if (calls[i].kind == WindowCallKind::StartTimer && ++starts == 2)
            secondStart = static_cast<int>(i);
    }
    ASSERT_GE(stop, 0);
    ASSERT_GE(secondStart, 0);
    EXPECT_LT(stop, secondStart);
    EXPECT_EQ(g_workerRunning.load(), 1);
    EXPECT_EQ(g_stopRequested.load(), 0);
    EXPECT_EQ(fresh.ReadCommands().front(), "0a");
}

}  // namespace
