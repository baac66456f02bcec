// Which incoming frame answers the request being made. The tester answers requests in order and
// one by one, but its replies carry no request number: once a request has timed out, its reply may
// still come and must not be taken for a later request's. This class keeps that account on the
// requesting thread. It sees only frame counts and times (the clock is a parameter), so every
// sequence of events can be played through it directly.
//
// The account rests on two facts about the tester: it answers in order, and replies it held back
// leave together, so a reply queued behind a late one follows it within kQuietMs. A frame that may
// be a late answer is therefore never decoded: once the line has gone quiet, whatever was still
// owed has either come or never will, and the request is simply sent again, now with nothing owed.
// A reply to the first send may still turn up after all; the reply to the second follows it
// closely, so after a second send a lone frame is only taken once the line is quiet again.
#pragma once

#include <cstdint>

enum class MatchAction : uint8_t {
    Wait,    // judge again when a frame comes, or at wakeAtMs at the latest
    Take,    // the frame numbered `frame` answers this request
    Resend,  // nothing is owed any more: send the request again and wait for its reply
    Fail,    // no reply for this request
};

struct MatchStep {
    MatchAction action;
    uint32_t frame;     // Take: the frame's number (frames are numbered from 1 as they arrive)
    uint64_t wakeAtMs;  // Wait
};

class ReplyMatcher {
public:
    // How long the line must stay quiet after a frame before the replies owed are settled.
    static constexpr uint64_t kQuietMs = 20;
    // A reply owed for longer than this is taken as never coming.
    static constexpr uint64_t kForgetMs = 1000;
    // A request is only sent again when this much of its time is left for the reply.
    static constexpr uint64_t kResendReserveMs = 30;

    ReplyMatcher();
    // A new connection: nothing is owed, and the frames counted so far belong to the old one.
    void Reset(uint32_t frameCount);
    // Before a request goes out. Frames that came since the last request answered earlier ones;
    // replies owed since more than kForgetMs are forgotten.
    void BeginRequest(uint32_t frameCount, uint64_t nowMs);
    // While the request waits for its reply: by deadlineMs it must have heard something, and it
    // may take until boundMs to settle a doubtful frame and send itself again. mayResend: the
    // request only reads, so sending it twice does no harm. Wait has no effect on the account;
    // Resend and Fail settle it as they say; Take is settled by Taken once the frame is copied.
    MatchStep Judge(uint32_t frameCount, uint64_t lastFrameMs, uint64_t nowMs, uint64_t deadlineMs,
                    uint64_t boundMs, bool mayResend);
    // The frame `frame` was this request's reply: as replies come in order, every earlier reply
    // that has not come never will.
    void Taken(uint32_t frame);

    uint32_t OwedReplies() const { return owedReplies; }

private:
    uint32_t owedReplies;   // replies still owed by the tester for requests that failed
    uint64_t owedSinceMs;   // when the last of them failed
    uint32_t settledCount;  // frames already accounted for
    bool resent;            // this request has gone out a second time
};
