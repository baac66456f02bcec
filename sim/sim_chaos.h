// The simulator's seeded random faults (--chaos): which fault, if any, each reply gets, drawn from
// one std::mt19937 so that a seed names a run, and the log of every fault injected, one line each
// with the monotonic time, so that a soak run can tie each fault to the poll cycles after it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

// How long a hung-up tester stays away before its new terminal appears under the link.
constexpr uint64_t kHangUpPauseMs = 1500;

// Every fault the simulator can put on a reply, by the name the fault log gives it.
enum class ReplyFault : uint8_t {
    None,
    Drop,        // no reply at all
    Late,        // the reply after the host's time-out, and the replies behind it held back
    LateUnordered,  // the reply after the host's time-out, the replies behind it not held back
    Garbage,     // stray bytes before the reply
    BadEnd,      // a wrong end byte
    HugeLength,  // a length above what a frame may carry (and that many bytes)
    Short,       // fewer data bytes than the command's layout needs
    Pad,         // more data bytes than the command's layout has
    HangUp,      // the terminal closes, and comes back under the same link after a pause
};

const char* NameReplyFault(ReplyFault fault);

struct ChaosOptions {
    bool enabled = false;
    uint32_t seed = 0;
    double faultPercent = 4.0;         // share of replies that get one of the faults
    uint32_t hangUpMeanSeconds = 120;  // mean time from a return to the next hang-up; 0: never
    uint32_t stopAfterSeconds = 0;     // faults stop (and the supply turns steady) then; 0: never
};

// The faults of a --chaos run. Draws nothing and injects nothing once stopped.
class ChaosPlan {
public:
    ChaosPlan(const ChaosOptions& options, uint64_t startMs);

    bool Enabled() const { return options.enabled; }
    // True from stopAfterSeconds on, or from StopNow; stays true.
    bool Stopped(uint64_t nowMs);
    void StopNow(uint64_t nowMs);
    // The fault for the next reply to `command`, whose layout needs minLength data bytes. A
    // hang-up is only drawn when hangUpAllowed (the simulator has a stable link to come back at).
    ReplyFault DrawFault(uint16_t minLength, bool hangUpAllowed, uint64_t nowMs);
    // The size of a drawn fault.
    uint32_t DrawLateMs();
    uint32_t DrawShortLength(uint16_t minLength);
    uint32_t DrawPadBytes();
    uint64_t StoppedAtMs() const { return stoppedAtMs; }

private:
    void ScheduleHangUp(uint64_t nowMs);

    ChaosOptions options;
    std::mt19937 random;
    uint64_t stopAtMs;
    uint64_t stoppedAtMs = 0;  // 0 while faults go on
    uint64_t nextHangUpMs = 0; // 0: none scheduled
};

// --fault-log: "<monotonic ms> <fault> <command hex>" per injected fault, flushed at once so a
// killed simulator leaves a whole log.
class FaultLog {
public:
    FaultLog() = default;
    ~FaultLog();
    FaultLog(const FaultLog&) = delete;
    FaultLog& operator=(const FaultLog&) = delete;

    bool Open(const std::string& path);
    void Write(uint64_t nowMs, ReplyFault fault, uint8_t command);

private:
    std::FILE* file = nullptr;
};
