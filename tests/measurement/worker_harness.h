// The worker tests' harness: the simulated tester with its request log, and a fixture with a clean
// hand-shake state, the recording window seam pointed at a simulator, and a teardown that stops the
// worker and waits until it has closed the port. Every wait ends on an event; the time-outs only
// keep a broken build from hanging.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/device/sim_process.h"

// The simulated tester as a child process, started with a request log.
class SimulatedTester {
public:
    ~SimulatedTester();
    // True once it has reported its terminal.
    bool Start(std::vector<std::string> options);
    const std::string& Path() const { return process.DevicePath(); }
    std::wstring WidePath() const { return std::wstring(Path().begin(), Path().end()); }
    // One entry per request: "0b", "20 01", "41 00 01 ...".
    std::vector<std::string> ReadLog() const { return ReadLogLines(logPath); }
    // Only the command bytes of the log, as two hex digits each.
    std::vector<std::string> ReadCommands() const;

private:
    SimProcess process;
    std::string logPath;
};

// The command bytes of a cycle without requests, in the order the worker sends them.
extern const std::vector<std::string> kPlainCycle;

class WorkerTest : public ::testing::Test {
public:
    void SetUp() override;
    void TearDown() override;

    // Points the port list at path and starts a worker.
    void StartWorkerOn(const std::string& path);
    // Starts a worker on the simulator; true once the worker has accepted the tester.
    bool ConnectTo(const SimulatedTester& sim);
    // Starts the simulator with options and a worker on it; true once a first cycle is done.
    bool StartPolling(SimulatedTester& sim, std::vector<std::string> options = {});
    // Disconnects as the UI does and checks that the worker has ended and let go of the tester.
    static void Disconnect();
    // True once every started worker has ended (port closed, token given back).
    static bool WaitForWorkersEnded(int timeoutMs = 8000);
    // Waits until the simulator has seen count more full poll cycles (counted by their last
    // request, 0x0F) than it had seen when called.
    static bool WaitForCycles(const SimulatedTester& sim, int count, int timeoutMs = 8000);

    int window = 0;
};

// Looks every few milliseconds until done; false once timeoutMs have passed without it.
bool PollUntil(const std::function<bool()>& done, int timeoutMs = 8000);
// Position of the first occurrence of command in commands, or -1.
int FindCommand(const std::vector<std::string>& commands, const std::string& command);
int CountCommand(const std::vector<std::string>& commands, const std::string& command);
// count entries of v from from on; empty when out of range.
std::vector<std::string> Slice(const std::vector<std::string>& v, int from, int count);
// The request log's line of a settings write: "41" and the 18 bytes.
std::string SettingsWriteLine(const uint8_t* bytes);
// True when this process holds path open: how a test sees whether the worker's port is open.
bool IsOpenInThisProcess(const std::string& path);
