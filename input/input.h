// The word reader: one whitespace-separated word or number at a time from
// standard input, so that a number and a command can share a line. It sits
// below the console and the capture engine (the take menu reads its
// answers here) and calls nothing of the program's own.
//
// Every read is bounded by the caller's buffer. A word longer than the
// buffer is cut to what fits (size - 1 characters) and said to be so; the
// rest of that word is consumed and thrown away, so it never turns into a
// second word.
// End of input is reported to the caller, who decides what it means; once
// input has ended every later read reports it again at once (no spinning).
#ifndef TUNEVAT_INPUT_INPUT_H
#define TUNEVAT_INPUT_INPUT_H

#include <csignal>

// readWord's result for a word longer than the buffer: buf holds its
// first size - 1 characters. Non-zero, like a word that fit, for callers
// that only ask whether a word came.
const int kWordTooLong = 2;

// Reads the next word into buf (NUL-terminated, at most size - 1 bytes).
// Returns 1 when a word was read whole, kWordTooLong when it was cut, 0
// at end of input (buf is then ""). A read cut short by a signal that
// catchSignals noted also returns 0 with buf "", but does not count as the
// end of input.
int readWord(char *buf, int size);

// Integer conversion as "%i" does it. Returns 1 when a number was read
// into *value, 0 when the next text is not a number (it stays in the
// input and *value is unchanged), -1 at end of input.
int readInt(int *value);

// Float conversion as "%f" does it; results as readInt.
int readFloat(float *value);

// 1 once a read has met the end of standard input.
int inputEnded();

// --- Signals the user sends while something runs: Ctrl-C (SIGINT) asks to
// stop it, SIGTERM and SIGHUP to end the program. Between catchSignals and
// releaseSignals their handlers only note the signal (and end a wait for
// the device or for input at once); everywhere else they act as the
// system's defaults, ending the program.

struct SignalCatch;   // what catchSignals replaced, for releaseSignals

// Notes SIGINT from now on, and SIGTERM and SIGHUP too when endSignals is
// 1. Calls nest: releaseSignals puts back what this call replaced.
void catchSignals(SignalCatch *saved, int endSignals);
void releaseSignals(SignalCatch *saved);
// 1 between catchSignals and its releaseSignals.
int catchingSignals();

// The signal noted and not yet forgotten: SIGTERM or SIGHUP (they win
// over SIGINT), SIGINT, or 0.
int caughtSignal();
// 1 when SIGTERM or SIGHUP was noted.
int endRequested();
// Forgets a noted SIGINT once it has stopped what it asked to stop; a
// noted SIGTERM or SIGHUP stays.
void forgetStop();

// Holds SIGINT, SIGTERM and SIGHUP back (they wait, pending) while files
// are changed that must change whole; restoreSignals lets them through.
void holdSignals(sigset_t *saved);
void restoreSignals(const sigset_t *saved);

struct SignalCatch {
    struct sigaction interrupt;
    struct sigaction terminate;
    struct sigaction hangUp;
    int endSignals;
};

#endif
