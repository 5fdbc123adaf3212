// The playback engine: one WAV file, or the stretch of it between an in
// and an out point, through an ALSA playback device in period-sized
// blocks. Mono files are sent to both channels.
#include "audio/audio.h"

#include <alloca.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <alsa/asoundlib.h>

#include "audio/devices.h"
#include "audio/running_line.h"
#include "files/files.h"
#include "input/input.h"
#include "wav/wav.h"

// The device is always driven with two channels; mono is duplicated.
static const unsigned int kDeviceChannels = 2;
// Requested period and buffer, in frames: four periods in the buffer.
static const snd_pcm_uframes_t kPeriodFrames = 4096;
static const snd_pcm_uframes_t kBufferFrames = 16384;
// Under-runs, suspends and writes that took nothing, in a row, after
// which the device counts as failed: a healthy device takes a block
// after it has been prepared again.
static const int kMaxFailedWrites = 8;

void Interleave(unsigned int frames, unsigned int bytesPerSample, const char *left,
                const char *right, char *out)
{
    // Constant-size copies: the compiler turns them into plain loads and
    // stores, which keeps this loop cheap for a whole period of samples.
    if (bytesPerSample == 2) {
        for (unsigned int k = 0; k < frames; ++k) {
            memcpy(out + 4 * (size_t)k, left + 2 * (size_t)k, 2);
            memcpy(out + 4 * (size_t)k + 2, right + 2 * (size_t)k, 2);
        }
    } else if (bytesPerSample == 3) {
        for (unsigned int k = 0; k < frames; ++k) {
            memcpy(out + 6 * (size_t)k, left + 3 * (size_t)k, 3);
            memcpy(out + 6 * (size_t)k + 3, right + 3 * (size_t)k, 3);
        }
    }
}

// ALSA failures go to standard error; whatever the console printed before
// must come out first, also when both streams go to one pipe.
static void reportAlsa(const char *format, int err)
{
    fflush(stdout);
    fprintf(stderr, format, snd_strerror(err));
}

// Installs interleaved access, the sample format for bytesPerSample, two
// channels, the rate nearest to rate and a period and buffer near the
// requested sizes; stores the granted period in *period. Returns 1 on
// success, 0 after printing why the device refused.
static int configureDevice(snd_pcm_t *pcm, unsigned int bytesPerSample, unsigned long rate,
                           snd_pcm_uframes_t *period)
{
    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(pcm, params);
    snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);

    snd_pcm_format_t format = bytesPerSample == 3 ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE;
    int err = snd_pcm_hw_params_set_format(pcm, params, format);
    if (err < 0) {
        reportAlsa("Unable to set playback format: %s\n", err);
        return 0;
    }

    // What the device grants for these four is taken as it comes: it then
    // plays at its own rate and the granted period sets the block length.
    unsigned int grantedRate = (unsigned int)rate;
    snd_pcm_uframes_t periodFrames = kPeriodFrames;
    snd_pcm_uframes_t bufferFrames = kBufferFrames;
    int dir = 0;
    snd_pcm_hw_params_set_channels(pcm, params, kDeviceChannels);
    snd_pcm_hw_params_set_rate_near(pcm, params, &grantedRate, &dir);
    snd_pcm_hw_params_set_period_size_near(pcm, params, &periodFrames, &dir);
    snd_pcm_hw_params_set_buffer_size_near(pcm, params, &bufferFrames);

    err = snd_pcm_hw_params(pcm, params);
    if (err < 0) {
        reportAlsa("Unable to set hardware parameters: %s\n", err);
        return 0;
    }
    snd_pcm_hw_params_get_period_size(params, period, &dir);
    if (*period == 0) {
        // A block of no frames would never advance the playback position.
        reportAlsa("Unable to set hardware parameters: %s\n", -EINVAL);
        return 0;
    }
    return 1;
}

// The frame at seconds into the data, truncated toward zero and kept
// within 0..frames: a negative, huge or not-a-number point never leads
// outside the data. The product is formed in double precision.
static long long framePosition(float seconds, unsigned long rate, unsigned long long frames)
{
    double position = (double)seconds * (double)rate;
    if (!(position > 0.0)) return 0;
    if (position >= (double)frames) return (long long)frames;
    return (long long)position;
}

// Writes frames frames from data to the device. An under-run prepares the
// device again (the block is not repeated), a suspend resumes it, and a
// device that takes nothing is waited for up to about a period and given
// the block again; each of these counts in *failures, which a block that
// goes through sets back to 0. Returns 1 to go on, 0 when the device
// failed, or failed too often in a row (after saying so, with the
// device's name and ALSA's reason).
static int writeBlock(snd_pcm_t *pcm, const char *device, const char *data,
                      snd_pcm_uframes_t frames, int waitMs, int *failures)
{
    for (;;) {
        snd_pcm_sframes_t written = snd_pcm_writei(pcm, data, frames);
        if (written > 0 || written == -EINTR) {
            // A signal: the loop looks at it before the next block.
            if (written > 0) *failures = 0;
            return 1;
        }
        int err = written == 0 ? -EAGAIN : (int)written;
        if ((err == -EPIPE || err == -ESTRPIPE || err == -EAGAIN) &&
            ++*failures <= kMaxFailedWrites) {
            if (err == -EAGAIN) {
                snd_pcm_wait(pcm, waitMs);
                continue;
            }
            int rc = err == -EPIPE ? snd_pcm_prepare(pcm) : recoverFromSuspend(pcm);
            if (rc >= 0) return 1;
            err = rc;
        }
        fflush(stdout);
        fprintf(stderr, "\nCannot play through %s: %s\n", device, snd_strerror(err));
        return 0;
    }
}

// Plays whole blocks from frame start while the block start lies before
// end. Each block is one read from the file and one write to the device;
// a block cut short by the end of the audio (frames in all) is written as
// far as it goes, so chunks after the audio are never played. Returns 1,
// or 0 when the device failed (said so).
static int playBlocks(snd_pcm_t *pcm, const char *device, FILE *f, unsigned long long dataOffset,
                      unsigned long rate, unsigned int channels, unsigned int bytesPerSample,
                      snd_pcm_uframes_t period, long long start, long long end,
                      unsigned long long frames, char *block, char *stereo)
{
    const long long frameBytes = (long long)channels * bytesPerSample;
    const int waitMs = periodMs((long)period, (double)rate);
    long long filePosition = -1;   // where the file stands, when known
    long long lastFlushNs = -1;
    int failures = 0;
    int ok = 1;
    for (long long position = start; position < end; position += (long long)period) {
        if (caughtSignal()) break;   // Ctrl-C: the caller drops what is queued
        long long want = (long long)dataOffset + position * frameBytes;
        // After a whole block the file already stands at the next one.
        if (want != filePosition) {
            if (fseeko(f, (off_t)want, SEEK_SET) != 0) break;
            filePosition = want;
        }
        long long left = (long long)frames - position;
        size_t count = left < (long long)period ? (size_t)left : (size_t)period;
        size_t got = count ? fread(block, (size_t)frameBytes, count, f) : 0;
        if (got == 0) break;
        filePosition += (long long)got * frameBytes;
        if (got < count) filePosition = -1;   // a partial frame may have been read

        if (channels == 2) {
            ok = writeBlock(pcm, device, block, got, waitMs, &failures);
        } else {
            Interleave((unsigned int)got, bytesPerSample, block, block, stereo);
            ok = writeBlock(pcm, device, stereo, got, waitMs, &failures);
        }
        if (!ok) break;

        // Written for every block; shown at once unless blocks come
        // faster than the eye can follow.
        printRunningSeconds("\rclock = ", (double)position / (double)rate);
        flushRunningLine(&lastFlushNs);
    }
    fflush(stdout);   // the last line stays up while the device drains
    return ok;
}

int PLAY(const char *path, const char *device, float inPoint, float outPoint)
{
    unsigned long rate = 0;
    unsigned long long dataOffset = 0, frames = 0;
    unsigned int bytesPerSample = 0, channels = 0;
    if (!GetAttributes(path, &rate, &bytesPerSample, &channels, &dataOffset, &frames, 0))
        return 0;
    // Samples that are not plain integer PCM would be sent as noise.
    char what[kFormatTextBytes];
    if (unsupportedFormat(path, what, sizeof what)) {
        printf("Cannot play %s: it holds %s\n", path, what);
        return 0;
    }
    // Only these layouts have a device format and a way to both channels.
    if (bytesPerSample != 2 && bytesPerSample != 3) {
        printf("Cannot play %s: only 16-bit and 24-bit samples are supported\n", path);
        return 0;
    }
    if (channels != 1 && channels != 2) {
        printf("Cannot play %s: only mono and stereo files are supported\n", path);
        return 0;
    }

    // Only a regular file, in case the name has become a FIFO since: a
    // plain open would wait on it.
    FILE *f = fopenRegular(path, "rb", nullptr);
    if (!f) {
        printf("Cannot open wavefile\n");
        return 0;
    }
    // The library may print its own diagnostics while opening; what the
    // console printed so far must come out before them.
    fflush(stdout);
    snd_pcm_t *pcm = nullptr;
    int err = snd_pcm_open(&pcm, device, SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        reportAlsa("unable to open pcm device: %s\n", err);
        listPcmDevices(SND_PCM_STREAM_PLAYBACK);
        fclose(f);
        return 0;
    }

    snd_pcm_uframes_t period = 0;
    char *block = nullptr;    // one period as the file holds it
    char *stereo = nullptr;   // one period on two channels, for mono files
    int ok = configureDevice(pcm, bytesPerSample, rate, &period);
    if (ok) {
        block = (char *)malloc((size_t)period * channels * bytesPerSample);
        if (channels == 1) stereo = (char *)malloc((size_t)period * kDeviceChannels * bytesPerSample);
        if (!block || (channels == 1 && !stereo)) {
            printf("Cannot play %s: out of memory\n", path);
            ok = 0;
        }
    }
    if (ok) {
        long long start = framePosition(inPoint, rate, frames);
        long long end = framePosition(outPoint, rate, frames);
        printf("Playing %s ...\n", path);
        SignalCatch signals;
        catchSignals(&signals, 0);
        ok = playBlocks(pcm, device, f, dataOffset, rate, channels, bytesPerSample, period, start,
                        end, frames, block, stereo);
        // Stopped, or the device failed: the sound ends at once instead of
        // playing out the device's buffer (a failed device may never
        // drain). Otherwise everything written is heard to its end.
        if (caughtSignal() || !ok) snd_pcm_drop(pcm);
        else snd_pcm_drain(pcm);
        releaseSignals(&signals);
    }

    // Every path that opened the file and the device ends here.
    snd_pcm_close(pcm);
    free(block);
    free(stereo);
    fclose(f);
    return ok;
}
