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
//   program stalls or is stopped): its position falls short of the clock,
//   after a wait longer than its buffer lasts, or by more than a card's
//   position can lag after a shorter one. Such a device keeps
//   what it holds and drops what comes after (the plugin's buffer, full
//   or frozen with the program, is read first), so the gap goes after the
//   frames it holds at that look. Its position is the frames read plus its
//   delay (what it has captured and not handed over, which for a sound
//   server's plugin also counts the frames on their way), where the delay
//   is plausible; the gap's size is settled from it once the frames after
//   the gap have come;
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
    long long seenDelay;       // its delay then, -1 when not plausible
    long long seenRead;        // runRead then
    long long seenReadTotal;   // readTotal then

    long long dropSeen;        // frames the last look found dropped unsaid, or 0

    int gapHeld;               // a gap dropped unsaid awaits the frames after it
    long long gapLost;         // its frames: as found, then as settled
    long long gapLeast;        // the fewest frames that make a gap, as it was found
    long long gapAt;           // the take's frames read before it
    long long gapSeenAtNs;
    long long gapReadTotal;    // readTotal then
    long long gapReadyThen;    // what the device held then
    // The look before the wait that the gap lies in.
    long long gapFromNs;
    long long gapFromRead;     // readTotal then
    long long gapFromReady;
    long long gapFromDelay;    // -1: not plausible
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

// The device holds ready frames at nowNs, and counts delay frames
// captured and not read (-1: it cannot say). Returns the frames it has
// dropped unsaid since the last look (0: none), also kept in dropSeen.
long long judgeLooked(LossJudge *j, long long nowNs, long long ready, long long delay);

// The device over-ran or was suspended, and was started again at nowNs,
// holding ready frames. Returns the frames lost (0 or more), counted.
long long judgeRestarted(LossJudge *j, long long nowNs, long long ready);

// Holds the gap of lost frames a look found dropped unsaid at nowNs: it
// lies after the frames the device held at that look (gapAt says where).
void judgeHoldGap(LossJudge *j, long long lost, long long nowNs);

// Decides a held gap at nowNs: it stands when the frames that came after
// it came no faster than real time (the device dropped them), not when
// they caught up (a server that kept them). With force the frames so far
// decide; otherwise kGapUndecided until they tell or the watch is over.
// A gap that stands has its size (gapLost) settled from the device's
// position at the last look; one that settles at less than it took to find
// it was no loss, and counts as caught up.
GapDecision judgeHeldGap(LossJudge *j, long long nowNs, int force);

// Frames that come in ns nanoseconds at the device's measured rate.
long long judgeFramesIn(const LossJudge *j, long long ns);

#endif
