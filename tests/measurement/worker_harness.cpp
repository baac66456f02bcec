// The worker tests' harness: the simulator's request log, the fixture and the waits.
#include "tests/measurement/worker_harness.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "device/tester_device.h"
#include "measurement/connection_worker.h"
#include "measurement/handshake.h"
#include "tests/stubs/recording_window_ops.h"

const std::vector<std::string> kPlainCycle = {"0b", "0c", "10", "0d", "11", "12", "0e", "0f"};

bool PollUntil(const std::function<bool()>& done, int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

SimulatedTester::~SimulatedTester()
{
    process.Stop();
    if (!logPath.empty())
        unlink(logPath.c_str());
}

bool SimulatedTester::Start(std::vector<std::string> options)
{
    logPath = MakeTempPath("ombrelo-worker-log");
    options.insert(options.end(), {"--log", logPath});
    return process.Start(options);
}

std::vector<std::string> SimulatedTester::ReadCommands() const
{
    std::vector<std::string> commands;
    for (const std::string& line : ReadLog())
        commands.push_back(line.substr(0, 2));
    return commands;
}

void WorkerTest::SetUp()
{
    ASSERT_TRUE(WaitForWorkersEnded()) << "a worker of an earlier test is still running";
    HoldMessageBoxes(false);
    SetCallObserver(nullptr);
    ClearRecordedCalls();
    SetRecordedPortName(L"");
    g_mainWindow = &window;
    g_stopRequested.store(1);
    g_powerRequest.store(0);
    g_powerTarget.store(0);
    g_resetMinMaxEvent.Reset();
    g_settingsChangedEvent.Reset();
}

void WorkerTest::TearDown()
{
    HoldMessageBoxes(false);
    WaitForWorkerExit();
    EXPECT_TRUE(WaitForWorkersEnded());
    SetCallObserver(nullptr);
}

void WorkerTest::StartWorkerOn(const std::string& path)
{
    SetRecordedPortName(std::wstring(path.begin(), path.end()));
    EXPECT_TRUE(StartConnectionWorker(&window));
}

bool WorkerTest::ConnectTo(const SimulatedTester& sim)
{
    StartWorkerOn(sim.Path());
    return WaitForRecordedCall(IsSetText(1003, L"Disconnect"), 5000);
}

bool WorkerTest::StartPolling(SimulatedTester& sim, std::vector<std::string> options)
{
    return sim.Start(std::move(options)) && ConnectTo(sim) && WaitForCycles(sim, 1);
}

void WorkerTest::Disconnect()
{
    EXPECT_TRUE(WaitForWorkerExit());
    EXPECT_EQ(g_workerRunning.load(), 0);
    ASSERT_TRUE(WaitForWorkersEnded());
    EXPECT_FALSE(IsTesterDeviceTaken());
}

bool WorkerTest::WaitForWorkersEnded(int timeoutMs)
{
    return PollUntil([] { return g_workerThreads.load(std::memory_order_acquire) == 0; }, timeoutMs);
}

bool WorkerTest::WaitForCycles(const SimulatedTester& sim, int count, int timeoutMs)
{
    int target = CountCommand(sim.ReadCommands(), "0f") + count;
    return PollUntil([&] { return CountCommand(sim.ReadCommands(), "0f") >= target; }, timeoutMs);
}

int FindCommand(const std::vector<std::string>& commands, const std::string& command)
{
    const auto at = std::find(commands.begin(), commands.end(), command);
    return at == commands.end() ? -1 : static_cast<int>(at - commands.begin());
}

int CountCommand(const std::vector<std::string>& commands, const std::string& command)
{
    return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

std::vector<std::string> Slice(const std::vector<std::string>& v, int from, int count)
{
    if (from < 0 || from + count > static_cast<int>(v.size()))
        return {};
    return std::vector<std::string>(v.begin() + from, v.begin() + from + count);
}

std::string SettingsWriteLine(const uint8_t* bytes)
{
    std::string line = "41";
    char hex[4];
    for (int i = 0; i < kSettingsSize; ++i) {
        std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
        line += hex;
    }
    return line;
}

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
