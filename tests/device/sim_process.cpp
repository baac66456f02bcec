// Child-process handling for the simulated tester: spawned with pipes on stdin and stdout, its
// first line read for the terminal path, stopped by closing stdin (SIGKILL if it lingers).
#include "tests/device/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#ifndef OMBRELO_SIM_PATH
#define OMBRELO_SIM_PATH "ombrelo-sim"
#endif

SimProcess::~SimProcess() { Stop(); }

bool SimProcess::Start(const std::vector<std::string>& args, const std::string& program)
{
    Stop();
    std::string path = program.empty() ? std::string(OMBRELO_SIM_PATH) : program;
    std::vector<char*> argv{path.data()};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0)
        return false;
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    pid_t pid = -1;
    bool spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    stdinFd = toChild[1];
    child = spawned ? pid : -1;

    // The first line names the terminal: "... ready on PATH", the terminal or the link to it
    // (--link), or "... /dev/pts/N".
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (spawned && line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd in{fromChild[0], POLLIN, 0};
        if (poll(&in, 1, 100) <= 0)
            continue;
        char buffer[256];
        ssize_t n = read(fromChild[0], buffer, sizeof(buffer));
        if (n <= 0)
            break;
        line.append(buffer, static_cast<size_t>(n));
    }
    close(fromChild[0]);
    size_t at = line.find(" on /");
    at = at == std::string::npos ? line.find("/dev/") : at + 4;
    if (at == std::string::npos) {
        Stop();
        return false;
    }
    devicePath = line.substr(at, line.find_first_of(" \r\n", at) - at);
    return true;
}

void SimProcess::Stop()
{
    if (stdinFd >= 0)
        close(stdinFd);
    stdinFd = -1;
    for (int i = 0; child > 0 && i < 200; ++i) {
        if (waitpid(child, nullptr, WNOHANG) == child)
            child = -1;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        child = -1;
    }
    devicePath.clear();
}

std::vector<std::string> ReadLogLines(const std::string& path)
{
    // Whole lines only: the simulator may be half-way through writing the last one.
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(all.substr(start, end - start));
    return lines;
}

std::string MakeTempPath(const char* stem)
{
    static std::atomic<int> counter{0};
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder && *folder ? folder : "/tmp") + "/" + stem + "-" +
                       std::to_string(getpid()) + "-" + std::to_string(counter++);
    std::remove(path.c_str());
    return path;
}
