// The reply account of the requesting thread: owed requests, pending frames, learned reply
// lengths, and the pairing of frames with requests that decides which frame a request may take.
#include "device/reply_matcher.h"

#include <algorithm>

#include "device/tester_protocol.h"

namespace {

// The pairing search stops here and decides nothing; real accounts need a few dozen steps.
constexpr uint32_t kMaxSearchSteps = 20000;
// Lengths taken into the search: more than the commands this program sends.
constexpr uint32_t kMaxLearned = 16;

uint16_t MinimumLength(uint8_t command)
{
    const ReplyLayout* layout = FindReplyLayout(command);
    return layout ? layout->minLength : 0;
}

// The length of the present firmware's reply; commands that share it may share a length later.
uint16_t PresentLength(uint8_t command)
{
    const ReplyLayout* layout = FindReplyLayout(command);
    return layout ? layout->sentLength : 0;
}

// The owed requests by command, and the pending frames: every pairing of the two that keeps to
// the account's rules, and which commands each frame is given to across them.
struct PairingSearch {
    struct Group {
        uint8_t command;
        uint32_t count;     // requests owed
        uint32_t used;      // frames given to it in the pairing being built
        uint32_t length;    // their length while used > 0
        int32_t learned;    // -1: not learned
        uint16_t minimum;
        uint16_t present;
        bool waiting;       // the waiting request's command
    };
    struct Learned {
        uint8_t command;
        uint32_t length;
        uint16_t present;
    };

    Group groups[ReplyMatcher::kMaxOwed];
    uint32_t groupCount = 0;
    Learned known[kMaxLearned];
    uint32_t knownCount = 0;
    const uint32_t* lengths = nullptr;
    uint32_t frameCount = 0;
    uint32_t possible[ReplyMatcher::kMaxPending] = {};  // per frame: bit g for group g
    uint32_t chosen[ReplyMatcher::kMaxPending] = {};
    uint32_t pairings = 0;
    uint32_t steps = 0;

    static bool MayShare(uint16_t present, const Group& other)
    {
        return present == other.present;
    }

    bool Fits(const Group& g, uint32_t length) const
    {
        if (g.learned >= 0)
            return length == static_cast<uint32_t>(g.learned);
        if (length < g.minimum)
            return false;
        // An owed command not learned yet does not reply with a length learned for another,
        // unless their present layouts share it. The waiting command may: it is why it waits.
        for (uint32_t k = 0; k < knownCount && !g.waiting; ++k)
            if (known[k].command != g.command && known[k].length == length && known[k].present != g.present)
                return false;
        return true;
    }

    void Search(uint32_t frame)
    {
        if (++steps > kMaxSearchSteps)
            return;
        if (frame == frameCount) {
            ++pairings;
            for (uint32_t f = 0; f < frameCount; ++f)
                possible[f] |= 1u << chosen[f];
            return;
        }
        uint32_t length = lengths[frame];
        for (uint32_t g = 0; g < groupCount; ++g) {
            Group& group = groups[g];
            if (group.used == group.count || !Fits(group, length))
                continue;
            if (group.used > 0 && group.length != length)
                continue;  // one command, one length
            bool clash = false;
            for (uint32_t h = 0; h < groupCount && !clash; ++h) {
                // Two commands share a length only when both are known to.
                clash = h != g && groups[h].used > 0 && groups[h].length == length &&
                        (group.learned < 0 || groups[h].learned < 0) && !MayShare(group.present, groups[h]);
            }
            if (clash)
                continue;
            ++group.used;
            group.length = length;
            chosen[frame] = g;
            Search(frame + 1);
            --group.used;
        }
    }
};

}  // namespace

ReplyMatcher::ReplyMatcher()
    : owed{},
      owedCount(0),
      pending{},
      pendingCount(0),
      learned{},
      command(0),
      sends(0),
      lastNumber(0),
      firstAfterSend(0),
      takeFrame(0),
      strayLength(kLengthLost),
      doubt(false)
{
}

void ReplyMatcher::Reset()
{
    owedCount = 0;
    pendingCount = 0;
    std::fill(std::begin(learned), std::end(learned), uint16_t{0});
    sends = 0;
    takeFrame = 0;
    doubt = false;
}

int32_t ReplyMatcher::LearnedLength(uint8_t which) const
{
    return learned[which] ? learned[which] - 1 : -1;
}

bool ReplyMatcher::Fits(uint8_t which, uint32_t length) const
{
    int32_t known = LearnedLength(which);
    return known >= 0 ? length == static_cast<uint32_t>(known) : length >= MinimumLength(which);
}

void ReplyMatcher::BeginRequest(uint8_t which, uint64_t nowMs)
{
    Forget(nowMs);
    command = which;
    sends = 0;
    takeFrame = 0;
    strayLength = kLengthLost;
    doubt = false;
}

void ReplyMatcher::Sent(uint64_t nowMs)
{
    if (owedCount == kMaxOwed) {
        std::copy(owed + 1, owed + owedCount, owed);
        --owedCount;
    }
    owed[owedCount++] = {command, nowMs};
    if (sends == 0)
        firstAfterSend = lastNumber + 1;
    ++sends;
}

void ReplyMatcher::Forget(uint64_t nowMs)
{
    for (uint32_t i = pendingCount; i-- > 0;)
        if (nowMs - pending[i].arrivedMs > kForgetMs)
            RemovePending(i);
    uint32_t kept = 0;
    bool forgotten = false;
    for (uint32_t i = 0; i < owedCount; ++i) {
        if (nowMs - owed[i].sentMs <= kForgetMs) {
            owed[kept++] = owed[i];
            continue;
        }
        // A pending frame that may have been this request's reply goes with it: paired with
        // another request, it could be taken for that one's.
        forgotten = true;
        for (uint32_t f = pendingCount; f-- > 0;)
            if (pending[f].arrivedMs >= owed[i].sentMs && Fits(owed[i].command, pending[f].length))
                RemovePending(f);
    }
    owedCount = kept;
    if (forgotten && pendingCount > 0 && !Place())
        pendingCount = 0;  // what is left cannot be paired: give it all up
}

void ReplyMatcher::RemovePending(uint32_t index)
{
    std::copy(pending + index + 1, pending + pendingCount, pending + index);
    --pendingCount;
}

void ReplyMatcher::NoteDoubt(uint32_t number)
{
    if (sends > 0 && number >= firstAfterSend)
        doubt = true;
}

void ReplyMatcher::AddFrame(uint32_t number, uint32_t length, uint64_t nowMs)
{
    lastNumber = number;
    Forget(nowMs);
    if (length == kLengthLost) {
        NoteDoubt(number);
        return;
    }
    bool onlyThisRequest = pendingCount == 0 && owedCount > 0 && sends > 0 && number >= firstAfterSend;
    for (uint32_t i = 0; i < owedCount && onlyThisRequest; ++i)
        onlyThisRequest = owed[i].command == command;
    if (onlyThisRequest && !Fits(command, length) && length >= MinimumLength(command)) {
        // Only this request is owed, yet the frame has another length than learned: a one-off
        // longer reply, or the firmware's length has changed. The same length twice says which.
        if (length == strayLength) {
            learned[command] = static_cast<uint16_t>(length + 1);
            Commit(command, number, length);
        } else {
            strayLength = length;
            doubt = true;
        }
        return;
    }
    if (pendingCount == kMaxPending)
        RemovePending(0);
    pending[pendingCount++] = {number, length, nowMs};
    Place();
}

bool ReplyMatcher::Place()
{
    if (pendingCount == 0)
        return true;
    PairingSearch search;
    for (uint32_t i = 0; i < owedCount; ++i) {
        uint32_t g = 0;
        while (g < search.groupCount && search.groups[g].command != owed[i].command)
            ++g;
        if (g == search.groupCount) {
            search.groups[g] = {owed[i].command,
                                0,
                                0,
                                0,
                                LearnedLength(owed[i].command),
                                MinimumLength(owed[i].command),
                                PresentLength(owed[i].command),
                                sends > 0 && owed[i].command == command};
            ++search.groupCount;
        }
        ++search.groups[g].count;
    }
    for (uint32_t c = 0; c < 256; ++c) {
        uint8_t which = static_cast<uint8_t>(c);
        if (learned[which] && search.knownCount < kMaxLearned)
            search.known[search.knownCount++] = {which, learned[which] - 1u, PresentLength(which)};
    }
    uint32_t lengths[kMaxPending];
    for (uint32_t f = 0; f < pendingCount; ++f)
        lengths[f] = pending[f].length;
    search.lengths = lengths;
    search.frameCount = pendingCount;
    search.Search(0);

    if (search.steps > kMaxSearchSteps) {
        // Too many ways to tell: nothing is placed.
        NoteDoubt(pending[pendingCount - 1].number);
        return true;
    }
    if (search.pairings == 0) {
        // The newest frame fits no pairing with the others: a reply whose length a fault changed,
        // or one given up on. It is placed nowhere.
        NoteDoubt(pending[pendingCount - 1].number);
        RemovePending(pendingCount - 1);
        return false;
    }
    uint8_t commands[kMaxPending];
    bool placed[kMaxPending];
    for (uint32_t f = 0; f < pendingCount; ++f) {
        uint32_t bits = search.possible[f];
        placed[f] = (bits & (bits - 1)) == 0;
        for (uint32_t g = 0; g < search.groupCount; ++g)
            if (bits == 1u << g)
                commands[f] = search.groups[g].command;
    }
    Pending frames[kMaxPending];
    uint32_t count = pendingCount;
    std::copy(pending, pending + count, frames);
    pendingCount = 0;
    for (uint32_t f = 0; f < count; ++f) {
        if (placed[f]) {
            Commit(commands[f], frames[f].number, frames[f].length);
        } else {
            pending[pendingCount++] = frames[f];
            NoteDoubt(frames[f].number);
        }
    }
    return true;
}

void ReplyMatcher::Commit(uint8_t which, uint32_t number, uint32_t length)
{
    // The newest request of the command is taken as answered: an older one that is not owed any
    // more (its reply lost) is then forgotten in time rather than handed on from request to request.
    for (uint32_t i = owedCount; i-- > 0;) {
        if (owed[i].command == which) {
            std::copy(owed + i + 1, owed + owedCount, owed + i);
            --owedCount;
            break;
        }
    }
    if (!learned[which])
        learned[which] = static_cast<uint16_t>(length + 1);
    if (sends > 0 && which == command)
        takeFrame = std::max(takeFrame, number);
}

MatchStep ReplyMatcher::Judge(uint64_t lastFrameMs, uint64_t nowMs, uint64_t deadlineMs,
                              uint64_t boundMs, bool mayResend)
{
    if (takeFrame != 0) {
        uint32_t frame = takeFrame;
        takeFrame = 0;
        return {MatchAction::Take, frame, 0};
    }
    if (doubt) {
        uint64_t quietAtMs = lastFrameMs + kQuietMs;
        if (nowMs < quietAtMs && nowMs < boundMs)
            return {MatchAction::Wait, 0, std::min(quietAtMs, boundMs)};
        if (mayResend && sends < 2 && nowMs + kResendReserveMs <= boundMs) {
            doubt = false;
            return {MatchAction::Resend, 0, 0};
        }
    }
    if (nowMs < deadlineMs)
        return {MatchAction::Wait, 0, deadlineMs};
    return {MatchAction::Fail, 0, 0};
}
