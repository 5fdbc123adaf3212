// What the files of the wav room share among themselves: the layout of a
// chunk, the limits of its size fields, the room's fixed messages and its
// file helpers. Other rooms include wav/wav.h only.
#ifndef TUNEVAT_WAV_WAV_PRIVATE_H
#define TUNEVAT_WAV_WAV_PRIVATE_H

#include <cstddef>
#include <cstdio>
#include <sys/types.h>

#include "wav/wav.h"

// Files past 2 GiB are read and written through 64-bit offsets on every
// system, 32-bit ones included.
static_assert(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

// Every chunk, "RIFF" included, starts with a 4-byte tag and a 4-byte
// little-endian size; its body follows.
const long kTagBytes = 4;
const long kSizeFieldBytes = 4;
static_assert(kChunkHeaderBytes == kTagBytes + kSizeFieldBytes, "a chunk's tag and size");
// Largest value a signed 32-bit header field holds: the rates' limit.
const long kMaxField = 2147483647L;
// A 32-bit size field that says "not known", or in an RF64 file "see the
// ds64 chunk".
const unsigned long long kUnknownSize = 0xffffffffULL;
// The ds64 chunk: its body of 28 bytes holds the RIFF size, the data size
// and the sample count (frames), 8 bytes each, counted here from the
// chunk's tag, then the length of a table of other chunks' sizes
// (kDs64BodyBytes in all).
const long kDs64RiffAt = 8;
const long kDs64DataAt = 16;
const long kDs64SamplesAt = 24;
const int kWideSizeBytes = 8;

// A bext chunk's fields that a stamp gives, from its originator reference
// (this far into the chunk's body) to its time reference.
const long kBextReferenceAt = 288;
const long kBextStampBytes = 58;
// Writes them for stamp s into out (kBextStampBytes bytes).
void bextStampFields(const BextStamp *s, char *out);

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
long long fileLength(FILE *f);

// unsupportedFormat on a file already located.
int describeUnsupported(const WavLayout *w, char *what, size_t whatBytes);

// The frame size a layout's format gives: channels x whole bytes per
// sample, or the block align when a walked format chunk says the samples
// are narrower than whole bytes and each sits in a container of whole
// bytes (20 bits in 3 bytes); 0 without a format chunk.
unsigned long layoutFrameBytes(const WavLayout *w);

// Reads up to n bytes from where f stands; fewer only at the end of the
// file or on an error.
size_t readUpTo(FILE *f, char *buf, size_t n);

// Reads exactly n bytes at offset pos: 1 when all of them were there, 0
// when any lies beyond the end of the file or cannot be read.
int readAt(FILE *f, long long pos, char *buf, size_t n);

// Writes the width low bytes of value, least significant first, at pos.
// Returns 1, or 0 with errno set.
int writeField(FILE *f, long long pos, unsigned long long value, int width);

#endif
