// The running display of playback and capture: "\rclock = 1.23 sec" and
// "\rRemaining 0.91 sec", one line overwritten once per period. The text
// is made without printf (it runs for every period), and the flushes are
// paced so that a device faster than real time is not paid for with one
// write per period.
#ifndef TUNEVAT_AUDIO_RUNNING_LINE_H
#define TUNEVAT_AUDIO_RUNNING_LINE_H

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

#endif
