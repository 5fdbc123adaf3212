// Audio I/O over ALSA: the playback engine, the capture engine with its
// take menu, and the peak meter.
//
// The device is opened and closed within every call. ALSA failures are
// printed on standard error with the library's text.
#ifndef TUNEVAT_AUDIO_AUDIO_H
#define TUNEVAT_AUDIO_AUDIO_H

// Plays the WAV file path on ALSA device between inPoint and outPoint
// seconds, in whole period-sized blocks, mono on both channels, more than
// two channels as choosePlayedPair says; integer PCM of 8 to 32 bits and
// IEEE float of 32 or 64, converted to the nearest format the device
// takes where it does not take the file's own. Ctrl-C
// (or a SIGTERM or SIGHUP that a recording catches) stops the sound at
// once; the signal stays noted for the caller, who forgets a Ctrl-C
// (forgetStop) once it has stopped what it should. Returns 1 when the
// device was opened and configured and the loop ran (also when it played
// nothing or was stopped), 0 on any failure (after printing why): a
// device that cannot be opened is followed by the list of the PCM devices
// ALSA knows, and one that fails while playing ends the playback at once,
// with its name and ALSA's reason.
int PLAY(const char *path, const char *device, float inPoint, float outPoint);

// The two channels (from 1) played from files of more than two, for the
// whole run; 0 (either) for all of them where the device takes them, and
// channels 1 and 2 where it does not.
void choosePlayedPair(int first, int second);

// Writes frames two-channel frames into out, left then right, from the
// single-channel blocks left and right (which may be the same array).
// bytesPerSample 2 or 3; any other size leaves out untouched.
void Interleave(unsigned int frames, unsigned int bytesPerSample,
                const char *left, const char *right, char *out);

// Records takes of duration seconds from ALSA device into takePath (a
// fresh 44-byte header, then the data), with the take menu after each
// take. The take file is claimed first (see audio/takefile.h) and stays
// claimed after the call: the caller releases it with releaseTakeFile once
// it has dealt with the take. Returns the data bytes kept (0 when none),
// -1 when the take file or the device could not be opened or set up (the
// reason has been printed: a device that cannot be opened is followed by
// the list of the PCM devices ALSA knows; one that grants other channels,
// another format or another rate is refused with what it offers), or
// kRecordEnded after SIGTERM or SIGHUP (or a Ctrl-C at the take menu):
// the take file then holds the recording with exact sizes, and the
// program is to end without touching anything else. Ctrl-C during a take
// ends the take where it is, as if its time had run out. A device that
// fails during a take ends it at once, with the device's name and ALSA's
// reason; the take file keeps every period read before, and the take menu
// follows. On every return the take file holds exactly the kept bytes
// after its header, with sizes that say so (heldTake in audio/takefile.h).
const long long kRecordEnded = -2;

// The most audio bytes the take file may hold in the next RECORD call (the
// record command sets it from what the target's file system keeps), -1
// for no limit but the format's. A first take that does not fit is
// refused, and "2" is refused for a take that would not fit.
void limitRecording(long long roomBytes);

// How the first take of the next RECORD call starts: with preSeconds of
// the audio from before the moment it starts (0: none), and at that
// moment: Enter, or, with a triggerDb below 0, the first frame whose level
// passes triggerDb dBFS, whichever comes first. With neither, the take
// starts at once, as every take that continues a recording does.
void startTakesWith(float preSeconds, float triggerDb);

// Whether the recordings of the next RECORD calls carry a bext chunk
// (Broadcast WAV): stamped with the local date and time of their first
// frame, and its time of day as a time reference.
void recordBroadcastWav(int on);

long long RECORD(const char *device, unsigned int rate, float duration,
                 int channels, int bits, const char *takePath);

// Shows the input level of ALSA device, opened as RECORD opens it (rate
// Hz, bits 16 or 24), for channels channels (1: the left one), until a
// line is typed (Enter; what is on it is dropped), the input ends, or
// Ctrl-C, SIGTERM or SIGHUP comes (noted for the caller). First the line
// "Showing the input level of <device> until Enter is pressed"; then on a
// terminal the meter (meter.h), redrawn ten times a second, and elsewhere
// a line for each second of audio read: "Channel 1 peak = -6.0 dBFS,
// Channel 2 peak = -6.0 dBFS" (-inf for silence; " (N clipped)" after a
// channel with N samples at full scale in that second). Frames the device
// loses are passed over. Writes no file. Returns 1; 0 when the device
// could not be opened or set up (said why as RECORD says it, with the list
// of devices).
int watchInputLevel(const char *device, unsigned int rate, int channels, int bits);

// Raises *peak to the largest absolute value among count samples of one
// channel at data (bytesPerSample 2 or 3, little-endian, signed).
void CheckPeak(int count, long *peak, const char *data,
               unsigned int bytesPerSample);

// Raises *left and *right (right may be null: a mono take keeps the left
// channel only) to the largest absolute values among frames two-channel
// interleaved frames at data, as CheckPeak does for one channel. The
// capture engine measures each block the device gives this way.
void checkFramePeaks(long frames, const char *data, unsigned int bytesPerSample, long *left,
                     long *right);

// The same pass for the live meter and the picture of a take: raises
// peaks[0] and peaks[1] to each channel's largest absolute value among
// frames two-channel interleaved frames, and adds to clips[0] and
// clips[1] each channel's samples at either end of the scale (32767 and
// -32768; 8388607 and -8388608). Costs what checkFramePeaks costs, but
// for blocks that reach full scale.
void measureFrames(long frames, const char *data, unsigned int bytesPerSample, long peaks[2],
                   long clips[2]);

// The first of frames two-channel interleaved frames at data whose left
// sample (or right, with channels 2) is larger in absolute value than
// level; -1 when none is. What starts a take on sound.
long firstFrameOver(long frames, const char *data, unsigned int bytesPerSample, int channels,
                    long level);

// Prints "Channel %i peak = ... dB" for one channel's peak.
void ShowPeaks(int channel, long peak, long bytesPerSample);

#endif
