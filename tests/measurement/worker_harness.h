// The worker tests' harness: the simulated tester with its request log, and a fixture with a clean
// hand-shake state, the recording window seam pointed at a simulator, and a teardown that stops the
// worker and waits until it has closed the port.
#pragma once

#include <gtest/gtest.h>

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
    // One entry per request: "0b", "20 01", "41 00 01 ...".
    std::vector<std::string> ReadLog() const { return ReadLogLines(logPath); }
    // Only the command bytes of the log, as two hex digits each.
    std::vector<std::string> ReadCommands() const;
    // Waits until the log has at least count requests; false after timeoutMs.
    bool WaitForRequests(size_t count, int timeoutMs) const;

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
    // True once every started worker has ended (port closed, token given back).
    static bool WaitForWorkersEnded(int timeoutMs);
    // Waits until the simulator has seen count more full poll cycles (counted by their last
    // request, 0x0F) than it had seen when called.
    static bool WaitForCycles(const SimulatedTester& sim, int count, int timeoutMs);

    int window = 0;
};

// Position of the n-th (from 0) occurrence of command in commands, or -1.
int FindCommand(const std::vector<std::string>& commands, const std::string& command, int n = 0);
int CountCommand(const std::vector<std::string>& commands, const std::string& command);
