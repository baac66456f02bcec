// The worker's connect sequence against the simulated tester: which testers are accepted, what
// the user sees when one is not, and the state a refused or accepted connection leaves behind.
#include "tests/measurement/worker_harness.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "device/tester_device.h"
#include "measurement/handshake.h"
#include "tests/stubs/recording_window_ops.h"

namespace {

using ConnectTest = WorkerTest;

// True when this process holds path open: how a test sees whether the worker's port is open.
bool IsOpenInThisProcess(const std::string& path)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code linkError;
        if (std::filesystem::read_symlink(entry.path(), linkError) == path)
            return true;
    }
    return false;
}

// A refused connection: exactly one message, Connect and Refresh offered again, nothing started.
void ExpectRefused(const std::wstring& message)
{
    ASSERT_TRUE(WorkerTest::WaitForWorkersEnded(8000));
    std::vector<WindowCall> calls = GetRecordedCalls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].kind, WindowCallKind::GetText);
    EXPECT_EQ(calls[0].controlId, 1002);
    EXPECT_EQ(calls[1].kind, WindowCallKind::Message);
    EXPECT_EQ(calls[1].text, message);
    EXPECT_EQ(calls[1].title, L"Ombrelo Error");
    EXPECT_TRUE(IsEnable(1003)(calls[2]));
    EXPECT_TRUE(IsEnable(1001)(calls[3]));
    EXPECT_EQ(g_stopRequested.load(), 1);
    EXPECT_EQ(g_workerRunning.load(), 0);
    EXPECT_FALSE(IsTesterDeviceTaken());
}

TEST_F(ConnectTest, EmptyPortNameIsDeviceNotFound)
{
    StartWorkerOn("");
    ExpectRefused(L"Device not found!");
}

// Testers that are refused, and what the worker asked before it closed the port.
TEST_F(ConnectTest, RefusedTesters)
{
    const struct {
        std::vector<std::string> options;
        const wchar_t* message;
        std::vector<std::string> commands;
    } cases[] = {
        {{"--silent"}, L"Device not found!", {"0a"}},
        {{"--identity", "XYZ"}, L"Device not found!", {"0a"}},
        // Second firmware byte 10: identified, then closed.
        {{"--firmware", "1.10"}, L"Device firmware needs to be updated!", {"0a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.front());
        ClearRecordedCalls();
        SimulatedTester sim;
        ASSERT_TRUE(sim.Start(c.options));
        StartWorkerOn(sim.Path());
        ExpectRefused(c.message);
        EXPECT_EQ(sim.ReadCommands(), c.commands);
    }
}

TEST_F(ConnectTest, SecondFirmwareBytesNineAndElevenAreAccepted)
{
    for (const char* firmware : {"1.9", "10.11"}) {
        SCOPED_TRACE(firmware);
        ClearRecordedCalls();
        SimulatedTester sim;
        ASSERT_TRUE(sim.Start({"--firmware", firmware}));
        ASSERT_TRUE(ConnectTo(sim));
        EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::Message)), 0);
        WaitForWorkerExit();
        ASSERT_TRUE(WaitForWorkersEnded(8000));
    }
}

TEST_F(ConnectTest, AcceptedTesterSetsUpTheWindowInOrderThenPolls)
{
    g_logIntervalSeconds.store(30);
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({}));
    ASSERT_TRUE(ConnectTo(sim));
    ASSERT_TRUE(WaitForRecordedCall(
        [](const WindowCall& c) { return c.kind == WindowCallKind::SetText && c.controlId == 1004; }, 3000));
    g_logIntervalSeconds.store(10);

    std::vector<WindowCall> calls = GetRecordedCalls();
    ASSERT_GE(calls.size(), 8u);
    EXPECT_EQ(calls[0].kind, WindowCallKind::GetText);
    EXPECT_TRUE(IsSetText(1003, L"Disconnect")(calls[1]));
    EXPECT_EQ(calls[2].kind, WindowCallKind::StartTimer);
    EXPECT_EQ(calls[2].periodMs, 30000u);
    EXPECT_TRUE(IsEnable(1004)(calls[3]));
    EXPECT_TRUE(IsEnable(1007)(calls[4]));
    EXPECT_TRUE(IsEnable(1003)(calls[5]));
    // Configure once the settings block has been read.
    EXPECT_TRUE(IsEnable(1009)(calls[6]));
    bool on = (LoadByte(g_testerDevice.readings.powerStatus) & kPowerStatusOn) != 0;
    EXPECT_TRUE(IsSetText(1004, on ? L"Power OFF" : L"Power ON")(calls[7]));
    EXPECT_EQ(g_stopRequested.load(), 0);
    EXPECT_EQ(g_workerRunning.load(), 1);

    // Identify, settings, status, then the first cycle.
    ASSERT_TRUE(sim.WaitForRequests(3, 2000));
    std::vector<std::string> commands = sim.ReadCommands();
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 3),
              (std::vector<std::string>{"0a", "40", "0b"}));
}

TEST_F(ConnectTest, DisconnectEndsTheWorkerAndFreesTheDevice)
{
    SimulatedTester sim;
    ASSERT_TRUE(sim.Start({}));
    ASSERT_TRUE(ConnectTo(sim));
    ASSERT_TRUE(WaitForCycles(sim, 1, 5000));
    WaitForWorkerExit();
    EXPECT_EQ(g_workerRunning.load(), 0);
    ASSERT_TRUE(WaitForWorkersEnded(8000));
    EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::StopTimer)), 1);
    EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::Message)), 0);
    // The device is free again for a probe.
    ASSERT_TRUE(TryTakeTesterDevice());
    ReleaseTesterDevice();
    // Nothing more reaches the tester.
    size_t requests = sim.ReadLog().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(sim.ReadLog().size(), requests);
}

// However a connection ends, the worker stops timer 2, closes the port and only then gives the
// device back: whoever takes the device next (a new worker, a probe) finds the port closed and no
// timer of the old connection left to fire.
TEST_F(ConnectTest, EndingStopsTheTimerThenClosesThePortThenFreesTheDevice)
{
    const struct {
        const char* name;
        std::vector<std::string> options;
        bool disconnect;  // the user disconnects; otherwise the tester stops answering
    } endings[] = {
        {"disconnect", {}, true},
        {"lost tester", {"--ignore", "0f"}, false},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.name);
        ClearRecordedCalls();
        SimulatedTester sim;
        ASSERT_TRUE(sim.Start(ending.options));

        // Seen by the worker's thread at the moment it stops the timer. Shared, so that a failed
        // assertion cannot leave the observer pointing at this iteration's locals.
        struct AtTimerStop {
            std::atomic<int> count{0};
            std::atomic<bool> deviceTaken{false};
            std::atomic<bool> portOpen{false};
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
        if (ending.disconnect) {
            ASSERT_TRUE(WaitForCycles(sim, 1, 5000));
            g_stopRequested.store(1);
        }
        // The moment the device is free again, the timer must be stopped and the port closed.
        bool freed = false;
        bool portOpenWhenFreed = true;
        int timerStopsWhenFreed = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!freed && std::chrono::steady_clock::now() < end) {
            if (!IsTesterDeviceTaken()) {
                portOpenWhenFreed = IsOpenInThisProcess(sim.Path());
                timerStopsWhenFreed = atStop->count.load();
                freed = true;
            }
            std::this_thread::yield();
        }
        ASSERT_TRUE(freed);
        ASSERT_TRUE(WaitForWorkersEnded(8000));
        SetCallObserver(nullptr);

        EXPECT_EQ(atStop->count.load(), 1);
        EXPECT_TRUE(atStop->deviceTaken.load()) << "the timer was stopped after the device was given back";
        EXPECT_TRUE(atStop->portOpen.load()) << "the timer was stopped after the port was closed";
        EXPECT_EQ(timerStopsWhenFreed, 1) << "the device was given back before the timer was stopped";
        EXPECT_FALSE(portOpenWhenFreed) << "the device was given back before the port was closed";
        EXPECT_EQ(CountRecordedCalls(IsKind(WindowCallKind::Message)), ending.disconnect ? 0 : 1);
    }
}

}  // namespace
