// The word reader: one whitespace-separated word or number at a time from
// standard input, so that a number and a command can share a line. It sits
// below the console and the capture engine (the take menu reads its
// answers here) and calls nothing of the program's own.
//
// Every read is bounded by the caller's buffer. A word longer than the
// buffer is cut to what fits (size - 1 characters); the rest of that word
// is consumed and thrown away, so it never turns into a second word.
// End of input is reported to the caller, who decides what it means; once
// input has ended every later read reports it again at once (no spinning).
#ifndef TUNEVAT_INPUT_INPUT_H
#define TUNEVAT_INPUT_INPUT_H

// Reads the next word into buf (NUL-terminated, at most size - 1 bytes).
// Returns 1 when a word was read, 0 at end of input (buf is then "").
int readWord(char *buf, int size);

// Integer conversion as "%i" does it. Returns 1 when a number was read
// into *value, 0 when the next text is not a number (it stays in the
// input and *value is unchanged), -1 at end of input.
int readInt(int *value);

// Float conversion as "%f" does it; results as readInt.
int readFloat(float *value);

// 1 once a read has met the end of standard input.
int inputEnded();

#endif
