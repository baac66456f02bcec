// The simulated tester's own fault options, seen on the raw line as a host sees them: the fixed
// faults of one command (--drop-once, --pad, --garbage, ...), late replies in and out of order,
// the --chaos draws (each reply looks like the fault its log line names, and a seed repeats its
// faults), the hang-up and return under --link, the end of the faults, and the --state-file dump
// that a soak run's last check compares with the host's readings.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "device/tester_protocol.h"
#include "sim/simulated_tester.h"
#include "tests/device/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// Past the host's 100 ms wait: the simulator's late replies come 120 to 250 ms after the request.
constexpr int kLateAfterMs = 110;
// Long enough for any reply of the simulator, late ones included.
constexpr int kReplyWindowMs = 350;

int MsSince(Clock::time_point start)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// What reached the host's side of the terminal within a window after one request.
struct Arrival {
    Bytes bytes;
    int firstByteMs = -1;  // after the request went out
    bool hungUp = false;   // the terminal reported a hang-up or an I/O error
};

struct RawTerminal {
    int fd = -1;
    ~RawTerminal() { Close(); }
    bool Open(const std::string& path)
    {
        Close();
        termios mode{};
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 && tcgetattr(fd, &mode) == 0 && (cfmakeraw(&mode), tcsetattr(fd, TCSANOW, &mode) == 0);
    }
    void Close()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    // Sends one request and collects what arrives within windowMs.
    Arrival Ask(uint8_t command, int windowMs = kReplyWindowMs)
    {
        uint8_t frame[kMaxRequestFrame];
        uint32_t length = BuildRequestFrame(command, nullptr, 0, frame);
        Arrival arrival;
        auto start = Clock::now();
        arrival.hungUp = write(fd, frame, length) != static_cast<ssize_t>(length);
        for (int left = windowMs; !arrival.hungUp && left > 0; left = windowMs - MsSince(start)) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, left) <= 0)
                continue;
            uint8_t buffer[8192];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EAGAIN)
                continue;
            arrival.hungUp = n <= 0;
            if (n > 0 && arrival.firstByteMs < 0)
                arrival.firstByteMs = MsSince(start);
            arrival.bytes.insert(arrival.bytes.end(), buffer, buffer + std::max<ssize_t>(n, 0));
        }
        return arrival;
    }
};

// The first reply frame in what arrived: where its header starts and its announced length.
struct Reply {
    bool found = false, endByteOk = false;
    size_t start = 0;
    uint32_t length = 0;
    Bytes data;
};

Reply FindReply(const Bytes& bytes)
{
    Reply reply;
    for (size_t i = 0; i + 2 < bytes.size() && !reply.found; ++i) {
        if (bytes[i] != kFrameStart || (bytes[i + 2] & 0xF0) != kReplyMarker)
            continue;
        reply = {true, false, i, bytes[i + 1] | (static_cast<uint32_t>(bytes[i + 2] & 0x0F) << 8), {}};
        size_t end = i + kReplyHeaderSize + reply.length;
        if (end < bytes.size()) {
            reply.endByteOk = bytes[end] == kFrameEnd;
            reply.data.assign(bytes.begin() + static_cast<long>(i + kReplyHeaderSize), bytes.begin() + static_cast<long>(end));
        }
    }
    return reply;
}

// The fault a host would say one reply to `command` has; "none" for a clean reply. The shape is
// judged before the time: a busy host may read any reply late, but never turns one into another.
std::string ClassifyArrival(uint8_t command, const Arrival& arrival)
{
    Reply reply = FindReply(arrival.bytes);
    const ReplyLayout* layout = FindReplyLayout(command);
    return arrival.bytes.empty() ? "drop" : !reply.found ? "no frame" : reply.start > 0 ? "garbage"
        : reply.length > kMaxReplyData ? "huge-length" : reply.length < layout->minLength ? "short"
        : reply.length > layout->sentLength ? "pad" : !reply.endByteOk ? "bad-end"
        : arrival.firstByteMs >= kLateAfterMs ? "late" : "none";
}

// A clean reply: on time, or late only because the host read it late. Where a test accepts this,
// the simulator's fault log says whether it sent the reply late.
bool IsCleanReply(const std::string& fault) { return fault == "none" || fault == "late"; }

// The second word of each fault-log line.
Lines ReadFaultClasses(const std::string& path)
{
    Lines classes;
    for (const std::string& line : ReadLogLines(path)) {
        size_t first = line.find(' ');
        classes.push_back(line.substr(first + 1, line.find(' ', first + 1) - first - 1));
    }
    return classes;
}

// A simulator started with args and a fault log, and the host's end of its terminal.
struct Rig {
    SimProcess sim;
    RawTerminal line;
    std::string faults = MakeTempPath("ombrelo-sim-faults"), state = MakeTempPath("ombrelo-sim-state");
    ~Rig()
    {
        std::remove(faults.c_str());
        std::remove(state.c_str());
    }
    bool Start(Lines args)
    {
        args.insert(args.end(), {"--fault-log", faults, "--state-file", state});
        return sim.Start(args) && line.Open(sim.DevicePath());
    }
    // Asks the simulator for its state and waits for the file.
    std::string RequestState()
    {
        std::remove(state.c_str());
        kill(sim.Pid(), SIGUSR1);
        std::string text;
        for (int i = 0; i < 100 && text.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::ifstream in(state, std::ios::binary);
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return text;
    }
};

// Each fixed fault shapes the replies of its command as its log line names, and only those; a
// reply keeps its own data where the tester's own code puts it (a padded one in front of the
// padding, a huge one in front of the zeros).
TEST(SimFaults, EachFixedFaultShapesTheRepliesItNames)
{
    constexpr uint8_t S = kCommandStatus, V = kCommandVoltages;
    const struct {
        Lines args;
        std::vector<std::pair<uint8_t, std::string>> replies;  // request and the fault of its reply
        Lines logged;
    } kCases[] = {
        {{"--drop-once", "0c"}, {{S, "none"}, {V, "drop"}, {S, "none"}, {V, "none"}, {V, "none"}}, {"drop"}},
        {{"--ignore", "0b"}, {{S, "drop"}, {V, "none"}, {S, "drop"}}, {"drop", "drop"}},
        {{"--pad", "9"}, {{S, "pad"}, {kCommandCurrentMinMax, "pad"}, {kCommandResetMinMax, "pad"}}, {"pad", "pad", "pad"}},
        {{"--garbage"}, {{S, "garbage"}, {V, "garbage"}}, {"garbage", "garbage"}},
        {{"--bad-end=0c"}, {{S, "none"}, {V, "bad-end"}}, {"bad-end"}},
        {{"--huge-length=0c"}, {{V, "huge-length"}, {S, "none"}}, {"huge-length"}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.args[0]);
        Rig rig;
        Lines args = {"--on", "--steady"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_TRUE(rig.Start(args));
        TesterOptions options;
        options.steady = options.startOn = true;
        SimulatedTester tester(options);
        for (const auto& [command, expected] : c.replies) {
            SCOPED_TRACE(static_cast<int>(command));
            Arrival arrival = rig.line.Ask(command);
            std::string fault = ClassifyArrival(command, arrival);
            EXPECT_TRUE(fault == expected || (expected == "none" && IsCleanReply(fault))) << fault;
            uint8_t own[kMaxReplyData];
            auto length = static_cast<uint32_t>(tester.Answer(command, nullptr, 0, 0, own));
            Reply reply = FindReply(arrival.bytes);
            EXPECT_EQ(reply.length, fault == "huge-length" || !reply.found ? reply.length : length + (fault == "pad" ? 9 : 0));
            EXPECT_TRUE(reply.data.size() < length || std::equal(own, own + length, reply.data.begin())) << "the reply's own data";
            EXPECT_EQ(reply.endByteOk, reply.found && fault != "bad-end");
        }
        EXPECT_EQ(ReadFaultClasses(rig.faults), c.logged);
    }
}

TEST(SimFaults, ALateReplyHoldsBackTheRepliesBehindItUnlessUnordered)
{
    // Voltages (15 bytes) asked late, status (6) right behind: which reply comes first.
    for (auto [option, firstLength] : {std::pair{"--late", 15u}, {"--late-unordered", 6u}}) {
        SCOPED_TRACE(option);
        Rig rig;
        ASSERT_TRUE(rig.Start({"--on", option, "0c:150"}));
        rig.line.Ask(kCommandVoltages, 0);
        Bytes bytes = rig.line.Ask(kCommandStatus).bytes;
        Reply first = FindReply(bytes);
        ASSERT_TRUE(first.found && first.endByteOk);
        EXPECT_EQ(first.length, firstLength);
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(first.start + first.length + 4));
        Reply second = FindReply(bytes);
        EXPECT_TRUE(second.found && second.endByteOk);
        EXPECT_EQ(second.length, 21 - firstLength) << "both replies come";
    }
}

TEST(SimFaults, EveryChaosReplyLooksLikeTheFaultItsLogNames)
{
    // Every reply gets a fault; no hang-ups (no link). Each line of the fault log must describe
    // exactly what the host received for that request.
    Rig rig;
    ASSERT_TRUE(rig.Start({"--on", "--chaos", "20261206", "--chaos-rate", "100"}));
    const uint8_t kCommands[] = {kCommandStatus, kCommandVoltages, kCommandCurrentMinMax, kCommandTimings, kCommandResetMinMax};
    Lines seen;
    for (int i = 0; i < 28; ++i) seen.push_back(ClassifyArrival(kCommands[i % 5], rig.line.Ask(kCommands[i % 5])));
    Lines logged = ReadFaultClasses(rig.faults);
    for (const char* fault : {"drop", "late", "late-unordered", "garbage", "bad-end", "huge-length", "short", "pad"})
        EXPECT_NE(std::find(logged.begin(), logged.end(), fault), logged.end()) << fault << " never drawn";
    // One request at a time, an unordered late reply looks like any late one (the test above
    // tells them apart).
    std::replace(logged.begin(), logged.end(), std::string("late-unordered"), std::string("late"));
    EXPECT_EQ(seen, logged);
}

TEST(SimFaults, ASeedRepeatsItsFaultsAndTheRateBoundsThem)
{
    // The draws follow the requests, not the clock: the same seed and requests give the same log.
    auto runFaults = [](const std::string& seed, const std::string& rate) {
        Rig rig;
        EXPECT_TRUE(rig.Start({"--on", "--chaos", seed, "--chaos-rate", rate}));
        for (int i = 0; i < 200; ++i) rig.line.Ask(kCommandStatus, 2);
        rig.line.Ask(kCommandStatus, 400);  // the late ones have gone out
        rig.sim.Stop();
        return ReadFaultClasses(rig.faults);
    };
    Lines first = runFaults("7", "10");
    EXPECT_EQ(first, runFaults("7", "10"));
    EXPECT_NE(first, runFaults("8", "10"));
    // 10 % of 201 replies: well inside 4 to 40 for any seed worth keeping.
    EXPECT_TRUE(first.size() >= 4u && first.size() <= 40u) << first.size();
    EXPECT_TRUE(runFaults("7", "0").empty());
}

TEST(SimFaults, HangUpClosesTheTerminalAndComesBackUnderTheLink)
{
    std::string link = MakeTempPath("ombrelo-sim-link");
    Rig rig;
    // The first hang-up comes 2 to 6 s after the start, the next one 3.5 s or more after it.
    ASSERT_TRUE(rig.Start({"--on", "--chaos", "3", "--chaos-rate", "0", "--chaos-hang-up", "4", "--link", link}));
    EXPECT_EQ(rig.sim.DevicePath(), link) << "the link is the path it announces";
    // Until then every reply is clean: the fault log below names the hang-up alone. (What one
    // 100 ms window holds is not judged here: a busy host may split a reply across two.)
    bool hungUp = false;
    for (int i = 0; i < 100 && !hungUp; ++i) hungUp = rig.line.Ask(kCommandStatus, 100).hungUp;
    ASSERT_TRUE(hungUp) << "no hang-up within 10 s";
    rig.line.Close();
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link is gone while the tester is away";
    bool back = false;
    for (int i = 0; i < 60 && !back; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        back = access(link.c_str(), R_OK | W_OK) == 0;
    }
    ASSERT_TRUE(back && rig.line.Open(link)) << "the link did not come back within 3 s";
    Reply answer = FindReply(rig.line.Ask(kCommandStatus).bytes);
    EXPECT_TRUE(answer.found && answer.start == 0 && answer.endByteOk) << "the new terminal answers";
    EXPECT_EQ(ReadFaultClasses(rig.faults), Lines{"hang-up"});
    rig.line.Close();
    rig.sim.Stop();
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link goes with the simulator";
}

TEST(SimFaults, StateFileHoldsTheReadingsAsTheHostDecodesThem)
{
    // Steady, so that the voltages and currents stay what the host last read; every T6 timed out,
    // which the dump gives as null like a value that is not available.
    Rig rig;
    ASSERT_TRUE(rig.Start({"--on", "--steady", "--timed-out"}));
    DeviceReadings readings;
    for (uint8_t command : {kCommandVoltages, kCommandCurrents, kCommandCurrentMinMax, kCommandTimings}) {
        Reply reply = FindReply(rig.line.Ask(command).bytes);
        ASSERT_TRUE(reply.found && reply.endByteOk);
        ASSERT_TRUE(DecodeReply(command, reply.data.data(), reply.length, readings));
    }
    std::string json = rig.RequestState();
    EXPECT_NE(json.find("\"chaosStoppedMs\":null"), std::string::npos) << json;
    // Each array as the host's readings would give it, timed out as null like not available.
    auto expectArray = [&](const char* field, const std::atomic<int32_t>* host, int count) {
        std::string text = "\"" + std::string(field) + "\":[";
        for (int i = 0; i < count; ++i) {
            int32_t value = LoadWord(host[i]);
            text += (i ? "," : "") + (value == kTimedOut || value == kNotAvailable ? "null" : std::to_string(value));
        }
        EXPECT_NE(json.find(text + "]"), std::string::npos) << text << "] in " << json;
    };
    expectArray("voltage", readings.voltage, kChannelCount);
    expectArray("current", readings.current, kChannelCount);
    expectArray("currentMax", readings.currentMax, kChannelCount);
    expectArray("timing", &readings.timing[0][0], kTimedChannels * kTimingsPerChannel);
    EXPECT_EQ(LoadWord(readings.timing[1][3]), kTimedOut) << "the dump's nulls were put to the test";
}

TEST(SimFaults, FaultsStopAfterTheirTimeOrOnSignalAndTheReadingsTurnSteady)
{
    for (bool bySignal : {false, true}) {
        SCOPED_TRACE(bySignal ? "SIGUSR2" : "--chaos-stop-after 1");
        Lines args = {"--on", "--chaos", "9", "--chaos-rate", "100"};
        if (!bySignal)
            args.insert(args.end(), {"--chaos-stop-after", "1"});
        Rig rig;
        ASSERT_TRUE(rig.Start(args));
        EXPECT_NE(ClassifyArrival(kCommandStatus, rig.line.Ask(kCommandStatus)), "none");
        if (bySignal)
            kill(rig.sim.Pid(), SIGUSR2);
        // The first clean reply tells that the faults have stopped (after the second, or in the
        // simulator's next turn after the signal).
        bool clean = false;
        for (int i = 0; i < 20 && !clean; ++i) clean = ClassifyArrival(kCommandStatus, rig.line.Ask(kCommandStatus)) == "none";
        ASSERT_TRUE(clean);
        size_t logged = ReadLogLines(rig.faults).size();
        Bytes first;
        for (int i = 0; i < 4; ++i) {
            Arrival arrival = rig.line.Ask(kCommandVoltages);
            ASSERT_TRUE(IsCleanReply(ClassifyArrival(kCommandVoltages, arrival))) << "request " << i;
            first = i == 0 ? arrival.bytes : first;
            EXPECT_EQ(arrival.bytes, first) << "steady readings do not move";
        }
        EXPECT_EQ(ReadLogLines(rig.faults).size(), logged);
        std::string json = rig.RequestState();
        EXPECT_TRUE(json.find("\"chaosStoppedMs\":") != std::string::npos && json.find("\"chaosStoppedMs\":null") == std::string::npos) << json;
    }
}

}  // namespace
