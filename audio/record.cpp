// The capture engine: takes recorded period by period into the take file,
// the peak report after each take, and the take menu that decides what
// becomes of them.
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "audio/running_line.h"
#include "input/input.h"
#include "wav/wav.h"

// The device is asked for periods of 4096 frames and a buffer of eight
// periods; whatever period it settles on is the unit of every read.
static const snd_pcm_uframes_t kRequestedPeriod = 4096;
static const snd_pcm_uframes_t kRequestedBuffer = 32768;
// Capture always runs in stereo; a mono recording keeps channel 1 (left).
static const unsigned int kCaptureChannels = 2;
// snd_pcm_wait before every read, in milliseconds.
static const int kWaitMs = 1;
// Stream buffer of the take file.
static const size_t kTakeBufferBytes = 65536;
// The take menu's answer: every answer that means something is one
// character, longer words are cut (and then play the last take).
static const int kAnswerBytes = 16;

// Everything one RECORD call works with, set up once and used by every
// take. Plain data; RECORD owns the handle, the file and the buffers.
struct Capture {
    snd_pcm_t *pcm;
    FILE *take;
    long period;           // frames per read, as the device settled it
    int channels;          // kept in the file: 1 or 2
    int bytesPerSample;    // 2 or 3
    int frameSize;         // bytes of one frame in the file
    long plannedFrames;    // planned length of every take
    float rateAsFloat;     // divisor of the remaining-time display
    char *block;           // channel 1 half, then channel 2 half
    char *interleaved;     // a stereo period, left then right
    char *streamBuffer;    // the take file's stream buffer, or null
    long filePos;          // where the take file's stream stands; -1 unknown
    int writeFailed;       // a write of the current take went wrong
};

// Opens and configures the capture device for channel buffers
// (non-interleaved access, read with snd_pcm_readn), always two channels.
// Returns 1 with *pcm and *period set, or 0 after printing why (the device
// is closed again).
static int openCapture(const char *device, unsigned int rate, int bytesPerSample,
                       snd_pcm_t **pcm, long *period)
{
    int rc = snd_pcm_open(pcm, device, SND_PCM_STREAM_CAPTURE, 0);
    if (rc < 0) {
        fflush(stdout);
        fprintf(stderr, "unable to open pcm record device: %s\n", snd_strerror(rc));
        return 0;
    }
    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params);   // zero-filled, released on return
    snd_pcm_hw_params_any(*pcm, params);
    snd_pcm_hw_params_set_access(*pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
    snd_pcm_format_t format = bytesPerSample == 3 ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE;
    rc = snd_pcm_hw_params_set_format(*pcm, params, format);
    if (rc < 0) {
        fflush(stdout);
        fprintf(stderr, "Problem setting recording format: %s\n", snd_strerror(rc));
        snd_pcm_close(*pcm);
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
    snd_pcm_hw_params_get_buffer_size(params, &bufferFrames);
    snd_pcm_hw_params_get_period_size(params, &frames, nullptr);
    snd_pcm_hw_params_get_channels(params, &channels);
    snd_pcm_hw_params_get_rate(params, &grantedRate, nullptr);

    if (rc >= 0 && frames == 0) rc = -EINVAL;   // a period of nothing would never end a take
    if (rc < 0) {
        printf("Could not set record hardware parameters: %s\n", snd_strerror(rc));
        printf("Returned Driver Parameters:\n");
        printf("\tBuf 1\tBuf 2\tRate\tChannels\n");
        printf("Record\t%i\t%i\t%i\t%i\n", (int)frames, (int)bufferFrames, (int)grantedRate,
               (int)channels);
        printf("-------------------------\n");
        snd_pcm_close(*pcm);
        return 0;
    }
    *period = (long)frames;
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

// Writes bytes at the take file position pos; the seek is skipped when the
// stream already stands there.
static void writeAt(Capture *c, long pos, const char *bytes, size_t n)
{
    if (pos != c->filePos) {
        if (fseek(c->take, pos, SEEK_SET) != 0) {
            c->filePos = -1;
            c->writeFailed = 1;
            return;
        }
        c->filePos = pos;
    }
    if (fwrite(bytes, 1, n, c->take) != n) {
        c->filePos = -1;
        c->writeFailed = 1;
        return;
    }
    c->filePos += (long)n;
}

// Hands what the take file's stream holds to the system. A failure here
// is a failed write of the take.
static void flushTake(Capture *c)
{
    if (fflush(c->take) != 0) {
        c->filePos = -1;
        c->writeFailed = 1;
    }
}

// Flushes the take file's stream at most once per kRunningFlushNs. A card
// recording 4096-frame periods in real time takes longer than that over
// each, so each period reaches the file before the next one is read, and
// a crash loses no more than before; periods that arrive faster than real
// time are gathered into writes of the whole stream buffer.
static void flushTakeWhenDue(Capture *c, long long *lastFlushNs)
{
    long long nowNs = monotonicNs();
    if (nowNs >= 0 && !runningFlushDue(nowNs, *lastFlushNs)) return;
    flushTake(c);
    *lastFlushNs = nowNs;
}

// Reads one period into the channel halves left and right. What a failed
// or short read did not deliver is silence, never the samples of an
// earlier period. Returns what the read returned.
static snd_pcm_sframes_t readPeriod(Capture *c, char *left, char *right)
{
    size_t halfBytes = (size_t)c->period * (size_t)c->bytesPerSample;
    void *halves[2] = {left, right};
    snd_pcm_sframes_t got = snd_pcm_readn(c->pcm, halves, (snd_pcm_uframes_t)c->period);
    if (got < (snd_pcm_sframes_t)c->period) {
        size_t from = got > 0 ? (size_t)got * (size_t)c->bytesPerSample : 0;
        memset(left + from, 0, halfBytes - from);
        memset(right + from, 0, halfBytes - from);
    }
    return got;
}

// Records one take at takeStart, raising the two peaks.
static void recordTake(Capture *c, long takeStart, long *peak1, long *peak2)
{
    size_t halfBytes = (size_t)c->period * (size_t)c->bytesPerSample;
    char *left = c->block;
    char *right = c->block + halfBytes;

    *peak1 = 0;
    *peak2 = 0;
    c->writeFailed = 0;
    snd_pcm_prepare(c->pcm);
    printf("Recording...\n");
    long recorded = 0;
    long long lastFlushNs = -1;       // the display
    long long lastTakeFlushNs = -1;   // the take file
    while (recorded < c->plannedFrames) {
        snd_pcm_wait(c->pcm, kWaitMs);
        // A failed or short read still counts a whole period, so the take
        // keeps its length.
        snd_pcm_sframes_t got = readPeriod(c, left, right);
        if (got == -EPIPE) {
            printf("RX\n");
            snd_pcm_prepare(c->pcm);
        }
        long pos = kWavHeaderBytes + (long)c->frameSize * (takeStart + recorded);
        if (c->channels == 1) {
            writeAt(c, pos, left, halfBytes);
            CheckPeak((int)c->period, peak1, left, (unsigned int)c->bytesPerSample);
        } else {
            Interleave((unsigned int)c->period, (unsigned int)c->bytesPerSample, left, right,
                       c->interleaved);
            writeAt(c, pos, c->interleaved, 2 * halfBytes);
            CheckPeak((int)c->period, peak1, left, (unsigned int)c->bytesPerSample);
            CheckPeak((int)c->period, peak2, right, (unsigned int)c->bytesPerSample);
        }
        flushTakeWhenDue(c, &lastTakeFlushNs);
        printRunningSeconds("\rRemaining ", (float)(c->plannedFrames - recorded) / c->rateAsFloat);
        recorded += c->period;
        flushRunningLine(&lastFlushNs);
    }
    fflush(stdout);
    // The whole take is in the file while the menu waits for an answer.
    flushTake(c);
    if (c->writeFailed) {
        // The take menu still follows: the user can redo or drop the take.
        printf("\nThe take could not be written completely to the take file: %s\n",
               strerror(errno));
    }
}

static void showReport(const Capture *c, long peak1, long peak2)
{
    printf("\n\n");
    ShowPeaks(1, peak1, c->bytesPerSample);
    if (c->channels == 2) ShowPeaks(2, peak2, c->bytesPerSample);
}

static void showMenu()
{
    printf("\n1 = save recording and return\n");
    printf("2 = continue recording\n");
    printf("3 = redo last take\n");
    printf("4 = delete last take and return\n");
    printf("5 = play last take\n");
}

// Ends the call: the take file and the device are closed, the buffers
// released. Returns kept.
static long finish(Capture *c, const char *takePath, long kept)
{
    if (fclose(c->take) != 0) {
        printf("Could not finish writing the take file %s: %s\n", takePath, strerror(errno));
    }
    snd_pcm_drain(c->pcm);
    snd_pcm_close(c->pcm);
    free(c->block);
    free(c->interleaved);
    free(c->streamBuffer);   // only once the stream is closed
    return kept;
}

long RECORD(const char *device, unsigned int rate, float duration, int channels, int bits,
            const char *takePath)
{
    Capture c;
    memset(&c, 0, sizeof c);
    c.channels = channels;
    c.bytesPerSample = bits / 8;
    c.frameSize = channels * c.bytesPerSample;
    c.rateAsFloat = (float)rate;
    c.filePos = -1;

    // Refuse a take that the header's 32-bit sizes could not describe
    // before anything is written.
    double planned = (double)rate * (double)duration;
    if (!(planned >= 0.0)) planned = 0.0;
    double maxFrames = (double)(kMaxDataBytes / c.frameSize);
    if (planned > maxFrames) {
        printf("A take of %.2f sec is too long for a WAV file: at most %.2f sec fit at these "
               "settings\n",
               duration, maxFrames / (rate > 0 ? (double)rate : 1.0));
        return 0;
    }
    c.plannedFrames = (long)planned;
    float lastTakeStart = -duration;

    if (!MAKE_HEADER(takePath, rate, (unsigned int)channels, (unsigned int)bits, c.plannedFrames))
        return -1;
    if (!openCapture(device, rate, c.bytesPerSample, &c.pcm, &c.period))
        return -1;

    if (takeOverflows(&c, 0)) {
        printf("A take of %.2f sec is too long for a WAV file at these settings\n", duration);
        snd_pcm_close(c.pcm);
        return 0;
    }
    size_t blockBytes = 2 * (size_t)c.period * (size_t)c.bytesPerSample;
    c.block = (char *)calloc(1, blockBytes);
    c.interleaved = (char *)malloc(blockBytes);
    if (!c.block || !c.interleaved) {
        printf("Not enough memory for a period of %li frames\n", c.period);
        free(c.block);
        free(c.interleaved);
        snd_pcm_close(c.pcm);
        return -1;
    }
    // Update in place: the header MAKE_HEADER wrote stays.
    c.take = fopen(takePath, "rb+");
    if (!c.take) {
        printf("Cannot open the take file %s: %s\n", takePath, strerror(errno));
        free(c.block);
        free(c.interleaved);
        snd_pcm_close(c.pcm);
        return -1;
    }
    // A larger stream buffer gathers periods that arrive faster than real
    // time into one write (four 16-bit stereo periods): through the default
    // 4 KiB buffer each period became two writes of its own. The C library
    // takes the size only together with the memory, so the buffer is
    // allocated here. Without it the stream keeps its default buffer.
    c.streamBuffer = (char *)malloc(kTakeBufferBytes);
    if (c.streamBuffer) setvbuf(c.take, c.streamBuffer, _IOFBF, kTakeBufferBytes);

    long kept = 0;
    long takeStart = 0;
    int replayed = 0;
    long peak1 = 0, peak2 = 0;
    char answer[kAnswerBytes];
    int recordNext = 1;
    for (;;) {
        if (recordNext) recordTake(&c, takeStart, &peak1, &peak2);
        recordNext = 0;
        showReport(&c, peak1, peak2);
        if (!replayed) lastTakeStart += duration;
        showMenu();
        // End of input keeps what was recorded, as "1" does.
        if (!readWord(answer, (int)sizeof answer)) strcpy(answer, "1");
        for (;;) {
            if (strcmp(answer, "2") != 0 || !takeOverflows(&c, takeStart + c.plannedFrames)) break;
            printf("Another take would make the recording too long for a WAV file\n");
            showMenu();
            if (!readWord(answer, (int)sizeof answer)) strcpy(answer, "1");
        }

        if (strcmp(answer, "1") == 0) {
            kept += (long)c.frameSize * takeFrames(&c);
            return finish(&c, takePath, kept);
        } else if (strcmp(answer, "2") == 0) {
            // The next take starts at the planned end of this one and
            // overwrites what this one recorded past it.
            kept += (long)c.frameSize * c.plannedFrames;
            takeStart += c.plannedFrames;
            replayed = 0;
            recordNext = 1;
        } else if (strcmp(answer, "3") == 0) {
            lastTakeStart -= duration;
            replayed = 0;
            recordNext = 1;
        } else if (strcmp(answer, "4") == 0) {
            return finish(&c, takePath, kept);
        } else {
            // Everything written so far must be in the file before the
            // player opens it by name.
            fflush(c.take);
            PLAY(takePath, device, lastTakeStart, lastTakeStart + duration);
            replayed = 1;
        }
    }
}
