// The hand-shake state on its own: start values, the device controls, the Power command and its
// pairing with the worker's side, the bounded exit wait and the device token.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "device/tester_device.h"
#include "measurement/handshake.h"
#include "tests/stubs/recording_window_ops.h"

namespace {

int g_window;

// The hand-shake state as the program starts, taken before the first test (in whatever order the
// tests run) can touch it; once only, when the tests are repeated.
struct StartState {
    bool taken = false;
    uint8_t stopRequested = 0;
    int32_t workerRunning = -1;
    int32_t powerRequest = -1;
    uint8_t logIntervalSeconds = 0;
    bool resetMinMaxSignalled = true;
    bool settingsChangedSignalled = true;
    bool deviceTaken = true;
};
StartState g_startState;

class StartStateRecorder : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (g_startState.taken)
            return;
        g_startState.taken = true;
        g_startState.stopRequested = g_stopRequested.load();
        g_startState.workerRunning = g_workerRunning.load();
        g_startState.powerRequest = g_powerRequest.load();
        g_startState.logIntervalSeconds = g_logIntervalSeconds.load();
        g_startState.resetMinMaxSignalled = g_resetMinMaxEvent.Wait(0);
        g_startState.settingsChangedSignalled = g_settingsChangedEvent.Wait(0);
        g_startState.deviceTaken = IsTesterDeviceTaken();
    }
};
[[maybe_unused]] ::testing::Environment* const g_startStateRecorder =
    ::testing::AddGlobalTestEnvironment(new StartStateRecorder);

TEST(HandshakeStart, NoConnectionAtStart)
{
    ASSERT_TRUE(g_startState.taken);
    EXPECT_EQ(g_startState.stopRequested, 1);
    EXPECT_EQ(g_startState.workerRunning, 0);
    EXPECT_EQ(g_startState.powerRequest, 0);
    EXPECT_EQ(g_startState.logIntervalSeconds, 10);
    EXPECT_FALSE(g_startState.resetMinMaxSignalled);
    EXPECT_FALSE(g_startState.settingsChangedSignalled);
    EXPECT_FALSE(g_startState.deviceTaken);
}

// Configure is not enabled with the others: it waits for the tester's settings block.
TEST(HandshakeControls, EnableThenDisableTouchesOnlyTheDeviceControlsInOrder)
{
    ClearRecordedCalls();
    EnableDeviceControls(&g_window);
    DisableDeviceControls(&g_window);
    std::vector<WindowCall> calls = GetRecordedCalls();
    ASSERT_EQ(calls.size(), 5u);
    const int enabled[] = {1004, 1007};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(calls[i].kind, WindowCallKind::Enable);
        EXPECT_EQ(calls[i].controlId, enabled[i]);
    }
    const int disabled[] = {1004, 1009, 1007};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[2 + i].kind, WindowCallKind::Disable);
        EXPECT_EQ(calls[2 + i].controlId, disabled[i]);
    }
}

TEST(HandshakePower, TargetIsTheOppositeOfTheReportedStateAndTheButtonIsDisabled)
{
    ClearRecordedCalls();
    // On asks for off; off, and neither bit (not known to be on), ask for on.
    for (auto [status, expected] : {std::pair{kPowerStatusOn | kPowerStatusVoltagesPass, 0},
                                    std::pair{kPowerStatusOff + 0, 1}, std::pair{0, 1}}) {
        StoreByte(g_testerDevice.readings.powerStatus, static_cast<uint8_t>(status));
        RequestPowerSwitch(&g_window);
        int32_t target = -1;
        ASSERT_TRUE(ReadPowerRequest(target)) << status;
        EXPECT_EQ(target, expected) << status;
        ClearPowerRequest();
        EXPECT_FALSE(ReadPowerRequest(target));
    }
    EXPECT_EQ(CountRecordedCalls(IsDisable(1004)), 3);
    EXPECT_EQ(CountRecordedCalls(IsEnable(1004)), 0);
}

// The UI publishes numbered targets one request at a time (the button stays disabled until the
// request is served); the serving side must always see the target of the request it serves.
TEST(HandshakePower, ServedRequestAlwaysCarriesItsOwnTarget)
{
    constexpr int32_t kRequests = 20000;
    std::atomic<int32_t> mismatches{0};
    std::thread ui([] {
        for (int32_t i = 1; i <= kRequests; ++i) {
            while (g_powerRequest.load(std::memory_order_acquire) != 0)
                std::this_thread::yield();
            g_powerTarget.store(i, std::memory_order_relaxed);
            g_powerRequest.store(1, std::memory_order_release);
        }
    });
    int32_t expected = 1;
    while (expected <= kRequests) {
        int32_t target = 0;
        if (!ReadPowerRequest(target)) {
            std::this_thread::yield();
            continue;
        }
        if (target != expected)
            mismatches.fetch_add(1);
        ++expected;
        ClearPowerRequest();
    }
    ui.join();
    EXPECT_EQ(mismatches.load(), 0);
    g_powerTarget.store(0);
}

TEST(HandshakeExitWait, GivesUpOnAStuckWorkerAfterTwentySleeps)
{
    g_stopRequested.store(0);
    g_workerRunning.store(1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitForWorkerExit());
    // Sleeps only ever last longer than asked, so the lower bound holds on any machine.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    EXPECT_EQ(g_stopRequested.load(), 1);
    g_workerRunning.store(0);
}

TEST(HandshakeExitWait, ReturnsOnceTheWorkerHasEnded)
{
    g_workerRunning.store(1);
    std::thread worker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        g_workerRunning.store(0);
    });
    EXPECT_TRUE(WaitForWorkerExit());
    worker.join();
    EXPECT_EQ(g_workerRunning.load(), 0);
}

TEST(HandshakeDeviceToken, OneHolderAtATime)
{
    ASSERT_TRUE(TryTakeTesterDevice());
    EXPECT_TRUE(IsTesterDeviceTaken());
    EXPECT_FALSE(TryTakeTesterDevice());

    std::atomic<int> taken{0};
    std::thread waiter([&] {
        TakeTesterDevice();
        taken.store(1);
        ReleaseTesterDevice();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(taken.load(), 0);
    ReleaseTesterDevice();
    waiter.join();
    EXPECT_EQ(taken.load(), 1);
    EXPECT_FALSE(IsTesterDeviceTaken());
}

}  // namespace
