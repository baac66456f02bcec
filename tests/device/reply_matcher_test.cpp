// The reply account played through sequences of events on a made-up clock: which frame a request
// takes, when it waits, sends again or fails, and what it leaves owed for the next request.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device/reply_matcher.h"

namespace {

using A = MatchAction;

// One event of a sequence, at time t (ms):
//   Begin:   a request goes out; it must hear something within 100 ms and be done within 200
//   Frame:   a frame arrives
//   Judge:   the waiting request judges; `expect` is what it must decide, `detail` the frame it
//            takes (Take) or the time it sleeps to at the latest (Wait)
//   Sticky:  as Judge, for a request that changes the tester and may not be sent twice
//   Owed:    `detail` is the number of replies the account holds as owed
enum class E { Begin, Frame, Judge, Sticky, Owed };

struct Event {
    E kind;
    uint64_t t;
    A expect = A::Wait;
    uint64_t detail = 0;
};

struct Sequence {
    const char* name;
    std::vector<Event> events;
};

Event Begin(uint64_t t) { return {E::Begin, t}; }
Event Frame(uint64_t t) { return {E::Frame, t}; }
Event Judge(uint64_t t, A expect, uint64_t detail = 0) { return {E::Judge, t, expect, detail}; }
Event Sticky(uint64_t t, A expect, uint64_t detail = 0) { return {E::Sticky, t, expect, detail}; }
Event Owed(uint32_t count) { return {E::Owed, 0, A::Wait, count}; }

// A request that got nothing at all: it goes out at t and fails at its deadline.
std::vector<Event> Unanswered(uint64_t t) { return {Begin(t), Judge(t + 100, A::Fail)}; }

std::vector<Event> Join(std::initializer_list<std::vector<Event>> parts)
{
    std::vector<Event> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Sequence kSequences[] = {
    {"answered at once", {Begin(0), Judge(2, A::Wait, 100), Frame(5), Judge(5, A::Take, 1), Owed(0)}},
    {"silent tester: each request owes one more reply",
     Join({Unanswered(0), Unanswered(101), {Owed(2)}, Unanswered(202), {Owed(3)}})},
    {"late reply then ours: the newest frame is taken once both have come",
     Join({Unanswered(0), {Begin(101), Frame(150), Judge(150, A::Wait, 170), Frame(151),
                           Judge(151, A::Take, 2), Owed(0)}})},
    // Two replies to the same command, the late one with other values: only frame 2 is decoded,
    // even when the request wakes between them.
    {"same command late: ours follows after a pause",
     Join({Unanswered(0), {Begin(101), Frame(150), Judge(160, A::Wait, 170), Frame(165),
                           Judge(165, A::Take, 2)}})},
    {"late reply between requests is written off, the next reply is taken at once",
     Join({Unanswered(0), {Frame(150), Begin(200), Owed(0), Frame(203), Judge(203, A::Take, 2)}})},
    {"missed reply: the doubtful frame is not decoded, the request goes out again once quiet",
     Join({Unanswered(0), {Begin(101), Frame(103), Judge(103, A::Wait, 123), Judge(123, A::Resend),
                           Owed(0), Frame(126), Judge(126, A::Wait, 146), Judge(146, A::Take, 2),
                           // and the next request is an ordinary exchange again
                           Begin(130), Frame(132), Judge(132, A::Take, 3)}})},
    {"several replies owed arrive in one burst with ours",
     Join({Unanswered(0), Unanswered(101), Unanswered(202),
           {Begin(303), Frame(400), Frame(400), Frame(400), Judge(400, A::Wait, 420), Frame(401),
            Judge(401, A::Take, 4)}})},
    {"several replies owed, some never come: settled by the quiet line",
     Join({Unanswered(0), Unanswered(101), Unanswered(202),
           {Begin(303), Frame(310), Frame(311), Judge(325, A::Wait, 331), Judge(331, A::Resend),
            Frame(334), Judge(354, A::Take, 3), Owed(0)}})},
    {"after a second send, the first send's reply turns up after all: the newer one is taken",
     Join({Unanswered(0), {Begin(101), Frame(103), Judge(123, A::Resend), Frame(140),
                           Judge(140, A::Wait, 160), Frame(150), Judge(150, A::Take, 3), Owed(0)}})},
    {"owed replies are forgotten after 1 s",
     Join({Unanswered(0), {Begin(1101), Owed(0), Frame(1103), Judge(1103, A::Take, 1)}})},
    {"but not before",
     Join({Unanswered(0), {Begin(1100), Owed(1), Frame(1103), Judge(1103, A::Wait, 1123)}})},
    {"a request that changes the tester is never sent twice: it fails, nothing stays owed",
     Join({Unanswered(0), {Begin(101), Frame(103), Sticky(123, A::Fail), Owed(0), Begin(130),
                           Frame(132), Judge(132, A::Take, 2)}})},
    {"a frame just before the deadline is settled after it",
     Join({Unanswered(0), {Begin(101), Frame(199), Judge(201, A::Wait, 219), Judge(219, A::Resend),
                           Judge(230, A::Wait, 301), Frame(250), Judge(260, A::Wait, 270),
                           Judge(270, A::Take, 2)}})},
    {"a lone frame after a second send is taken at the bound",
     Join({Unanswered(0), {Begin(101), Frame(190), Judge(210, A::Resend), Frame(290),
                           Judge(295, A::Wait, 301), Judge(301, A::Take, 2)}})},
    {"a busy line until too late to send again: fail, nothing stays owed",
     Join({Unanswered(0), Unanswered(101), Unanswered(202),
           {Begin(303), Frame(380), Frame(420), Frame(460), Judge(480, A::Fail), Owed(0)}})},
    {"out of time while frames still come: ours may yet come",
     Join({Unanswered(0), Unanswered(101), Unanswered(202),
           {Begin(303), Frame(400), Frame(495), Judge(503, A::Fail), Owed(2), Begin(504), Owed(2),
            Frame(506), Frame(507), Frame(508), Judge(508, A::Take, 5)}})},
    {"more frames than owed: the newest is ours",
     {Begin(0), Frame(3), Frame(4), Judge(4, A::Take, 2), Owed(0)}},
};

const char* ActionName(A a)
{
    switch (a) {
    case A::Wait: return "Wait";
    case A::Take: return "Take";
    case A::Resend: return "Resend";
    case A::Fail: return "Fail";
    }
    return "?";
}

TEST(ReplyMatcherTest, EventSequences)
{
    for (const Sequence& sequence : kSequences) {
        SCOPED_TRACE(sequence.name);
        ReplyMatcher matcher;
        matcher.Reset(0);
        uint32_t frames = 0;
        uint64_t lastFrameMs = 0;
        uint64_t deadlineMs = 0;
        uint64_t boundMs = 0;
        for (size_t i = 0; i < sequence.events.size(); ++i) {
            const Event& e = sequence.events[i];
            SCOPED_TRACE("event " + std::to_string(i) + " at " + std::to_string(e.t) + " ms");
            switch (e.kind) {
            case E::Begin:
                matcher.BeginRequest(frames, e.t);
                deadlineMs = e.t + 100;
                boundMs = e.t + 200;
                break;
            case E::Frame:
                ++frames;
                lastFrameMs = e.t;
                break;
            case E::Owed:
                EXPECT_EQ(matcher.OwedReplies(), e.detail);
                break;
            case E::Judge:
            case E::Sticky: {
                MatchStep step =
                    matcher.Judge(frames, lastFrameMs, e.t, deadlineMs, boundMs, e.kind == E::Judge);
                ASSERT_STREQ(ActionName(step.action), ActionName(e.expect));
                if (step.action == A::Take) {
                    EXPECT_EQ(step.frame, e.detail);
                    matcher.Taken(step.frame);
                }
                if (step.action == A::Resend)
                    deadlineMs = std::min(e.t + 100, boundMs);
                if (step.action == A::Wait) {
                    EXPECT_EQ(step.wakeAtMs, e.detail);
                }
                break;
            }
            }
        }
    }
}

TEST(ReplyMatcherTest, ANewConnectionOwesNothingAndCountsAfresh)
{
    ReplyMatcher matcher;
    matcher.Reset(40);
    matcher.BeginRequest(40, 0);
    ASSERT_EQ(matcher.Judge(40, 0, 100, 100, 200, true).action, A::Fail);
    EXPECT_EQ(matcher.OwedReplies(), 1u);
    // Frames of the old connection counted up to 45; the new one starts there.
    matcher.Reset(45);
    EXPECT_EQ(matcher.OwedReplies(), 0u);
    matcher.BeginRequest(45, 200);
    EXPECT_EQ(matcher.Judge(45, 0, 201, 300, 400, true).action, A::Wait);
    MatchStep step = matcher.Judge(46, 202, 202, 300, 400, true);
    EXPECT_EQ(step.action, A::Take);
    EXPECT_EQ(step.frame, 46u);
}

}  // namespace
