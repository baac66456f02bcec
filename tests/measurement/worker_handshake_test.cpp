// The hand-shake state on its own: start values, the Power command and its pairing with the
// worker's side, the exit wait and the device token. The order in which the device controls are
// enabled and disabled is that of the worker tests' connect and lost-tester calls.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/tester_device.h"
#include "measurement/handshake.h"
#include "tests/stubs/recording_window_ops.h"

namespace {

int g_window;

// The hand-shake state as the program starts, taken before the first test (in whatever order the
// tests run) can touch it; once only, when the tests are repeated.
std::vector<int> g_startState;
class StartStateRecorder : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (g_startState.empty())
            g_startState = {g_stopRequested.load(), g_workerRunning.load(), g_powerRequest.load(),
                            g_logIntervalSeconds.load(), g_resetMinMaxEvent.Wait(0), g_settingsChangedEvent.Wait(0),
                            IsTesterDeviceTaken()};
    }
};
[[maybe_unused]] ::testing::Environment* const g_startStateRecorder =
    ::testing::AddGlobalTestEnvironment(new StartStateRecorder);

TEST(Handshake, NoConnectionAtStart)
{
    // Stop requested, no worker, no power request, 10 s log interval, no event, device free.
    EXPECT_EQ(g_startState, (std::vector<int>{1, 0, 0, 10, 0, 0, 0}));
}

TEST(Handshake, PowerTargetIsTheOppositeOfTheReportedStateAndTheButtonIsDisabled)
{
    ClearRecordedCalls();
    // On asks for off; off, and neither bit (not known to be on), ask for on.
    for (auto [status, expected] : {std::pair{kPowerStatusOn | kPowerStatusVoltagesPass, 0}, {kPowerStatusOff, 1}, {0, 1}}) {
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
TEST(Handshake, ServedPowerRequestAlwaysCarriesItsOwnTarget)
{
    constexpr int32_t kRequests = 20000;
    std::thread ui([] {
        for (int32_t i = 1; i <= kRequests; ++i) {
            while (g_powerRequest.load(std::memory_order_acquire) != 0)
                std::this_thread::yield();
            g_powerTarget.store(i, std::memory_order_relaxed);
            g_powerRequest.store(1, std::memory_order_release);
        }
    });
    int mismatches = 0;
    for (int32_t expected = 1, target = 0; expected <= kRequests;) {
        if (!ReadPowerRequest(target)) {
            std::this_thread::yield();
            continue;
        }
        mismatches += target != expected++;
        ClearPowerRequest();
    }
    ui.join();
    EXPECT_EQ(mismatches, 0);
    g_powerTarget.store(0);
}

TEST(Handshake, ExitWaitGivesUpOnAStuckWorkerAndReturnsOnceOneHasEnded)
{
    g_stopRequested.store(0);
    g_workerRunning.store(1);
    EXPECT_FALSE(WaitForWorkerExit());
    EXPECT_EQ(g_stopRequested.load(), 1);

    // The worker ends when it sees the stop that the wait requests.
    g_stopRequested.store(0);
    std::thread worker([] {
        while (g_stopRequested.load() == 0)
            std::this_thread::yield();
        g_workerRunning.store(0);
    });
    EXPECT_TRUE(WaitForWorkerExit());
    worker.join();
}

// One holder at a time; that a second taker waits for the first to give the token back is the
// worker tests' new worker after a lost one.
TEST(Handshake, DeviceTokenHasOneHolderAtATime)
{
    ASSERT_TRUE(TryTakeTesterDevice());
    EXPECT_TRUE(IsTesterDeviceTaken());
    EXPECT_FALSE(TryTakeTesterDevice());
    ReleaseTesterDevice();
    EXPECT_FALSE(IsTesterDeviceTaken());
}

}  // namespace
