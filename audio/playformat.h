// What the playback engine sends a device for a file's samples: the
// sample format and the channels the device takes, the conversion of a
// block to them where it takes something else than the file holds, and
// the choice of two channels from a file of more. Inside the audio room;
// play.cpp is its user, the tests hold its conversions up against exact
// values.
#ifndef TUNEVAT_AUDIO_PLAYFORMAT_H
#define TUNEVAT_AUDIO_PLAYFORMAT_H

#include <cstddef>

#include <alsa/asoundlib.h>

#include "wav/wav.h"

// Most encodings formatCandidates lists.
const int kMaxCandidates = 6;

// The encodings to ask a device for a file of encoding file, nearest
// first: the file's own, then those that hold its samples whole (wider
// integers, floats for integers of up to 24 bits), then the narrower
// ones. Fills list (kMaxCandidates) and returns how many.
int formatCandidates(SampleEncoding file, SampleEncoding *list);

// The ALSA sample format of an encoding.
snd_pcm_format_t alsaFormat(SampleEncoding e);

// Picks, in params, the first of the candidates for file that the device
// takes, into *device. Returns 0 with *device set; otherwise ALSA's
// negative error for the file's own format (nothing taken).
int chooseDeviceFormat(snd_pcm_t *pcm, snd_pcm_hw_params_t *params, SampleEncoding file,
                       SampleEncoding *device);

// The channels to send a device for a file of channels channels (path
// names it in a message), set in params: all of a file of more than two
// where the device takes them and no pair is chosen (choosePlayedPair in
// audio/audio.h); else two: the chosen pair, or 1 and 2 (a pair the file
// lacks is said, and 1 and 2 played), channel 1 twice for a mono file.
// Returns the count, with the file's two channels (from 0) in pair[2].
unsigned int chooseDeviceChannels(snd_pcm_t *pcm, snd_pcm_hw_params_t *params, const char *path,
                                  unsigned int channels, unsigned int *pair);

// Turns count samples at in, of encoding from, into samples of encoding to
// at out (which must not overlap in). Integers are widened exactly and
// narrowed with rounding; floats become integers rounded and clipped to
// the integer's range (a NaN is 0); 8-bit unsigned samples become signed.
// Samples of the same encoding are copied.
void convertSamples(const char *in, SampleEncoding from, char *out, SampleEncoding to,
                    size_t count);

// Writes frames two-channel frames at out from channels a and b (from 0)
// of frames frames of channels channels at in, each sample bytes bytes
// (1, 2, 3, 4 or 8; any other size leaves out untouched). A mono block
// (channels 1, a and b 0) goes to both channels.
void pickChannels(unsigned int frames, unsigned int bytes, unsigned int channels, unsigned int a,
                  unsigned int b, const char *in, char *out);

#endif
