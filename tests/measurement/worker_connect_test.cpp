// The worker's connect sequence against the simulated tester: which testers are accepted, what
// the user sees when one is not, and the state a refused, accepted or ended connection leaves.
#include "tests/measurement/worker_harness.h"

#include <atomic>
#include <memory>

#include "device/tester_device.h"
#include "measurement/handshake.h"
#include "tests/stubs/recording_window_ops.h"

namespace {

using ConnectTest = WorkerTest;

// A refused tester: exactly one message, Connect and Refresh offered again, nothing started, and
// only the identify request (none without a port) before the port was closed.
TEST_F(ConnectTest, RefusedTesters)
{
    const struct {
        std::vector<std::string> options;  // empty: no port name at all
        const wchar_t* message;
    } cases[] = {
        {{}, L"Device not found!"},
        {{"--silent"}, L"Device not found!"},
        {{"--identity", "XYZ"}, L"Device not found!"},
        {{"--firmware", "1.10"}, L"Device firmware needs to be updated!"},  // second byte 10
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "no port" : c.options.front());
        ClearRecordedCalls();
        SimulatedTester sim;
        ASSERT_TRUE(c.options.empty() || sim.Start(c.options));
        StartWorkerOn(c.options.empty() ? "" : sim.Path());
        ASSERT_TRUE(WaitForWorkersEnded());
        const auto calls = GetRecordedCalls();
        ASSERT_EQ(calls.size(), 4u);
        EXPECT_EQ(calls[0].kind, WindowCallKind::GetText);
        EXPECT_EQ(calls[0].controlId, 1002);
        EXPECT_TRUE(IsMessage(c.message)(calls[1]));
        EXPECT_EQ(calls[1].title, L"Ombrelo Error");
        EXPECT_TRUE(IsEnable(1003)(calls[2]));
        EXPECT_TRUE(IsEnable(1001)(calls[3]));
        EXPECT_EQ(g_stopRequested.load(), 1);
        EXPECT_EQ(g_workerRunning.load(), 0);
        EXPECT_FALSE(IsTesterDeviceTaken());
        EXPECT_EQ(sim.ReadCommands(), c.options.empty() ? std::vector<std::string>{} : std::vector<std::string>{"0a"});
    }
}

// An accepted tester (second firmware byte 11, or 9; only 10 needs an update) gets the window set
// up in order, then every cycle asks for everything in a fixed order; requests left from before
// the connection are dropped.
TEST_F(ConnectTest, AcceptedTesterSetsUpTheWindowInOrderThenPollsPlainCycles)
{
    for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"--firmware", "1.9"}, {"--firmware", "10.11"}}) {
        SCOPED_TRACE(options.empty() ? "2.11" : options[1]);
        StoreByte(g_testerDevice.readings.powerStatus, 0);
        RequestPowerSwitch(&window);
        g_resetMinMaxEvent.Signal();
        g_settingsChangedEvent.Signal();
        ClearRecordedCalls();
        g_logIntervalSeconds.store(30);
        SimulatedTester sim;
        ASSERT_TRUE(sim.Start(options));
        ASSERT_TRUE(ConnectTo(sim));
        ASSERT_TRUE(WaitForRecordedCall(
            [](const WindowCall& c) { return c.kind == WindowCallKind::SetText && c.controlId == 1004; }, 3000));
        g_logIntervalSeconds.store(10);

        const bool on = (LoadByte(g_testerDevice.readings.powerStatus) & kPowerStatusOn) != 0;
        const std::function<bool(const WindowCall&)> expected[] = {
            IsKind(WindowCallKind::GetText), IsSetText(1003, L"Disconnect"),
            [](const WindowCall& c) { return c.kind == WindowCallKind::StartTimer && c.periodMs == 30000u; },
            IsEnable(1004), IsEnable(1007), IsEnable(1003),
            IsEnable(1009),  // Configure once the settings block has been read
            IsSetText(1004, on ? L"Power OFF" : L"Power ON"),
        };
        const auto calls = GetRecordedCalls();
        ASSERT_GE(calls.size(), std::size(expected));
        for (size_t i = 0; i < std::size(expected); ++i)
            EXPECT_TRUE(expected[i](calls[i])) << i;
        EXPECT_EQ(g_stopRequested.load(), 0);
        EXPECT_EQ(g_workerRunning.load(), 1);
        // Identify, settings, status, then three plain cycles.
        ASSERT_TRUE(PollUntil([&] { return CountCommand(sim.ReadCommands(), "0f") >= 3; }));
        const auto commands = sim.ReadCommands();
        EXPECT_EQ(Slice(commands, 0, 3), (std::vector<std::string>{"0a", "40", "0b"}));
        for (int cycle = 0; cycle < 3; ++cycle)
            EXPECT_EQ(Slice(commands, 3 + 8 * cycle, 8), kPlainCycle) << "cycle " << cycle;
        EXPECT_EQ(g_powerRequest.load(), 0);
        EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::Message)), 0);
        Disconnect();
    }
}

// However a connection ends, the worker stops timer 2, closes the port and only then gives the
// device back: whoever takes the device next (a new worker, a probe) finds the port closed and no
// timer of the old connection left to fire.
TEST_F(ConnectTest, EndingStopsTheTimerThenClosesThePortThenFreesTheDevice)
{
    for (bool disconnect : {true, false}) {  // the user disconnects, or the tester stops answering
        SCOPED_TRACE(disconnect ? "disconnect" : "lost tester");
        ClearRecordedCalls();
        SimulatedTester sim;
        ASSERT_TRUE(sim.Start(disconnect ? std::vector<std::string>{} : std::vector<std::string>{"--ignore", "0f"}));

        // Seen on the worker's thread as it stops the timer. Shared, so that a failed assertion
        // cannot leave the observer pointing at this iteration's locals.
        struct AtTimerStop {
            std::atomic<int> count{0};
            std::atomic<bool> deviceTaken{false}, portOpen{false};
        };
        auto atStop = std::make_shared<AtTimerStop>();
        SetCallObserver([atStop, path = sim.Path()](const WindowCall& call) {
            if (call.kind != WindowCallKind::StopTimer)
                return;
            atStop->deviceTaken.store(IsTesterDeviceTaken());
            atStop->portOpen.store(IsOpenInThisProcess(path));
            atStop->count.fetch_add(1);
        });

        ASSERT_TRUE(ConnectTo(sim));
        ASSERT_TRUE(IsOpenInThisProcess(sim.Path()));
        if (disconnect) {
            ASSERT_TRUE(WaitForCycles(sim, 1));
            g_stopRequested.store(1);
        }
        // The moment the device is free again, the timer must be stopped and the port closed.
        ASSERT_TRUE(PollUntil([] { return !IsTesterDeviceTaken(); }));
        const bool portOpenWhenFreed = IsOpenInThisProcess(sim.Path());
        const int timerStopsWhenFreed = atStop->count.load();
        if (!disconnect) {
            // A lost tester: one cycle asked everything and only the current minima/maxima went
            // unanswered; the device controls go, Connect and Refresh come back, the message, then
            // the timer.
            ASSERT_TRUE(WaitForWorkersEnded());
            EXPECT_EQ(g_stopRequested.load(), 1);
            const auto commands = sim.ReadCommands();
            EXPECT_EQ(commands.size(), 11u);
            EXPECT_EQ(Slice(commands, 3, 8), kPlainCycle);
            const std::function<bool(const WindowCall&)> expected[] = {
                IsDisable(1004), IsDisable(1009), IsDisable(1007), IsSetText(1003, L"Connect"), IsEnable(1003),
                IsEnable(1001),
                [](const WindowCall& c) { return IsMessage(L"Connection lost\n")(c) && c.title == L"Ombrelo: Error"; },
                IsKind(WindowCallKind::StopTimer),
            };
            const auto calls = GetRecordedCalls();
            ASSERT_GE(calls.size(), std::size(expected));
            for (size_t i = 0; i < std::size(expected); ++i)
                EXPECT_TRUE(expected[i](calls[calls.size() - std::size(expected) + i])) << i;
        }
        Disconnect();
        SetCallObserver(nullptr);

        EXPECT_EQ(atStop->count.load(), 1);
        EXPECT_TRUE(atStop->deviceTaken.load()) << "the timer was stopped after the device was given back";
        EXPECT_TRUE(atStop->portOpen.load()) << "the timer was stopped after the port was closed";
        EXPECT_EQ(timerStopsWhenFreed, 1) << "the device was given back before the timer was stopped";
        EXPECT_FALSE(portOpenWhenFreed) << "the device was given back before the port was closed";
        EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::Message)), disconnect ? 0 : 1);
    }
}

}  // namespace
