// The take loop: the spans of frames and gaps the device's reading thread
// puts in the ring, measured, staged as the take file holds them and
// written at their place, with the running line as the take counts down.
#include "audio/takeloop.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

#include "audio/audio.h"
#include "audio/running_line.h"
#include "files/files.h"
#include "input/input.h"

// The reading of a take that waits to start: more frames than any device
// gives in centuries, and far from what the counts in frames can hold.
static const long long kEndlessFrames = 1LL << 60;

// On a terminal: the meter after the time left.
static void drawRemaining(Capture *c, float seconds, long long nowNs)
{
    char lead[32] = "Remaining ";
    int n = formatHundredths(seconds < 0 ? 0.0 : seconds, lead + 10);
    snprintf(lead + 10 + n, sizeof lead - 10 - (size_t)n, " sec");
    drawMeter(&c->meter, lead, nowNs);
}

// Ends the meter's line on a terminal, so that what follows starts a line
// of its own.
static void endMeterLine(Capture *c)
{
    if (c->meterShown && c->meter.linesDrawn > 0) {
        printf("\n");
        c->meter.linesDrawn = 0;
    }
}

void stampTakeStart(BextStamp *s, unsigned int rate, double secondsAgo)
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) memset(&now, 0, sizeof now);
    long long ns = (long long)now.tv_sec * 1000000000LL + now.tv_nsec -
                   (long long)(secondsAgo * 1e9);
    unsigned long unique = 0;
    if (getrandom(&unique, sizeof unique, GRND_NONBLOCK) != (ssize_t)sizeof unique)
        unique = (unsigned long)now.tv_nsec ^ ((unsigned long)getpid() << 12);
    makeBextStamp(s, ns / 1000000000LL, (long)(ns % 1000000000LL), rate, unique);
}

// A recording's first frame is the first of the take that starts its
// audio: its bext chunk takes that take's time, secondsAgo before now.
static void stampIfFirst(Capture *c, double secondsAgo)
{
    if (!c->broadcastWav || c->takeStartFrame != 0) return;
    BextStamp stamp;
    stampTakeStart(&stamp, (unsigned int)c->rateHz, secondsAgo);
    restampBext(c->take->fd, &stamp);
}

long long takeFrames(const Capture *c)
{
    long long period = c->dev.periodFrames;
    return (c->plannedFrames + period - 1) / period * period;
}


// Before a take: when the take file's disk (or the largest file it keeps)
// has less room than the take needs, one line says how long a take fits.
// The take still starts: a full disk ends it cleanly where it gets to.
static void warnOfRoom(const Capture *c)
{
    long long need = takeFrames(c) * c->frameBytes;
    long long room = freeBytes(c->take->path);
    long long largest = largestFile(c->take->path);
    long long used = c->take->headerBytes + c->takeStartFrame * c->frameBytes;
    if (largest >= 0 && (room < 0 || largest - used < room)) room = largest - used;
    if (room < 0 || room >= need) return;
    printf("Only %.2f sec of recording fit on the disk of %s\n",
           (double)(room / c->frameBytes) / c->rateHz, c->take->path);
}

size_t periodBytes(const Capture *c)
{
    return (size_t)c->dev.periodFrames * (size_t)c->frameBytes;
}

// Writes the staged pieces at their place in the take file: right after
// the frames of the take written before them; the ring's room they held
// goes back to the reading. Returns 1; or 0 after saying why the file did
// not take them, with the take's recorded frames cut back to the whole
// periods that are in the file.
static int writePending(Capture *c)
{
    if (c->stagedPieces == 0) return 1;
    size_t bytes = c->stagedBytes;
    long long firstFrame = c->recordedFrames - (long long)(bytes / (size_t)c->frameBytes);
    int pieces = c->stagedPieces;
    size_t written = 0;
    int ok = writeTakeFramesv(c->take, c->takeStartFrame + firstFrame, c->stagedIov, pieces, &written);
    int err = errno;
    releaseCaptureFrames(&c->dev, c->stagedRingFrames);
    c->stagedRingFrames = 0;
    c->pendingUsedBytes = 0;
    c->stagedBytes = 0;
    c->stagedPieces = 0;
    if (ok) return 1;
    // The reason is the failing call's own, taken before anything else could
    // change errno.
    printf("\nCannot write %s: %s", c->take->path, strerror(err));
    // The pieces written whole are kept, and of the piece written in part
    // (a span from a fast device can hold many periods) its whole periods.
    long long whole = firstFrame;
    long long left = (long long)(written / (size_t)c->frameBytes);
    for (int k = 0; k < pieces && left > 0; ++k) {
        long long frames = c->stagedFrames[k];
        if (frames > left) frames = left - left % c->dev.periodFrames;
        whole += frames;
        left -= c->stagedFrames[k];
    }
    c->recordedFrames = whole;
    return 0;
}

// Makes room for a piece of bytes more (copied into pending when copied),
// writing what is staged first when it does not fit. Returns 0 when the
// take file took no more.
static int makeRoom(Capture *c, size_t bytes, int copied)
{
    if (c->stagedBytes + bytes <= kPendingBytes && c->stagedPieces < kMaxPendingPieces &&
        (!copied || c->pendingUsedBytes + bytes <= c->pendingCapacityBytes))
        return 1;
    return writePending(c);
}

// Stages a piece of frames frames at bytes (in pending when copied).
static void stage(Capture *c, char *bytes, long frames, int copied)
{
    size_t n = (size_t)frames * (size_t)c->frameBytes;
    c->stagedIov[c->stagedPieces].iov_base = bytes;
    c->stagedIov[c->stagedPieces].iov_len = n;
    c->stagedFrames[c->stagedPieces] = frames;
    c->stagedPieces++;
    c->stagedBytes += n;
    if (copied) c->pendingUsedBytes += n;
}

// Follows the peaks of a span's frames: the take's, and the meter's and the
// picture's for a terminal.
static void measureSpan(Capture *c, const CaptureSpan *sp)
{
    long peaks[2] = {0, 0}, clips[2] = {0, 0};
    measureFrames(sp->frames, sp->data, (unsigned int)c->bytesPerSample, peaks, clips);
    if (peaks[0] > c->peak1) c->peak1 = peaks[0];
    if (c->channels == 2 && peaks[1] > c->peak2) c->peak2 = peaks[1];
    if (c->meterShown) {
        feedMeter(&c->meter, peaks, clips, monotonicNs());
        addPictureFrames(&c->picture, sp->frames, peaks, clips);
    }
}

// Stages the frames of a span (two channels interleaved, as the device
// gave them) as the file holds them: stereo frames where they are, their
// room in the ring kept until they are written; a mono span's left channel
// copied, its room given back at once. Follows the peaks. Returns 0 when
// the take file took no more.
static int stageSpan(Capture *c, const CaptureSpan *sp)
{
    size_t bytes = (size_t)sp->frames * (size_t)c->frameBytes;
    int copied = c->channels == 1;
    if (!makeRoom(c, bytes, copied)) return 0;
    measureSpan(c, sp);
    if (!copied) {
        stage(c, (char *)sp->data, sp->frames, 0);
        c->stagedRingFrames += sp->frames;
        return 1;
    }
    char *to = c->pending + c->pendingUsedBytes;
    size_t bps = (size_t)c->bytesPerSample;
    const char *from = sp->data;
    for (long k = 0; k < sp->frames; ++k, from += 2 * bps) memcpy(to + (size_t)k * bps, from, bps);
    stage(c, to, sp->frames, 1);
    releaseCaptureFrames(&c->dev, sp->frames);
    return 1;
}

// Stages frames of silence, for frames the device lost. Returns 0 when
// the take file took no more.
static int stageSilence(Capture *c, long long frames)
{
    while (frames > 0) {
        long n = c->dev.periodFrames;
        if (n > frames) n = (long)frames;
        size_t bytes = (size_t)n * (size_t)c->frameBytes;
        if (!makeRoom(c, bytes, 1)) return 0;
        memset(c->pending + c->pendingUsedBytes, 0, bytes);
        stage(c, c->pending + c->pendingUsedBytes, n, 1);
        c->recordedFrames += n;
        frames -= n;
    }
    return 1;
}

// The clocks of one take: when the running line, the writes and the sizes
// were last brought out.
struct TakeClocks {
    long long lastFlushNs;
    long long lastWriteNs;
    long long lastSizesNs;
};

// After a span has been staged: what a card delivers in real time is
// written, and counted by the file's sizes, within about a tenth of a
// second of its coming (the take loop looks about ten times a second), so
// a kill or a crash loses no more than that; from a device that runs faster, periods are
// gathered into fewer, larger writes, at least every 1/60 s. Returns 0
// when the take file took no more.
static int bringOut(Capture *c, TakeClocks *clocks)
{
    long long nowNs = monotonicNs();
    if (nowNs >= 0 && !runningFlushDue(nowNs, clocks->lastWriteNs) &&
        c->stagedBytes + periodBytes(c) <= kPendingBytes && c->stagedPieces < kMaxPendingPieces)
        return 1;
    if (!writePending(c)) return 0;
    clocks->lastWriteNs = nowNs;
    if (nowNs < 0 || runningFlushDue(nowNs, clocks->lastSizesNs)) {
        setTakeLength(c->take, c->takeStartFrame + c->recordedFrames);
        clocks->lastSizesNs = nowNs;
    }
    return 1;
}

// Says where the device lost frames ("RX", and where and how long when
// frames were lost), and fills the gap with as much silence: the take
// keeps its timeline. Returns 0 when the take file took no more.
static int fillGap(Capture *c, long long lostFrames)
{
    if (c->meterShown) {
        addPictureGap(&c->picture, lostFrames);
        endMeterLine(c);
    }
    printf("RX\n");
    if (lostFrames > 0) {
        printf("Lost %.2f sec at %.2f sec into the recording: filled with silence\n",
               (double)lostFrames / c->rateHz,
               (double)(c->takeStartFrame + c->recordedFrames) / c->rateHz);
    }
    return stageSilence(c, lostFrames);
}

// The running line for the frames frames the take now has after its
// recorded ones: one line for each period they begin, as it counts down;
// on a terminal, the meter beside the time left, ten times a second.
static void showRemaining(Capture *c, long frames, TakeClocks *clocks)
{
    long long period = c->dev.periodFrames;
    long long from = c->recordedFrames;
    if (c->meterShown) {
        long long nowNs = monotonicNs();
        long long last = from + frames - 1;
        if (meterDue(&c->meter, nowNs) || last >= c->takePlannedFrames - period)
            drawRemaining(c, (float)(c->takePlannedFrames - last / period * period) / c->rateHz,
                          nowNs);
        return;
    }
    for (long long at = (from + period - 1) / period * period; at < from + frames; at += period)
        printRunningSeconds("\rRemaining ", (float)(c->takePlannedFrames - at) / c->rateHz);
    flushRunningLine(&clocks->lastFlushNs);
}

// Takes a span of frames or a gap into the take, no further than limit
// frames. Returns 0 when the take file took no more.
static int takeSpan(Capture *c, CaptureSpan *sp, long long limit, TakeClocks *clocks)
{
    long long left = limit - c->recordedFrames;
    int ok;
    if (sp->data) {
        if (sp->frames > left) sp->frames = (long)left;
        ok = stageSpan(c, sp);
        if (ok) {
            showRemaining(c, sp->frames, clocks);
            c->recordedFrames += sp->frames;
        }
    } else {
        ok = fillGap(c, sp->gapFrames < left ? sp->gapFrames : left);
    }
    return ok && bringOut(c, clocks);
}

// Takes the spans of frames and gaps the device's reading thread shows,
// until the take holds limit frames (the reading ends there too, unless
// it was endless: it is stopped) or the reading ends, and writes them.
// Returns how they ran out: the take ran its course, or the take file
// took no more.
static TakeEnd takeSpans(Capture *c, long long limit, TakeClocks *clocks)
{
    CaptureSpan sp;
    // A mono span is copied into pending: no span is longer than it holds.
    long most = (long)(c->pendingCapacityBytes / (size_t)c->frameBytes);
    while (c->recordedFrames < limit && nextCaptureSpan(&c->dev, most, &sp)) {
        if (!takeSpan(c, &sp, limit, clocks)) {
            // The file takes no more: the reading is asked to stop, and the
            // take ends at once, without waiting for the device's read
            // under way (finishCaptureTake gathers it later).
            stopCaptureTake(&c->dev);
            return kTakeWriteFailed;
        }
    }
    if (c->recordedFrames >= limit) stopCaptureTake(&c->dev);
    return kTakeRanOut;
}

// The frames from startAt to what the take loop has taken (the pre-roll,
// and what came with the start), into the take. Returns 0 when the take
// file took no more.
static int takeFramesTaken(Capture *c, long long startAt, long long limit, TakeClocks *clocks)
{
    long most = (long)(c->pendingCapacityBytes / (size_t)c->frameBytes);
    for (long long at = startAt; at < captureTaken(&c->dev);) {
        long long left = captureTaken(&c->dev) - at;
        CaptureSpan sp;
        captureFramesAt(&c->dev, at, left < most ? (long)left : most, &sp);
        at += sp.frames;
        if (!takeSpan(c, &sp, limit, clocks)) return 0;
    }
    return 1;
}

// Waits for the start of a take that waits to start, then takes its first
// frames. Returns how that went: kTakeRanOut to go on, else how the take
// ended (nothing recorded when it was cancelled).
static TakeEnd startWhenWanted(Capture *c, long long *limit, TakeClocks *clocks)
{
    long long startAt = 0, preRoll = 0;
    int started = waitForTakeStart(c, &startAt, &preRoll);
    endMeterLine(c);
    if (started == 0) return endRequested() ? kTakeEnded : kTakeCancelled;
    printf("Recording...\n");
    if (started < 0) return kTakeRanOut;   // the reading ended: said below
    stampIfFirst(c, (double)preRoll / c->rateHz);
    c->takePlannedFrames += preRoll;
    *limit += preRoll;
    if (c->meterShown)
        startTakePicture(&c->picture, c->channels, c->bytesPerSample, c->takePlannedFrames);
    return takeFramesTaken(c, startAt, *limit, clocks) ? kTakeRanOut : kTakeWriteFailed;
}

int takeWaitsToStart(const Capture *c, long long startFrame)
{
    return startFrame == 0 && (c->preFrames > 0 || c->triggerLevel > 0);
}

// Sets up a take: nothing recorded yet, the meter and the picture fresh.
static void beginTake(Capture *c)
{
    c->peak1 = 0;
    c->peak2 = 0;
    c->recordedFrames = 0;
    c->pendingUsedBytes = 0;
    c->stagedBytes = 0;
    c->stagedPieces = 0;
    c->stagedRingFrames = 0;
    c->takePlannedFrames = c->plannedFrames;
    c->meterShown = startMeterOnTerminal(&c->meter, c->channels, c->bytesPerSample);
    if (c->meterShown)
        startTakePicture(&c->picture, c->channels, c->bytesPerSample, c->plannedFrames);
}

TakeEnd recordTake(Capture *c)
{
    beginTake(c);
    warnOfRoom(c);
    int waits = takeWaitsToStart(c, c->takeStartFrame);
    if (!waits) {
        printf("Recording...\n");
        stampIfFirst(c, 0.0);
    }
    long long limit = takeFrames(c);
    TakeClocks clocks = {-1, -1, -1};
    TakeEnd end = kTakeReadFailed;
    // A take that waits reads on until it has its frames.
    if (!startCaptureTake(&c->dev, waits ? kEndlessFrames : limit)) {
        printf("Cannot record from %s: %s\n", c->dev.name, strerror(errno));
    } else {
        end = waits ? startWhenWanted(c, &limit, &clocks) : kTakeRanOut;
        if (end == kTakeRanOut) end = takeSpans(c, limit, &clocks);
        if (c->meterShown && end != kTakeCancelled && end != kTakeEnded) {
            drawRemaining(c, (float)(c->takePlannedFrames - c->recordedFrames) / c->rateHz,
                          monotonicNs());
        }
        int ranOut = end == kTakeRanOut && c->recordedFrames >= limit;
        if (end != kTakeWriteFailed) finishCaptureTake(&c->dev);
        if (end == kTakeRanOut && !ranOut && c->dev.end == kCaptureStopped) end = kTakeStopped;
        if (end == kTakeRanOut && !ranOut && c->dev.end == kCaptureFailed) {
            endMeterLine(c);
            reportCaptureFailure(&c->dev);
            end = kTakeReadFailed;
        }
    }
    if (end != kTakeWriteFailed && !writePending(c)) end = kTakeWriteFailed;
    fflush(stdout);
    // A Ctrl-C that came with the last period has nothing left to stop; a
    // SIGTERM or SIGHUP ends the program whatever ended the take.
    if (endRequested()) end = kTakeEnded;
    else forgetStop();
    setTakeLength(c->take, c->takeStartFrame + c->recordedFrames);
    return end;
}
