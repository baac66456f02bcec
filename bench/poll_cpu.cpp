// What polling the tester costs this process: CPU time of the connection worker and the port's
// thread while they poll an idle simulated tester (which runs in its own process), as a share of
// one core. Measured beside it in the same run: a port that is open and reading but not polled,
// which is the cost of the idle one-byte reads with their short time-out alone, and a thread that
// does nothing but sleep 11 ms at a time: the floor under any design that wakes on every empty
// read, whatever it does when awake.
//
// usage: ombrelo-bench-poll [--seconds N]   (N per phase, default 60)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "device/tester_device.h"
#include "measurement/connection_worker.h"
#include "measurement/handshake.h"

extern char** environ;

namespace {

constexpr double kGoalShare = 0.005;  // half a percent of one core
// An empty one-byte read times out after 1 + 10 ms.
constexpr int kIdleReadPeriodMs = 11;

double ProcessCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Simulator {
    pid_t pid = -1;
    int stdinFd = -1;
    int stdoutFd = -1;
    std::string path;
};

bool StartSimulator(Simulator& sim)
{
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    char program[] = OMBRELO_SIM_PATH;
    char* argv[] = {program, nullptr};
    int rc = posix_spawn(&sim.pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    sim.stdinFd = toChild[1];
    sim.stdoutFd = fromChild[0];
    if (rc != 0)
        return false;
    char c;
    pollfd p{sim.stdoutFd, POLLIN, 0};
    while (poll(&p, 1, 5000) > 0 && read(sim.stdoutFd, &c, 1) == 1 && c != '\n')
        sim.path.push_back(c);
    size_t at = sim.path.find("/dev/");
    if (at == std::string::npos)
        return false;
    sim.path = sim.path.substr(at);
    sim.path = sim.path.substr(0, sim.path.find_first_of(" \t\r"));
    return true;
}

void StopSimulator(Simulator& sim)
{
    close(sim.stdinFd);
    if (sim.pid > 0) {
        kill(sim.pid, SIGTERM);
        waitpid(sim.pid, nullptr, 0);
    }
    close(sim.stdoutFd);
}

struct Phase {
    double cpu;
    double wall;
    double Share() const { return wall > 0 ? cpu / wall : 0; }
};

Phase MeasureFor(double seconds)
{
    double cpu0 = ProcessCpuSeconds();
    double wall0 = WallSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return {ProcessCpuSeconds() - cpu0, WallSeconds() - wall0};
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else {
            fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
            return 2;
        }
    }
    if (seconds <= 0)
        seconds = 1;

    Simulator sim;
    if (!StartSimulator(sim)) {
        fprintf(stderr, "cannot start the simulated tester\n");
        return 1;
    }
    std::wstring widePath(sim.path.begin(), sim.path.end());

    // Baseline: the process with nothing running.
    Phase quiet = MeasureFor(seconds < 5 ? seconds : 5);

    // A thread waking every 11 ms and doing nothing else: what the wake-ups alone cost here.
    std::atomic<bool> sleeping{true};
    std::thread sleeper([&sleeping] {
        while (sleeping.load(std::memory_order_relaxed))
            poll(nullptr, 0, kIdleReadPeriodMs);
    });
    Phase bareWakeups = MeasureFor(seconds < 10 ? seconds : 10);
    sleeping.store(false, std::memory_order_relaxed);
    sleeper.join();

    // The port open and reading one byte at a time, nobody polling.
    if (g_testerDevice.Open(widePath.c_str()) != 0) {
        fprintf(stderr, "cannot open %s\n", sim.path.c_str());
        StopSimulator(sim);
        return 1;
    }
    Phase idleReads = MeasureFor(seconds);
    g_testerDevice.Close();

    // The connection worker polling twice a second.
    g_mainWindow = sim.path.data();
    StartConnectionWorker(g_mainWindow);
    for (int i = 0; i < 100 && g_workerRunning.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (g_workerRunning.load() == 0) {
        fprintf(stderr, "the worker did not connect\n");
        StopSimulator(sim);
        return 1;
    }
    Phase polling = MeasureFor(seconds);
    WaitForWorkerExit();
    for (int i = 0; i < 100 && g_workerThreads.load() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    StopSimulator(sim);

    printf("poll CPU benchmark, %.0f s per phase\n", seconds);
    printf("  nothing running        : %8.3f ms CPU in %6.1f s = %.4f %% of one core\n", quiet.cpu * 1e3,
           quiet.wall, quiet.Share() * 100);
    printf("  bare 11 ms wake-ups    : %8.3f ms CPU in %6.1f s = %.4f %% of one core\n", bareWakeups.cpu * 1e3,
           bareWakeups.wall, bareWakeups.Share() * 100);
    printf("  port open, idle reads  : %8.3f ms CPU in %6.1f s = %.4f %% of one core\n", idleReads.cpu * 1e3,
           idleReads.wall, idleReads.Share() * 100);
    printf("  worker polling         : %8.3f ms CPU in %6.1f s = %.4f %% of one core (goal <= %.1f %%)\n",
           polling.cpu * 1e3, polling.wall, polling.Share() * 100, kGoalShare * 100);
    double readsPart = polling.cpu > 0 ? idleReads.Share() / polling.Share() : 0;
    printf("  idle reads' part of polling: %.0f %%\n", readsPart * 100);
    printf("  verdict: %s\n", polling.Share() <= kGoalShare ? "within goal" : "OVER GOAL");
    return 0;
}
