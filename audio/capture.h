// The capture device: opening and configuring it, reading a period, and
// closing it. The twin of the playback engine's device half; the take loop
// (record.cpp) calls it and knows nothing of ALSA's parameters.
#ifndef TUNEVAT_AUDIO_CAPTURE_H
#define TUNEVAT_AUDIO_CAPTURE_H

#include <alsa/asoundlib.h>

// Capture always runs in stereo; a mono recording keeps channel 1 (left).
const unsigned int kCaptureChannels = 2;

// An open capture device and what it settled on.
struct CaptureDevice {
    snd_pcm_t *pcm;            // nullptr when closed
    const char *name;          // the ALSA device name, for messages
    long periodFrames;         // frames per read, as the device settled it
    int bytesPerSample;        // 2 or 3
    int interleavedAccess;     // the device offers interleaved frames only (snd_pcm_readi)
    char *interleavedFrames;   // a period of interleaved frames, for snd_pcm_readi
    double rateHz;             // the rate asked for (and granted)
    long long lastFramesNs;    // when the device last gave frames (or the take began)
    int lostPeriodsInRow;      // over-runs and suspends with no period read between
};

// Opens device for capture at rate Hz with 2- or 3-byte samples, two
// channels. Channel buffers (non-interleaved access, read with
// snd_pcm_readn) are asked for first; a device that refuses them (a sound
// server's plugin, say) is read in interleaved frames instead: the bytes
// a take gets are the same either way. A device that grants other
// channels, another format or another rate than asked is refused before
// the take: a take at another rate would play at the wrong speed. Returns
// 1 with d open; 0 after printing why (d closed, nothing to release).
int openCapture(CaptureDevice *d, const char *device, unsigned int rate, int bytesPerSample);

// Readies the device for a take (snd_pcm_prepare); the stream starts at
// the first read.
void startCapture(CaptureDevice *d);

// Reads one period into the channel halves left and right (periodFrames
// samples each), in as many reads as the device takes to deliver it.
// Returns the frames the halves hold: the period (silence for a period
// lost to an over-run or a suspend, reported with "RX"), or fewer when a
// signal came in the middle of it (the take then ends there, with no
// silence added); 0 when a signal came before anything was read, or the
// device had nothing for a while (the caller looks at the signals and
// reads again); -1 when the device failed (said so, with its name and
// ALSA's reason). Errors never make a take run on at the CPU's speed: a
// device that delivers nothing is waited for, and one that keeps failing
// ends the take.
int readCapturePeriod(CaptureDevice *d, char *left, char *right);

// Stops and closes the device and frees what openCapture allocated. The
// one place a capture device is closed; nothing happens when d is closed.
void closeCapture(CaptureDevice *d);

#endif
