// The reading of a take: the capture device read on a thread of its own
// into the ring (waiting for a device that has nothing without spinning;
// what over-runs, suspends and silent drops lose judged from what the
// device reports and the clock), and the take loop's side of it.
#include "audio/capture.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "audio/audio.h"
#include "audio/devices.h"
#include "audio/running_line.h"
#include "input/input.h"

// A device that gives no frames for this long counts as failed. A sound
// server can take two seconds to send the first ones of a take.
static const long long kQuietLimitNs = 5000000000LL;
// Over-runs and suspends in a row, with no frame read between them, after
// which the device counts as failed: a healthy device delivers frames
// after it has been prepared again.
static const int kMaxLostInRow = 8;
// How often a reading thread that waits for room in the queue looks at
// the signals and at a request to stop.
static const long kRoomWaitNs = 100000000L;
// What readInto returns when the device seems to have dropped frames
// without saying so (an over-run's counterpart that no error reports).
static const snd_pcm_sframes_t kGapSeen = -1000000;

// --- Time, for the reading thread.

// Nanoseconds that frames frames take at the take's rate.
static long long framesNs(const CaptureDevice *d, long long frames)
{
    return (long long)((double)frames * 1e9 / d->rateHz);
}

// The time losses are measured in: CLOCK_BOOTTIME, which also runs while
// the program is stopped and while the machine sleeps, as the sound
// outside does. -1 when there is none.
static long long wallNs()
{
    struct timespec t;
    if (clock_gettime(CLOCK_BOOTTIME, &t) != 0) return -1;
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void sleepNs(long long ns)
{
    struct timespec pause = {(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
    nanosleep(&pause, nullptr);
}

// Whether the reading should end now: a signal the user sent, or the take
// loop asked.
static int stopWanted(CaptureDevice *d)
{
    return caughtSignal() || __atomic_load_n(&d->stopAsked, __ATOMIC_ACQUIRE);
}

// The frames the reading waits for and takes in one read: whole periods,
// about a tenth of a second's (a period at least), so that the thread
// wakes about ten times a second at high rates, not once a period; a
// quarter of the device's buffer at most, so that a card keeps three
// quarters of it in hand; and never more than 8192 frames: a file read as
// a device (the virtual card's capture is) takes each read from its file
// in one read(2), and a pipe gives at most the 64 KiB it holds (8192
// frames of the largest frame are 48 KiB).
static long readFrames(const CaptureDevice *d)
{
    long frames = (long)(d->rateHz / 10);
    if (frames > d->bufferFrames / 4) frames = d->bufferFrames / 4;
    if (frames > 8192) frames = 8192;
    frames -= frames % d->periodFrames;
    return frames < d->periodFrames ? d->periodFrames : frames;
}

// --- The reading thread: the device.

// Tells the judge what the device holds: ready frames (snd_pcm_avail's
// count) and its delay, which a sound server's plugin counts with the
// frames still on their way.
static void tellJudge(CaptureDevice *d, snd_pcm_sframes_t ready)
{
    snd_pcm_sframes_t delay = -1;
    if (snd_pcm_delay(d->pcm, &delay) < 0) delay = -1;
    judgeLooked(&d->judge, wallNs(), ready, delay);
}

// Frames the device holds ready: snd_pcm_avail's count (which asks the
// device where it stands: plugins in a chain may not know otherwise), or
// its negative error; each count goes to the judge. When fewer than want
// are there, the thread sleeps once and asks again, rather than wait on
// the device's descriptor: a sound server's plugin keeps that readable
// while it has nothing (for up to two seconds at the start of a take), and
// a wait on it would spin. The sleep lasts until the missing frames should
// have come, or, when there are none, until a device that sends whole
// blocks (a server sends about a period at a time, not always one whole
// period) sends its next one, a period after the last frames came: so a
// period costs one sleep and a read or two, not a read for every few
// frames that trickle in. It is never shorter than a quarter period nor
// longer than a read's frames take. A stream that has not started yet is
// started.
static snd_pcm_sframes_t framesReady(CaptureDevice *d, long want)
{
    if (snd_pcm_state(d->pcm) == SND_PCM_STATE_PREPARED) {
        int rc = snd_pcm_start(d->pcm);
        if (rc < 0) return rc;
        judgeStarted(&d->judge, wallNs());
    }
    snd_pcm_sframes_t ready = snd_pcm_avail(d->pcm);
    if (ready >= 0) tellJudge(d, ready);
    if (ready < 0 || ready >= want || stopWanted(d)) return ready;
    long long periodNs = framesNs(d, d->periodFrames);
    long long pauseNs = framesNs(d, want - ready);
    if (ready == 0) {
        long long nextBlockNs = d->lastFramesNs + periodNs - monotonicNs();
        if (nextBlockNs > pauseNs) pauseNs = nextBlockNs;
    }
    if (pauseNs < periodNs / 4) pauseNs = periodNs / 4;
    if (pauseNs > framesNs(d, readFrames(d))) pauseNs = framesNs(d, readFrames(d));
    sleepNs(pauseNs + 1000000);   // a millisecond more, for the device's own rounding
    ready = snd_pcm_avail(d->pcm);
    if (ready >= 0) tellJudge(d, ready);
    return ready;
}

// Reads up to want frames (no more than the device holds ready, want
// waited for) into the ring where the thread stands:
// straight from the device when it gives interleaved frames, else through
// the channel halves, a period at a time. The result is snd_pcm_readi's or
// snd_pcm_readn's, or framesReady's when that is not a positive count.
//
// Reading no more than is ready keeps a sound server's plugin from being
// left holding part of a block the server sent: if the server goes away
// while the plugin holds one, the plugin's own thread waits for it to be
// handed back while holding the lock every call into the plugin takes,
// and the program would hang in its next call.
static snd_pcm_sframes_t readInto(CaptureDevice *d, long want)
{
    snd_pcm_sframes_t ready = framesReady(d, want);
    if (d->judge.dropSeen > 0) return kGapSeen;
    if (ready <= 0) return ready;
    snd_pcm_uframes_t n = (snd_pcm_uframes_t)(ready < want ? ready : want);
    char *to = ringWriteAt(&d->ring);
    snd_pcm_sframes_t got;
    if (d->interleavedAccess) {
        got = snd_pcm_readi(d->pcm, to, n);
    } else {
        if (n > (snd_pcm_uframes_t)d->periodFrames) n = (snd_pcm_uframes_t)d->periodFrames;
        char *left = d->channelHalves;
        char *right = d->channelHalves + (size_t)d->periodFrames * (size_t)d->bytesPerSample;
        void *halves[2] = {left, right};
        got = snd_pcm_readn(d->pcm, halves, n);
        if (got > 0) Interleave((unsigned int)got, (unsigned int)d->bytesPerSample, left, right, to);
    }
    if (got == 0 || got == -EAGAIN) judgeReadFoundNothing(&d->judge);
    return got;
}

// After an over-run or a suspend: starts the device again; the judge
// counts the frames lost. Returns the count (0 or more), or the restart's
// negative error.
static long long restartAfterLoss(CaptureDevice *d, snd_pcm_sframes_t why)
{
    int rc = why == -EPIPE ? snd_pcm_prepare(d->pcm) : recoverFromSuspend(d->pcm);
    if (rc >= 0 && snd_pcm_state(d->pcm) == SND_PCM_STATE_PREPARED) rc = snd_pcm_start(d->pcm);
    if (rc < 0) return rc;
    snd_pcm_sframes_t ready = snd_pcm_avail(d->pcm);
    if (ready < 0) ready = 0;
    return judgeRestarted(&d->judge, wallNs(), ready);
}

// Whether the device has given nothing for longer than it may. Time the
// program itself was stopped (Ctrl-Z, then fg) is not the device's: the
// wait counts from the last resumption.
static int tooQuiet(CaptureDevice *d)
{
    unsigned resumed = resumedCount();
    if (resumed != d->resumeMark) {
        d->resumeMark = resumed;
        d->lastFramesNs = monotonicNs();
    }
    return monotonicNs() - d->lastFramesNs > kQuietLimitNs;
}

// How a read of the ring went.
enum Fill { kFilled, kFillGapSeen, kFillStopped, kFillFailed };

// Reads the take's next frames into the ring, as many as the device holds
// ready up to want, in as many reads as it takes to bring some. A gap (an
// over-run, a suspend, or frames a device may have dropped unsaid:
// kFillGapSeen) ends the read, with the frames lost in *lost. kFillStopped
// when the reading is to stop; kFillFailed when the device failed or keeps
// failing (d->deviceError says how). A device that delivers nothing is
// waited for, never read at the CPU's speed.
static Fill fillRing(CaptureDevice *d, long want, long long *lost, int *gap)
{
    *lost = 0;
    *gap = 0;
    for (;;) {
        if (stopWanted(d)) return kFillStopped;
        snd_pcm_sframes_t got = readInto(d, want);
        if (got > 0) {
            d->ring.filled += got;
            d->takeSoFar += got;
            judgeRead(&d->judge, got);
            d->lastFramesNs = monotonicNs();
            d->lostInRow = 0;
            return kFilled;
        }
        if (got == -EAGAIN || got == 0 || got == -EINTR) {
            // Nothing came in the time it should have (framesReady slept
            // for it; a read that found nothing after all waits a quarter
            // period): wait on, but not for ever.
            if (tooQuiet(d)) {
                d->deviceError = got == 0 || got == -EINTR ? -EIO : (int)got;
                return kFillFailed;
            }
            if (got == -EAGAIN) sleepNs(framesNs(d, d->periodFrames) / 4);
        } else if (got == kGapSeen) {
            *lost = d->judge.dropSeen;
            *gap = 1;
            return kFillGapSeen;
        } else if (got == -EPIPE || got == -ESTRPIPE) {
            long long n = restartAfterLoss(d, got);
            d->lastFramesNs = monotonicNs();
            if (n < 0 || ++d->lostInRow > kMaxLostInRow) {
                d->deviceError = n < 0 ? (int)n : (int)got;
                return kFillFailed;
            }
            *lost = n;
            *gap = 1;
            return kFilled;
        } else {
            d->deviceError = (int)got;
            return kFillFailed;
        }
    }
}

// --- The reading thread: the ring.

// Shows the take loop what the ring holds, unless frames are held back
// after a gap the device may have dropped unsaid.
static void showFrames(CaptureDevice *d)
{
    if (!d->judge.gapHeld) ringShow(&d->ring);
}

// Decides a gap held back, and shows the frames after it: with force
// now; otherwise once the frames tell, the watch is over, or half the
// ring is held back.
static void decideGap(CaptureDevice *d, int force)
{
    if (!d->judge.gapHeld) return;
    if (d->ring.filled - d->heldGapAt >= d->ring.frames / 2) force = 1;
    long long lost = d->judge.gapLost;
    GapDecision decision = judgeHeldGap(&d->judge, wallNs(), force);
    if (decision == kGapUndecided) return;
    if (decision == kGapCaughtUp) {
        d->takeSoFar -= lost;
    } else {
        // The size as settled, never past the take's length; the place
        // where the frames before it were all read (a take that ended
        // first ends with it).
        long long settled = d->judge.gapLost;
        if (settled > d->takeFrames - d->takeSoFar + lost) settled = d->takeFrames - d->takeSoFar + lost;
        d->takeSoFar += settled - lost;
        ringPutGap(&d->ring, d->heldGapAt < d->ring.filled ? d->heldGapAt : d->ring.filled, settled);
    }
    showFrames(d);
}

// Waits until the take loop has left room in the ring (and for two gaps:
// one held and a new one may go in one pass), looking at the signals now
// and then. Returns 0 when the reading is to stop.
static int waitForRoom(CaptureDevice *d)
{
    while (!ringHasRoom(&d->ring, 2)) {
        if (stopWanted(d)) return 0;
        ringWaitForRoom(&d->ring, 2, kRoomWaitNs);
    }
    return 1;
}

// Reads the next stretch of the take. Returns how it ended.
static Fill readStretch(CaptureDevice *d)
{
    if (!waitForRoom(d)) return kFillStopped;
    long long left = d->takeFrames - d->takeSoFar;
    long want = ringRoomAhead(&d->ring);
    if (want > readFrames(d)) want = readFrames(d);
    if (want > left) want = (long)left;
    long long lost = 0;
    int gap = 0;
    Fill fill = fillRing(d, want, &lost, &gap);
    if (gap) {
        // A gap never takes the take past its length.
        if (lost > d->takeFrames - d->takeSoFar) lost = d->takeFrames - d->takeSoFar;
        d->takeSoFar += lost;
        decideGap(d, 1);
        if (fill == kFillGapSeen) {
            // Frames the device may have dropped unsaid, after those it
            // holds: the frames after them are held back until they tell.
            showFrames(d);
            judgeHoldGap(&d->judge, lost, wallNs());
            d->heldGapAt = d->ring.filled + (d->judge.gapAt - d->judge.readTotal);
            return kFilled;
        }
        ringPutGap(&d->ring, d->ring.filled, lost);
    }
    showFrames(d);
    decideGap(d, 0);
    return fill;
}

// The reading thread: the take's frames until the take is whole (gaps
// count), a signal or the take loop stops it, or the device fails. The
// user's signals are for the take loop's thread: they are blocked here.
static void *readTake(void *arg)
{
    CaptureDevice *d = (CaptureDevice *)arg;
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    sigaddset(&mask, SIGCONT);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    CaptureEnd end = kCaptureRanOut;
    for (;;) {
        if (d->takeSoFar >= d->takeFrames) {
            // A gap still watched decides now; one that was not there
            // leaves frames to read.
            decideGap(d, 1);
            if (d->takeSoFar >= d->takeFrames) break;
        }
        Fill fill = readStretch(d);
        if (fill == kFillStopped || fill == kFillFailed) {
            end = fill == kFillStopped ? kCaptureStopped : kCaptureFailed;
            break;
        }
    }
    decideGap(d, 1);
    d->end = end;
    ringEnd(&d->ring);
    return nullptr;
}

// --- The take loop's side.

int startCaptureTake(CaptureDevice *d, long long frames)
{
    // The reading of a take that ended early is gathered first.
    finishCaptureTake(d);
    snd_pcm_prepare(d->pcm);
    resetRing(&d->ring);
    judgeBegin(&d->judge, d->rateHz, d->bufferFrames, d->periodFrames);
    d->takeFrames = frames;
    d->takeSoFar = 0;
    d->lastFramesNs = monotonicNs();
    d->resumeMark = resumedCount();
    d->lostInRow = 0;
    d->heldGapAt = 0;
    d->stopAsked = 0;
    d->end = kCaptureRanOut;
    d->deviceError = 0;
    if (pthread_create(&d->thread, nullptr, readTake, d) != 0) return 0;
    d->threadRunning = 1;
    return 1;
}

int nextCaptureSpan(CaptureDevice *d, long maxFrames, CaptureSpan *span)
{
    // The take loop looks about as often as the reading reads: each look
    // takes what came since the last.
    return ringNextSpan(&d->ring, maxFrames, framesNs(d, readFrames(d)), span);
}

void releaseCaptureFrames(CaptureDevice *d, long long frames) { ringRelease(&d->ring, frames); }

long long captureTaken(const CaptureDevice *d) { return d->ring.taken; }

void captureFramesAt(const CaptureDevice *d, long long at, long maxFrames, CaptureSpan *span)
{
    long contiguous = 0;
    span->data = ringFramesAt(&d->ring, at, &contiguous);
    long frames = maxFrames < contiguous ? maxFrames : contiguous;
    span->frames = frames;
    span->gapFrames = 0;
}

void stopCaptureTake(CaptureDevice *d)
{
    if (!d->threadRunning) return;
    __atomic_store_n(&d->stopAsked, 1, __ATOMIC_SEQ_CST);
    ringWakeWriter(&d->ring);
}

void finishCaptureTake(CaptureDevice *d)
{
    if (!d->threadRunning) return;
    pthread_join(d->thread, nullptr);
    d->threadRunning = 0;
    // What the device captured past the take goes; the next take starts
    // afresh.
    snd_pcm_drop(d->pcm);
}

void reportCaptureFailure(const CaptureDevice *d)
{
    // On standard error, as ALSA's failures are; the running line it
    // breaks is on standard output and goes out first.
    fflush(stdout);
    fprintf(stderr, "\nCannot record from %s: %s\n", d->name, snd_strerror(d->deviceError));
}
