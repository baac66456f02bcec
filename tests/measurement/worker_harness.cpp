// The simulated tester as a child process: started with posix_spawn, its first stdout line read
// for the pty path, stopped by closing its stdin.
#include "tests/measurement/worker_harness.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

const std::vector<std::string> kPlainCycle = {"0b", "0c", "10", "0d", "11", "12", "0e", "0f"};

namespace {

// Reads one line from fd, waiting at most timeoutMs in all.
bool ReadLine(int fd, std::string& line, int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    line.clear();
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        line.push_back(c);
    }
}

}  // namespace

SimulatedTester::~SimulatedTester() { Stop(); }

bool SimulatedTester::Start(const std::vector<std::string>& options)
{
    char logTemplate[] = "/tmp/ombrelo-worker-log-XXXXXX";
    int logFd = mkstemp(logTemplate);
    if (logFd < 0)
        return false;
    close(logFd);
    logPath = logTemplate;

    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0)
        return false;
    if (pipe(fromChild) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return false;
    }
    std::vector<std::string> args = {OMBRELO_SIM_PATH};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("--log");
    args.push_back(logPath);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    stdinFd = toChild[1];
    stdoutFd = fromChild[0];
    if (rc != 0) {
        pid = -1;
        Stop();
        return false;
    }
    if (!ReadLine(stdoutFd, ptyPath, 5000)) {
        Stop();
        return false;
    }
    // The line names the device path; keep just the path.
    size_t at = ptyPath.find("/dev/");
    if (at == std::string::npos)
        return false;
    ptyPath = ptyPath.substr(at);
    ptyPath = ptyPath.substr(0, ptyPath.find_first_of(" \t\r"));
    return true;
}

void SimulatedTester::Stop()
{
    if (stdinFd >= 0) {
        close(stdinFd);
        stdinFd = -1;
    }
    if (pid > 0) {
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 100 && !ended; ++i) {
            ended = waitpid(pid, &status, WNOHANG) == pid;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        pid = -1;
    }
    if (stdoutFd >= 0) {
        close(stdoutFd);
        stdoutFd = -1;
    }
    if (!logPath.empty()) {
        unlink(logPath.c_str());
        logPath.clear();
    }
}

std::vector<std::string> SimulatedTester::ReadLog() const
{
    // Only whole lines: the simulator may be half-way through writing the last one.
    std::vector<std::string> lines;
    std::ifstream in(logPath, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    for (size_t end = all.find('\n'); end != std::string::npos; end = all.find('\n', start)) {
        if (end > start)
            lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return lines;
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
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ReadLog().size() < count) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

#include <algorithm>

#include "measurement/connection_worker.h"
#include "measurement/handshake.h"
#include "tests/stubs/recording_window_ops.h"

void WorkerTest::SetUp()
{
    ASSERT_TRUE(WaitForWorkersEnded(10000)) << "a worker of an earlier test is still running";
    HoldMessageBoxes(false);
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
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (g_workerThreads.load(std::memory_order_acquire) != 0) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool WorkerTest::WaitForCycles(const SimulatedTester& sim, int count, int timeoutMs)
{
    int target = CountCommand(sim.ReadCommands(), "0f") + count;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (CountCommand(sim.ReadCommands(), "0f") < target) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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
