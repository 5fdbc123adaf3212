// Audio I/O over ALSA: the playback engine, the capture engine with its
// take menu, and the peak meter.
//
// The device is opened and closed within every call. ALSA failures are
// printed on standard error with the library's text.
#ifndef TUNEVAT_AUDIO_AUDIO_H
#define TUNEVAT_AUDIO_AUDIO_H

// Plays the WAV file path on ALSA device between inPoint and outPoint
// seconds, in whole period-sized blocks, mono on both channels. Returns 1
// when the device was opened and configured and the loop ran (also when it
// played nothing), 0 on any failure (after printing why).
int PLAY(const char *path, const char *device, float inPoint, float outPoint);

// Writes frames two-channel frames into out, left then right, from the
// single-channel blocks left and right (which may be the same array).
// bytesPerSample 2 or 3; any other size leaves out untouched.
void Interleave(unsigned int frames, unsigned int bytesPerSample,
                const char *left, const char *right, char *out);

// Records takes of duration seconds from ALSA device into takePath (a
// fresh 44-byte header, then the data), with the take menu after each
// take. Returns the data bytes kept (0 when none), or -1 when the device
// could not be opened or set up (the reason has been printed).
long RECORD(const char *device, unsigned int rate, float duration,
            int channels, int bits, const char *takePath);

// Writes seconds as printf's "%.2f" would (same digits, same rounding)
// into text, which holds at least kHundredthsBytes bytes, and returns the
// length. Returns 0 and writes nothing for values it leaves to printf:
// negative (also negative zero), not a number, 1e9 and above. The running
// clocks use it once per period instead of printf.
const int kHundredthsBytes = 16;
int formatHundredths(double seconds, char *text);

// Writes a running display line to standard output in one piece:
// prefix (at most 15 characters, "\rclock = " or "\rRemaining "), then
// seconds as "%.2f", then " sec". Not flushed.
void printRunningSeconds(const char *prefix, double seconds);

// The running display is flushed at most once per kRunningFlushNs of
// monotonic time. A period of 4096 frames lasts longer than that on a card
// playing or recording in real time at any rate up to 192000 Hz (21 ms
// there, 93 ms at 44100 Hz), so each period's line still shows at once; a
// device that runs faster than real time (null, a file) gets its lines
// written in batches instead of one write per period. The bytes written
// are the same either way.
const long long kRunningFlushNs = 1000000000LL / 60;

// Whether a line printed at nowNs is due to be flushed, the last flush
// having been at lastFlushNs (negative: never).
int runningFlushDue(long long nowNs, long long lastFlushNs);

// The monotonic clock in nanoseconds, or -1 when there is none.
long long monotonicNs();

// Flushes standard output when runningFlushDue says so, and then records
// the time in *lastFlushNs. Start with *lastFlushNs = -1; call
// fflush(stdout) after the last period so the final line shows.
void flushRunningLine(long long *lastFlushNs);

// Raises *peak to the largest absolute value among count samples of one
// channel at data (bytesPerSample 2 or 3, little-endian, signed).
void CheckPeak(int count, long *peak, const char *data,
               unsigned int bytesPerSample);

// Prints "Channel %i peak = ... dB" for one channel's peak.
void ShowPeaks(int channel, long peak, long bytesPerSample);

#endif
