// The reply account played through sequences of events on a made-up clock: which frame a request
// takes, when it waits, sends again or fails, and what it leaves owed for the next request.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "device/reply_matcher.h"
#include "device/tester_protocol.h"

namespace {

using A = MatchAction;

// The commands the sequences use, with the length of their replies from the present firmware.
constexpr uint8_t S = kCommandStatus;           // 6
constexpr uint8_t V = kCommandVoltages;         // 15
constexpr uint8_t R = kCommandRipple;           // 13
constexpr uint8_t C = kCommandCurrents;         // 19
constexpr uint8_t T = kCommandTimings;          // 35
constexpr uint8_t G = kCommandReadSettings;     // 19, as currents
constexpr uint8_t P = kCommandSetPower;         // 2, changes the tester

// One event of a sequence, at time t (ms):
//   Begin:   a request for `command` goes out; it must hear its reply within 100 ms and be done
//            within 200
//   Frame:   a frame of `detail` data bytes arrives; frames are numbered from 1
//   Judge:   the waiting request judges; `expect` is what it must decide, `detail` the frame it
//            takes (Take; 0: the newest) or the time it sleeps to at the latest (Wait)
//   Sticky:  as Judge, for a request that changes the tester and may not be sent twice
//   Owed:    `detail` is the number of replies the account still waits for
//   Learned: `command`'s learned reply length is `detail` (-1: none)
//   Reset:   a new connection
enum class E { Begin, Frame, Judge, Sticky, Owed, Learned, Reset };

struct Event {
    E kind;
    uint64_t t;
    A expect = A::Wait;
    uint64_t detail = 0;
    uint8_t command = 0;
};

struct Sequence {
    const char* name;
    std::vector<Event> events;
};

Event Begin(uint64_t t, uint8_t command) { return {E::Begin, t, A::Wait, 0, command}; }
Event Frame(uint64_t t, uint32_t length) { return {E::Frame, t, A::Wait, length}; }
Event Judge(uint64_t t, A expect, uint64_t detail = 0) { return {E::Judge, t, expect, detail}; }
Event Sticky(uint64_t t, A expect, uint64_t detail = 0) { return {E::Sticky, t, expect, detail}; }
Event Owed(uint32_t count) { return {E::Owed, 0, A::Wait, count}; }
Event Learned(uint8_t command, int32_t length) { return {E::Learned, 0, A::Wait, static_cast<uint64_t>(length), command}; }
const Event kReset{E::Reset, 0};

// A request that got nothing at all: it goes out at t and fails at its deadline.
std::vector<Event> Unanswered(uint64_t t, uint8_t command)
{
    return {Begin(t, command), Judge(t + 100, A::Fail)};
}
// A request answered at once, which teaches the account its command's length.
std::vector<Event> Answered(uint64_t t, uint8_t command, uint32_t length)
{
    return {Begin(t, command), Frame(t + 1, length), Judge(t + 1, A::Take)};
}

std::vector<Event> Join(std::initializer_list<std::vector<Event>> parts)
{
    std::vector<Event> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Lengths learned from one exchange each: voltages 15, ripple 13, currents 19, settings 19.
const std::vector<Event> kLearned = Join({Answered(0, V, 15), Answered(5, R, 13), Answered(10, C, 19),
                                          Answered(15, G, 19)});

const Sequence kSequences[] = {
    {"a new connection owes nothing and forgets the lengths: any length the layout allows is a voltages reply again",
     Join({Answered(0, V, 17), {Learned(V, 17)}, Unanswered(2, R),
           {Owed(1), kReset, Owed(0), Learned(V, -1), Begin(200, V), Frame(201, 15), Judge(201, A::Take, 2)}})},
    {"answered at once", {Begin(0, S), Judge(2, A::Wait, 100), Frame(5, 6), Judge(5, A::Take, 1), Owed(0)}},
    {"silent tester: each request stays owed",
     Join({Unanswered(0, S), Unanswered(101, V), {Owed(2)}, Unanswered(202, R), {Owed(3)}})},
    {"a reply too short for any owed request is the waiting one's, lengths unknown or not",
     Join({Unanswered(0, V), {Begin(101, R), Frame(103, 13), Judge(103, A::Take, 1), Owed(1)}})},
    {"replies held back in order, then ours, before any length is known: each placed by length",
     Join({Unanswered(0, V), Unanswered(101, R), Unanswered(202, T),
           {Begin(303, C), Frame(400, 15), Frame(400, 13), Frame(400, 35), Judge(400, A::Wait, 420),
            Frame(401, 19), Judge(401, A::Take, 4), Owed(0)}})},
    {"a missed reply before its length is known: the request goes out again once quiet and takes "
     "the length it gets twice",
     Join({Unanswered(0, V), {Begin(101, R), Frame(103, 22), Judge(103, A::Wait, 123), Judge(123, A::Resend),
                              Frame(126, 22), Judge(126, A::Take, 2), Owed(1)}})},
    {"a late reply between requests is placed, the next reply is taken at once",
     Join({Unanswered(0, V), {Frame(150, 15), Begin(200, R), Owed(1), Frame(203, 13), Judge(203, A::Take, 2)}})},
    {"a late reply of the waiting command is that command's reply; the older request is forgotten",
     Join({Unanswered(0, V), {Begin(600, V), Frame(610, 15), Judge(610, A::Take, 1), Owed(1), Begin(1005, R),
                              Owed(1)}})},
    {"a request that changes the tester is never sent twice: it fails, one of the two replies owed",
     Join({Unanswered(0, V), {Begin(101, P), Frame(103, 15), Sticky(103, A::Wait, 123), Sticky(123, A::Wait, 201),
                              Sticky(201, A::Fail), Owed(1)}})},
    {"a request that changes the tester takes its reply where lengths tell it apart",
     Join({kLearned, Unanswered(20, V), {Begin(121, P), Frame(123, 2), Sticky(123, A::Take, 5), Owed(1)}})},
    {"owed replies are forgotten after 1 s",
     Join({Unanswered(0, V), {Begin(1101, R), Owed(1), Frame(1103, 15), Judge(1103, A::Take, 1)}})},
    {"a reply later than 1 s answers nothing: placed nowhere, nothing learned",
     Join({Unanswered(0, V), {Frame(1150, 15), Owed(0), Learned(V, -1)}})},
    {"a frame left in doubt from before the send is no reason to send again",
     Join({kLearned, Unanswered(20, V), Unanswered(121, S), Unanswered(222, T),
           {Frame(330, 35), Begin(331, R), Frame(333, 15), Judge(354, A::Wait, 431)}})},
    {"but not before", Join({Unanswered(0, V), {Begin(990, R), Owed(2), Frame(995, 15), Judge(995, A::Wait, 1015)}})},
    {"a frame just before the deadline is settled after it",
     Join({Unanswered(0, V), {Begin(101, R), Frame(199, 22), Judge(201, A::Wait, 219), Judge(219, A::Resend),
                              Judge(230, A::Wait, 301), Frame(250, 22), Judge(250, A::Take, 2)}})},
    {"a second frame when nothing more is owed is placed nowhere",
     {Begin(0, S), Frame(3, 6), Frame(4, 6), Judge(4, A::Take, 1), Owed(0)}},
    {"a one-off longer or shorter reply fits no learned length: the request goes out again",
     Join({kLearned, Unanswered(20, V), {Begin(121, R), Frame(123, 16), Owed(2), Judge(143, A::Resend),
                                         Frame(145, 5), Judge(145, A::Wait, 165), Judge(165, A::Wait, 243),
                                         Frame(170, 13), Judge(170, A::Take, 7), Owed(2)}})},
    {"a new length twice over: the firmware's length has changed",
     Join({kLearned, {Begin(20, R), Frame(22, 16), Judge(42, A::Resend), Frame(44, 16), Judge(44, A::Take, 6)}})},
    {"a command never answered does not reply with a length learned for another",
     Join({Answered(0, V, 15), Unanswered(5, S), Unanswered(106, S),
           {Begin(207, V), Frame(208, 15), Judge(208, A::Take, 2)}})},
    {"unless the present firmware's replies to both have that length: the request fails",
     Join({Answered(0, C, 19), Unanswered(5, G), {Begin(106, C), Frame(108, 19), Judge(108, A::Wait, 128),
                                                  Judge(128, A::Resend), Frame(130, 19), Judge(228, A::Fail)}})},
    // Out of order: a reply comes after its request has failed, behind the replies to later ones.
    {"late reply answered after the next one: the next takes its own, the late one is placed",
     Join({kLearned, Unanswered(20, V), {Begin(121, R), Frame(123, 13), Judge(123, A::Take, 5), Frame(250, 15),
                                         Owed(0)}})},
    {"late reply after the next one, lengths unknown: told apart by the second send",
     Join({Unanswered(0, V), {Begin(101, C), Frame(103, 19), Judge(103, A::Wait, 123), Judge(123, A::Resend),
                              Frame(125, 19), Judge(125, A::Take, 2), Frame(250, 15), Owed(0)}})},
    {"two late replies answered after a third",
     Join({kLearned, Unanswered(20, V), Unanswered(121, R),
           {Begin(222, C), Frame(224, 19), Judge(224, A::Take, 5), Frame(300, 13), Frame(301, 15), Owed(0)}})},
    {"a late reply of the same length as the waiting command's: the request fails",
     Join({kLearned, Unanswered(20, G), {Begin(121, C), Frame(123, 19), Judge(123, A::Wait, 143),
                                         Judge(143, A::Resend), Frame(145, 19), Judge(145, A::Wait, 165),
                                         Judge(165, A::Wait, 243), Judge(243, A::Fail), Owed(1)}})},
    {"a padded tester with a late out-of-order reply: learned lengths decide, not the layouts",
     Join({Answered(0, V, 17), Answered(5, R, 15), Unanswered(10, V),
           {Begin(111, R), Frame(113, 15), Judge(113, A::Take, 3), Frame(200, 17), Owed(0)}})},
};

const char* ActionName(A a) { return std::array{"Wait", "Take", "Resend", "Fail"}.at(static_cast<size_t>(a)); }

TEST(ReplyMatcherTest, EventSequences)
{
    for (const Sequence& sequence : kSequences) {
        SCOPED_TRACE(sequence.name);
        ReplyMatcher matcher;
        uint32_t frames = 0;
        uint64_t lastFrameMs = 0;
        uint64_t deadlineMs = 0;
        uint64_t boundMs = 0;
        for (size_t i = 0; i < sequence.events.size(); ++i) {
            const Event& e = sequence.events[i];
            SCOPED_TRACE("event " + std::to_string(i) + " at " + std::to_string(e.t) + " ms");
            switch (e.kind) {
            case E::Begin:
                matcher.BeginRequest(e.command, e.t);
                matcher.Sent(e.t);
                deadlineMs = e.t + 100;
                boundMs = e.t + 200;
                break;
            case E::Frame:
                lastFrameMs = e.t;
                matcher.AddFrame(++frames, static_cast<uint32_t>(e.detail), e.t);
                break;
            case E::Owed: EXPECT_EQ(matcher.OwedReplies(), e.detail); break;
            case E::Learned: EXPECT_EQ(matcher.LearnedLength(e.command), static_cast<int32_t>(e.detail)); break;
            case E::Reset: matcher.Reset(); break;
            case E::Judge:
            case E::Sticky: {
                MatchStep step =
                    matcher.Judge(lastFrameMs, e.t, deadlineMs, boundMs, e.kind == E::Judge);
                ASSERT_STREQ(ActionName(step.action), ActionName(e.expect));
                if (step.action == A::Take) {
                    EXPECT_EQ(step.frame, e.detail ? e.detail : frames);
                } else if (step.action == A::Wait) {
                    EXPECT_EQ(step.wakeAtMs, e.detail);
                } else if (step.action == A::Resend) {
                    matcher.Sent(e.t);
                    deadlineMs = std::min(e.t + 100, boundMs);
                }
                break;
            }
            }
        }
    }
}

// A tester whose replies keep their lengths (padded on some connections) and come at once, not at
// all, late with the replies behind held back, or late and overtaken, played through the account
// for many connections of poll cycles: a request never takes another command's reply, and nearly
// every request whose reply came in time takes one.
TEST(ReplyMatcherTest, ARandomLineNeverGivesARequestAnotherCommandsReply)
{
    const uint8_t kCycle[] = {S, V, R, C, T, kCommandSlewAndSequence, kCommandVoltageMinMax,
                              kCommandCurrentMinMax};
    struct Reply {
        uint64_t dueMs;
        uint8_t command;
        uint32_t length;
    };
    std::mt19937 random(9);
    auto draw = [&](uint32_t below) { return static_cast<uint32_t>(random() % below); };
    uint32_t prompt = 0, taken = 0;
    for (int connection = 0; connection < 300; ++connection) {
        ReplyMatcher matcher;
        uint32_t pad = draw(3) == 0 ? draw(12) : 0;
        std::vector<Reply> line;  // by due time
        std::vector<uint8_t> arrived;
        uint64_t now = 0, orderedMs = 0, lastFrameMs = 0;
        bool answeredInTime = false;
        auto send = [&](uint8_t command) {
            uint32_t fate = draw(100);
            if (fate < 6)
                return;  // dropped
            uint64_t due = now + 1 + draw(3);
            if (fate < 12)
                due = now + 120 + draw(131);
            if (fate >= 12 || fate < 9)
                orderedMs = due = std::max(due, orderedMs);  // behind every reply held back
            answeredInTime = answeredInTime || due < now + 20;
            Reply reply{due, command, FindReplyLayout(command)->sentLength + pad};
            auto at = std::upper_bound(line.begin(), line.end(), due,
                                       [](uint64_t t, const Reply& r) { return t < r.dueMs; });
            line.insert(at, reply);
        };
        auto deliverUntil = [&](uint64_t t) {
            while (!line.empty() && line.front().dueMs <= t) {
                arrived.push_back(line.front().command);
                lastFrameMs = line.front().dueMs;
                matcher.AddFrame(static_cast<uint32_t>(arrived.size()), line.front().length, lastFrameMs);
                line.erase(line.begin());
            }
        };
        for (int request = 0; request < 32; ++request) {
            uint8_t command = kCycle[request % 8];
            SCOPED_TRACE("connection " + std::to_string(connection) + ", request " + std::to_string(request));
            deliverUntil(now);
            matcher.BeginRequest(command, now);
            matcher.Sent(now);
            answeredInTime = false;
            send(command);
            uint64_t deadlineMs = now + 100, boundMs = now + 200;
            for (;;) {
                MatchStep step = matcher.Judge(lastFrameMs, now, deadlineMs, boundMs, true);
                if (step.action == A::Take) {
                    ASSERT_EQ(arrived[step.frame - 1], command) << "took frame " << step.frame;
                    ++taken;
                    break;
                }
                if (step.action == A::Fail)
                    break;
                if (step.action == A::Resend) {
                    matcher.Sent(now);
                    send(command);
                    deadlineMs = std::min(now + 100, boundMs);
                    continue;
                }
                uint64_t next = line.empty() ? step.wakeAtMs : std::min(step.wakeAtMs, line.front().dueMs);
                now = std::max(now + 1, next);
                deliverUntil(now);
            }
            prompt += answeredInTime ? 1 : 0;
            now += 1 + draw(3) + (request % 8 == 7 ? 500 : 0);
        }
    }
    EXPECT_GE(taken, prompt * 95 / 100) << "of " << prompt << " requests answered in time";
}

}  // namespace
