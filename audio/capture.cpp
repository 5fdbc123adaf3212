// The capture device: open and configure it for two channels, read one
// period at a time (waiting for a device that has nothing without
// spinning, recovering from over-runs and suspends), and close it.
#include "audio/capture.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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
// Over-runs and suspends in a row, with no period read between them,
// after which the device counts as failed: a healthy device delivers a
// period after it has been prepared again.
static const int kMaxLostPeriods = 8;

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

// Asks for channel buffers (or interleaved frames when the device has no
// channel buffers), format, two channels, the rate, a period and a buffer,
// and installs them. Returns snd_pcm_hw_params' result, or the format's
// refusal (already said) as 1: nothing more to say.
static int requestParameters(snd_pcm_t *pcm, snd_pcm_hw_params_t *params, unsigned int rate,
                             snd_pcm_format_t format)
{
    snd_pcm_hw_params_any(pcm, params);
    if (snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED) < 0)
        snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
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
    got->access = SND_PCM_ACCESS_RW_NONINTERLEAVED;
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
    d->interleavedAccess = got.access == SND_PCM_ACCESS_RW_INTERLEAVED;
    if (d->interleavedAccess) {
        d->interleavedFrames =
            (char *)malloc((size_t)d->periodFrames * kCaptureChannels * (size_t)bytesPerSample);
        if (!d->interleavedFrames) {
            printf("Not enough memory for a period of %li frames\n", d->periodFrames);
            closeCapture(d);
            return 0;
        }
    }
    return 1;
}

void startCapture(CaptureDevice *d)
{
    snd_pcm_prepare(d->pcm);
    d->lastFramesNs = monotonicNs();
    d->lostPeriodsInRow = 0;
}

void closeCapture(CaptureDevice *d)
{
    if (d->pcm) {
        // A capture stream has nothing to drain, so it is dropped: a drain
        // can wait for ever on some plugins.
        snd_pcm_drop(d->pcm);
        snd_pcm_close(d->pcm);
        d->pcm = nullptr;
    }
    free(d->interleavedFrames);
    d->interleavedFrames = nullptr;
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
// reason, on the take's line. Returns -1 for readCapturePeriod.
static int captureFailed(const CaptureDevice *d, int err)
{
    // On standard error, as ALSA's failures are; the running line it
    // breaks is on standard output and goes out first.
    fflush(stdout);
    fprintf(stderr, "\nCannot record from %s: %s\n", d->name, snd_strerror(err));
    return -1;
}

// Nanoseconds that frames frames take at the take's rate.
static long long framesNs(const CaptureDevice *d, long frames)
{
    return (long long)((double)frames * 1e9 / d->rateHz);
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
static snd_pcm_sframes_t framesReady(CaptureDevice *d, long want)
{
    if (snd_pcm_state(d->pcm) == SND_PCM_STATE_PREPARED) {
        int rc = snd_pcm_start(d->pcm);
        if (rc < 0) return rc;
    }
    snd_pcm_sframes_t ready = snd_pcm_avail(d->pcm);
    if (ready != 0 || caughtSignal()) return ready;
    long long periodNs = framesNs(d, d->periodFrames);
    long long sleepNs = framesNs(d, want);
    long long nextBlockNs = d->lastFramesNs + periodNs - monotonicNs();
    if (nextBlockNs > sleepNs) sleepNs = nextBlockNs;
    if (sleepNs < periodNs / 4) sleepNs = periodNs / 4;
    if (sleepNs > periodNs) sleepNs = periodNs;
    sleepNs += 1000000;   // a millisecond more, for the device's own rounding
    // A signal cuts the sleep short.
    struct timespec pause = {(time_t)(sleepNs / 1000000000LL), (long)(sleepNs % 1000000000LL)};
    nanosleep(&pause, nullptr);
    return snd_pcm_avail(d->pcm);
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
static snd_pcm_sframes_t readFrames(CaptureDevice *d, char *left, char *right, long at, long want)
{
    snd_pcm_sframes_t ready = framesReady(d, want);
    if (ready <= 0) return ready;
    snd_pcm_uframes_t n = (snd_pcm_uframes_t)(ready < want ? ready : want);
    size_t skip = (size_t)at * (size_t)d->bytesPerSample;
    if (d->interleavedAccess)
        return snd_pcm_readi(d->pcm, d->interleavedFrames + skip * kCaptureChannels, n);
    void *halves[2] = {left + skip, right + skip};
    return snd_pcm_readn(d->pcm, halves, n);
}

// One period, as many reads as it takes (capture.h says what comes back).
int readCapturePeriod(CaptureDevice *d, char *left, char *right)
{
    size_t halfBytes = (size_t)d->periodFrames * (size_t)d->bytesPerSample;
    long have = 0;
    while (have < d->periodFrames) {
        snd_pcm_sframes_t got = readFrames(d, left, right, have, d->periodFrames - have);
        if (got > 0) {
            have += (long)got;
            d->lastFramesNs = monotonicNs();
            d->lostPeriodsInRow = 0;
            continue;
        }
        if (got == -EINTR || caughtSignal()) {
            // A signal, not the device: the take ends with the frames
            // read so far, and no silence after them.
            if (d->interleavedAccess)
                splitFrames(have, d->bytesPerSample, d->interleavedFrames, left, right);
            return have;
        }
        if (got == -EAGAIN || got == 0) {
            // Nothing came in the time it should have (framesReady slept
            // for it; a read that found nothing after all waits a quarter
            // period): wait on, but not for ever.
            if (monotonicNs() - d->lastFramesNs > kQuietLimitNs)
                return captureFailed(d, got == 0 ? -EIO : (int)got);
            if (got == -EAGAIN) {
                long long ns = framesNs(d, d->periodFrames) / 4;
                struct timespec pause = {(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
                nanosleep(&pause, nullptr);
            }
            if (have == 0) return 0;
            continue;
        }
        if (got == -EPIPE || got == -ESTRPIPE) {
            // The period is lost: it stays as silence, and the device
            // starts again (woken first after a suspend).
            int rc = got == -EPIPE ? snd_pcm_prepare(d->pcm) : recoverFromSuspend(d->pcm);
            if (rc < 0) return captureFailed(d, rc);
            d->lastFramesNs = monotonicNs();
            if (++d->lostPeriodsInRow > kMaxLostPeriods) return captureFailed(d, (int)got);
            printf("RX\n");
            have = 0;
            break;
        }
        return captureFailed(d, (int)got);
    }
    if (d->interleavedAccess) splitFrames(have, d->bytesPerSample, d->interleavedFrames, left, right);
    size_t from = (size_t)have * (size_t)d->bytesPerSample;
    if (from < halfBytes) {
        memset(left + from, 0, halfBytes - from);
        memset(right + from, 0, halfBytes - from);
    }
    return (int)d->periodFrames;
}

