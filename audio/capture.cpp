// The capture device: open and configure it for two channels, read a
// take on a thread of its own into a ring of frames (waiting for a device
// that has nothing without spinning, counting what over-runs, suspends and
// silent drops lose), and close it.
#include "audio/capture.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "audio/audio.h"
#include "audio/devices.h"
#include "audio/running_line.h"
#include "input/input.h"

// The device is asked for periods of 4096 frames and a buffer of eight
// periods; whatever period it settles on is the unit of every read.
static const snd_pcm_uframes_t kRequestedPeriod = 4096;
static const snd_pcm_uframes_t kRequestedBuffer = 32768;
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
// How long the frames after a gap that a device may have dropped unsaid
// are watched before the gap counts: a server that kept the frames sends
// them faster than real time well within it.
static const long long kGapWatchNs = 250000000LL;
// What readInto returns when the device seems to have dropped frames
// without saying so (an over-run's counterpart that no error reports).
static const snd_pcm_sframes_t kGapSeen = -1000000;

static int makeRing(CaptureDevice *d);

// Says why the capture device cannot record what was asked: the device,
// what it offers and what the recording needs. On standard output, like
// the table of a failed set-up.
static void refuseGranted(const char *device, unsigned int rate, snd_pcm_format_t wanted,
                          unsigned int channels, unsigned int grantedRate,
                          snd_pcm_format_t granted)
{
    printf("%s offers %u channels of %s at %u Hz; the recording needs %u channels of %s at "
           "%u Hz\n",
           device, channels, snd_pcm_format_name(granted), grantedRate, kCaptureChannels,
           snd_pcm_format_name(wanted), rate);
}

// What the device settled on after the parameters were installed.
struct Settled {
    snd_pcm_uframes_t periodFrames;
    snd_pcm_uframes_t bufferFrames;
    unsigned int channels;
    unsigned int rate;
    snd_pcm_access_t access;
    snd_pcm_format_t format;
};

// Asks for interleaved frames (or channel buffers when the device has
// nothing else), format, two channels, the rate, a period and a buffer,
// and installs them. Returns snd_pcm_hw_params' result, or the format's
// refusal (already said) as 1: nothing more to say.
static int requestParameters(snd_pcm_t *pcm, snd_pcm_hw_params_t *params, unsigned int rate,
                             snd_pcm_format_t format)
{
    snd_pcm_hw_params_any(pcm, params);
    if (snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) < 0)
        snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
    int rc = snd_pcm_hw_params_set_format(pcm, params, format);
    if (rc < 0) {
        fflush(stdout);
        fprintf(stderr, "Problem setting recording format: %s\n", snd_strerror(rc));
        return 1;
    }
    snd_pcm_hw_params_set_channels(pcm, params, kCaptureChannels);
    unsigned int grantedRate = rate;
    snd_pcm_hw_params_set_rate_near(pcm, params, &grantedRate, nullptr);
    snd_pcm_uframes_t frames = kRequestedPeriod;
    snd_pcm_hw_params_set_period_size_near(pcm, params, &frames, nullptr);
    snd_pcm_uframes_t bufferFrames = kRequestedBuffer;
    snd_pcm_hw_params_set_buffer_size_near(pcm, params, &bufferFrames);
    return snd_pcm_hw_params(pcm, params);
}

// Reads back what the device settled on. A value the library cannot
// report keeps what was asked for.
static void readSettled(const snd_pcm_hw_params_t *params, unsigned int rate,
                        snd_pcm_format_t format, Settled *got)
{
    got->periodFrames = kRequestedPeriod;
    got->bufferFrames = kRequestedBuffer;
    got->channels = kCaptureChannels;
    got->rate = rate;
    got->access = SND_PCM_ACCESS_RW_INTERLEAVED;
    got->format = format;
    snd_pcm_hw_params_get_buffer_size(params, &got->bufferFrames);
    snd_pcm_hw_params_get_period_size(params, &got->periodFrames, nullptr);
    snd_pcm_hw_params_get_channels(params, &got->channels);
    snd_pcm_hw_params_get_rate(params, &got->rate, nullptr);
    snd_pcm_hw_params_get_access(params, &got->access);
    snd_pcm_hw_params_get_format(params, &got->format);
}

// The table of a set-up the device refused, on standard output.
static void showRefusedSetup(int rc, const Settled *got)
{
    printf("Could not set record hardware parameters: %s\n", snd_strerror(rc));
    printf("Returned Driver Parameters:\n");
    printf("\tBuf 1\tBuf 2\tRate\tChannels\n");
    printf("Record\t%i\t%i\t%i\t%i\n", (int)got->periodFrames, (int)got->bufferFrames,
           (int)got->rate, (int)got->channels);
    printf("-------------------------\n");
}

int openCapture(CaptureDevice *d, const char *device, unsigned int rate, int bytesPerSample)
{
    memset(d, 0, sizeof *d);
    d->name = device;
    d->bytesPerSample = bytesPerSample;
    d->rateHz = (double)rate;
    int rc = snd_pcm_open(&d->pcm, device, SND_PCM_STREAM_CAPTURE, 0);
    if (rc < 0) {
        d->pcm = nullptr;
        fflush(stdout);
        fprintf(stderr, "unable to open pcm record device: %s\n", snd_strerror(rc));
        listPcmDevices(SND_PCM_STREAM_CAPTURE);
        return 0;
    }
    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params);   // zero-filled, released on return
    snd_pcm_format_t format = bytesPerSample == 3 ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE;
    rc = requestParameters(d->pcm, params, rate, format);
    if (rc == 1) {
        closeCapture(d);
        return 0;
    }
    Settled got;
    readSettled(params, rate, format, &got);
    if (rc >= 0 && got.periodFrames == 0) rc = -EINVAL;   // a period of nothing never ends a take
    if (rc >= 0 && got.access != SND_PCM_ACCESS_RW_NONINTERLEAVED &&
        got.access != SND_PCM_ACCESS_RW_INTERLEAVED)
        rc = -EINVAL;   // neither way of reading is offered
    if (rc < 0) {
        showRefusedSetup(rc, &got);
        closeCapture(d);
        return 0;
    }
    if (got.channels != kCaptureChannels || got.format != format || got.rate != rate) {
        refuseGranted(device, rate, format, got.channels, got.rate, got.format);
        closeCapture(d);
        return 0;
    }
    d->periodFrames = (long)got.periodFrames;
    d->bufferFrames = (long)got.bufferFrames;
    d->frameBytes = (long)kCaptureChannels * bytesPerSample;
    d->interleavedAccess = got.access == SND_PCM_ACCESS_RW_INTERLEAVED;
    if (!d->interleavedAccess) {
        d->channelHalves = (char *)malloc((size_t)d->periodFrames * kCaptureChannels *
                                          (size_t)bytesPerSample);
        if (!d->channelHalves) {
            printf("Not enough memory for a period of %li frames\n", d->periodFrames);
            closeCapture(d);
            return 0;
        }
    }
    // The ring: the queue's seconds of frames in whole periods (so that a
    // period read whole never wraps), at least two.
    long periods = (long)(kCaptureQueueSeconds * d->rateHz) / d->periodFrames + 1;
    d->ringFrames = (periods < 2 ? 2 : periods) * d->periodFrames;
    if (!makeRing(d)) {
        printf("Not enough memory for a period of %li frames\n", d->periodFrames);
        closeCapture(d);
        return 0;
    }
    return 1;
}

// The ring and what lets a thread sleep on it. Returns 0 when there is no
// memory for it. Its pages cost memory only once frames are put there.
static int makeRing(CaptureDevice *d)
{
    d->ring = (char *)malloc((size_t)d->ringFrames * (size_t)d->frameBytes);
    pthread_mutex_init(&d->lock, nullptr);
    // Timed waits on the monotonic clock: a change of the wall clock
    // neither stretches nor cuts them.
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&d->framesCame, &attr);
    pthread_cond_init(&d->roomCame, &attr);
    pthread_condattr_destroy(&attr);
    return d->ring != nullptr;
}

// Sleeps on cond (its lock held) until it is signalled or ns nanoseconds
// have passed.
static void waitAtMost(pthread_cond_t *cond, pthread_mutex_t *lock, long long ns)
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    ns += until.tv_nsec;
    until.tv_sec += (time_t)(ns / 1000000000LL);
    until.tv_nsec = (long)(ns % 1000000000LL);
    pthread_cond_timedwait(cond, lock, &until);
}

void closeCapture(CaptureDevice *d)
{
    if (!d->pcm) return;
    stopCaptureTake(d);
    finishCaptureTake(d);
    // A capture stream has nothing to drain, so it is dropped: a drain can
    // wait for ever on some plugins.
    snd_pcm_drop(d->pcm);
    snd_pcm_close(d->pcm);
    d->pcm = nullptr;
    free(d->channelHalves);
    d->channelHalves = nullptr;
    // Set up only once the device was configured (ringFrames says so).
    if (d->ringFrames > 0) {
        free(d->ring);
        d->ring = nullptr;
        pthread_mutex_destroy(&d->lock);
        pthread_cond_destroy(&d->framesCame);
        pthread_cond_destroy(&d->roomCame);
        d->ringFrames = 0;
    }
}

static long long loadCount(const long long *count) { return __atomic_load_n(count, __ATOMIC_ACQUIRE); }
static void storeCount(long long *count, long long v) { __atomic_store_n(count, v, __ATOMIC_RELEASE); }

// --- Time, for the reading thread.

// Nanoseconds that frames frames take at the take's rate.
static long long framesNs(const CaptureDevice *d, long long frames)
{
    return (long long)((double)frames * 1e9 / d->rateHz);
}

// The time over-runs are measured in: CLOCK_BOOTTIME, which also runs
// while the program is stopped and while the machine sleeps, as the sound
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

// --- The reading thread.

// The frames a device lost between the last time it was asked and now,
// when it holds ready frames: those it held unread then (less those read
// since), and the time between at its rate, less what it holds now.
static long long framesLostSince(const CaptureDevice *d, long long nowNs, long long ready)
{
    long long unread = d->seenReady - (d->readSinceStart - d->seenRead);
    if (unread < 0) unread = 0;
    long long between = (long long)((double)(nowNs - d->seenAtNs) * d->rateHz / 1e9 + 0.5);
    return unread + between - ready;
}

// Whether the device gives its frames in real time, as far as the last
// time it was asked tells: one that gave more than the frames of the time
// since it started, its buffer and a period runs faster than real time,
// as a file does, and time loses it nothing.
static int runsInRealTime(const CaptureDevice *d)
{
    return d->startedAtNs >= 0 && d->seenAtNs >= d->startedAtNs &&
           (double)(d->seenRead + d->seenReady) <=
               (double)(d->seenAtNs - d->startedAtNs) * d->rateHz / 1e9 +
                   (double)(d->bufferFrames + d->periodFrames);
}

// Notes what the device holds now, at what time, after how many reads. A
// device that holds a full buffer after a wait longer than its buffer
// lasts, without having said it over-ran, may have dropped the oldest
// frames (PipeWire's plugin does): how many is noted in dropSeen.
static void sawReady(CaptureDevice *d, snd_pcm_sframes_t ready)
{
    long long now = wallNs();
    if (d->seenAtNs >= 0 && now >= 0 && !d->gapHeld && ready >= d->bufferFrames - d->periodFrames &&
        (double)(now - d->seenAtNs) * d->rateHz / 1e9 > (double)d->bufferFrames &&
        runsInRealTime(d)) {
        long long lost = framesLostSince(d, now, ready);
        if (lost >= d->periodFrames / 2) d->dropSeen = lost;
    }
    d->seenAtNs = now;
    d->seenReady = ready;
    d->seenRead = d->readSinceStart;
}

// Frames the device holds ready: snd_pcm_avail's count (which asks the
// device where it stands: plugins in a chain may not know otherwise), or
// its negative error. When fewer than want are there, the thread sleeps
// once and asks again, rather than wait on the device's descriptor: a
// sound server's plugin keeps that readable while it has nothing (for up
// to two seconds at the start of a take), and a wait on it would spin. The
// sleep lasts until the missing frames should have come, or, when there
// are none, until a device that sends whole blocks (a server sends about
// a period at a time, not always one whole period) sends its next one, a
// period after the last frames came: so a period costs one sleep and a
// read or two, not a read for every few frames that trickle in. It is
// never shorter than a quarter period nor longer than a period. A stream
// that has not started yet is started.
static snd_pcm_sframes_t framesReady(CaptureDevice *d, long want)
{
    if (snd_pcm_state(d->pcm) == SND_PCM_STATE_PREPARED) {
        int rc = snd_pcm_start(d->pcm);
        if (rc < 0) return rc;
        d->readSinceStart = 0;
        d->startedAtNs = wallNs();
    }
    snd_pcm_sframes_t ready = snd_pcm_avail(d->pcm);
    if (ready >= 0) sawReady(d, ready);
    if (ready < 0 || ready >= want || stopWanted(d)) return ready;
    long long periodNs = framesNs(d, d->periodFrames);
    long long pauseNs = framesNs(d, want - ready);
    if (ready == 0) {
        long long nextBlockNs = d->lastFramesNs + periodNs - monotonicNs();
        if (nextBlockNs > pauseNs) pauseNs = nextBlockNs;
    }
    if (pauseNs < periodNs / 4) pauseNs = periodNs / 4;
    if (pauseNs > periodNs) pauseNs = periodNs;
    sleepNs(pauseNs + 1000000);   // a millisecond more, for the device's own rounding
    ready = snd_pcm_avail(d->pcm);
    if (ready >= 0) sawReady(d, ready);
    return ready;
}

// Frames the thread may put in the ring now, from where it stands on,
// without passing the ring's end: the room the take loop has left.
static long roomAhead(const CaptureDevice *d)
{
    long long room = d->ringFrames - (d->ringFilled - loadCount(&d->doneFrames));
    long toEnd = d->ringFrames - (long)(d->ringFilled % d->ringFrames);
    return room < toEnd ? (long)room : toEnd;
}

// Reads up to want frames (no more than the device holds ready, at least
// a period's worth waited for) into the ring where the thread stands:
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
    snd_pcm_sframes_t ready = framesReady(d, want < d->periodFrames ? want : d->periodFrames);
    if (d->dropSeen > 0) return kGapSeen;
    if (ready <= 0) return ready;
    snd_pcm_uframes_t n = (snd_pcm_uframes_t)(ready < want ? ready : want);
    char *to = d->ring + (size_t)(d->ringFilled % d->ringFrames) * (size_t)d->frameBytes;
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
    // The device counted frames ready and the read found none: its count
    // says nothing, so the same full count after a long wait (the program
    // stalled or stopped meanwhile) is no sign of frames dropped unsaid.
    if (got == 0 || got == -EAGAIN) d->seenAtNs = -1;
    return got;
}

// After an over-run or a suspend: starts the device again and counts the
// frames lost. Lost are the frames the device held unread when it was last
// asked (less those read since), and every frame that came from then until
// it runs again: the time between, at the device's rate, less what it
// holds once started. Returns the count (0 or more), or the restart's
// negative error.
static long long restartAfterLoss(CaptureDevice *d, snd_pcm_sframes_t why)
{
    long long unread = d->seenReady - (d->readSinceStart - d->seenRead);
    if (unread < 0) unread = 0;
    long long seenAt = d->seenAtNs;
    d->dropSeen = 0;
    int realTime = runsInRealTime(d);
    int rc = why == -EPIPE ? snd_pcm_prepare(d->pcm) : recoverFromSuspend(d->pcm);
    if (rc >= 0 && snd_pcm_state(d->pcm) == SND_PCM_STATE_PREPARED) rc = snd_pcm_start(d->pcm);
    if (rc < 0) return rc;
    d->readSinceStart = 0;
    d->startedAtNs = wallNs();
    snd_pcm_sframes_t ready = snd_pcm_avail(d->pcm);
    if (ready < 0) ready = 0;
    sawReady(d, ready);
    if (!realTime) return 0;
    long long between = seenAt >= 0 && d->seenAtNs >= seenAt
                            ? (long long)((double)(d->seenAtNs - seenAt) * d->rateHz / 1e9 + 0.5)
                            : 0;
    // A device over-runs when its buffer fills: one that cannot have filled
    // it in the time (a read failed without an over-run) lost nothing.
    if (unread + between < d->bufferFrames - d->periodFrames) return 0;
    long long lost = unread + between - (long long)ready;
    // Less than half a period is within what the clock and the device's
    // own count can tell apart (a device that runs faster than real time,
    // or one whose reads failed without losing a frame, shows such
    // crumbs): nothing is taken as lost.
    return lost >= d->periodFrames / 2 ? lost : 0;
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

// --- The thread's side of the ring.

// Shows the take loop what the ring holds, unless frames are held back
// after a gap the device may have dropped unsaid.
static void showFrames(CaptureDevice *d)
{
    if (d->gapHeld) return;
    storeCount(&d->readFrames, d->ringFilled);
    // The take loop looks on its own once a period; it is woken early only
    // when a quarter of the ring waits for it.
    if (__atomic_load_n(&d->loopWaiting, __ATOMIC_SEQ_CST) &&
        d->ringFilled - loadCount(&d->doneFrames) >= d->ringFrames / 4) {
        pthread_mutex_lock(&d->lock);
        pthread_cond_signal(&d->framesCame);
        pthread_mutex_unlock(&d->lock);
    }
}

// Whether the gap ring has room for one more.
static int gapRoom(const CaptureDevice *d)
{
    return d->gapsPut - __atomic_load_n(&d->gapsTaken, __ATOMIC_ACQUIRE) <
           (long)(sizeof d->gaps / sizeof d->gaps[0]);
}

// Puts a gap for the take loop where the ring stands: the frames before it
// are shown with it.
static void putGap(CaptureDevice *d, const CaptureGap *g)
{
    long n = (long)(sizeof d->gaps / sizeof d->gaps[0]);
    d->gaps[d->gapsPut % n] = *g;
    __atomic_store_n(&d->gapsPut, d->gapsPut + 1, __ATOMIC_RELEASE);
}

// Waits until the take loop has left room in the ring (and for a gap),
// looking at the signals now and then. Returns 0 when the reading is to
// stop.
static int waitForRoom(CaptureDevice *d)
{
    while (roomAhead(d) == 0 || !gapRoom(d)) {
        if (stopWanted(d)) return 0;
        // Asleep until a good part of the ring is free again: one wake-up,
        // not one a period, when the disk is slower than the device.
        __atomic_store_n(&d->readerWaiting, 1, __ATOMIC_SEQ_CST);
        pthread_mutex_lock(&d->lock);
        if (roomAhead(d) == 0 || !gapRoom(d)) waitAtMost(&d->roomCame, &d->lock, kRoomWaitNs);
        pthread_mutex_unlock(&d->lock);
        __atomic_store_n(&d->readerWaiting, 0, __ATOMIC_SEQ_CST);
    }
    return 1;
}

// Decides a gap held back: it counts when the frames that came after it
// came no faster than real time (the device dropped them), not when they
// caught up (a server that kept them across a stop). Then the frames after
// it are shown. With force the frames so far decide; otherwise a decision
// waits until the frames tell or the watch is over (or the ring is half
// full).
static void decideGap(CaptureDevice *d, int force)
{
    if (!d->gapHeld) return;
    long long now = wallNs();
    long long since = now - d->gapSeenAtNs;
    double inTime = (double)since * d->rateHz / 1e9 + (double)(d->bufferFrames + d->periodFrames);
    int caughtUp = (double)(d->readSinceStart - d->gapSeenRead) > inTime;
    long long held = d->ringFilled - d->heldGap.at;
    if (!caughtUp && !force && since < kGapWatchNs && held < d->ringFrames / 2) return;
    if (caughtUp) d->takeSoFar -= d->heldGap.lostFrames;
    else putGap(d, &d->heldGap);
    d->gapHeld = 0;
    showFrames(d);
}

// How a read of the ring went.
enum Fill { kFilled, kFillGapSeen, kFillStopped, kFillFailed };

// Reads the take's next frames into the ring, as many as the device holds
// ready up to a stretch of the ring, in as many reads as it takes to bring
// a period. A gap (an over-run, a suspend, or frames a device may have
// dropped unsaid: kFillGapSeen) ends the read, with the frames lost in
// *lost. kFillStopped when the reading is to stop; kFillFailed when the
// device failed or keeps failing (d->deviceError says how). A device that
// delivers nothing is waited for, never read at the CPU's speed.
static Fill fillRing(CaptureDevice *d, long want, long long *lost, int *gap)
{
    *lost = 0;
    *gap = 0;
    for (;;) {
        if (stopWanted(d)) return kFillStopped;
        snd_pcm_sframes_t got = readInto(d, want);
        if (got > 0) {
            d->ringFilled += got;
            d->takeSoFar += got;
            d->readSinceStart += got;
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
            *lost = d->dropSeen;
            d->dropSeen = 0;
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

// Reads the next stretch of the take. Returns how it ended.
static Fill readStretch(CaptureDevice *d)
{
    if (!waitForRoom(d)) return kFillStopped;
    long long left = d->takeFrames - d->takeSoFar;
    long want = roomAhead(d);
    // A period at most: the unit the device settled on (and a file read
    // as a device, as the virtual card's capture is, fills no more than a
    // period's read of its pipe).
    if (want > d->periodFrames) want = d->periodFrames;
    if (want > left) want = (long)left;
    long long lost = 0;
    int gap = 0;
    Fill fill = fillRing(d, want, &lost, &gap);
    if (gap) {
        // A gap never takes the take past its length.
        if (lost > d->takeFrames - d->takeSoFar) lost = d->takeFrames - d->takeSoFar;
        d->takeSoFar += lost;
        CaptureGap g = {d->ringFilled, lost};
        if (fill == kFillGapSeen) {
            // Frames the device may have dropped unsaid: the frames after
            // them are held back until they tell.
            decideGap(d, 1);
            showFrames(d);
            d->gapHeld = 1;
            d->heldGap = g;
            d->gapSeenAtNs = wallNs();
            d->gapSeenRead = d->readSinceStart;
            return kFilled;
        }
        decideGap(d, 1);
        putGap(d, &g);
    }
    showFrames(d);
    decideGap(d, 0);
    return fill;
}

// The reading ends: the last frames are shown, and the take loop learns why.
static void endReading(CaptureDevice *d, CaptureEnd end)
{
    decideGap(d, 1);
    showFrames(d);
    d->end = end;
    pthread_mutex_lock(&d->lock);
    __atomic_store_n(&d->ended, 1, __ATOMIC_SEQ_CST);
    pthread_cond_broadcast(&d->framesCame);
    pthread_mutex_unlock(&d->lock);
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
    endReading(d, end);
    return nullptr;
}

// --- The take loop's side.

int startCaptureTake(CaptureDevice *d, long long frames)
{
    // The reading of a take that ended early is gathered first.
    finishCaptureTake(d);
    snd_pcm_prepare(d->pcm);
    d->takeFrames = frames;
    d->takeSoFar = 0;
    d->ringFilled = 0;
    d->readFrames = 0;
    d->doneFrames = 0;
    d->takenFrames = 0;
    d->gapsPut = 0;
    d->gapsTaken = 0;
    d->readSinceStart = 0;
    d->seenAtNs = -1;
    d->startedAtNs = -1;
    d->seenReady = 0;
    d->seenRead = 0;
    d->lastFramesNs = monotonicNs();
    d->resumeMark = resumedCount();
    d->lostInRow = 0;
    d->dropSeen = 0;
    d->gapHeld = 0;
    d->loopWaiting = 0;
    d->readerWaiting = 0;
    d->stopAsked = 0;
    d->ended = 0;
    d->end = kCaptureRanOut;
    d->deviceError = 0;
    if (pthread_create(&d->thread, nullptr, readTake, d) != 0) return 0;
    d->threadRunning = 1;
    return 1;
}

// The span at the take loop's place, if there is one now: the next gap
// when it lies there, else frames up to it (or to what is shown), at most
// maxFrames and not past the ring's end. Returns 0 when nothing is there.
static int spanNow(CaptureDevice *d, long maxFrames, CaptureSpan *span)
{
    long n = (long)(sizeof d->gaps / sizeof d->gaps[0]);
    long long shown = loadCount(&d->readFrames);
    long long limit = shown;
    if (d->gapsTaken < __atomic_load_n(&d->gapsPut, __ATOMIC_ACQUIRE)) {
        const CaptureGap *g = &d->gaps[d->gapsTaken % n];
        if (g->at <= d->takenFrames) {
            span->data = nullptr;
            span->frames = 0;
            span->gapFrames = g->lostFrames;
            __atomic_store_n(&d->gapsTaken, d->gapsTaken + 1, __ATOMIC_RELEASE);
            return 1;
        }
        if (g->at < limit) limit = g->at;
    }
    long long frames = limit - d->takenFrames;
    if (frames <= 0) return 0;
    long at = (long)(d->takenFrames % d->ringFrames);
    if (frames > d->ringFrames - at) frames = d->ringFrames - at;
    if (frames > maxFrames) frames = maxFrames;
    span->data = d->ring + (size_t)at * (size_t)d->frameBytes;
    span->frames = (long)frames;
    span->gapFrames = 0;
    d->takenFrames += frames;
    return 1;
}

int nextCaptureSpan(CaptureDevice *d, long maxFrames, CaptureSpan *span)
{
    for (;;) {
        if (spanNow(d, maxFrames, span)) return 1;
        if (__atomic_load_n(&d->ended, __ATOMIC_SEQ_CST)) return spanNow(d, maxFrames, span);
        // Nothing there: asleep for a period (when the next one is due
        // from a card), or until the reading ends or has filled a quarter
        // of the ring. So the take loop wakes about once a period whatever
        // the device does, and the reading never has to wake it for one.
        __atomic_store_n(&d->loopWaiting, 1, __ATOMIC_SEQ_CST);
        pthread_mutex_lock(&d->lock);
        if (loadCount(&d->readFrames) == d->takenFrames &&
            d->gapsTaken == __atomic_load_n(&d->gapsPut, __ATOMIC_ACQUIRE) &&
            !__atomic_load_n(&d->ended, __ATOMIC_SEQ_CST))
            waitAtMost(&d->framesCame, &d->lock, framesNs(d, d->periodFrames));
        pthread_mutex_unlock(&d->lock);
        __atomic_store_n(&d->loopWaiting, 0, __ATOMIC_SEQ_CST);
    }
}

void releaseCaptureFrames(CaptureDevice *d, long long frames)
{
    storeCount(&d->doneFrames, loadCount(&d->doneFrames) + frames);
    // A reading thread that waits for room (a device faster than the
    // disk) is woken once a quarter of the ring is free, not for every
    // write: each wake-up costs both threads a switch.
    if (__atomic_load_n(&d->readerWaiting, __ATOMIC_SEQ_CST) &&
        d->ringFrames - (loadCount(&d->readFrames) - loadCount(&d->doneFrames)) >= d->ringFrames / 4) {
        pthread_mutex_lock(&d->lock);
        pthread_cond_signal(&d->roomCame);
        pthread_mutex_unlock(&d->lock);
    }
}

void stopCaptureTake(CaptureDevice *d)
{
    if (!d->threadRunning) return;
    __atomic_store_n(&d->stopAsked, 1, __ATOMIC_SEQ_CST);
    pthread_mutex_lock(&d->lock);
    pthread_cond_broadcast(&d->roomCame);
    pthread_mutex_unlock(&d->lock);
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
