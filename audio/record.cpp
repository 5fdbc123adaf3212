// The capture engine: takes recorded period by period into the take file,
// the peak report after each take, and the take menu that decides what
// becomes of them. RECORD sets up, runs the take menu, and cleans up in
// one place; a take itself is takeloop.cpp's recordTake, the device
// capture.cpp's, the file takefile.cpp's.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "audio/audio.h"
#include "audio/takeloop.h"
#include "audio/takefile.h"
#include "files/files.h"
#include "input/input.h"
#include "wav/wav.h"

// The most audio bytes the take file may hold for the recording under
// way (the record command sets it from the target's file system), or -1.
static long long recordingRoomBytes = -1;

void limitRecording(long long roomBytes) { recordingRoomBytes = roomBytes; }

// How the next RECORD call's first take starts (see startTakesWith).
static float startPreSeconds = 0.0f;
static float startTriggerDb = 0.0f;

// Whether the recordings RECORD makes carry a bext chunk.
static int broadcastWav = 0;

void recordBroadcastWav(int on) { broadcastWav = on ? 1 : 0; }

void startTakesWith(float preSeconds, float triggerDb)
{
    startPreSeconds = preSeconds > 0.0f ? preSeconds : 0.0f;
    startTriggerDb = triggerDb < 0.0f ? triggerDb : 0.0f;
}

// Where a take starting at startFrame ends at most: its pre-roll counts.
static long long takeEnd(const Capture *c, long long startFrame)
{
    return startFrame + takeFrames(c) + (takeWaitsToStart(c, startFrame) ? c->preFrames : 0);
}

// Whether a take starting at startFrame fits what the recording may hold.
static int takeFits(const Capture *c, long long startFrame)
{
    long long end = takeEnd(c, startFrame) * c->frameBytes;
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
    if (takeEnd(c, startFrame) * c->frameBytes > most) return makeTakeRf64(c->take);
    return 1;
}

static void showReport(const Capture *c)
{
    printf("\n\n");
    ShowPeaks(1, c->peak1, c->bytesPerSample);
    if (c->channels == 2) ShowPeaks(2, c->peak2, c->bytesPerSample);
    // On a terminal, the take as a picture below the levels.
    if (c->meterShown) showTakePicture(&c->picture);
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
    return c->recordedFrames < c->takePlannedFrames ? c->recordedFrames : c->takePlannedFrames;
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
        frames == c->takePlannedFrames ? c->lastTakeSeconds : (float)frames / c->rateHz;
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
        // Ctrl-C before the take started: nothing more was recorded.
        if (end == kTakeCancelled) return c->keptBytes;
        // The last take's length as planned, for playing it: its pre-roll
        // counts.
        c->lastTakeSeconds = c->takePlannedFrames == c->plannedFrames
                                 ? c->durationSeconds
                                 : (float)c->takePlannedFrames / c->rateHz;
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
                 c->lastTakeStartSeconds + c->lastTakeSeconds);
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
    if (broadcastWav) stampTakeStart(&stamp, rate, 0.0);
    const BextStamp *bext = broadcastWav ? &stamp : nullptr;
    if (!startTake(c->take, rate, c->channels, bits, c->plannedFrames, bext)) return -1;
    // The ring keeps the pre-roll besides what it holds for stalls.
    int keepSeconds = (int)startPreSeconds + (startPreSeconds > (int)startPreSeconds ? 1 : 0);
    if (!openCapture(&c->dev, device, rate, c->bytesPerSample, keepSeconds)) return -1;
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
    c.lastTakeSeconds = duration;
    c.broadcastWav = broadcastWav;
    c.preFrames = (long long)((double)rate * (double)startPreSeconds);
    c.triggerDb = startTriggerDb;
    // The level to pass, as a sample value: full scale times 10^(dB/20).
    if (startTriggerDb < 0.0f)
        c.triggerLevel = (long)(pow(10.0, (double)startTriggerDb / 20.0) *
                                (c.bytesPerSample == 3 ? 8388608.0 : 32768.0));

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

