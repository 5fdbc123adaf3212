// The device list printed after a device could not be opened, and the
// small pieces of device handling that playback and capture share.
#include "audio/devices.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// snd_pcm_resume may ask to be called again while the hardware wakes up:
// every 100 ms for at most five seconds.
static const int kResumeTries = 50;
static const long kResumePauseNs = 100000000L;

void listPcmDevices(snd_pcm_stream_t stream)
{
    void **hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints) return;
    int capture = stream == SND_PCM_STREAM_CAPTURE;
    // A device without a direction ("IOID") serves both.
    const char *otherWay = capture ? "Output" : "Input";
    fflush(stdout);
    fprintf(stderr, "PCM devices ALSA knows for %s:\n", capture ? "recording" : "playback");
    for (void **h = hints; *h; ++h) {
        char *name = snd_device_name_get_hint(*h, "NAME");
        char *ioid = snd_device_name_get_hint(*h, "IOID");
        if (name && (!ioid || strcmp(ioid, otherWay) != 0)) fprintf(stderr, "%s\n", name);
        free(name);
        free(ioid);
    }
    snd_device_name_free_hint(hints);
}

int recoverFromSuspend(snd_pcm_t *pcm)
{
    int rc = snd_pcm_resume(pcm);
    for (int tries = 1; rc == -EAGAIN && tries < kResumeTries; ++tries) {
        struct timespec pause = {0, kResumePauseNs};
        nanosleep(&pause, nullptr);
        rc = snd_pcm_resume(pcm);
    }
    // A device that cannot resume (or refused to) starts afresh.
    if (rc < 0) rc = snd_pcm_prepare(pcm);
    return rc < 0 ? rc : 0;
}

int periodMs(long frames, double rate)
{
    if (!(rate > 0.0) || frames <= 0) return 1;
    double ms = std::ceil((double)frames * 1000.0 / rate);
    if (ms < 1.0) return 1;
    if (ms > 60000.0) return 60000;
    return (int)ms;
}
