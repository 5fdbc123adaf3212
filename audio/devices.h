// ALSA device helpers that playback and capture share: the list of PCM
// device names printed after a device could not be opened, so that a
// mistyped name can be corrected with one that exists, and the way back
// after a suspend.
#ifndef TUNEVAT_AUDIO_DEVICES_H
#define TUNEVAT_AUDIO_DEVICES_H

#include <alsa/asoundlib.h>

// Prints on standard error the line "PCM devices ALSA knows for
// recording:" (or "... for playback:") and then, one a line, the name of
// every PCM device in ALSA's configuration that serves that direction.
// When ALSA cannot list them it prints nothing. Changes nothing.
void listPcmDevices(snd_pcm_stream_t stream);

// After a suspend (-ESTRPIPE): resumes the stream where the device can,
// waiting a bounded time while it says it is not ready yet, and otherwise
// prepares it afresh. Returns 0, or the negative error of the prepare.
int recoverFromSuspend(snd_pcm_t *pcm);

// snd_pcm_wait's timeout in milliseconds for one period of frames at
// rate: the period's length, rounded up, and at least 1.
int periodMs(long frames, double rate);

#endif
