// Which incoming frame answers the request being made. Replies carry no request number and their
// first data byte is the tester's own, never read, so a frame says nothing of its request but its
// length. A reply may come after its request has timed out, and the replies to later requests may
// come before it. This class keeps the account on the requesting thread; it sees only commands,
// frame lengths and times (the clock is a parameter), so every sequence of events can be played
// through it directly.
//
// The account holds the requests whose replies have not been placed (owed), the frames not placed
// yet (pending), and each command's reply length on this connection, learned from its own replies
// and forgotten on Reset. A request owed for kForgetMs is given up, with the pending frames that
// may have been its reply.
//
// The guarantee: a frame is decoded by the waiting request only when every way of pairing the
// pending frames with the owed requests gives it to a request for the same command. A pairing
// gives each owed request at most one frame and keeps to what is known of the tester:
//   - a command's replies all have one length on a connection (the learned one, once known), never
//     shorter than the least its decoder reads;
//   - two commands reply with different lengths, unless both have been learned to reply with one
//     length, or the present firmware's replies to both have one length: two frames of one length
//     come from one command, and an owed command not learned yet does not reply with a length
//     learned for another (the waiting command may: it has been sent for it).
// A frame that every pairing gives to one command is placed: that command's newest request is no
// longer owed, and the command's length is learned. So where the lengths tell the frames apart,
// the waiting request takes its own reply whatever came before it, and a late reply is placed when
// it comes. A frame that fits no pairing is placed nowhere. When only the waiting command is owed,
// a frame of another length (no shorter than its layout) is its reply only if the request, sent
// again, gets that length once more: the firmware's length has changed.
// Where pairings disagree nothing is decoded: once the line is quiet the request goes out again
// (if it only reads) and the frames of both sends are paired together; when that does not settle
// it, the request fails. A request that changes the tester is never sent twice.
//
// The cases it cannot tell apart, where a request fails rather than guess:
//   - two commands learned to reply with one length, while one of them is owed;
//   - frames that more than one owed command could have sent, before their lengths are learned.
// The cases outside what it knows of the tester, where the guarantee does not hold:
//   - a reply whose length a fault changed (cut short or padded) to that of another owed command;
//   - a reply later than kForgetMs;
//   - two commands whose replies have one length although the present firmware's differ, while
//     one of them is not learned yet.
#pragma once

#include <cstdint>

enum class MatchAction : uint8_t {
    Wait,    // judge again when a frame comes, or at wakeAtMs at the latest
    Take,    // the frame numbered `frame` answers this request (its command's reply)
    Resend,  // the frames that came cannot be told apart: send the request again
    Fail,    // no reply for this request
};

struct MatchStep {
    MatchAction action;
    uint32_t frame;     // Take: the frame's number (as given to AddFrame)
    uint64_t wakeAtMs;  // Wait
};

class ReplyMatcher {
public:
    // How long the line must stay quiet after a doubtful frame before the request goes out again.
    static constexpr uint64_t kQuietMs = 20;
    // A reply owed for longer than this is taken as never coming; a frame pending for longer is
    // given up.
    static constexpr uint64_t kForgetMs = 1000;
    // A request is only sent again when this much of its time is left for the reply.
    static constexpr uint64_t kResendReserveMs = 30;
    // The most requests owed and frames pending kept; the oldest go first.
    static constexpr uint32_t kMaxOwed = 16;
    static constexpr uint32_t kMaxPending = 8;
    // AddFrame's length when the frame's length was lost: it is placed nowhere.
    static constexpr uint32_t kLengthLost = 0xFFFFFFFFu;

    ReplyMatcher();
    // A new connection: nothing owed or pending, no length known.
    void Reset();
    // The request for `command` is the waiting one from now on (before it is sent).
    void BeginRequest(uint8_t command, uint64_t nowMs);
    // The waiting request went out (once more): its reply is owed.
    void Sent(uint64_t nowMs);
    // A frame of `length` data bytes arrived, numbered in order of arrival. Frames that came
    // between requests are given before the next BeginRequest.
    void AddFrame(uint32_t number, uint32_t length, uint64_t nowMs);
    // What the waiting request does now: by deadlineMs it must have heard its reply, and it may
    // take until boundMs to let a doubtful frame settle and send itself again. mayResend: the
    // request only reads, so sending it twice does no harm.
    MatchStep Judge(uint64_t lastFrameMs, uint64_t nowMs, uint64_t deadlineMs, uint64_t boundMs,
                    bool mayResend);

    // Replies still to come: requests not answered by a placed frame (the waiting one's sends
    // among them), less the pending frames, each of which answers one of them.
    uint32_t OwedReplies() const { return owedCount > pendingCount ? owedCount - pendingCount : 0; }
    // The reply length learned for `command` on this connection, or -1.
    int32_t LearnedLength(uint8_t command) const;

private:
    struct Owed {
        uint8_t command;
        uint64_t sentMs;
    };
    struct Pending {
        uint32_t number;
        uint32_t length;
        uint64_t arrivedMs;
    };

    void Forget(uint64_t nowMs);
    void RemovePending(uint32_t index);
    // Pairs the pending frames with the owed requests and places every frame all pairings agree
    // on; the newest frame is dropped when no pairing holds (false then).
    bool Place();
    void Commit(uint8_t command, uint32_t number, uint32_t length);
    bool Fits(uint8_t command, uint32_t length) const;
    void NoteDoubt(uint32_t number);

    Owed owed[kMaxOwed];
    uint32_t owedCount;
    Pending pending[kMaxPending];
    uint32_t pendingCount;
    uint16_t learned[256];  // length + 1; 0: not learned

    // The waiting request.
    uint8_t command;
    uint32_t sends;
    uint32_t lastNumber;      // the newest frame given to AddFrame
    uint32_t firstAfterSend;  // frames from this number on came after the first send
    uint32_t takeFrame;       // a frame placed with this request's command, 0 when none
    uint32_t strayLength;     // a length of this request's frames that fitted nothing, or kLengthLost
    bool doubt;               // since the last send a frame came that was not placed elsewhere
};
