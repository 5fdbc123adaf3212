// The capture engine: takes recorded period by period into the take file,
// the peak report after each take, and the take menu that decides what
// becomes of them. RECORD sets up, runs the take menu, and cleans up in
// one place; a take itself is recordTake. The device is capture.cpp's, the
// file takefile.cpp's.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

#include "audio/audio.h"
#include "audio/capture.h"
#include "audio/running_line.h"
#include "audio/takefile.h"
#include "files/files.h"
#include "input/input.h"
#include "wav/wav.h"

// Frames that a device delivers faster than real time are gathered into
// writes of up to this many bytes (at least one period).
static const size_t kPendingBytes = 262144;
// Pieces gathered into one write at most: their ends are where a write the
// disk cut short is cut back to.
static const int kMaxPendingPieces = 64;

// How a take ended.
enum TakeEnd {
    kTakeRanOut,       // its planned length was reached
    kTakeStopped,      // Ctrl-C: kept as far as it got
    kTakeEnded,        // SIGTERM or SIGHUP: the program ends
    kTakeWriteFailed,  // the take file took no more (a full disk)
    kTakeReadFailed,   // the device failed
};

// Everything one RECORD call works with: set up once, used by every take.
// Plain data; RECORD owns the device, the claim on the take file and the
// buffers.
struct Capture {
    CaptureDevice dev;
    TakeFile *take;             // claimed for the call (and after it)
    int channels;               // kept in the file: 1 or 2
    int bytesPerSample;         // 2 or 3
    long frameBytes;            // bytes of one frame in the file
    long long plannedFrames;    // planned length of every take
    float durationSeconds;      // planned length of one take
    float rateHz;               // divisor of the remaining-time display
    // Frames read and not yet written, as the file holds them, in pieces
    // written with one call: stereo frames where the device's ring holds
    // them (their room kept until written), mono frames and silence copied
    // into pending.
    char *pending;              // room for copied frames
    size_t pendingCapacityBytes;   // bytes of it: at least a period
    size_t pendingUsedBytes;    // bytes of it in use
    size_t stagedBytes;         // bytes in all pieces
    int stagedPieces;
    struct iovec stagedIov[kMaxPendingPieces];
    long stagedFrames[kMaxPendingPieces];
    long long stagedRingFrames; // frames of the ring the pieces hold

    long long keptBytes;        // audio bytes of the takes kept so far
    long long takeStartFrame;   // frame at which the current take begins
    long long recordedFrames;   // frames the current take holds in the file
    float lastTakeStartSeconds; // from the audio's start to the current take
    long peak1, peak2;          // the current take's peaks
};

// Frames a take really records: whole periods, the fewest that reach the
// planned length.
static long long takeFrames(const Capture *c)
{
    long long period = c->dev.periodFrames;
    return (c->plannedFrames + period - 1) / period * period;
}

// The most audio bytes the take file may hold for the recording under
// way (the record command sets it from the target's file system), or -1.
static long long recordingRoomBytes = -1;

void limitRecording(long long roomBytes) { recordingRoomBytes = roomBytes; }

// Whether the recordings RECORD makes carry a bext chunk.
static int broadcastWav = 0;

void recordBroadcastWav(int on) { broadcastWav = on ? 1 : 0; }

// The stamp of a take whose first frame is recorded now, at rate Hz, with
// a reference no other take shares.
static void stampNow(BextStamp *s, unsigned int rate)
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) memset(&now, 0, sizeof now);
    unsigned long unique = 0;
    if (getrandom(&unique, sizeof unique, GRND_NONBLOCK) != (ssize_t)sizeof unique)
        unique = (unsigned long)now.tv_nsec ^ ((unsigned long)getpid() << 12);
    makeBextStamp(s, (long long)now.tv_sec, now.tv_nsec, rate, unique);
}

// Whether a take starting at startFrame fits what the recording may hold.
static int takeFits(const Capture *c, long long startFrame)
{
    long long end = (startFrame + takeFrames(c)) * c->frameBytes;
    return end <= kMaxAudioBytes && (recordingRoomBytes < 0 || end <= recordingRoomBytes);
}

// Readies the take file for a take starting at startFrame: past what a
// RIFF header's sizes state it becomes RF64 first. Returns 0 after a
// message when the take does not fit, or the file could not be made RF64.
static int readyForTake(Capture *c, long long startFrame)
{
    if (!takeFits(c, startFrame)) {
        if (startFrame == 0)
            printf("A take of %.2f sec would make the recording larger than its file system "
                   "allows\n",
                   c->durationSeconds);
        else
            printf("Another take would make the recording larger than its file system allows\n");
        return 0;
    }
    // A RIFF header longer by a bext chunk states that much less audio.
    long long most = kRiffDataLimit - (c->take->headerBytes - kWavHeaderBytes);
    if ((startFrame + takeFrames(c)) * c->frameBytes > most) return makeTakeRf64(c->take);
    return 1;
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

// Bytes of one period as the take file holds it.
static size_t periodBytes(const Capture *c)
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
    checkFramePeaks(sp->frames, sp->data, (unsigned int)c->bytesPerSample, &c->peak1,
                    c->channels == 2 ? &c->peak2 : nullptr);
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

// After a period has been staged: each period a card delivers in real
// time is written, and counted by the file's sizes, within about a period
// of its coming (the take loop looks once a period), so a kill or a crash
// loses no more than that; from a device that runs faster, periods are
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
    printf("RX\n");
    if (lostFrames > 0) {
        printf("Lost %.2f sec at %.2f sec into the recording: filled with silence\n",
               (double)lostFrames / c->rateHz,
               (double)(c->takeStartFrame + c->recordedFrames) / c->rateHz);
    }
    return stageSilence(c, lostFrames);
}

// The running line for the frames frames the take now has after its
// recorded ones: one line for each period they begin, as it counts down.
static void showRemaining(Capture *c, long frames, TakeClocks *clocks)
{
    long long period = c->dev.periodFrames;
    long long from = c->recordedFrames;
    for (long long at = (from + period - 1) / period * period; at < from + frames; at += period)
        printRunningSeconds("\rRemaining ", (float)(c->plannedFrames - at) / c->rateHz);
    flushRunningLine(&clocks->lastFlushNs);
}

// Takes the spans of frames and gaps the device's reading thread shows,
// until the take is read, and writes them. Returns how they ran out: the
// take ran its course, or the take file took no more.
static TakeEnd takeSpans(Capture *c)
{
    TakeClocks clocks = {-1, -1, -1};
    CaptureSpan sp;
    // A mono span is copied into pending: no span is longer than it holds.
    long most = (long)(c->pendingCapacityBytes / (size_t)c->frameBytes);
    while (nextCaptureSpan(&c->dev, most, &sp)) {
        int ok;
        if (sp.data) {
            ok = stageSpan(c, &sp);
            if (ok) {
                showRemaining(c, sp.frames, &clocks);
                c->recordedFrames += sp.frames;
            }
        } else {
            ok = fillGap(c, sp.gapFrames);
        }
        if (!ok || !bringOut(c, &clocks)) {
            // The file takes no more: the reading is asked to stop, and the
            // take ends at once, without waiting for the device's read
            // under way (finishCaptureTake gathers it later).
            stopCaptureTake(&c->dev);
            return kTakeWriteFailed;
        }
    }
    return kTakeRanOut;
}

// Records one take at the take start frame: the device is read on its own
// thread, the blocks written here. It ends when its planned length is
// reached, at Ctrl-C (kept as far as it got), at SIGTERM or SIGHUP, or at
// once when the device or the take file fails; the take file then holds
// every frame read and written before, its sizes count them all, and
// nothing after them.
static TakeEnd recordTake(Capture *c)
{
    c->peak1 = 0;
    c->peak2 = 0;
    c->recordedFrames = 0;
    c->pendingUsedBytes = 0;
    c->stagedBytes = 0;
    c->stagedPieces = 0;
    c->stagedRingFrames = 0;
    warnOfRoom(c);
    printf("Recording...\n");
    // The recording's first frame is this take's when it starts the audio.
    if (broadcastWav && c->takeStartFrame == 0) {
        BextStamp stamp;
        stampNow(&stamp, (unsigned int)c->rateHz);
        restampBext(c->take->fd, &stamp);
    }
    TakeEnd end = kTakeReadFailed;
    if (!startCaptureTake(&c->dev, takeFrames(c))) {
        printf("Cannot record from %s: %s\n", c->dev.name, strerror(errno));
    } else {
        end = takeSpans(c);
        if (end != kTakeWriteFailed) finishCaptureTake(&c->dev);
        if (end != kTakeWriteFailed && c->dev.end == kCaptureStopped) end = kTakeStopped;
        if (end != kTakeWriteFailed && c->dev.end == kCaptureFailed) {
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

static void showReport(const Capture *c)
{
    printf("\n\n");
    ShowPeaks(1, c->peak1, c->bytesPerSample);
    if (c->channels == 2) ShowPeaks(2, c->peak2, c->bytesPerSample);
}

static void showMenu()
{
    printf("\n1 = save recording and return\n");
    printf("2 = continue recording\n");
    printf("3 = redo last take\n");
    printf("4 = delete last take and return\n");
    printf("5 = play last take\n");
}

// SIGTERM or SIGHUP: the take file keeps everything recorded, with exact
// sizes, and the program is to end without touching anything else.
static long long endWithTake(Capture *c)
{
    setTakeLength(c->take, c->takeStartFrame + c->recordedFrames);
    syncTake(c->take);
    printf("\nThe recording is kept in %s\n", c->take->path);
    return kRecordEnded;
}

// Reads the take menu's answer. End of input keeps what was recorded, as
// "1" does. Returns 0 when a signal cut the wait short.
static int readAnswer(char *answer)
{
    if (readWord(answer, kAnswerBytes)) return 1;
    if (caughtSignal()) return 0;
    strcpy(answer, "1");
    return 1;
}

// The frames of the current take that the next take keeps: a take that
// ran its course is kept to its planned length (the next take overwrites
// what it recorded past it), one that ended early as far as it got.
static long long keptFrames(const Capture *c)
{
    return c->recordedFrames < c->plannedFrames ? c->recordedFrames : c->plannedFrames;
}

// "2": the take is kept to where the next one starts, and the next one is
// recorded there. The file is cut to what is kept first, so what this take
// recorded past its planned length never reads as part of the recording,
// not even after a kill.
static TakeEnd continueRecording(Capture *c)
{
    long long frames = keptFrames(c);
    c->keptBytes += c->frameBytes * frames;
    c->lastTakeStartSeconds +=
        frames == c->plannedFrames ? c->durationSeconds : (float)frames / c->rateHz;
    c->takeStartFrame += frames;
    c->recordedFrames = 0;
    setTakeLength(c->take, c->takeStartFrame);
    return recordTake(c);
}

// "3" (redo) and "4" (delete): the last take goes from the file, which then
// holds exactly what was kept.
static void dropLastTake(Capture *c)
{
    c->recordedFrames = 0;
    setTakeLength(c->take, c->takeStartFrame);
}

// Reads an answer and shows the menu again for as long as "2" would make
// the recording too long (said why). Returns 0 when a signal cut the wait
// short.
static int readMenuAnswer(Capture *c, char *answer)
{
    if (!readAnswer(answer)) return 0;
    while (strcmp(answer, "2") == 0 && !readyForTake(c, c->takeStartFrame + keptFrames(c))) {
        showMenu();
        if (!readAnswer(answer)) return 0;
    }
    return 1;
}

// Shows the report and the take menu after a take, and carries out the
// answers until the user is done. Returns the audio bytes kept, or
// kRecordEnded.
static long long takeMenu(Capture *c, TakeEnd end)
{
    char answer[kAnswerBytes];
    for (;;) {
        if (end == kTakeEnded) return endWithTake(c);
        showReport(c);
        showMenu();
        if (!readMenuAnswer(c, answer)) return endWithTake(c);
        if (strcmp(answer, "1") == 0) {
            c->keptBytes += c->frameBytes * c->recordedFrames;
            return c->keptBytes;
        } else if (strcmp(answer, "2") == 0) {
            end = continueRecording(c);
        } else if (strcmp(answer, "3") == 0) {
            dropLastTake(c);
            end = recordTake(c);
        } else if (strcmp(answer, "4") == 0) {
            dropLastTake(c);
            return c->keptBytes;
        } else {
            // The take is in the file (every period is written straight
            // through) when the player opens it by name.
            PLAY(c->take->path, c->dev.name, c->lastTakeStartSeconds,
                 c->lastTakeStartSeconds + c->durationSeconds);
            if (endRequested()) return endWithTake(c);
            forgetStop();   // Ctrl-C stopped the playback, nothing more
        }
    }
}

// Refuses, before anything is written, a take longer than a WAV file can
// hold. Returns 1 when it fits (planned frames set).
static int plannedTakeFits(Capture *c, unsigned int rate)
{
    double planned = (double)rate * (double)c->durationSeconds;
    if (!(planned >= 0.0)) planned = 0.0;
    double maxFrames = (double)(kMaxAudioBytes / c->frameBytes);
    if (planned > maxFrames) {
        printf("A take of %.2f sec is too long for a WAV file: at most %.2f sec fit at these "
               "settings\n",
               c->durationSeconds, maxFrames / (rate > 0 ? (double)rate : 1.0));
        return 0;
    }
    c->plannedFrames = (long long)planned;
    return 1;
}

// The pending writes, sized by the period the device settled on. Returns
// 1; 0 after saying there is not enough memory.
static int allocateBuffers(Capture *c)
{
    c->pendingCapacityBytes = kPendingBytes / periodBytes(c) * periodBytes(c);
    if (c->pendingCapacityBytes == 0) c->pendingCapacityBytes = periodBytes(c);
    c->pending = (char *)malloc(c->pendingCapacityBytes);
    if (!c->pending) {
        printf("Not enough memory for a period of %li frames\n", c->dev.periodFrames);
        return 0;
    }
    return 1;
}

// Everything up to the first take: the take file claimed with a fresh
// header, the device open and configured, the buffers allocated. Returns
// 1; 0 when there is nothing to record (said why); -1 when the take file
// or the device failed (said why). What it opened is closed by cleanUp.
static int setUp(Capture *c, const char *device, const char *takePath, unsigned int rate, int bits)
{
    if (!plannedTakeFits(c, rate)) return 0;
    c->take = claimTakeFile(takePath);
    if (!c->take) return -1;
    BextStamp stamp;
    if (broadcastWav) stampNow(&stamp, rate);
    const BextStamp *bext = broadcastWav ? &stamp : nullptr;
    if (!startTake(c->take, rate, c->channels, bits, c->plannedFrames, bext)) return -1;
    if (!openCapture(&c->dev, device, rate, c->bytesPerSample)) return -1;
    // Whole periods may carry the take past what the header was made for.
    if (!readyForTake(c, 0)) return 0;
    return allocateBuffers(c) ? 1 : -1;
}

// Ends the call in one place: the device and the buffers go; the take
// file, which the claim keeps open, is flushed to disk when it holds a
// take to keep.
static long long cleanUp(Capture *c, long long result)
{
    closeCapture(&c->dev);
    free(c->pending);
    if (result > 0 && !syncTake(c->take))
        printf("Could not finish writing the take file %s: %s\n", c->take->path, strerror(errno));
    return result;
}

long long RECORD(const char *device, unsigned int rate, float duration, int channels, int bits,
                 const char *takePath)
{
    Capture c;
    memset(&c, 0, sizeof c);
    c.channels = channels;
    c.bytesPerSample = bits / 8;
    c.frameBytes = (long)channels * c.bytesPerSample;
    c.durationSeconds = duration;
    c.rateHz = (float)rate;
    c.lastTakeStartSeconds = 0.0f;

    int ready = setUp(&c, device, takePath, rate, bits);
    if (ready <= 0) return cleanUp(&c, ready);   // a refused take keeps nothing
    // A signal that came while the device opened: nothing is recorded.
    if (caughtSignal()) return cleanUp(&c, endRequested() ? kRecordEnded : 0);
    // From the first take to the last answer, Ctrl-C stops a take and
    // SIGTERM or SIGHUP end the program with the take kept (the console
    // catches them already; a caller that does not gets the same).
    SignalCatch signals;
    catchSignals(&signals, 1);
    long long result = takeMenu(&c, recordTake(&c));
    releaseSignals(&signals);
    return cleanUp(&c, result);
}
