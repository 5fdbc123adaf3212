// The capture device: opened and configured for two channels, at the
// format and rate asked, interleaved frames where it has them; and closed,
// in one place, with what its takes allocated.
#include "audio/capture.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/devices.h"

// The device is asked for periods of 4096 frames and a buffer of eight
// periods; whatever period it settles on is the unit of every read.
static const snd_pcm_uframes_t kRequestedPeriod = 4096;
static const snd_pcm_uframes_t kRequestedBuffer = 32768;
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

int openCapture(CaptureDevice *d, const char *device, unsigned int rate, int bytesPerSample,
                int keepSeconds)
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
    long periods = (long)((kCaptureQueueSeconds + keepSeconds) * d->rateHz) / d->periodFrames + 1;
    if (!makeRing(&d->ring, (periods < 2 ? 2 : periods) * d->periodFrames, d->frameBytes)) {
        printf("Not enough memory for a period of %li frames\n", d->periodFrames);
        closeCapture(d);
        return 0;
    }
    return 1;
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
    freeRing(&d->ring);
}

