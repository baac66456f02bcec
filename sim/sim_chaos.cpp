// The --chaos draws and the fault log.
#include "sim/sim_chaos.h"

namespace {

// Past the host's 100 ms reply wait, and short enough that the replies queued behind a late one
// are not all lost with it.
constexpr uint32_t kLateMinMs = 120;
constexpr uint32_t kLateMaxMs = 250;
constexpr uint32_t kPadMaxBytes = 16;

// The faults drawn per reply, Short last; a hang-up is scheduled by time instead.
constexpr ReplyFault kReplyFaults[] = {ReplyFault::Drop,       ReplyFault::Late,   ReplyFault::LateUnordered,
                                       ReplyFault::Garbage,    ReplyFault::BadEnd, ReplyFault::HugeLength,
                                       ReplyFault::Pad,        ReplyFault::Short};
constexpr uint32_t kReplyFaultCount = sizeof(kReplyFaults) / sizeof(kReplyFaults[0]);

}  // namespace

const char* NameReplyFault(ReplyFault fault)
{
    switch (fault) {
    case ReplyFault::None: return "none";
    case ReplyFault::Drop: return "drop";
    case ReplyFault::Late: return "late";
    case ReplyFault::LateUnordered: return "late-unordered";
    case ReplyFault::Garbage: return "garbage";
    case ReplyFault::BadEnd: return "bad-end";
    case ReplyFault::HugeLength: return "huge-length";
    case ReplyFault::Short: return "short";
    case ReplyFault::Pad: return "pad";
    case ReplyFault::HangUp: return "hang-up";
    }
    return "?";
}

ChaosPlan::ChaosPlan(const ChaosOptions& chosen, uint64_t startMs)
    : options(chosen),
      random(chosen.seed),
      stopAtMs(chosen.stopAfterSeconds ? startMs + uint64_t{chosen.stopAfterSeconds} * 1000 : 0)
{
    if (options.enabled)
        ScheduleHangUp(startMs);
}

void ChaosPlan::ScheduleHangUp(uint64_t nowMs)
{
    nextHangUpMs = 0;
    if (options.hangUpMeanSeconds == 0)
        return;
    // Spread around the mean so that hang-ups fall at every point of a poll cycle.
    std::uniform_int_distribution<uint64_t> spread(uint64_t{options.hangUpMeanSeconds} * 500,
                                                   uint64_t{options.hangUpMeanSeconds} * 1500);
    nextHangUpMs = nowMs + spread(random);
}

void ChaosPlan::StopNow(uint64_t nowMs)
{
    if (stoppedAtMs == 0)
        stoppedAtMs = nowMs;
}

bool ChaosPlan::Stopped(uint64_t nowMs)
{
    if (stoppedAtMs == 0 && stopAtMs != 0 && nowMs >= stopAtMs)
        stoppedAtMs = nowMs;
    return stoppedAtMs != 0;
}

ReplyFault ChaosPlan::DrawFault(uint16_t minLength, bool hangUpAllowed, uint64_t nowMs)
{
    if (!options.enabled || Stopped(nowMs))
        return ReplyFault::None;
    if (hangUpAllowed && nextHangUpMs != 0 && nowMs >= nextHangUpMs) {
        // Counted from the return, so that the tester is always back for a while.
        ScheduleHangUp(nowMs + kHangUpPauseMs);
        return ReplyFault::HangUp;
    }
    std::uniform_real_distribution<double> percent(0.0, 100.0);
    if (percent(random) >= options.faultPercent)
        return ReplyFault::None;
    // A reply whose layout needs fewer than two bytes cannot be cut short: the fault is drawn
    // from the others.
    uint32_t count = minLength >= 2 ? kReplyFaultCount : kReplyFaultCount - 1;
    std::uniform_int_distribution<uint32_t> pick(0, count - 1);
    return kReplyFaults[pick(random)];
}

uint32_t ChaosPlan::DrawLateMs()
{
    std::uniform_int_distribution<uint32_t> late(kLateMinMs, kLateMaxMs);
    return late(random);
}

uint32_t ChaosPlan::DrawShortLength(uint16_t minLength)
{
    std::uniform_int_distribution<uint32_t> length(1, minLength > 1 ? minLength - 1u : 1u);
    return length(random);
}

uint32_t ChaosPlan::DrawPadBytes()
{
    std::uniform_int_distribution<uint32_t> pad(1, kPadMaxBytes);
    return pad(random);
}

FaultLog::~FaultLog()
{
    if (file)
        std::fclose(file);
}

bool FaultLog::Open(const std::string& path)
{
    file = std::fopen(path.c_str(), "a");
    return file != nullptr;
}

void FaultLog::Write(uint64_t nowMs, ReplyFault fault, uint8_t command)
{
    if (!file)
        return;
    std::fprintf(file, "%llu %s %02x\n", static_cast<unsigned long long>(nowMs), NameReplyFault(fault), command);
    std::fflush(file);
}
