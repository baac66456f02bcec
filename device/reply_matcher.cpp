// The reply account of the requesting thread: owed replies, write-offs between requests, and the
// settling of a doubtful frame by a quiet line and a second send.
#include "device/reply_matcher.h"

#include <algorithm>

ReplyMatcher::ReplyMatcher() : owedReplies(0), owedSinceMs(0), settledCount(0), resent(false) {}

void ReplyMatcher::Reset(uint32_t frameCount)
{
    owedReplies = 0;
    owedSinceMs = 0;
    settledCount = frameCount;
    resent = false;
}

void ReplyMatcher::BeginRequest(uint32_t frameCount, uint64_t nowMs)
{
    owedReplies -= std::min(frameCount - settledCount, owedReplies);
    settledCount = frameCount;
    resent = false;
    if (owedReplies > 0 && nowMs - owedSinceMs > kForgetMs)
        owedReplies = 0;
}

MatchStep ReplyMatcher::Judge(uint32_t frameCount, uint64_t lastFrameMs, uint64_t nowMs,
                              uint64_t deadlineMs, uint64_t boundMs, bool mayResend)
{
    uint32_t arrived = frameCount - settledCount;
    uint64_t quietAtMs = lastFrameMs + kQuietMs;
    if (arrived > owedReplies) {
        // Every owed reply has come, then ours. After a second send a lone frame may be the first
        // send's reply with the second's right behind it: the newer one is taken.
        if (!resent || arrived > 1 || nowMs >= quietAtMs || nowMs >= boundMs)
            return {MatchAction::Take, frameCount, 0};
        return {MatchAction::Wait, 0, std::min(quietAtMs, boundMs)};
    }

    if (arrived > 0) {
        // Fewer frames than owed replies plus ours: the newest may be ours, or a late one with ours
        // still to come. Either way it is not decoded.
        if (nowMs >= quietAtMs) {
            // The held-back replies have all left: nothing more is coming.
            owedReplies = 0;
            settledCount = frameCount;
            if (mayResend && nowMs + kResendReserveMs <= boundMs) {
                resent = true;
                return {MatchAction::Resend, 0, 0};
            }
            return {MatchAction::Fail, 0, 0};
        }
        if (nowMs < boundMs)
            return {MatchAction::Wait, 0, std::min(quietAtMs, boundMs)};
    } else if (nowMs < deadlineMs) {
        return {MatchAction::Wait, 0, deadlineMs};
    }

    // Out of time with the line still busy or silent: the frames that came paid earlier debts
    // first, and this request's reply may yet come.
    owedReplies -= std::min(arrived, owedReplies);
    ++owedReplies;
    owedSinceMs = nowMs;
    settledCount = frameCount;
    return {MatchAction::Fail, 0, 0};
}

void ReplyMatcher::Taken(uint32_t frame)
{
    owedReplies = 0;
    settledCount = frame;
}
