// Starts the simulated tester as a child process for tests and benchmarks: its pseudo-terminal's
// path is read from its first line of output; closing its stdin ends it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Runs `program` (default: the simulator this build made) with args; false when it did not
    // report a terminal within a few seconds.
    bool Start(const std::vector<std::string>& args, const std::string& program = "");
    void Stop();
    const std::string& DevicePath() const { return devicePath; }
    pid_t Pid() const { return child; }
    std::wstring WideDevicePath() const { return std::wstring(devicePath.begin(), devicePath.end()); }

private:
    pid_t child = -1;
    int stdinFd = -1;
    std::string devicePath;
};

// The whole lines the simulator's --log wrote so far.
std::vector<std::string> ReadLogLines(const std::string& path);
// A fresh file name under the temporary folder.
std::string MakeTempPath(const char* stem);
