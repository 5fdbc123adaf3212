// The capture device: open and configure it for two channels, read a
// take on a thread of its own into a bounded queue of blocks (waiting for a
// device that has nothing without spinning, counting what over-runs and
// suspends lose), and close it.
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
    // The queue's bound in whole blocks of a period, at least two.
    double perBlock = (double)d->periodFrames / d->rateHz;
    d->maxBlocks = (long)((double)kCaptureQueueSeconds / perBlock) + 1;
    if (d->maxBlocks < 2) d->maxBlocks = 2;
    pthread_mutex_init(&d->lock, nullptr);
    pthread_cond_init(&d->changed, nullptr);
    return 1;
}

// Frees a list of blocks linked by next.
static void freeBlocks(CaptureBlock *b)
{
    while (b) {
        CaptureBlock *next = b->next;
        free(b);
        b = next;
    }
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
    // Set up only once the device was configured (maxBlocks says so).
    if (d->maxBlocks > 0) {
        freeBlocks(d->queueHead);
        freeBlocks(d->freeBlocks);
        d->queueHead = d->queueTail = d->freeBlocks = nullptr;
        pthread_mutex_destroy(&d->lock);
        pthread_cond_destroy(&d->changed);
        d->maxBlocks = 0;
    }
}

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
    if (d->seenAtNs >= 0 && now >= 0 && !d->heldHead && ready >= d->bufferFrames - d->periodFrames &&
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

// Reads want frames (no more than the device holds ready) into the block
// after the frames it has: straight from the device when it gives
// interleaved frames, else through the channel halves. The result is
// snd_pcm_readi's or snd_pcm_readn's, or framesReady's when that is not a
// positive count.
//
// Reading no more than is ready keeps a sound server's plugin from being
// left holding part of a block the server sent: if the server goes away
// while the plugin holds one, the plugin's own thread waits for it to be
// handed back while holding the lock every call into the plugin takes,
// and the program would hang in its next call.
static snd_pcm_sframes_t readInto(CaptureDevice *d, CaptureBlock *b, long want)
{
    snd_pcm_sframes_t ready = framesReady(d, want);
    if (d->dropSeen > 0) return kGapSeen;
    if (ready <= 0) return ready;
    snd_pcm_uframes_t n = (snd_pcm_uframes_t)(ready < want ? ready : want);
    size_t frameBytes = kCaptureChannels * (size_t)d->bytesPerSample;
    char *to = b->data + (size_t)b->frames * frameBytes;
    if (d->interleavedAccess) return snd_pcm_readi(d->pcm, to, n);
    char *left = d->channelHalves;
    char *right = d->channelHalves + (size_t)d->periodFrames * (size_t)d->bytesPerSample;
    void *halves[2] = {left, right};
    snd_pcm_sframes_t got = snd_pcm_readn(d->pcm, halves, n);
    if (got > 0) Interleave((unsigned int)got, (unsigned int)d->bytesPerSample, left, right, to);
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

// How filling a block ended: full (or ended by a gap the device said or
// may have dropped unsaid), stopped, or failed.
enum Fill { kFilled, kFillGapSeen, kFillStopped, kFillFailed };

// Fills the block with up to want frames, in as many reads as the device
// takes to deliver them. A block ends early at an over-run or a suspend
// (*lost frames lost after its frames, *overRuns 1), or when the reading
// is to stop (kFillStopped, with the frames read so far). kFillFailed when
// the device failed or keeps failing (d->deviceError says how). A device
// that delivers nothing is waited for, never read at the CPU's speed.
static Fill fillBlock(CaptureDevice *d, CaptureBlock *b, long want, long long *lost, int *overRuns)
{
    *lost = 0;
    *overRuns = 0;
    while (b->frames < want) {
        if (stopWanted(d)) return kFillStopped;
        snd_pcm_sframes_t got = readInto(d, b, want - b->frames);
        if (got > 0) {
            b->frames += (long)got;
            d->readSinceStart += got;
            d->lastFramesNs = monotonicNs();
            d->lostInRow = 0;
        } else if (got == -EAGAIN || got == 0 || got == -EINTR) {
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
            return kFillGapSeen;
        } else if (got == -EPIPE || got == -ESTRPIPE) {
            long long n = restartAfterLoss(d, got);
            d->lastFramesNs = monotonicNs();
            if (n < 0 || ++d->lostInRow > kMaxLostInRow) {
                d->deviceError = n < 0 ? (int)n : (int)got;
                return kFillFailed;
            }
            *lost = n;
            *overRuns = 1;
            return kFilled;
        } else {
            d->deviceError = (int)got;
            return kFillFailed;
        }
    }
    return kFilled;
}

// A block to fill: one taken back, a new one while the queue's bound
// allows, or else, once one is taken back, that one. nullptr when the
// reading is to stop meanwhile, or no memory is left.
static CaptureBlock *blockToFill(CaptureDevice *d)
{
    size_t bytes = (size_t)d->periodFrames * kCaptureChannels * (size_t)d->bytesPerSample;
    pthread_mutex_lock(&d->lock);
    CaptureBlock *b = nullptr;
    while (!b) {
        if (d->freeBlocks) {
            b = d->freeBlocks;
            d->freeBlocks = b->next;
            d->freeCount--;
        } else if (d->blocksMade < d->maxBlocks) {
            b = (CaptureBlock *)malloc(sizeof *b + bytes);
            if (!b) break;
            b->data = (char *)(b + 1);
            d->blocksMade++;
        } else if (stopWanted(d)) {
            break;
        } else {
            // The take loop is behind by the whole queue: wait for room,
            // looking at the signals now and then.
            struct timespec until;
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_nsec += kRoomWaitNs;
            if (until.tv_nsec >= 1000000000L) {
                until.tv_sec += 1;
                until.tv_nsec -= 1000000000L;
            }
            d->readerWaiting = 1;
            pthread_cond_timedwait(&d->changed, &d->lock, &until);
            d->readerWaiting = 0;
        }
    }
    pthread_mutex_unlock(&d->lock);
    if (b) {
        b->next = nullptr;
        b->frames = 0;
        b->gapFrames = 0;
        b->overRuns = 0;
    }
    return b;
}

// Hands a filled block to the take loop, waking it only when it waits.
static void queueBlock(CaptureDevice *d, CaptureBlock *b)
{
    pthread_mutex_lock(&d->lock);
    if (d->queueTail) d->queueTail->next = b;
    else d->queueHead = b;
    d->queueTail = b;
    if (d->loopWaiting) pthread_cond_signal(&d->changed);
    pthread_mutex_unlock(&d->lock);
}

// The reading ends: the last block is queued, and the take loop learns why.
static void endReading(CaptureDevice *d, CaptureEnd end)
{
    pthread_mutex_lock(&d->lock);
    d->ended = 1;
    d->end = end;
    pthread_cond_broadcast(&d->changed);
    pthread_mutex_unlock(&d->lock);
}

// Holds a block back while a gap the device may have dropped unsaid is
// watched.
static void holdBlock(CaptureDevice *d, CaptureBlock *b)
{
    if (d->heldTail) d->heldTail->next = b;
    else d->heldHead = b;
    d->heldTail = b;
    d->heldBlocks++;
}

// Decides the gap the held blocks follow: it counts when the frames that
// came after it came no faster than real time (the device dropped them),
// not when they caught up (a server that kept them across a stop). Then
// the held blocks go to the take loop. With force the frames so far
// decide; otherwise a decision waits until the frames tell or the watch
// is over.
static void decideGap(CaptureDevice *d, int force)
{
    if (!d->heldHead) return;
    long long now = wallNs();
    long long since = now - d->gapSeenAtNs;
    double inTime = (double)since * d->rateHz / 1e9 + (double)(d->bufferFrames + d->periodFrames);
    int caughtUp = (double)(d->readSinceStart - d->gapSeenRead) > inTime;
    if (!caughtUp && !force && since < kGapWatchNs && d->heldBlocks < d->maxBlocks / 2) return;
    if (caughtUp) {
        d->takenFrames -= d->heldHead->gapFrames;
        d->heldHead->gapFrames = 0;
        d->heldHead->overRuns = 0;
    }
    while (CaptureBlock *b = d->heldHead) {
        d->heldHead = b->next;
        b->next = nullptr;
        if (b->frames > 0 || b->overRuns > 0) queueBlock(d, b);
        else releaseCaptureBlock(d, b);
    }
    d->heldTail = nullptr;
    d->heldBlocks = 0;
}

// Fills the next block of the take. Returns how it ended; the block is
// queued, held back, or given back.
static Fill readBlock(CaptureDevice *d)
{
    CaptureBlock *b = blockToFill(d);
    if (!b) {
        d->deviceError = -ENOMEM;
        return stopWanted(d) ? kFillStopped : kFillFailed;
    }
    long long left = d->takeFrames - d->takenFrames;
    long want = left < d->periodFrames ? (long)left : d->periodFrames;
    long long lost = 0;
    int overRuns = 0;
    Fill fill = fillBlock(d, b, want, &lost, &overRuns);
    d->takenFrames += b->frames;
    // A gap never takes the take past its length.
    if (lost > d->takeFrames - d->takenFrames) lost = d->takeFrames - d->takenFrames;
    b->gapFrames = lost;
    b->overRuns = overRuns || fill == kFillGapSeen;
    d->takenFrames += lost;
    if (fill == kFillGapSeen) {
        // Frames the device may have dropped unsaid: held until the frames
        // after them tell.
        decideGap(d, 1);
        d->gapSeenAtNs = wallNs();
        d->gapSeenRead = d->readSinceStart;
        holdBlock(d, b);
        return kFilled;
    }
    if (d->heldHead) holdBlock(d, b);
    else if (b->frames > 0 || b->overRuns > 0) queueBlock(d, b);
    else releaseCaptureBlock(d, b);
    decideGap(d, 0);
    return fill;
}

// The reading thread: the take's frames, block by block, until the take
// is whole (gaps count), a signal or the take loop stops it, or the device
// fails. The user's signals are for the take loop's thread: they are
// blocked here.
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
        if (d->takenFrames >= d->takeFrames) {
            // A gap still watched decides now; one that was not there
            // leaves frames to read.
            decideGap(d, 1);
            if (d->takenFrames >= d->takeFrames) break;
        }
        Fill fill = readBlock(d);
        if (fill == kFillStopped || fill == kFillFailed) {
            end = fill == kFillStopped ? kCaptureStopped : kCaptureFailed;
            break;
        }
    }
    decideGap(d, 1);
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
    d->takenFrames = 0;
    d->readSinceStart = 0;
    d->seenAtNs = -1;
    d->startedAtNs = -1;
    d->seenReady = 0;
    d->seenRead = 0;
    d->lastFramesNs = monotonicNs();
    d->resumeMark = resumedCount();
    d->lostInRow = 0;
    d->dropSeen = 0;
    d->heldHead = d->heldTail = nullptr;
    d->heldBlocks = 0;
    d->stopAsked = 0;
    d->ended = 0;
    d->end = kCaptureRanOut;
    d->deviceError = 0;
    if (pthread_create(&d->thread, nullptr, readTake, d) != 0) return 0;
    d->threadRunning = 1;
    return 1;
}

CaptureBlock *nextCaptureBlock(CaptureDevice *d)
{
    pthread_mutex_lock(&d->lock);
    while (!d->queueHead && !d->ended) {
        d->loopWaiting = 1;
        pthread_cond_wait(&d->changed, &d->lock);
        d->loopWaiting = 0;
    }
    CaptureBlock *b = d->queueHead;
    if (b) {
        d->queueHead = b->next;
        if (!d->queueHead) d->queueTail = nullptr;
        b->next = nullptr;
    }
    pthread_mutex_unlock(&d->lock);
    return b;
}

void releaseCaptureBlock(CaptureDevice *d, CaptureBlock *b)
{
    pthread_mutex_lock(&d->lock);
    b->next = d->freeBlocks;
    d->freeBlocks = b;
    d->freeCount++;
    // A reading thread that waits for room (a device faster than the
    // disk) is woken for a quarter of the queue at a time, not for every
    // block: each wake-up costs both threads a switch.
    if (d->readerWaiting && d->freeCount >= (d->maxBlocks + 3) / 4) pthread_cond_signal(&d->changed);
    pthread_mutex_unlock(&d->lock);
}

void stopCaptureTake(CaptureDevice *d)
{
    if (!d->threadRunning) return;
    __atomic_store_n(&d->stopAsked, 1, __ATOMIC_RELEASE);
    pthread_mutex_lock(&d->lock);
    pthread_cond_broadcast(&d->changed);
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
    // Blocks the take loop did not take (it stopped early) are kept for
    // the next take.
    pthread_mutex_lock(&d->lock);
    while (CaptureBlock *b = d->queueHead) {
        d->queueHead = b->next;
        b->next = d->freeBlocks;
        d->freeBlocks = b;
        d->freeCount++;
    }
    d->queueTail = nullptr;
    pthread_mutex_unlock(&d->lock);
}

void reportCaptureFailure(const CaptureDevice *d)
{
    // On standard error, as ALSA's failures are; the running line it
    // breaks is on standard output and goes out first.
    fflush(stdout);
    fprintf(stderr, "\nCannot record from %s: %s\n", d->name, snd_strerror(d->deviceError));
}
