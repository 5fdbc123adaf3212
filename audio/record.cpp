// The capture engine: takes recorded period by period into the take file,
// the peak report after each take, and the take menu that decides what
// becomes of them. RECORD sets up, runs the take menu, and cleans up in
// one place; a take itself is recordTake.
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "audio/audio.h"
#include "audio/devices.h"
#include "audio/running_line.h"
#include "audio/takefile.h"
#include "input/input.h"
#include "wav/wav.h"

// The device is asked for periods of 4096 frames and a buffer of eight
// periods; whatever period it settles on is the unit of every read.
static const snd_pcm_uframes_t kRequestedPeriod = 4096;
static const snd_pcm_uframes_t kRequestedBuffer = 32768;
// Capture always runs in stereo; a mono recording keeps channel 1 (left).
static const unsigned int kCaptureChannels = 2;
// A device that gives no frames for this long counts as failed. A sound
// server can take two seconds to send the first ones of a take.
static const long long kQuietLimitNs = 5000000000LL;
// Over-runs and suspends in a row, with no period read between them,
// after which the device counts as failed: a healthy device delivers a
// period after it has been prepared again.
static const int kMaxLostPeriods = 8;
// Periods that a device delivers faster than real time are gathered into
// writes of up to this many bytes (whole periods, at least one).
static const size_t kPendingBytes = 65536;
// The take menu's answer: every answer that means something is one
// character, longer words are cut (and then play the last take).
static const int kAnswerBytes = 16;
// The header's RIFF size counts the 36 header bytes after its own field.
static const long kRiffSizeBase = 36;

// How a take ended.
enum TakeEnd {
    kTakeRanOut,       // its planned length was reached
    kTakeStopped,      // Ctrl-C: kept as far as it got
    kTakeEnded,        // SIGTERM or SIGHUP: the program ends
    kTakeWriteFailed,  // the take file took no more (a full disk)
    kTakeReadFailed,   // the device failed
};

// Everything one RECORD call works with: set up once, used by every take.
// Plain data; RECORD owns the handle, the take file and the buffers.
struct Capture {
    snd_pcm_t *pcm;
    int take;              // the take file, claimed (locked) for the call
    const char *device;
    const char *takePath;
    long period;           // frames per read, as the device settled it
    int channels;          // kept in the file: 1 or 2
    int bytesPerSample;    // 2 or 3
    int frameSize;         // bytes of one frame in the file
    long plannedFrames;    // planned length of every take
    float duration;        // seconds of one planned take
    float rateAsFloat;     // divisor of the remaining-time display
    char header[kRf64HeaderBytes];  // the take file's header as written (its first 44 bytes)
    char *block;           // channel 1 half, then channel 2 half
    char *pending;         // periods read and not yet written, as the file holds them
    size_t pendingBytes;   // room in pending: whole periods
    size_t pendingUsed;    // bytes in pending
    char *interleaved;     // a period of interleaved frames, read with snd_pcm_readi
    int interleavedAccess; // the device offers interleaved frames only (snd_pcm_readi)
    long long lastFramesNs;   // when the device last gave frames (or the take began)
    int lostPeriods;       // over-runs and suspends in a row

    long kept;             // data bytes of the takes kept so far
    long takeStart;        // frame at which the current take begins
    long recorded;         // frames the current take holds in the file
    float lastTakeStart;   // seconds from the data's start to the current take
    long peak1, peak2;     // the current take's peaks
};

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

// Opens and configures the capture device, always two channels. Channel
// buffers (non-interleaved access, read with snd_pcm_readn) are asked for
// first; a device that refuses them (a sound server's plugin, say) is
// read in interleaved frames (snd_pcm_readi) instead, and *interleaved
// says so: the take file's bytes are the same either way. A device that
// grants other channels, another format or another rate than asked is
// refused before the take: a take at another rate would play at the
// wrong speed. Returns 1 with *pcm and *period set, or 0 after printing
// why (the device is closed again).
static int openCapture(const char *device, unsigned int rate, int bytesPerSample,
                       snd_pcm_t **pcm, long *period, int *interleaved)
{
    int rc = snd_pcm_open(pcm, device, SND_PCM_STREAM_CAPTURE, 0);
    if (rc < 0) {
        *pcm = nullptr;
        fflush(stdout);
        fprintf(stderr, "unable to open pcm record device: %s\n", snd_strerror(rc));
        listPcmDevices(SND_PCM_STREAM_CAPTURE);
        return 0;
    }
    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params);   // zero-filled, released on return
    snd_pcm_hw_params_any(*pcm, params);
    if (snd_pcm_hw_params_set_access(*pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED) < 0)
        snd_pcm_hw_params_set_access(*pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    snd_pcm_format_t format = bytesPerSample == 3 ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE;
    rc = snd_pcm_hw_params_set_format(*pcm, params, format);
    if (rc < 0) {
        fflush(stdout);
        fprintf(stderr, "Problem setting recording format: %s\n", snd_strerror(rc));
        snd_pcm_close(*pcm);
        *pcm = nullptr;
        return 0;
    }
    snd_pcm_hw_params_set_channels(*pcm, params, kCaptureChannels);
    unsigned int grantedRate = rate;
    snd_pcm_hw_params_set_rate_near(*pcm, params, &grantedRate, nullptr);
    snd_pcm_uframes_t frames = kRequestedPeriod;
    snd_pcm_hw_params_set_period_size_near(*pcm, params, &frames, nullptr);
    snd_pcm_uframes_t bufferFrames = kRequestedBuffer;
    snd_pcm_hw_params_set_buffer_size_near(*pcm, params, &bufferFrames);
    rc = snd_pcm_hw_params(*pcm, params);

    // Read back what the device settled on. A value the library cannot
    // report keeps what the request above left in it.
    unsigned int channels = kCaptureChannels;
    snd_pcm_access_t access = SND_PCM_ACCESS_RW_NONINTERLEAVED;
    snd_pcm_format_t granted = format;
    snd_pcm_hw_params_get_buffer_size(params, &bufferFrames);
    snd_pcm_hw_params_get_period_size(params, &frames, nullptr);
    snd_pcm_hw_params_get_channels(params, &channels);
    snd_pcm_hw_params_get_rate(params, &grantedRate, nullptr);
    snd_pcm_hw_params_get_access(params, &access);
    snd_pcm_hw_params_get_format(params, &granted);

    if (rc >= 0 && frames == 0) rc = -EINVAL;   // a period of nothing would never end a take
    if (rc >= 0 && access != SND_PCM_ACCESS_RW_NONINTERLEAVED &&
        access != SND_PCM_ACCESS_RW_INTERLEAVED)
        rc = -EINVAL;   // neither way of reading is offered
    if (rc < 0) {
        printf("Could not set record hardware parameters: %s\n", snd_strerror(rc));
        printf("Returned Driver Parameters:\n");
        printf("\tBuf 1\tBuf 2\tRate\tChannels\n");
        printf("Record\t%i\t%i\t%i\t%i\n", (int)frames, (int)bufferFrames, (int)grantedRate,
               (int)channels);
        printf("-------------------------\n");
        snd_pcm_close(*pcm);
        *pcm = nullptr;
        return 0;
    }
    if (channels != kCaptureChannels || granted != format || grantedRate != rate) {
        refuseGranted(device, rate, format, channels, grantedRate, granted);
        snd_pcm_close(*pcm);
        *pcm = nullptr;
        return 0;
    }
    *period = (long)frames;
    *interleaved = access == SND_PCM_ACCESS_RW_INTERLEAVED;
    return 1;
}

// Frames a take really records: whole periods, the fewest that reach the
// planned length.
static long takeFrames(const Capture *c)
{
    return (c->plannedFrames + c->period - 1) / c->period * c->period;
}

// Would a take starting at startFrame end beyond what the 32-bit sizes of
// a WAV header can describe?
static int takeOverflows(const Capture *c, long startFrame)
{
    return (startFrame + takeFrames(c)) > kMaxDataBytes / c->frameSize;
}

// Sets the take file's data and RIFF sizes to frames whole frames of
// data, and cuts off whatever lies beyond them when cut is 1. Every byte
// the sizes count is already in the file (each period is written before
// it is counted), so the file reads whole up to here whatever happens
// next.
static void setTakeSizes(Capture *c, long frames, int cut)
{
    // The two sizes and the fields between them in one write: they are
    // the header this call wrote, unchanged.
    long data = frames * (long)c->frameSize;
    Decon4(data + kRiffSizeBase, c->header + kRiffSizeAt);
    Decon4(data, c->header + kDataSizeAt);
    const size_t span = (size_t)(kDataSizeAt + 4 - kRiffSizeAt);
    if (pwrite(c->take, c->header + kRiffSizeAt, span, kRiffSizeAt) != (ssize_t)span) return;
    if (cut && ftruncate(c->take, (off_t)(kWavHeaderBytes + data)) != 0) return;
}

// Splits frames interleaved two-channel frames at in into the channel
// halves left and right (bytesPerSample 2 or 3): the reverse of
// Interleave.
static void splitFrames(long frames, int bytesPerSample, const char *in, char *left, char *right)
{
    if (bytesPerSample == 2) {
        for (long k = 0; k < frames; ++k) {
            memcpy(left + 2 * k, in + 4 * k, 2);
            memcpy(right + 2 * k, in + 4 * k + 2, 2);
        }
    } else {
        for (long k = 0; k < frames; ++k) {
            memcpy(left + 3 * k, in + 6 * k, 3);
            memcpy(right + 3 * k, in + 6 * k + 3, 3);
        }
    }
}

// Ends the take for a device that failed: the device's name and ALSA's
// reason, on the take's line. Returns -1 for readPeriod.
static int captureFailed(const Capture *c, int err)
{
    // On standard error, as ALSA's failures are; the running line it
    // breaks is on standard output and goes out first.
    fflush(stdout);
    fprintf(stderr, "\nCannot record from %s: %s\n", c->device, snd_strerror(err));
    return -1;
}

// Nanoseconds that frames frames take at the take's rate.
static long long framesNs(const Capture *c, long frames)
{
    return (long long)((double)frames * 1e9 / (double)c->rateAsFloat);
}

// Frames the device holds ready: snd_pcm_avail's count (which asks the
// device where it stands: plugins in a chain may not know otherwise), or
// its negative error. When there are none, the program sleeps once and
// asks again, rather than wait on the device's descriptor: a sound
// server's plugin keeps that readable while it has nothing (for up to two
// seconds at the start of a take), and a wait on it would spin. The sleep
// lasts until the want missing frames should have come, or until a device
// that sends whole blocks (a server sends about a period at a time, not
// always one whole period) sends its next one, a period after the last
// frames came: so a period costs one sleep, not one per block boundary. It
// is never shorter than a quarter period nor longer than a period. A
// stream that has not started yet is started.
static snd_pcm_sframes_t framesReady(Capture *c, long want)
{
    if (snd_pcm_state(c->pcm) == SND_PCM_STATE_PREPARED) {
        int rc = snd_pcm_start(c->pcm);
        if (rc < 0) return rc;
    }
    snd_pcm_sframes_t ready = snd_pcm_avail(c->pcm);
    if (ready != 0 || caughtSignal()) return ready;
    long long periodNs = framesNs(c, c->period);
    long long sleepNs = framesNs(c, want);
    long long nextBlockNs = c->lastFramesNs + periodNs - monotonicNs();
    if (nextBlockNs > sleepNs) sleepNs = nextBlockNs;
    if (sleepNs < periodNs / 4) sleepNs = periodNs / 4;
    if (sleepNs > periodNs) sleepNs = periodNs;
    sleepNs += 1000000;   // a millisecond more, for the device's own rounding
    // A signal cuts the sleep short.
    struct timespec pause = {(time_t)(sleepNs / 1000000000LL), (long)(sleepNs % 1000000000LL)};
    nanosleep(&pause, nullptr);
    return snd_pcm_avail(c->pcm);
}

// Reads want frames (no more than the device holds ready) into frame at
// of the period: into the channel halves, or for a device that offers
// interleaved frames only into the interleave buffer. The result is
// snd_pcm_readn's or snd_pcm_readi's, or framesReady's when that is not a
// positive count.
//
// Reading no more than is ready keeps a sound server's plugin from being
// left holding part of a block the server sent: if the server goes away
// while the plugin holds one, the plugin's own thread waits for it to be
// handed back while holding the lock every call into the plugin takes,
// and the program would hang in its next call.
static snd_pcm_sframes_t readFrames(Capture *c, char *left, char *right, long at, long want)
{
    snd_pcm_sframes_t ready = framesReady(c, want);
    if (ready <= 0) return ready;
    snd_pcm_uframes_t n = (snd_pcm_uframes_t)(ready < want ? ready : want);
    size_t skip = (size_t)at * (size_t)c->bytesPerSample;
    if (c->interleavedAccess)
        return snd_pcm_readi(c->pcm, c->interleaved + skip * kCaptureChannels, n);
    void *halves[2] = {left + skip, right + skip};
    return snd_pcm_readn(c->pcm, halves, n);
}

// Reads one period into the channel halves left and right, in as many
// reads as the device takes to deliver it. Returns the frames the halves
// hold: the period (silence for a period lost to an over-run or a
// suspend, reported with "RX"), or fewer when a signal came in the middle
// of it (the take then ends there, with no silence added); 0 when a
// signal came before anything was read, or the device had nothing for a
// while (the caller looks at the signals and reads again); -1 when the
// device failed (said so, with its name and ALSA's reason). Errors never
// make the take run on at the CPU's speed: a device that delivers nothing
// is waited for, and one that keeps failing ends the take.
static int readPeriod(Capture *c, char *left, char *right)
{
    size_t halfBytes = (size_t)c->period * (size_t)c->bytesPerSample;
    long have = 0;
    while (have < c->period) {
        snd_pcm_sframes_t got = readFrames(c, left, right, have, c->period - have);
        if (got > 0) {
            have += (long)got;
            c->lastFramesNs = monotonicNs();
            c->lostPeriods = 0;
            continue;
        }
        if (got == -EINTR || caughtSignal()) {
            // A signal, not the device: the take ends with the frames
            // read so far, and no silence after them.
            if (c->interleavedAccess)
                splitFrames(have, c->bytesPerSample, c->interleaved, left, right);
            return have;
        }
        if (got == -EAGAIN || got == 0) {
            // Nothing came in the time it should have (framesReady slept
            // for it; a read that found nothing after all waits a quarter
            // period): wait on, but not for ever.
            if (monotonicNs() - c->lastFramesNs > kQuietLimitNs)
                return captureFailed(c, got == 0 ? -EIO : (int)got);
            if (got == -EAGAIN) {
                long long ns = framesNs(c, c->period) / 4;
                struct timespec pause = {(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
                nanosleep(&pause, nullptr);
            }
            if (have == 0) return 0;
            continue;
        }
        if (got == -EPIPE || got == -ESTRPIPE) {
            // The period is lost: it stays as silence, and the device
            // starts again (woken first after a suspend).
            int rc = got == -EPIPE ? snd_pcm_prepare(c->pcm) : recoverFromSuspend(c->pcm);
            if (rc < 0) return captureFailed(c, rc);
            c->lastFramesNs = monotonicNs();
            if (++c->lostPeriods > kMaxLostPeriods) return captureFailed(c, (int)got);
            printf("RX\n");
            have = 0;
            break;
        }
        return captureFailed(c, (int)got);
    }
    if (c->interleavedAccess) splitFrames(have, c->bytesPerSample, c->interleaved, left, right);
    size_t from = (size_t)have * (size_t)c->bytesPerSample;
    if (from < halfBytes) {
        memset(left + from, 0, halfBytes - from);
        memset(right + from, 0, halfBytes - from);
    }
    return (int)c->period;
}

// Bytes of one period as the take file holds it.
static size_t periodBytes(const Capture *c)
{
    return (size_t)c->period * (size_t)c->frameSize;
}

// Writes the pending periods at their place in the take file: right after
// the frames of the take written before them. Returns 1; or 0 after saying
// why the file did not take them, with c->recorded cut back to the whole
// periods that are in the file.
static int writePending(Capture *c)
{
    if (c->pendingUsed == 0) return 1;
    size_t bytes = c->pendingUsed;
    long firstFrame = c->recorded - (long)(bytes / (size_t)c->frameSize);
    long pos = kWavHeaderBytes + (long)c->frameSize * (c->takeStart + firstFrame);
    c->pendingUsed = 0;
    size_t done = 0;
    while (done < bytes) {
        ssize_t w = pwrite(c->take, c->pending + done, bytes - done, (off_t)(pos + (long)done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            // The reason is the failing call's own, taken before anything
            // else can change errno.
            const char *reason = w < 0 ? strerror(errno) : strerror(ENOSPC);
            printf("\nCannot write %s: %s", c->takePath, reason);
            c->recorded = firstFrame + (long)(done / periodBytes(c)) * c->period;
            return 0;
        }
        done += (size_t)w;
    }
    return 1;
}

// Puts the frames in the halves (a period, or what a signal left of it)
// into the pending periods, as the file holds them (interleaved for
// stereo), and follows the peaks.
static void stagePeriod(Capture *c, const char *left, const char *right, long frames)
{
    size_t halfBytes = (size_t)frames * (size_t)c->bytesPerSample;
    char *to = c->pending + c->pendingUsed;
    if (c->channels == 1) {
        memcpy(to, left, halfBytes);
    } else {
        Interleave((unsigned int)frames, (unsigned int)c->bytesPerSample, left, right, to);
    }
    c->pendingUsed += (size_t)frames * (size_t)c->frameSize;
    CheckPeak((int)frames, &c->peak1, left, (unsigned int)c->bytesPerSample);
    if (c->channels == 2)
        CheckPeak((int)frames, &c->peak2, right, (unsigned int)c->bytesPerSample);
}

// Records one take at the take start frame. It ends when its planned
// length is reached, at Ctrl-C (kept as far as it got), at SIGTERM or
// SIGHUP, or at once when the device or the take file fails; the take file
// then holds every period read and written before, and its sizes count
// them all.
static TakeEnd recordTake(Capture *c)
{
    size_t halfBytes = (size_t)c->period * (size_t)c->bytesPerSample;
    char *left = c->block;
    char *right = c->block + halfBytes;

    c->peak1 = 0;
    c->peak2 = 0;
    c->recorded = 0;
    c->pendingUsed = 0;
    snd_pcm_prepare(c->pcm);
    printf("Recording...\n");
    TakeEnd end = kTakeRanOut;
    long long lastFlushNs = -1;
    long long lastWriteNs = -1;
    long long lastSizesNs = -1;
    c->lastFramesNs = monotonicNs();
    c->lostPeriods = 0;
    while (c->recorded < c->plannedFrames) {
        // A signal ends the device's wait early, and is looked at before
        // the next read.
        if (caughtSignal()) {
            end = endRequested() ? kTakeEnded : kTakeStopped;
            break;
        }
        int got = readPeriod(c, left, right);
        if (got == 0) continue;   // a signal: looked at before the next read
        if (got < 0) {
            end = kTakeReadFailed;
            break;
        }
        stagePeriod(c, left, right, got);
        printRunningSeconds("\rRemaining ", (float)(c->plannedFrames - c->recorded) / c->rateAsFloat);
        c->recorded += got;
        flushRunningLine(&lastFlushNs);
        // Each period a card delivers in real time is written, and counted
        // by the file's sizes, before the next one is read, so a kill or a
        // crash loses nothing; from a device that runs faster, periods are
        // gathered into fewer, larger writes, at least every 1/60 s.
        long long nowNs = monotonicNs();
        if (nowNs < 0 || runningFlushDue(nowNs, lastWriteNs) ||
            c->pendingUsed + periodBytes(c) > c->pendingBytes) {
            if (!writePending(c)) {
                end = kTakeWriteFailed;
                break;
            }
            lastWriteNs = nowNs;
            if (nowNs < 0 || runningFlushDue(nowNs, lastSizesNs)) {
                setTakeSizes(c, c->takeStart + c->recorded, 0);
                lastSizesNs = nowNs;
            }
        }
    }
    if (end != kTakeWriteFailed && !writePending(c)) end = kTakeWriteFailed;
    fflush(stdout);
    // A Ctrl-C that came with the last period has nothing left to stop; a
    // SIGTERM or SIGHUP ends the program whatever ended the take.
    if (endRequested()) end = kTakeEnded;
    else forgetStop();
    // The take ends the file: anything after it is left from a take this
    // one redid, which the user has dropped.
    setTakeSizes(c, c->takeStart + c->recorded, 1);
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
static long endWithTake(Capture *c)
{
    setTakeSizes(c, c->takeStart + c->recorded, 1);
    fsync(c->take);
    printf("\nThe recording is kept in %s\n", c->takePath);
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
static long keptFrames(const Capture *c)
{
    return c->recorded < c->plannedFrames ? c->recorded : c->plannedFrames;
}

// Shows the report and the take menu after a take, and carries out the
// answers until the user is done. Returns the data bytes kept, or
// kRecordEnded.
static long takeMenu(Capture *c, TakeEnd end)
{
    char answer[kAnswerBytes];
    for (;;) {
        if (end == kTakeEnded) return endWithTake(c);
        showReport(c);
        showMenu();
        if (!readAnswer(answer)) return endWithTake(c);
        while (strcmp(answer, "2") == 0 && takeOverflows(c, c->takeStart + keptFrames(c))) {
            printf("Another take would make the recording too long for a WAV file\n");
            showMenu();
            if (!readAnswer(answer)) return endWithTake(c);
        }

        if (strcmp(answer, "1") == 0) {
            c->kept += (long)c->frameSize * c->recorded;
            return c->kept;
        } else if (strcmp(answer, "2") == 0) {
            // The next take starts where this one is kept up to and
            // overwrites what this one recorded past it.
            long frames = keptFrames(c);
            c->kept += (long)c->frameSize * frames;
            c->lastTakeStart += frames == c->plannedFrames ? c->duration
                                                           : (float)frames / c->rateAsFloat;
            c->takeStart += frames;
            c->recorded = 0;
            setTakeSizes(c, c->takeStart, 0);
            end = recordTake(c);
        } else if (strcmp(answer, "3") == 0) {
            c->recorded = 0;
            setTakeSizes(c, c->takeStart, 0);
            end = recordTake(c);
        } else if (strcmp(answer, "4") == 0) {
            // The dropped take goes from the file too: what is left is
            // exactly what was kept.
            c->recorded = 0;
            setTakeSizes(c, c->takeStart, 1);
            return c->kept;
        } else {
            // The take is in the file (every period is written straight
            // through) when the player opens it by name.
            PLAY(c->takePath, c->device, c->lastTakeStart, c->lastTakeStart + c->duration);
            if (endRequested()) return endWithTake(c);
            forgetStop();   // Ctrl-C stopped the playback, nothing more
        }
    }
}

// Everything up to the first take: the take file claimed with a fresh
// header, the device open and configured, the buffers allocated. Returns
// 1; 0 when there is nothing to record (said why); -1 when the take file
// or the device failed (said why). Whatever it opened is closed again on
// failure.
static int setUp(Capture *c, unsigned int rate, int bits)
{
    // Refuse a take that the header's 32-bit sizes could not describe
    // before anything is written.
    double planned = (double)rate * (double)c->duration;
    if (!(planned >= 0.0)) planned = 0.0;
    double maxFrames = (double)(kMaxDataBytes / c->frameSize);
    if (planned > maxFrames) {
        printf("A take of %.2f sec is too long for a WAV file: at most %.2f sec fit at these "
               "settings\n",
               c->duration, maxFrames / (rate > 0 ? (double)rate : 1.0));
        return 0;
    }
    c->plannedFrames = (long)planned;

    char *header = c->header;
    if (headerBytes(header, rate, (unsigned int)c->channels, (unsigned int)bits, c->plannedFrames) !=
        (int)kWavHeaderBytes) {
        printf("Recording does not fit a wave file: %s\n", c->takePath);
        return -1;
    }
    c->take = claimTakeFile(c->takePath);
    if (c->take < 0) return -1;
    if (pwrite(c->take, header, kWavHeaderBytes, 0) != (ssize_t)kWavHeaderBytes) {
        printf("Cannot write %s: %s\n", c->takePath, strerror(errno));
        return -1;
    }
    if (!openCapture(c->device, rate, c->bytesPerSample, &c->pcm, &c->period,
                     &c->interleavedAccess))
        return -1;

    if (takeOverflows(c, 0)) {
        printf("A take of %.2f sec is too long for a WAV file at these settings\n", c->duration);
        snd_pcm_close(c->pcm);
        c->pcm = nullptr;
        return 0;
    }
    size_t blockBytes = 2 * (size_t)c->period * (size_t)c->bytesPerSample;
    c->block = (char *)calloc(1, blockBytes);
    c->pendingBytes = kPendingBytes / periodBytes(c) * periodBytes(c);
    if (c->pendingBytes == 0) c->pendingBytes = periodBytes(c);
    c->pending = (char *)malloc(c->pendingBytes);
    // Interleaved frames from a device that offers no channel buffers.
    if (c->interleavedAccess) c->interleaved = (char *)malloc(blockBytes);
    if (!c->block || !c->pending || (c->interleavedAccess && !c->interleaved)) {
        printf("Not enough memory for a period of %li frames\n", c->period);
        return -1;
    }
    return 1;
}

// Ends the call in one place: the device and the buffers go; the take
// file, whose descriptor the claim owns, is flushed to disk when it holds
// a take to keep. A capture stream has nothing to drain, so it is dropped:
// a drain can wait for ever on some plugins.
static long cleanUp(Capture *c, long result)
{
    if (c->pcm) {
        snd_pcm_drop(c->pcm);
        snd_pcm_close(c->pcm);
    }
    free(c->block);
    free(c->pending);
    free(c->interleaved);
    if (result > 0 && fsync(c->take) != 0)
        printf("Could not finish writing the take file %s: %s\n", c->takePath, strerror(errno));
    return result;
}

long RECORD(const char *device, unsigned int rate, float duration, int channels, int bits,
            const char *takePath)
{
    Capture c;
    memset(&c, 0, sizeof c);
    c.take = -1;
    c.device = device;
    c.takePath = takePath;
    c.channels = channels;
    c.bytesPerSample = bits / 8;
    c.frameSize = channels * c.bytesPerSample;
    c.duration = duration;
    c.rateAsFloat = (float)rate;

    int ready = setUp(&c, rate, bits);
    if (ready <= 0) {
        // A refused take keeps nothing; a failed set-up says -1.
        if (c.pcm) snd_pcm_close(c.pcm);
        free(c.block);
        free(c.pending);
        free(c.interleaved);
        return ready;
    }
    // From the first take to the last answer, Ctrl-C stops a take and
    // SIGTERM or SIGHUP end the program with the take kept.
    // A Ctrl-C noted by an earlier playback is spent: it must not stop the
    // first take.
    forgetStop();
    SignalCatch signals;
    catchSignals(&signals, 1);
    long result = takeMenu(&c, recordTake(&c));
    releaseSignals(&signals);
    if (result == kRecordEnded) {
        snd_pcm_drop(c.pcm);
        snd_pcm_close(c.pcm);
        c.pcm = nullptr;
    }
    return cleanUp(&c, result);
}
