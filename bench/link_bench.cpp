// Link benchmark: the latency of each request/reply exchange through TesterDevice (request handed
// over to reply decoded) against the simulated tester on a pseudo-terminal, beside a plain
// ping-pong of the same bytes with the same simulator over a pseudo-terminal, in the same run.
// Prints median and 99th percentile of both and their ratio.
//
//   ombrelo-bench-link [--rounds N]
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/tester_device.h"
#include "device/tester_protocol.h"
#include "tests/device/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Request {
    const char* name;
    uint8_t command;
    bool (TesterDevice::*read)();
};

// One poll cycle's measurements, in the worker's order, plus status.
const Request kRequests[] = {
    {"status", kCommandStatus, &TesterDevice::ReadStatus},
    {"voltages", kCommandVoltages, &TesterDevice::ReadVoltages},
    {"ripple", kCommandRipple, &TesterDevice::ReadRipple},
    {"currents", kCommandCurrents, &TesterDevice::ReadCurrents},
    {"timings", kCommandTimings, &TesterDevice::ReadTimings},
    {"slew/sequence", kCommandSlewAndSequence, &TesterDevice::ReadSlewAndSequence},
    {"voltage min/max", kCommandVoltageMinMax, &TesterDevice::ReadVoltageMinMax},
    {"current min/max", kCommandCurrentMinMax, &TesterDevice::ReadCurrentMinMax},
};
constexpr size_t kRequestCount = sizeof(kRequests) / sizeof(kRequests[0]);

double Percentile(std::vector<double> samples, double fraction)
{
    if (samples.empty())
        return 0.0;
    std::sort(samples.begin(), samples.end());
    size_t index = static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

double MicrosecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Plain ping-pong: write the request frame, read the whole reply frame with blocking reads.
class PlainLink {
public:
    bool Open(const std::string& path)
    {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0)
            return false;
        termios mode {};
        tcgetattr(fd, &mode);
        cfmakeraw(&mode);
        cfsetispeed(&mode, B115200);
        cfsetospeed(&mode, B115200);
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        return tcsetattr(fd, TCSANOW, &mode) == 0;
    }
    ~PlainLink()
    {
        if (fd >= 0)
            close(fd);
    }
    bool Exchange(uint8_t command, uint32_t replyLength)
    {
        uint8_t frame[kMaxRequestFrame];
        uint32_t length = BuildRequestFrame(command, nullptr, 0, frame);
        if (write(fd, frame, length) != static_cast<ssize_t>(length))
            return false;
        uint8_t reply[128];
        uint32_t want = replyLength + 4, got = 0;
        while (got < want) {
            pollfd in{fd, POLLIN, 0};
            if (poll(&in, 1, 200) <= 0)
                return false;
            ssize_t n = read(fd, reply + got, want - got);
            if (n <= 0)
                return false;
            got += static_cast<uint32_t>(n);
        }
        return reply[0] == kFrameStart && reply[want - 1] == kFrameEnd;
    }

private:
    int fd = -1;
};

void PrintRow(const char* name, const std::vector<double>& device, const std::vector<double>& plain)
{
    double deviceMedian = Percentile(device, 0.5), plainMedian = Percentile(plain, 0.5);
    double deviceP99 = Percentile(device, 0.99), plainP99 = Percentile(plain, 0.99);
    std::printf("%-16s %10.1f %10.1f %10.1f %10.1f %8.2f %8.2f\n", name, deviceMedian, deviceP99,
                plainMedian, plainP99, plainMedian > 0 ? deviceMedian / plainMedian : 0.0,
                plainP99 > 0 ? deviceP99 / plainP99 : 0.0);
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 300;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
    }

    SimProcess sim;
    if (!sim.Start({"--on"})) {
        std::fprintf(stderr, "link bench: the simulated tester did not start\n");
        return 1;
    }

    std::vector<double> deviceSamples[kRequestCount], plainSamples[kRequestCount];
    std::vector<double> deviceAll, plainAll;
    uint32_t failures = 0;

    // TesterDevice first, then the plain link, on the same simulator; the first round of each
    // warms up and is not counted.
    TesterDevice& device = g_testerDevice;
    if (device.Open(sim.WideDevicePath().c_str()) != 0) {
        std::fprintf(stderr, "link bench: cannot open %s\n", sim.DevicePath().c_str());
        return 1;
    }
    for (int round = 0; round < rounds; ++round) {
        for (size_t r = 0; r < kRequestCount; ++r) {
            auto start = Clock::now();
            bool ok = (device.*kRequests[r].read)();
            double us = MicrosecondsSince(start);
            if (!ok) {
                ++failures;
                continue;
            }
            if (round > 0) {
                deviceSamples[r].push_back(us);
                deviceAll.push_back(us);
            }
        }
    }
    device.Close();

    PlainLink plain;
    if (!plain.Open(sim.DevicePath())) {
        std::fprintf(stderr, "link bench: cannot open %s for the plain link\n", sim.DevicePath().c_str());
        return 1;
    }
    for (int round = 0; round < rounds; ++round) {
        for (size_t r = 0; r < kRequestCount; ++r) {
            const ReplyLayout* layout = FindReplyLayout(kRequests[r].command);
            auto start = Clock::now();
            bool ok = plain.Exchange(kRequests[r].command, layout->sentLength);
            double us = MicrosecondsSince(start);
            if (!ok) {
                ++failures;
                continue;
            }
            if (round > 0) {
                plainSamples[r].push_back(us);
                plainAll.push_back(us);
            }
        }
    }

    std::printf("Link latency, request handed over to reply decoded, microseconds (%d rounds)\n", rounds);
    std::printf("%-16s %10s %10s %10s %10s %8s %8s\n", "request", "device p50", "device p99",
                "plain p50", "plain p99", "x p50", "x p99");
    for (size_t r = 0; r < kRequestCount; ++r)
        PrintRow(kRequests[r].name, deviceSamples[r], plainSamples[r]);
    PrintRow("all", deviceAll, plainAll);
    double median = Percentile(deviceAll, 0.5);
    double ratio = Percentile(plainAll, 0.5) > 0 ? median / Percentile(plainAll, 0.5) : 0.0;
    // The link may cost the matcher's and the port thread's work, but not another round trip.
    constexpr double kGoalMedianUs = 300.0;
    constexpr double kGoalRatio = 2.0;
    std::printf("goal: device median <= %.0f us and <= %.0fx plain: median %.1f us (%s), ratio %.2f (%s)\n",
                kGoalMedianUs, kGoalRatio, median, median <= kGoalMedianUs ? "met" : "missed", ratio,
                ratio <= kGoalRatio ? "met" : "missed");
    if (failures > 0)
        std::printf("failed exchanges: %u\n", failures);
    sim.Stop();
    return failures > 0 ? 1 : 0;
}
