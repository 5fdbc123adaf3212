// The judgement of a capture device's lost frames, from its reports and
// the clock.
#include "audio/lossjudge.h"

// The rate is measured from this long after the first frames came (a
// stream's first moments hold its start-up's jitter) ...
static const long long kAnchorAfterNs = 10000000000LL;
// ... once this much time lies between the anchor and the look.
static const long long kMeasureAfterNs = 60000000000LL;

void judgeBegin(LossJudge *j, double rateHz, long bufferFrames, long periodFrames)
{
    j->nominalHz = rateHz;
    j->bufferFrames = bufferFrames;
    j->periodFrames = periodFrames;
    j->rateHz = rateHz;
    j->readTotal = 0;
    j->lostTotal = 0;
    j->anchorNs = -1;
    j->anchorFrames = 0;
    j->firstLookNs = -1;
    j->runStartNs = -1;
    j->runRead = 0;
    j->seenAtNs = -1;
    j->seenReady = 0;
    j->seenDelay = -1;
    j->seenRead = 0;
    j->seenReadTotal = 0;
    j->dropSeen = 0;
    j->gapHeld = 0;
    j->gapLost = 0;
    j->gapLeast = 0;
    j->gapAt = 0;
    j->gapSeenAtNs = -1;
    j->gapReadTotal = 0;
    j->gapReadyThen = 0;
    j->gapFromNs = -1;
    j->gapFromRead = 0;
    j->gapFromReady = 0;
    j->gapFromDelay = -1;
}

long long judgeFramesIn(const LossJudge *j, long long ns)
{
    return (long long)((double)ns * j->rateHz / 1e9 + 0.5);
}

void judgeStarted(LossJudge *j, long long nowNs)
{
    j->runStartNs = nowNs;
    j->runRead = 0;
}

void judgeRead(LossJudge *j, long long frames)
{
    j->readTotal += frames;
    j->runRead += frames;
}

void judgeReadFoundNothing(LossJudge *j) { j->seenAtNs = -1; }

// Whether the device gives its frames in real time, as far as the last
// look tells: one that gave more than the frames of the time since it
// started (at the fastest rate a card runs at), its buffer and a period
// runs faster than real time, as a file does, and time loses it nothing.
static int runsInRealTime(const LossJudge *j)
{
    if (j->runStartNs < 0 || j->seenAtNs < j->runStartNs) return 0;
    double fastest = j->nominalHz * (1.0 + kRateTolerance);
    return (double)(j->seenRead + j->seenReady) <=
           (double)(j->seenAtNs - j->runStartNs) * fastest / 1e9 +
               (double)(j->bufferFrames + j->periodFrames);
}

// The frames the device held unread at the last look, less those read
// since.
static long long unreadSinceLook(const LossJudge *j)
{
    long long unread = j->seenReady - (j->runRead - j->seenRead);
    return unread < 0 ? 0 : unread;
}

// Measures the device's rate from its position (frames read and lost,
// and those it holds) against the clock: once from an anchor taken when
// the stream runs steadily, within what a card's crystal can be off.
static void measureRate(LossJudge *j, long long nowNs, long long ready)
{
    long long position = j->readTotal + j->lostTotal + ready;
    if (j->firstLookNs < 0) {
        if (position > 0) j->firstLookNs = nowNs;
        return;
    }
    if (j->anchorNs < 0) {
        if (nowNs - j->firstLookNs >= kAnchorAfterNs) {
            j->anchorNs = nowNs;
            j->anchorFrames = position;
        }
        return;
    }
    long long ns = nowNs - j->anchorNs;
    if (ns < kMeasureAfterNs) return;
    double rate = (double)(position - j->anchorFrames) * 1e9 / (double)ns;
    double low = j->nominalHz * (1.0 - kRateTolerance);
    double high = j->nominalHz * (1.0 + kRateTolerance);
    j->rateHz = rate < low ? low : rate > high ? high : rate;
}

// Notes the look before a wait that a gap was found in.
static void noteGapFrom(LossJudge *j)
{
    j->gapFromNs = j->seenAtNs;
    j->gapFromRead = j->seenReadTotal;
    j->gapFromReady = j->seenReady;
    j->gapFromDelay = j->seenDelay;
}

long long judgeLooked(LossJudge *j, long long nowNs, long long ready, long long delay)
{
    // From a device whose frames were coming (one that has not begun to
    // send has nothing to drop), with no over-run said: where its position
    // falls short of the clock, it dropped the frames. After a wait longer
    // than its buffer lasts (the program stalled or was stopped) any
    // shortfall counts; after a shorter one only what no card's position
    // lags by, two periods (a plugin whose own thread stops with the
    // program drops what its server sends meanwhile).
    if (j->seenAtNs >= 0 && nowNs >= 0 && !j->gapHeld && j->seenRead + j->seenReady > 0 &&
        runsInRealTime(j)) {
        long long waited = judgeFramesIn(j, nowNs - j->seenAtNs);
        long long lost = unreadSinceLook(j) + waited - ready;
        long long least = waited > j->bufferFrames ? j->periodFrames / 2 : 2 * j->periodFrames;
        if (lost >= least) {
            j->dropSeen = lost;
            j->gapLeast = least;
            noteGapFrom(j);
        }
    }
    j->seenAtNs = nowNs;
    j->seenReady = ready;
    // A delay is plausible from the frames ready up to a buffer more: a
    // plugin whose own thread has not run for a while (the program was
    // stopped) counts that time in it, up to its buffer.
    j->seenDelay = delay >= ready && delay - ready < j->bufferFrames ? delay : -1;
    j->seenRead = j->runRead;
    j->seenReadTotal = j->readTotal;
    if (nowNs >= 0 && !j->gapHeld) measureRate(j, nowNs, ready);
    return j->dropSeen;
}

long long judgeRestarted(LossJudge *j, long long nowNs, long long ready)
{
    long long unread = unreadSinceLook(j);
    long long seenAt = j->seenAtNs;
    int realTime = runsInRealTime(j);
    j->dropSeen = 0;
    judgeStarted(j, nowNs);
    j->seenAtNs = nowNs;
    j->seenReady = ready;
    j->seenDelay = -1;
    j->seenRead = 0;
    j->seenReadTotal = j->readTotal;
    if (!realTime || seenAt < 0 || nowNs < seenAt) return 0;
    long long between = judgeFramesIn(j, nowNs - seenAt);
    // A device over-runs when its buffer fills: one that cannot have filled
    // it in the time (a read failed without an over-run) lost nothing.
    if (unread + between < j->bufferFrames - j->periodFrames) return 0;
    long long lost = unread + between - ready;
    // Less than half a period is within what the clock and the device's
    // own count can tell apart: nothing is taken as lost.
    if (lost < j->periodFrames / 2) return 0;
    j->lostTotal += lost;
    return lost;
}

void judgeHoldGap(LossJudge *j, long long lost, long long nowNs)
{
    j->dropSeen = 0;
    j->gapHeld = 1;
    j->gapLost = lost;
    j->gapAt = j->readTotal + j->seenReady;
    j->gapSeenAtNs = nowNs;
    j->gapReadTotal = j->readTotal;
    j->gapReadyThen = j->seenReady;
}

// The held gap's size from the device's position at the last look against
// the clock since the look before the wait: frames read and its delay
// where both looks have a plausible one (a plugin's delay counts the
// frames on their way, which its ready frames leave out), else the frames
// ready. The size as found when the stream was started again since, or
// the last look cannot be trusted.
static long long settledGap(const LossJudge *j)
{
    if (j->seenAtNs <= j->gapFromNs || j->runStartNs > j->gapFromNs) return j->gapLost;
    int delays = j->seenDelay >= 0 && j->gapFromDelay >= 0;
    long long now = j->seenReadTotal + (delays ? j->seenDelay : j->seenReady);
    long long then = j->gapFromRead + (delays ? j->gapFromDelay : j->gapFromReady);
    return judgeFramesIn(j, j->seenAtNs - j->gapFromNs) - (now - then);
}

GapDecision judgeHeldGap(LossJudge *j, long long nowNs, int force)
{
    if (!j->gapHeld) return kNoGapHeld;
    long long since = nowNs - j->gapSeenAtNs;
    // A device that dropped the frames gives what it held then and what
    // came since; one that kept them gives them too, faster than real time.
    long long inTime = j->gapReadyThen + judgeFramesIn(j, since);
    int caughtUp = j->readTotal - j->gapReadTotal > inTime + j->gapLost / 2;
    if (!caughtUp && !force && since < kGapWatchNs) return kGapUndecided;
    j->gapHeld = 0;
    if (caughtUp) return kGapCaughtUp;
    long long lost = settledGap(j);
    if (lost < j->gapLeast) return kGapCaughtUp;
    j->gapLost = lost;
    j->lostTotal += lost;
    return kGapStands;
}
