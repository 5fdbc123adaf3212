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

// Bytes of an answer word: every answer that means something is one
// character ("1" to "5", "c", "y"); longer words are cut.
const int kAnswerBytes = 16;

// readWord's result for a word that did not fit: buf holds its first
// size - 1 characters and the rest of it was read and thrown away.
const int kWordTooLong = 2;

// Reads the next word into buf (NUL-terminated, at most size - 1 bytes).
// Returns 1 when a word was read, kWordTooLong when it was cut to fit, 0
// at end of input (buf is then ""). A read cut short by a signal that
// catchSignals noted also returns 0 with buf "", but does not count as the
// end of input.
int readWord(char *buf, int size);

// A decimal integer: optional sign and digits (a leading zero means
// nothing, "0x" is a zero followed by the word "x..."), saturated to the
// int range. Returns 1 when a number was read into *value, 0 when the next
// text is not a number (*value unchanged; a lone sign is consumed, as
// scanf consumes it, anything else stays in the input), -1 at end of
// input or when a noted signal cut the wait short (inputEnded tells the
// two apart): the prompt is then given up.
int readInt(int *value);

// Float conversion as "%f" does it (decimal, hexadecimal, inf, nan; the
// characters of a partial number are consumed); results as readInt.
int readFloat(float *value);

// 1 once a read has met the end of standard input.
int inputEnded();

// For a command that runs until Enter is pressed, looking at the input
// between its own work.
//
// Waits at most timeoutNs nanoseconds (0: not at all) until a read would
// not wait: the reader holds unread input, standard input has some, or it
// has ended. Returns 1 then, 0 when the time ran out (or a signal that is
// not noted cut it short), -1 when a noted signal came (or was noted
// already).
int waitForInputWithin(long long timeoutNs);

// Drops what the reader holds and what standard input has ready, up to and
// including the line feed that ends the current line, without waiting for
// more. Returns 1 when the line ended, 0 when it goes on (what came of it
// is dropped), -1 at end of input.
int dropLineSoFar();

// Drops the end of the line a command word was typed on, when nothing but
// blanks (spaces, tabs, carriage returns) is left on it: those and the
// line feed, from what is there now, without waiting. Returns 1 when the
// line feed was dropped; 0 when a word follows on the line, or nothing has
// come yet.
int dropBlankLineEnd();

// Forgets what the reader holds and the end of input, as if the program
// had just started. Only tests call it, between inputs.
void resetInput();

// --- Signals the user sends: Ctrl-C (SIGINT) asks to stop what runs,
// SIGTERM and SIGHUP to end the program. The console catches them for the
// whole of every command (and the recording engine for the whole of a
// recording): between catchSignals and releaseSignals their handlers only
// note the signal, one note per signal, and the loops that play, record or
// wait for input look at the notes. Everywhere else they act as the
// system's defaults. A signal that was ignored when the program started
// (under nohup, say) stays ignored: it is never caught.

struct SignalCatch;   // what catchSignals replaced, for releaseSignals

// Notes SIGINT from now on, and SIGTERM and SIGHUP too when endSignals is
// 1 (and counts SIGCONT, see resumedCount). Calls nest: releaseSignals
// puts back what this call replaced.
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

// How many times the program has been continued after a stop (SIGCONT)
// while the signals were caught: a wait that counts the device's silence
// starts again after one, since the stop was the program's, not the
// device's.
unsigned resumedCount();

struct SignalCatch {
    struct sigaction interrupt;
    struct sigaction terminate;
    struct sigaction hangUp;
    struct sigaction resume;
    int caught[4];   // which of the four this call installed a handler for
};

#endif
