// The simulated tester's own fault options, seen on the raw line as a host sees them: --pad,
// --drop-once, the --chaos draws (each reply looks like the fault its log line names, and a seed
// repeats its faults), the hang-up and return under --link, the end of the faults, and the
// --state-file dump that a soak run's last check compares with the host's readings.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "device/tester_protocol.h"
#include "tests/device/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// Past the host's 100 ms wait: the simulator's late replies come 120 to 250 ms after the request.
constexpr int kLateAfterMs = 110;
// Long enough for any reply of the simulator, late ones included.
constexpr int kReplyWindowMs = 350;

// What reached the host's side of the terminal within a window after one request.
struct Arrival {
    std::vector<uint8_t> bytes;
    int firstByteMs = -1;  // after the request went out
    bool hungUp = false;   // the terminal reported a hang-up or an I/O error
};

class RawTerminal {
public:
    ~RawTerminal() { Close(); }
    bool Open(const std::string& path)
    {
        Close();
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            return false;
        termios mode {};
        if (tcgetattr(fd, &mode) != 0)
            return false;
        cfmakeraw(&mode);
        return tcsetattr(fd, TCSANOW, &mode) == 0;
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
        if (write(fd, frame, length) != static_cast<ssize_t>(length)) {
            arrival.hungUp = true;
            return arrival;
        }
        auto end = start + std::chrono::milliseconds(windowMs);
        for (auto now = start; now < end; now = Clock::now()) {
            pollfd p{fd, POLLIN, 0};
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count());
            if (poll(&p, 1, left < 1 ? 1 : left) <= 0)
                continue;
            uint8_t buffer[8192];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                if (n < 0 && errno == EAGAIN)
                    continue;
                arrival.hungUp = true;
                break;
            }
            if (arrival.firstByteMs < 0)
                arrival.firstByteMs = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
            arrival.bytes.insert(arrival.bytes.end(), buffer, buffer + n);
        }
        return arrival;
    }

private:
    int fd = -1;
};

// One reply frame found in what arrived: where its header starts and its announced length.
struct Reply {
    bool found = false;
    size_t start = 0;
    uint32_t length = 0;
    bool endByteOk = false;
    std::vector<uint8_t> data;
};

Reply FindReply(const std::vector<uint8_t>& bytes)
{
    Reply reply;
    for (size_t i = 0; i + 2 < bytes.size(); ++i) {
        if (bytes[i] != kFrameStart || (bytes[i + 2] & 0xF0) != kReplyMarker)
            continue;
        reply.found = true;
        reply.start = i;
        reply.length = bytes[i + 1] | (static_cast<uint32_t>(bytes[i + 2] & 0x0F) << 8);
        size_t end = i + kReplyHeaderSize + reply.length;
        if (end < bytes.size()) {
            reply.endByteOk = bytes[end] == kFrameEnd;
            reply.data.assign(bytes.begin() + static_cast<long>(i + kReplyHeaderSize),
                              bytes.begin() + static_cast<long>(end));
        }
        return reply;
    }
    return reply;
}

// The fault a host would say one reply to `command` has; "none" for a clean reply. The shape is
// judged before the time: a busy host may read any reply late, but never turns one into another.
std::string ClassifyArrival(uint8_t command, const Arrival& arrival)
{
    if (arrival.bytes.empty())
        return "drop";
    Reply reply = FindReply(arrival.bytes);
    if (!reply.found)
        return "no frame";
    if (reply.start > 0)
        return "garbage";
    if (reply.length > kMaxReplyData)
        return "huge-length";
    const ReplyLayout* layout = FindReplyLayout(command);
    if (reply.length < layout->minLength)
        return "short";
    if (reply.length > layout->sentLength)
        return "pad";
    if (!reply.endByteOk)
        return "bad-end";
    return arrival.firstByteMs >= kLateAfterMs ? "late" : "none";
}

// A clean reply: on time, or late only because the host read it late. Where a test accepts this,
// the simulator's fault log says whether it sent the reply late.
bool IsCleanReply(const std::string& fault) { return fault == "none" || fault == "late"; }

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The second word of each fault-log line.
std::vector<std::string> ReadFaultClasses(const std::string& path)
{
    std::vector<std::string> classes;
    for (const std::string& line : ReadLogLines(path)) {
        size_t first = line.find(' ');
        size_t second = line.find(' ', first + 1);
        classes.push_back(line.substr(first + 1, second - first - 1));
    }
    return classes;
}

// The numbers of one array of a --state-file dump; kNotAvailable for null.
std::vector<int32_t> ReadStateArray(const std::string& json, const std::string& field)
{
    std::vector<int32_t> values;
    size_t at = json.find("\"" + field + "\":[");
    if (at == std::string::npos)
        return values;
    const char* p = json.c_str() + at + field.size() + 4;
    while (*p && *p != ']') {
        if (!std::strncmp(p, "null", 4)) {
            values.push_back(kNotAvailable);
            p += 4;
        } else {
            char* end = nullptr;
            values.push_back(static_cast<int32_t>(std::strtol(p, &end, 10)));
            p = end;
        }
        if (*p == ',')
            ++p;
    }
    return values;
}

// Asks the simulator for its state and waits for the file.
std::string RequestState(const SimProcess& sim, const std::string& path)
{
    std::remove(path.c_str());
    kill(sim.Pid(), SIGUSR1);
    for (int i = 0; i < 100; ++i) {
        std::string text = ReadFile(path);
        if (!text.empty())
            return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "";
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
    bool Start(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--fault-log", faults, "--state-file", state});
        return sim.Start(args) && line.Open(sim.DevicePath());
    }
};

TEST(SimFaults, PadLengthensEveryReplyBehindItsOwnData)
{
    Rig a, b;
    ASSERT_TRUE(a.Start({"--on", "--steady"}));
    ASSERT_TRUE(b.Start({"--on", "--steady", "--pad", "9"}));
    for (uint8_t command : {kCommandStatus, kCommandCurrentMinMax, kCommandResetMinMax}) {
        SCOPED_TRACE(static_cast<int>(command));
        Reply own = FindReply(a.line.Ask(command).bytes);
        Reply longer = FindReply(b.line.Ask(command).bytes);
        ASSERT_TRUE(own.found && longer.found);
        EXPECT_TRUE(longer.endByteOk);
        EXPECT_EQ(longer.length, own.length + 9) << "the padding is counted in the length";
        ASSERT_EQ(longer.data.size(), own.length + 9u);
        EXPECT_TRUE(std::equal(own.data.begin(), own.data.end(), longer.data.begin()))
            << "the reply's own fields keep their positions";
    }
}

TEST(SimFaults, DropOnceWithholdsOnlyTheFirstReplyToItsCommand)
{
    Rig rig;
    ASSERT_TRUE(rig.Start({"--on", "--drop-once", "0c"}));
    const struct {
        uint8_t command;
        const char* expected;
    } kSteps[] = {{kCommandStatus, "none"},
                  {kCommandVoltages, "drop"},
                  {kCommandStatus, "none"},
                  {kCommandVoltages, "none"},
                  {kCommandVoltages, "none"}};
    for (const auto& step : kSteps) {
        std::string fault = ClassifyArrival(step.command, rig.line.Ask(step.command));
        if (std::string(step.expected) == "none")
            EXPECT_TRUE(IsCleanReply(fault)) << "command " << static_cast<int>(step.command) << ": " << fault;
        else
            EXPECT_EQ(fault, step.expected) << "command " << static_cast<int>(step.command);
    }
    EXPECT_EQ(ReadFaultClasses(rig.faults), std::vector<std::string>{"drop"});
}

TEST(SimFaults, ALateReplyHoldsBackTheRepliesBehindItUnlessUnordered)
{
    // Voltages (15 bytes) asked late, status (6) right behind: which reply comes first.
    const struct {
        const char* option;
        uint32_t firstLength;
    } kCases[] = {{"--late", 15}, {"--late-unordered", 6}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.option);
        Rig rig;
        ASSERT_TRUE(rig.Start({"--on", c.option, "0c:150"}));
        rig.line.Ask(kCommandVoltages, 0);
        std::vector<uint8_t> bytes = rig.line.Ask(kCommandStatus).bytes;
        Reply first = FindReply(bytes);
        ASSERT_TRUE(first.found && first.endByteOk);
        EXPECT_EQ(first.length, c.firstLength);
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(first.start + first.length + 4));
        Reply second = FindReply(bytes);
        EXPECT_TRUE(second.found && second.endByteOk);
        EXPECT_EQ(second.length, 21 - c.firstLength) << "both replies come";
    }
}

TEST(SimFaults, EveryChaosReplyLooksLikeTheFaultItsLogNames)
{
    // Every reply gets a fault; no hang-ups (no link). Each line of the fault log must describe
    // exactly what the host received for that request.
    Rig rig;
    ASSERT_TRUE(rig.Start({"--on", "--chaos", "20261206", "--chaos-rate", "100"}));
    const uint8_t kCommands[] = {kCommandStatus, kCommandVoltages, kCommandCurrentMinMax, kCommandTimings,
                                 kCommandResetMinMax};
    std::vector<std::string> seen;
    for (int i = 0; i < 28; ++i) {
        uint8_t command = kCommands[i % 5];
        seen.push_back(ClassifyArrival(command, rig.line.Ask(command)));
    }
    std::vector<std::string> logged = ReadFaultClasses(rig.faults);
    for (const char* fault : {"drop", "late", "late-unordered", "garbage", "bad-end", "huge-length", "short", "pad"})
        EXPECT_NE(std::find(logged.begin(), logged.end(), fault), logged.end()) << fault << " never drawn";
    // One request at a time, an unordered late reply looks like any late one (the next test tells
    // them apart).
    std::replace(logged.begin(), logged.end(), std::string("late-unordered"), std::string("late"));
    EXPECT_EQ(seen, logged);
}

TEST(SimFaults, ASeedRepeatsItsFaultsAndTheRateBoundsThem)
{
    // The draws follow the requests, not the clock: the same seed and requests give the same log.
    auto runFaults = [](const std::string& seed, const std::string& rate) {
        Rig rig;
        EXPECT_TRUE(rig.Start({"--on", "--chaos", seed, "--chaos-rate", rate}));
        for (int i = 0; i < 200; ++i)
            rig.line.Ask(kCommandStatus, 2);
        rig.line.Ask(kCommandStatus, 400);  // the late ones have gone out
        rig.sim.Stop();
        return ReadFaultClasses(rig.faults);
    };
    std::vector<std::string> first = runFaults("7", "10");
    EXPECT_EQ(first, runFaults("7", "10"));
    EXPECT_NE(first, runFaults("8", "10"));
    // 10 % of 201 replies: well inside 4 to 40 for any seed worth keeping.
    EXPECT_GE(first.size(), 4u);
    EXPECT_LE(first.size(), 40u);
    EXPECT_TRUE(runFaults("7", "0").empty());
}

TEST(SimFaults, HangUpClosesTheTerminalAndComesBackUnderTheLink)
{
    std::string link = MakeTempPath("ombrelo-sim-link");
    Rig rig;
    RawTerminal& line = rig.line;
    // The first hang-up comes 2 to 6 s after the start, the next one 3.5 s or more after it.
    ASSERT_TRUE(rig.Start({"--on", "--chaos", "3", "--chaos-rate", "0", "--chaos-hang-up", "4", "--link", link}));
    EXPECT_EQ(rig.sim.DevicePath(), link) << "the link is the path it announces";
    // Until then every reply is clean: the fault log below names the hang-up alone. (What one
    // 100 ms window holds is not judged here: a busy host may split a reply across two.)
    bool hungUp = false;
    for (int i = 0; i < 100 && !hungUp; ++i)
        hungUp = line.Ask(kCommandStatus, 100).hungUp;
    ASSERT_TRUE(hungUp) << "no hang-up within 10 s";
    line.Close();
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link is gone while the tester is away";

    bool back = false;
    for (int i = 0; i < 60 && !back; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        back = access(link.c_str(), R_OK | W_OK) == 0;
    }
    ASSERT_TRUE(back) << "the link did not come back within 3 s";
    ASSERT_TRUE(line.Open(link));
    Reply answer = FindReply(line.Ask(kCommandStatus).bytes);
    EXPECT_TRUE(answer.found && answer.start == 0 && answer.endByteOk) << "the new terminal answers";
    EXPECT_EQ(ReadFaultClasses(rig.faults), std::vector<std::string>{"hang-up"});
    line.Close();
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
    std::string json = RequestState(rig.sim, rig.state);
    ASSERT_FALSE(json.empty());
    EXPECT_NE(json.find("\"chaosStoppedMs\":null"), std::string::npos) << json;
    auto expectArray = [&](const char* field, const std::atomic<int32_t>* host, int count) {
        std::vector<int32_t> dumped = ReadStateArray(json, field);
        ASSERT_EQ(dumped.size(), static_cast<size_t>(count)) << field;
        for (int i = 0; i < count; ++i) {
            int32_t decoded = LoadWord(host[i]);
            EXPECT_EQ(dumped[i], decoded == kTimedOut ? kNotAvailable : decoded) << field << " " << i;
        }
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
        std::vector<std::string> args = {"--on", "--chaos", "9", "--chaos-rate", "100"};
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
        std::vector<uint8_t> first;
        for (int i = 0; i < 4; ++i) {
            Arrival arrival = rig.line.Ask(kCommandVoltages);
            std::string fault = ClassifyArrival(kCommandVoltages, arrival);
            ASSERT_TRUE(IsCleanReply(fault)) << "request " << i << ": " << fault;
            if (i == 0)
                first = arrival.bytes;
            EXPECT_EQ(arrival.bytes, first) << "steady readings do not move";
        }
        EXPECT_EQ(ReadLogLines(rig.faults).size(), logged);
        std::string json = RequestState(rig.sim, rig.state);
        EXPECT_EQ(json.find("\"chaosStoppedMs\":null"), std::string::npos) << json;
        EXPECT_NE(json.find("\"chaosStoppedMs\":"), std::string::npos) << json;
    }
}

}  // namespace
