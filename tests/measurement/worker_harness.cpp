// The worker tests' harness: the simulator's request log, the fixture and the waits.
#include "tests/measurement/worker_harness.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "measurement/connection_worker.h"
#include "measurement/handshake.h"
#include "tests/stubs/recording_window_ops.h"

const std::vector<std::string> kPlainCycle = {"0b", "0c", "10", "0d", "11", "12", "0e", "0f"};

namespace {

// Polls done every few milliseconds; false once timeoutMs have passed without it.
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

}  // namespace

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

bool SimulatedTester::WaitForRequests(size_t count, int timeoutMs) const
{
    return PollUntil([&] { return ReadLog().size() >= count; }, timeoutMs);
}

void WorkerTest::SetUp()
{
    ASSERT_TRUE(WaitForWorkersEnded(10000)) << "a worker of an earlier test is still running";
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
    EXPECT_TRUE(WaitForWorkersEnded(10000));
    SetCallObserver(nullptr);
}

void WorkerTest::StartWorkerOn(const std::string& path)
{
    SetRecordedPortName(std::wstring(path.begin(), path.end()));
    StartConnectionWorker(&window);
}

bool WorkerTest::ConnectTo(const SimulatedTester& sim)
{
    StartWorkerOn(sim.Path());
    return WaitForRecordedCall(IsSetText(1003, L"Disconnect"), 5000);
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

int FindCommand(const std::vector<std::string>& commands, const std::string& command, int n)
{
    for (size_t i = 0; i < commands.size(); ++i)
        if (commands[i] == command && n-- == 0)
            return static_cast<int>(i);
    return -1;
}

int CountCommand(const std::vector<std::string>& commands, const std::string& command)
{
    return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}
