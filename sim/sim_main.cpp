// ombrelo-sim: a simulated tester on a pseudo-terminal, for trying Ombrelo without hardware and
// for the tests. Prints the terminal's device path on its first line of output, then answers
// every request the way the tester does. Options inject the faults a real link can show.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <string>
#include <vector>

#include "ombrelo_version.h"
#include "sim/sim_chaos.h"
#include "sim/simulated_tester.h"

namespace {

constexpr uint32_t kDefaultLateMs = 150;
constexpr uint64_t kRequestStallMs = 200;   // a request cut off this long is forgotten
constexpr uint64_t kStaleOutputMs = 2000;   // output nobody reads is dropped after this
// Bytes that look like the start of frames but are not; none carries a reply marker, so the
// host must resynchronise on the real frame behind them.
constexpr uint8_t kGarbage[] = {0x03, 0xFF, 0x02, 0x41, 0x00, 0x02, 0x02, 0x07, 0x55};
constexpr uint32_t kHugeLength = 4095;
// What --pad appends: fields a newer firmware might add, frame bytes among them, so a host that
// hunts for frame bytes inside the data instead of counting is caught.
constexpr uint8_t kPadPattern[] = {0xA5, 0x02, 0x03, 0xF0, 0x00, 0xFF, 0x5A};
// The longest reply is 81 bytes; padding keeps every frame within the 12-bit length.
constexpr uint32_t kMaxPad = 1024;
constexpr uint64_t kReopenRetryMs = 1000;

// A fault that applies to every reply or to the replies of one command.
struct FaultFilter {
    bool enabled = false;
    int command = -1;  // -1: every command
    bool Matches(uint8_t c) const { return enabled && (command < 0 || command == c); }
};

struct LinkOptions {
    bool silent = false;
    bool echo = false;
    bool ignore[256] = {};
    uint32_t lateMs[256] = {};
    uint32_t lateUnorderedMs[256] = {};
    FaultFilter garbage;
    FaultFilter badEnd;
    FaultFilter hugeLength;
    bool dropOnce[256] = {};
    uint32_t padBytes = 0;
    std::string logPath;
    ChaosOptions chaos;
    std::string linkPath;       // a stable name for the terminal, which a hang-up replaces
    std::string faultLogPath;
    std::string stateFilePath;  // written on SIGUSR1
    std::string stateLogPath;   // a line per reply
};

// What one reply looks like on the line, from the fault options and the chaos draw together.
struct ReplyShape {
    bool drop = false;
    uint32_t lateMs = 0;
    bool unordered = false;  // the replies behind a late one are not held back
    bool garbage = false;
    bool badEnd = false;
    bool hugeLength = false;
    uint32_t padBytes = 0;
    int32_t shortLength = -1;  // data bytes kept, or -1 for all
};

volatile sig_atomic_t g_stopSignal = 0;
volatile sig_atomic_t g_stateRequested = 0;
volatile sig_atomic_t g_chaosStopRequested = 0;

void OnStopSignal(int) { g_stopSignal = 1; }
void OnStateSignal(int) { g_stateRequested = 1; }
void OnChaosStopSignal(int) { g_chaosStopRequested = 1; }

uint64_t NowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void PrintUsage()
{
    std::printf(
        "Usage: ombrelo-sim [options]\n"
        "Simulates the power-supply tester on a pseudo-terminal and prints its device path.\n"
        "Connect Ombrelo (or Wine's COM port link) to that path. Ends on SIGTERM or SIGINT, and\n"
        "when stdin closes if stdin is a pipe or a terminal (the life line of whoever started it);\n"
        "with stdin on /dev/null or a file it runs until it is signalled.\n\n"
        "Tester:\n"
        "  --on                  the supply is on from the start\n"
        "  --steady              readings without noise\n"
        "  --refuse-on           refuse every switch-on (result 2)\n"
        "  --refuse-off          refuse every switch-off (result 1)\n"
        "  --cooling MS          refuse switch-on for MS after a switch-off (default 3000)\n"
        "  --timed-out           the T6 timing of every channel times out\n"
        "  --identity XYZ        three identity letters instead of PSU\n"
        "  --firmware A.B        the two firmware version bytes (default 2.11)\n"
        "  --seed N              noise seed\n"
        "  --rail-offset RAIL:MV add MV (signed) to a rail's voltage while it is live; RAIL is\n"
        "                        12V1, 5V, 3.3V, 12VCPU, 5VSB, 12VPCIe or -12V (the SATA rails\n"
        "                        follow 12V1, 5V and 3.3V); may be given several times\n\n"
        "Faults on the line (CMD is a command byte in hex, e.g. 0c):\n"
        "  --silent              never answer\n"
        "  --ignore CMD          never answer CMD (may be given several times)\n"
        "  --late CMD[:MS]       answer CMD after MS (default 150, past the host's time-out); the\n"
        "                        replies to later requests wait behind it\n"
        "  --late-unordered CMD[:MS]\n"
        "                        the same, but later requests are answered meanwhile: the late\n"
        "                        reply comes after theirs\n"
        "  --garbage[=CMD]       stray bytes before each reply (or CMD's)\n"
        "  --bad-end[=CMD]       wrong end byte on each reply (or CMD's)\n"
        "  --huge-length[=CMD]   announce a length above 4092 (and send that many bytes)\n"
        "  --drop-once CMD       no reply to the first request of CMD; later ones are answered\n"
        "                        (may be given several times)\n"
        "  --pad N               N more data bytes (up to 1024) after every reply's own, counted in\n"
        "                        its length: a newer firmware that added fields\n\n"
        "Random faults, for soak runs:\n"
        "  --chaos SEED          seeded random faults: each reply may be dropped, late (120-250 ms)\n"
        "                        with the replies behind it held back or not, behind garbage, with\n"
        "                        a bad end byte, a huge length, cut short or padded; with --link\n"
        "                        the tester also hangs up now and then\n"
        "  --chaos-rate PERCENT  share of replies with a fault (default 4)\n"
        "  --chaos-hang-up S     mean seconds between hang-ups (default 120; 0: none)\n"
        "  --chaos-stop-after S  no faults after S seconds, and the readings turn steady (SIGUSR2:\n"
        "                        the same at once)\n"
        "  --link PATH           a symbolic link to the terminal, printed instead of its path; a\n"
        "                        hang-up removes it, closes the terminal, and after 1.5 s points it\n"
        "                        at a new terminal\n"
        "  --fault-log FILE      append one line per injected fault: monotonic ms, fault, command\n"
        "  --state-file FILE     on SIGUSR1, write the readings as the host decodes them (JSON)\n"
        "  --state-log FILE      append a JSON line per reply: the values it carries, as the host\n"
        "                        decodes them\n\n"
        "Tools:\n"
        "  --log FILE            append one line per request: command and payload bytes in hex\n"
        "  --echo                echo every byte back instead of playing the tester\n"
        "  --version             print the version and end\n");
}

bool ParseHexByte(const char* text, int& value)
{
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 16);
    if (end == text || (*end != '\0' && *end != ':') || parsed < 0 || parsed > 255)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

// The rails by the names the window shows (without blanks), in the tester's channel order.
constexpr const char* kVoltageChannelNames[kVoltageMinMaxChannels] = {"12V1", "5V",      "3.3V", "12VCPU",
                                                                     "5VSB", "12VPCIe", "-12V"};

bool ParseRailOffset(const char* text, TesterOptions& tester)
{
    const char* colon = std::strrchr(text, ':');
    if (!colon)
        return false;
    std::string rail(text, colon);
    char* end = nullptr;
    long offset = std::strtol(colon + 1, &end, 10);
    if (end == colon + 1 || *end != '\0' || offset < -100000 || offset > 100000)
        return false;
    for (int c = 0; c < kVoltageMinMaxChannels; ++c) {
        if (strcasecmp(rail.c_str(), kVoltageChannelNames[c]) == 0) {
            tester.voltageOffsetMv[c] = static_cast<int32_t>(offset);
            return true;
        }
    }
    return false;
}

bool ParseFilter(const char* arg, const char* name, FaultFilter& filter)
{
    size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0)
        return false;
    if (arg[length] == '\0') {
        filter.enabled = true;
        filter.command = -1;
        return true;
    }
    int command = 0;
    if (arg[length] == '=' && ParseHexByte(arg + length + 1, command)) {
        filter.enabled = true;
        filter.command = command;
        return true;
    }
    return false;
}

// Returns false (after a message) on a bad command line.
bool ParseArguments(int argc, char** argv, TesterOptions& tester, LinkOptions& link, bool& help)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needValue = [&]() {
            if (!value) {
                std::fprintf(stderr, "ombrelo-sim: %s needs a value\n", arg);
                return false;
            }
            ++i;
            return true;
        };
        int command = 0;
        if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) {
            help = true;
        } else if (!std::strcmp(arg, "--on")) {
            tester.startOn = true;
        } else if (!std::strcmp(arg, "--steady")) {
            tester.steady = true;
        } else if (!std::strcmp(arg, "--refuse-on")) {
            tester.refuseOn = true;
        } else if (!std::strcmp(arg, "--refuse-off")) {
            tester.refuseOff = true;
        } else if (!std::strcmp(arg, "--timed-out")) {
            tester.timedOut = true;
        } else if (!std::strcmp(arg, "--cooling") || !std::strcmp(arg, "--seed")) {
            if (!needValue()) return false;
            char* end = nullptr;
            unsigned long number = std::strtoul(value, &end, 10);
            if (end == value || *end != '\0' || value[0] == '-' || number > 0xFFFFFFFFul) {
                std::fprintf(stderr, "ombrelo-sim: %s takes a whole number\n", arg);
                return false;
            }
            (!std::strcmp(arg, "--cooling") ? tester.coolingMs : tester.seed) = static_cast<uint32_t>(number);
        } else if (!std::strcmp(arg, "--identity")) {
            if (!needValue()) return false;
            if (std::strlen(value) != 3) {
                std::fprintf(stderr, "ombrelo-sim: --identity takes three letters\n");
                return false;
            }
            std::memcpy(tester.identity, value, 3);
        } else if (!std::strcmp(arg, "--firmware")) {
            if (!needValue()) return false;
            unsigned first = 0, second = 0;
            if (std::sscanf(value, "%u.%u", &first, &second) != 2 || first > 255 || second > 255) {
                std::fprintf(stderr, "ombrelo-sim: --firmware takes A.B (0 to 255 each)\n");
                return false;
            }
            tester.firmware[0] = static_cast<uint8_t>(first);
            tester.firmware[1] = static_cast<uint8_t>(second);
        } else if (!std::strcmp(arg, "--rail-offset")) {
            if (!needValue()) return false;
            if (!ParseRailOffset(value, tester)) {
                std::fprintf(stderr, "ombrelo-sim: --rail-offset takes RAIL:MV, e.g. 5V:+400\n");
                return false;
            }
        } else if (!std::strcmp(arg, "--silent")) {
            link.silent = true;
        } else if (!std::strcmp(arg, "--echo")) {
            link.echo = true;
        } else if (!std::strcmp(arg, "--ignore")) {
            if (!needValue()) return false;
            if (!ParseHexByte(value, command)) {
                std::fprintf(stderr, "ombrelo-sim: bad command byte '%s'\n", value);
                return false;
            }
            link.ignore[command] = true;
        } else if (!std::strcmp(arg, "--drop-once")) {
            if (!needValue()) return false;
            if (!ParseHexByte(value, command)) {
                std::fprintf(stderr, "ombrelo-sim: bad command byte '%s'\n", value);
                return false;
            }
            link.dropOnce[command] = true;
        } else if (!std::strcmp(arg, "--pad")) {
            if (!needValue()) return false;
            char* end = nullptr;
            unsigned long count = std::strtoul(value, &end, 10);
            if (end == value || *end != '\0' || count > kMaxPad) {
                std::fprintf(stderr, "ombrelo-sim: --pad takes a byte count from 0 to %u\n", kMaxPad);
                return false;
            }
            link.padBytes = static_cast<uint32_t>(count);
        } else if (!std::strcmp(arg, "--late") || !std::strcmp(arg, "--late-unordered")) {
            if (!needValue()) return false;
            if (!ParseHexByte(value, command)) {
                std::fprintf(stderr, "ombrelo-sim: bad command byte '%s'\n", value);
                return false;
            }
            const char* colon = std::strchr(value, ':');
            uint32_t* late = !std::strcmp(arg, "--late") ? link.lateMs : link.lateUnorderedMs;
            late[command] = colon ? static_cast<uint32_t>(std::strtoul(colon + 1, nullptr, 10)) : kDefaultLateMs;
        } else if (!std::strcmp(arg, "--log")) {
            if (!needValue()) return false;
            link.logPath = value;
        } else if (!std::strcmp(arg, "--chaos") || !std::strcmp(arg, "--chaos-hang-up") ||
                   !std::strcmp(arg, "--chaos-stop-after")) {
            if (!needValue()) return false;
            char* end = nullptr;
            unsigned long number = std::strtoul(value, &end, 10);
            if (end == value || *end != '\0' || number > 0xFFFFFFFFul) {
                std::fprintf(stderr, "ombrelo-sim: %s takes a whole number\n", arg);
                return false;
            }
            if (!std::strcmp(arg, "--chaos")) {
                link.chaos.enabled = true;
                link.chaos.seed = static_cast<uint32_t>(number);
            } else if (!std::strcmp(arg, "--chaos-hang-up")) {
                link.chaos.hangUpMeanSeconds = static_cast<uint32_t>(number);
            } else {
                link.chaos.stopAfterSeconds = static_cast<uint32_t>(number);
            }
        } else if (!std::strcmp(arg, "--chaos-rate")) {
            if (!needValue()) return false;
            char* end = nullptr;
            double percent = std::strtod(value, &end);
            if (end == value || *end != '\0' || !(percent >= 0.0 && percent <= 100.0)) {
                std::fprintf(stderr, "ombrelo-sim: --chaos-rate takes a percentage from 0 to 100\n");
                return false;
            }
            link.chaos.faultPercent = percent;
        } else if (!std::strcmp(arg, "--link")) {
            if (!needValue()) return false;
            link.linkPath = value;
        } else if (!std::strcmp(arg, "--fault-log")) {
            if (!needValue()) return false;
            link.faultLogPath = value;
        } else if (!std::strcmp(arg, "--state-file")) {
            if (!needValue()) return false;
            link.stateFilePath = value;
        } else if (!std::strcmp(arg, "--state-log")) {
            if (!needValue()) return false;
            link.stateLogPath = value;
        } else if (ParseFilter(arg, "--garbage", link.garbage) ||
                   ParseFilter(arg, "--bad-end", link.badEnd) ||
                   ParseFilter(arg, "--huge-length", link.hugeLength)) {
            // parsed
        } else {
            std::fprintf(stderr, "ombrelo-sim: unknown option '%s'\n", arg);
            return false;
        }
    }
    return true;
}

// Opens a pseudo-terminal in raw mode. The slave side stays open here as well, so the master
// never sees a hang-up while the host closes and reopens the port (as the port list does).
bool OpenTerminal(int& master, int& slave, std::string& path)
{
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return false;
    const char* name = ptsname(master);
    if (!name)
        return false;
    path = name;
    slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0)
        return false;
    termios mode {};
    if (tcgetattr(slave, &mode) != 0)
        return false;
    cfmakeraw(&mode);
    cfsetispeed(&mode, B115200);
    cfsetospeed(&mode, B115200);
    if (tcsetattr(slave, TCSANOW, &mode) != 0)
        return false;
    int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    return true;
}

// A reply waiting for its time to be sent. Replies leave in the order the requests came.
struct PendingOutput {
    uint64_t dueMs;
    std::vector<uint8_t> bytes;
    size_t sent;
};

class SimulatorLink {
public:
    SimulatorLink(const LinkOptions& link, const TesterOptions& testerOptions, int masterFd, uint64_t now)
        : options(link), tester(testerOptions), master(masterFd), log(nullptr), chaos(link.chaos, now)
    {
        if (!options.logPath.empty())
            log = std::fopen(options.logPath.c_str(), "a");
        if (!options.faultLogPath.empty())
            faultLog.Open(options.faultLogPath);
        if (!options.stateLogPath.empty())
            stateLog = std::fopen(options.stateLogPath.c_str(), "a");
    }
    ~SimulatorLink()
    {
        if (log)
            std::fclose(log);
        if (stateLog)
            std::fclose(stateLog);
    }

    void ReceiveBytes(const uint8_t* data, size_t count, uint64_t now)
    {
        if (options.echo) {
            Queue(std::vector<uint8_t>(data, data + count), now, false);
            return;
        }
        if (requestPosition > 0 && now - lastByteMs > kRequestStallMs)
            requestPosition = 0;
        lastByteMs = now;
        for (size_t i = 0; i < count; ++i)
            ParseRequestByte(data[i], now);
    }

    // A new terminal after a hang-up (or none, -1, while away): what was queued for the old one
    // and any half-read request are gone with it.
    void AttachTerminal(int masterFd)
    {
        master = masterFd;
        outputs.clear();
        orderedDueMs = 0;
        requestPosition = 0;
    }

    // True once after a request drew a hang-up.
    bool TakeHangUp()
    {
        bool requested = hangUpRequested;
        hangUpRequested = false;
        return requested;
    }

    // SIGUSR2: no more faults from now on, and steady readings from the next request.
    void StopChaos(uint64_t now)
    {
        if (chaos.Enabled())
            chaos.StopNow(now);
    }

    // The state for a soak run's last check: the readings as the host decodes them, and since
    // when the faults have stopped (monotonic ms, null while they go on).
    std::string DescribeState(uint64_t now)
    {
        bool stopped = chaos.Enabled() && chaos.Stopped(now);
        std::string out = "{\"steadyMs\":" + std::to_string(now) + ",\"chaosStoppedMs\":" +
                          (stopped ? std::to_string(chaos.StoppedAtMs()) : std::string("null")) +
                          ",\"values\":" + FormatDecodedValuesJson(tester.Values()) + "}\n";
        return out;
    }

    // Writes what is due; returns the time the next output is due (or 0 when none waits).
    uint64_t Flush(uint64_t now)
    {
        if (master < 0) {
            outputs.clear();
            return 0;
        }
        while (!outputs.empty()) {
            PendingOutput& out = outputs.front();
            if (out.dueMs > now)
                return out.dueMs;
            ssize_t written = write(master, out.bytes.data() + out.sent, out.bytes.size() - out.sent);
            if (written < 0) {
                if (errno != EAGAIN && errno != EINTR)
                    outputs.pop_front();
                else if (now - out.dueMs > kStaleOutputMs)
                    outputs.pop_front();  // nobody is reading the port
                else
                    return now + 5;
                continue;
            }
            out.sent += static_cast<size_t>(written);
            if (out.sent == out.bytes.size())
                outputs.pop_front();
        }
        return 0;
    }

private:
    void ParseRequestByte(uint8_t b, uint64_t now)
    {
        // Request: 0x02, LEN, command and LEN - 1 payload bytes, 0x03.
        if (requestPosition == 0) {
            if (b == kFrameStart)
                requestPosition = 1;
            return;
        }
        if (requestPosition == 1) {
            if (b == 0) {
                requestPosition = 0;  // a request always holds its command byte
                return;
            }
            requestLength = b;
            requestBody.clear();
            requestPosition = 2;
            return;
        }
        if (requestBody.size() < requestLength) {
            requestBody.push_back(b);
            return;
        }
        requestPosition = 0;
        if (b != kFrameEnd)
            return;  // not a request: wait for the next start byte
        HandleRequest(requestBody[0], requestBody.data() + 1,
                      static_cast<uint32_t>(requestBody.size() - 1), now);
    }

    void HandleRequest(uint8_t command, const uint8_t* payload, uint32_t payloadLength, uint64_t now)
    {
        if (log) {
            std::fprintf(log, "%02x", command);
            for (uint32_t i = 0; i < payloadLength; ++i)
                std::fprintf(log, " %02x", payload[i]);
            std::fputc('\n', log);
            std::fflush(log);
        }
        if (options.silent || options.ignore[command]) {
            faultLog.Write(now, ReplyFault::Drop, command);
            return;
        }
        if (chaos.Enabled() && chaos.Stopped(now))
            tester.MakeSteady();
        static uint8_t data[kMaxReplyData + 4];
        int32_t length = tester.Answer(command, payload, payloadLength, now, data);
        if (length < 0)
            return;
        LogState(command, now);
        // The tester has acted on the request (a switch, a reset, new settings) whatever happens
        // to its reply from here on.
        ReplyShape shape = ShapeReply(command, now);
        if (hangUpRequested || shape.drop)
            return;
        for (uint32_t i = 0; i < shape.padBytes; ++i)
            data[length++] = kPadPattern[i % sizeof(kPadPattern)];
        if (shape.shortLength >= 0 && shape.shortLength < length)
            length = shape.shortLength;

        std::vector<uint8_t> bytes;
        if (shape.garbage) {
            size_t count = 1 + garbageCount++ % sizeof(kGarbage);
            bytes.insert(bytes.end(), kGarbage, kGarbage + count);
        }
        static uint8_t frame[kHugeLength + 8];
        uint32_t frameLength = 0;
        if (shape.hugeLength) {
            // The reply padded out to a length no host buffer is made for.
            static uint8_t padded[kHugeLength];
            std::memset(padded, 0, sizeof(padded));
            std::memcpy(padded, data, static_cast<size_t>(length));
            frameLength = BuildReplyFrame(padded, kHugeLength, frame);
        } else {
            frameLength = BuildReplyFrame(data, static_cast<uint32_t>(length), frame);
        }
        if (shape.badEnd)
            frame[frameLength - 1] = kFrameEnd + 1;
        bytes.insert(bytes.end(), frame, frame + frameLength);
        Queue(std::move(bytes), now + shape.lateMs, shape.unordered);
    }

    // --state-log: what the reply to `command` reports, whatever becomes of it on the line.
    void LogState(uint8_t command, uint64_t now)
    {
        if (!stateLog)
            return;
        std::string values = FormatDecodedValuesJson(tester.Values(), command);
        if (values == "{}")
            return;  // a reply without readings
        std::fprintf(stateLog, "{\"ms\":%llu,\"command\":\"%02x\",\"values\":%s}\n",
                     static_cast<unsigned long long>(now), command, values.c_str());
        std::fflush(stateLog);
    }

    // The faults of one reply: those the options ask for, and the chaos draw. Each is logged.
    ReplyShape ShapeReply(uint8_t command, uint64_t now)
    {
        ReplyShape shape;
        if (options.dropOnce[command] && !dropped[command]) {
            dropped[command] = true;
            shape.drop = true;
        }
        shape.lateMs = options.lateMs[command];
        if (options.lateUnorderedMs[command] > 0) {
            shape.lateMs = options.lateUnorderedMs[command];
            shape.unordered = true;
        }
        shape.garbage = options.garbage.Matches(command);
        shape.badEnd = options.badEnd.Matches(command);
        shape.hugeLength = options.hugeLength.Matches(command);
        shape.padBytes = options.padBytes;

        const ReplyLayout* layout = FindReplyLayout(command);
        uint16_t minLength = layout ? layout->minLength : 0;
        switch (chaos.DrawFault(minLength, !options.linkPath.empty(), now)) {
        case ReplyFault::None: break;
        case ReplyFault::HangUp:
            hangUpRequested = true;
            faultLog.Write(now, ReplyFault::HangUp, command);
            return shape;
        case ReplyFault::Drop: shape.drop = true; break;
        case ReplyFault::Late: shape.lateMs = chaos.DrawLateMs(); shape.unordered = false; break;
        case ReplyFault::LateUnordered: shape.lateMs = chaos.DrawLateMs(); shape.unordered = true; break;
        case ReplyFault::Garbage: shape.garbage = true; break;
        case ReplyFault::BadEnd: shape.badEnd = true; break;
        case ReplyFault::HugeLength: shape.hugeLength = true; break;
        case ReplyFault::Pad: shape.padBytes = chaos.DrawPadBytes(); break;
        case ReplyFault::Short: shape.shortLength = static_cast<int32_t>(chaos.DrawShortLength(minLength)); break;
        }

        // One line per fault the reply carries, the first that hides the others first.
        if (shape.drop) {
            faultLog.Write(now, ReplyFault::Drop, command);
            return shape;
        }
        if (shape.lateMs > 0)
            faultLog.Write(now, shape.unordered ? ReplyFault::LateUnordered : ReplyFault::Late, command);
        if (shape.garbage) faultLog.Write(now, ReplyFault::Garbage, command);
        if (shape.badEnd) faultLog.Write(now, ReplyFault::BadEnd, command);
        if (shape.hugeLength) faultLog.Write(now, ReplyFault::HugeLength, command);
        if (shape.padBytes > 0) faultLog.Write(now, ReplyFault::Pad, command);
        if (shape.shortLength >= 0) faultLog.Write(now, ReplyFault::Short, command);
        return shape;
    }

    void Queue(std::vector<uint8_t> bytes, uint64_t due, bool unordered)
    {
        // Replies leave in order, none before one held back ahead of it; an unordered late reply
        // holds nothing back and is overtaken by the replies that are due before it.
        if (!unordered) {
            due = std::max(due, orderedDueMs);
            orderedDueMs = due;
        }
        auto at = outputs.end();
        while (at != outputs.begin() && std::prev(at)->dueMs > due && std::prev(at)->sent == 0)
            --at;
        outputs.insert(at, PendingOutput{due, std::move(bytes), 0});
    }

    const LinkOptions& options;
    SimulatedTester tester;
    int master;
    FILE* log;
    FILE* stateLog = nullptr;
    ChaosPlan chaos;
    FaultLog faultLog;
    bool hangUpRequested = false;
    std::deque<PendingOutput> outputs;
    uint64_t orderedDueMs = 0;  // when the last reply that keeps its order leaves
    uint32_t requestPosition = 0;
    uint32_t requestLength = 0;
    std::vector<uint8_t> requestBody;
    uint64_t lastByteMs = 0;
    uint32_t garbageCount = 0;
    bool dropped[256] = {};  // --drop-once: the command's first reply has been withheld
};

// Stdin is the simulator's life line when it is a pipe or a terminal; a background start with
// stdin on /dev/null must not end it at once.
bool ShouldWatchStdin()
{
    struct stat info {};
    if (fstat(STDIN_FILENO, &info) != 0)
        return false;
    return isatty(STDIN_FILENO) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode);
}

void CloseTerminal(int& master, int& slave)
{
    if (slave >= 0)
        close(slave);
    if (master >= 0)
        close(master);
    master = slave = -1;
}

// Points the link at the terminal in one step (a new link renamed over the old), so that a host
// opening the link never finds it half made.
bool PointLink(const std::string& link, const std::string& target)
{
    std::string temporary = link + ".new" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0)
        return false;
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

// The link goes before the terminal closes: while the tester is away the name leads nowhere, not
// to a terminal number that someone else's new terminal may get.
void HangUp(const std::string& link, int& master, int& slave)
{
    if (!link.empty())
        unlink(link.c_str());
    CloseTerminal(master, slave);
}

// Written whole: a reader sees the old state or the new one.
void WriteStateFile(const std::string& path, const std::string& text)
{
    if (path.empty())
        return;
    std::string temporary = path + ".new";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (!file)
        return;
    bool ok = std::fputs(text.c_str(), file) >= 0;
    ok = std::fclose(file) == 0 && ok;
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0)
        unlink(temporary.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (PrintVersionIfAsked(argc, argv, "ombrelo-sim"))
        return 0;
    TesterOptions testerOptions;
    LinkOptions linkOptions;
    bool help = false;
    if (!ParseArguments(argc, argv, testerOptions, linkOptions, help)) {
        // The line above named the problem; the help is one option away.
        std::fputs("Try 'ombrelo-sim --help' for more information.\n", stderr);
        return 2;
    }
    if (help) {
        PrintUsage();
        return 0;
    }

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = OnStateSignal;
    sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = OnChaosStopSignal;
    sigaction(SIGUSR2, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int master = -1, slave = -1;
    std::string path;
    if (!OpenTerminal(master, slave, path)) {
        std::fprintf(stderr, "ombrelo-sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string& linkPath = linkOptions.linkPath;
    if (!linkPath.empty() && !PointLink(linkPath, path)) {
        std::fprintf(stderr, "ombrelo-sim: cannot make the link %s: %s\n", linkPath.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("Simulated tester ready on %s\n", linkPath.empty() ? path.c_str() : linkPath.c_str());
    std::fflush(stdout);

    SimulatorLink link(linkOptions, testerOptions, master, NowMs());
    bool watchStdin = ShouldWatchStdin();
    uint8_t buffer[4096];
    uint64_t backAtMs = 0;  // while hung up: when the new terminal opens
    while (!g_stopSignal) {
        uint64_t now = NowMs();
        if (g_chaosStopRequested) {
            g_chaosStopRequested = 0;
            link.StopChaos(now);
        }
        if (g_stateRequested) {
            g_stateRequested = 0;
            WriteStateFile(linkOptions.stateFilePath, link.DescribeState(now));
        }
        if (link.TakeHangUp()) {
            HangUp(linkPath, master, slave);
            link.AttachTerminal(-1);
            backAtMs = now + kHangUpPauseMs;
        }
        if (master < 0 && now >= backAtMs) {
            if (OpenTerminal(master, slave, path) && PointLink(linkPath, path)) {
                link.AttachTerminal(master);
                std::printf("Simulated tester back on %s (%s)\n", linkPath.c_str(), path.c_str());
                std::fflush(stdout);
            } else {
                std::fprintf(stderr, "ombrelo-sim: cannot reopen the terminal: %s\n", std::strerror(errno));
                CloseTerminal(master, slave);
                backAtMs = now + kReopenRetryMs;
            }
        }
        uint64_t nextDue = link.Flush(now);
        int timeout = 200;
        if (nextDue != 0)
            timeout = static_cast<int>(nextDue > now ? nextDue - now : 0);
        if (master < 0 && backAtMs > now && static_cast<int>(backAtMs - now) < timeout)
            timeout = static_cast<int>(backAtMs - now);
        // While hung up there is no terminal: poll skips a negative descriptor.
        pollfd fds[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int ready = poll(fds, watchStdin ? 2 : 1, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            ssize_t count = read(master, buffer, sizeof(buffer));
            if (count > 0)
                link.ReceiveBytes(buffer, static_cast<size_t>(count), NowMs());
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            usleep(20000);  // no reader on the other side for a moment
        }
        if (watchStdin && (fds[1].revents & (POLLIN | POLLHUP))) {
            ssize_t count = read(STDIN_FILENO, buffer, sizeof(buffer));
            if (count <= 0)
                break;  // stdin closed: whoever started us is gone
        }
    }
    CloseTerminal(master, slave);
    if (!linkPath.empty())
        unlink(linkPath.c_str());
    return 0;
}
