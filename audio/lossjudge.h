// Whether a capture device lost frames, and how many: judged from what the
// device reports (the frames it holds ready when asked, the frames read,
// its over-runs and restarts) and the clock, with no device in it, so
// that a table of timelines can hold it to account.
//
// A card's frames come in real time, at its own rate: the rate asked for,
// give or take the few hundred parts per million its crystal is off the
// system clock. That rate is measured over the take (the device's
// position against the clock), so hours of drift neither hide a loss nor
// make one. A device whose frames come faster than real time (a file, the
// virtual card) loses nothing by time, and nothing is counted for it.
//
// Frames are lost three ways:
// - an over-run or a suspend, which the device says: the frames it held
//   unread when last asked, and every frame that came until it ran again;
// - frames it drops without saying so (PipeWire's plugin does, when the
//   program stalls or is stopped): after a wait longer than its buffer
//   lasts, its position falls short of the clock;
// - never by a sound server that kept the frames across a stop and sends
//   them faster than real time: a loss of the second kind is held until
//   the frames after it tell which it was.
#ifndef TUNEVAT_AUDIO_LOSSJUDGE_H
#define TUNEVAT_AUDIO_LOSSJUDGE_H

// How far a card's rate may be off the rate asked for: a tenth of a
// percent is several times what crystals are off by, and far below what a
// device faster than real time runs at.
const double kRateTolerance = 0.001;
// How long the frames after a gap a device may have dropped unsaid are
// watched before the gap counts: a server that kept the frames sends them
// faster than real time well within it.
const long long kGapWatchNs = 250000000LL;

struct LossJudge {
    double nominalHz;          // the rate asked for
    long bufferFrames;         // the device's buffer
    long periodFrames;         // its period
    double rateHz;             // its rate as measured (nominalHz until measured)

    long long readTotal;       // frames read in the take
    long long lostTotal;       // frames counted lost in the take
    long long anchorNs;        // where the rate is measured from, -1 before
    long long anchorFrames;    // the device's position then
    long long firstLookNs;     // the take's first look with frames ready, -1 before

    long long runStartNs;      // the stream's last start, -1 before the first
    long long runRead;         // frames read since then

    long long seenAtNs;        // the last look that can be trusted, -1: none
    long long seenReady;       // what the device held then
    long long seenRead;        // runRead then

    long long dropSeen;        // frames the last look found dropped unsaid, or 0

    int gapHeld;               // a gap dropped unsaid awaits the frames after it
    long long gapLost;
    long long gapSeenAtNs;
    long long gapReadTotal;    // readTotal then
    long long gapReadyThen;    // what the device held then
};

// What judgeHeldGap decided.
enum GapDecision {
    kNoGapHeld,      // nothing was held
    kGapUndecided,   // the frames after it have not told yet
    kGapStands,      // the frames were lost: the gap goes into the take
    kGapCaughtUp,    // a server kept them: no gap
};

// Begins the judgement of a take from a device at rateHz with the buffer
// and period it settled on.
void judgeBegin(LossJudge *j, double rateHz, long bufferFrames, long periodFrames);

// The stream (re)started at nowNs, on its own or after an over-run.
void judgeStarted(LossJudge *j, long long nowNs);

// frames frames were read.
void judgeRead(LossJudge *j, long long frames);

// The device counted frames ready and a read found none: its count says
// nothing, so the next look starts afresh.
void judgeReadFoundNothing(LossJudge *j);

// The device holds ready frames at nowNs. Returns the frames it has
// dropped unsaid since the last look (0: none), also kept in dropSeen.
long long judgeLooked(LossJudge *j, long long nowNs, long long ready);

// The device over-ran or was suspended, and was started again at nowNs,
// holding ready frames. Returns the frames lost (0 or more), counted.
long long judgeRestarted(LossJudge *j, long long nowNs, long long ready);

// Holds the gap of lost frames a look found dropped unsaid at nowNs.
void judgeHoldGap(LossJudge *j, long long lost, long long nowNs);

// Decides a held gap at nowNs: it stands when the frames that came after
// it came no faster than real time (the device dropped them), not when
// they caught up (a server that kept them). With force the frames so far
// decide; otherwise kGapUndecided until they tell or the watch is over.
GapDecision judgeHeldGap(LossJudge *j, long long nowNs, int force);

// Frames that come in ns nanoseconds at the device's measured rate.
long long judgeFramesIn(const LossJudge *j, long long ns);

#endif
