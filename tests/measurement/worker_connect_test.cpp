// The worker's connect sequence against the simulated tester: which testers are accepted, what
// the user sees when one is not, and the state a refused or accepted connection leaves behind.
#include "tests/measurement/worker_harness.h"

#include "device/tester_device.h"
#include "measurement/handshake.h"
#include "tests/stubs/recording_window_ops.h"

namespace {

using ConnectTest = WorkerTest;

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
    EXPECT_TRUE(IsEnable(1009)(calls[4]));
    EXPECT_TRUE(IsEnable(1007)(calls[5]));
    EXPECT_TRUE(IsEnable(1003)(calls[6]));
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

}  // namespace
