// What the files of the wav room share among themselves: the layout of a
// chunk, the limits of its size fields, the room's fixed messages and its
// file helpers. Other rooms include wav/wav.h only.
#ifndef TUNEVAT_WAV_WAV_PRIVATE_H
#define TUNEVAT_WAV_WAV_PRIVATE_H

#include <cstddef>
#include <cstdio>

#include "wav/wav.h"

// Every chunk, "RIFF" included, starts with a 4-byte tag and a 4-byte
// little-endian size; its body follows.
const long kTagBytes = 4;
const long kSizeFieldBytes = 4;
const long kChunkHeaderBytes = kTagBytes + kSizeFieldBytes;
// The RIFF size follows the "RIFF" tag and counts the file from byte 8 on.
const long kRiffSizeAt = kTagBytes;
// Largest value a signed 32-bit header field holds.
const long kMaxField = 2147483647L;

// Fixed messages, each printed as a line of its own.
extern const char kNoFormatMessage[];   // "Can't find format chunk in wave file!\n"
extern const char kNoDataMessage[];     // "Can't find data block in wave file!\n"
extern const char kZeroFrameMessage[];  // "Wave file has a frame size of zero!\n"
extern const char kCutDataMessage[];    // "Wave file ends before its sample data!\n"

// "The file called PATH is not a regular file!": a FIFO, a device, a
// socket or a directory, refused before anything is read from it.
void notRegular(const char *path);

// Opens path with mode ("rb", "rb+") when it is a regular file. Otherwise
// prints "Cannot open PATH: reason", or the not-regular line, and returns
// nullptr.
FILE *openWavFile(const char *path, const char *mode);

// "Cannot open PATH: reason" with errno's text.
void cannotOpen(const char *path);
// "Cannot read PATH: reason"; a short read without an error is reported
// as an unexpected end of the file.
void cannotRead(const char *path, FILE *f);
// "Cannot write PATH: reason" for the error number err.
void cannotWrite(const char *path, int err);

// Whether a located file's data chunk can be used: 1, or 0 after the
// line that says why not (no data chunk; the file ends inside its header).
int dataFound(const WavLayout *w);

// Length of the open file in bytes, or -1.
long fileLength(FILE *f);

// unsupportedFormat on a file already located.
int describeUnsupported(const WavLayout *w, char *what, size_t whatBytes);

// The frame size a layout's format gives: channels x whole bytes per
// sample (0 without a format chunk).
unsigned long layoutFrameBytes(const WavLayout *w);

// Reads up to n bytes from where f stands; fewer only at the end of the
// file or on an error.
size_t readUpTo(FILE *f, char *buf, size_t n);

// Reads exactly n bytes at offset pos: 1 when all of them were there, 0
// when any lies beyond the end of the file or cannot be read.
int readAt(FILE *f, long pos, char *buf, size_t n);

#endif
