// WAV files: the canonical 44-byte header, little-endian byte packing, the
// chunk search every reader and editor uses, the attribute reader, the
// two in-place editors (data size fix and append), and the finishing
// touches the record command gives a recorded file.
//
// Every function opens, uses and closes its own files; none keeps a file
// open between calls. Messages go to standard output. What the room's own
// files share and nobody else needs is in wav/wav_private.h.
#ifndef TUNEVAT_WAV_WAV_H
#define TUNEVAT_WAV_WAV_H

#include <cstdio>

// The canonical header is 44 bytes; sample data starts right after it.
const long kWavHeaderBytes = 44;
// Chunk tags are looked for at even offsets from 2 up to and including this.
const long kChunkSearchLimit = 131072;
// Largest data size the signed 32-bit header fields can state with room
// for the RIFF size (data bytes + 36).
const long kMaxDataBytes = 2147483611L;

// Little-endian writers: least significant byte first.
void Decon2(unsigned short value, char *out);        // 2 bytes
void Decon3(unsigned long value, char *out);         // 3 low bytes
void Decon4(long value, char *out);                  // 4 bytes, 0..2^31-1
// Little-endian readers; every byte counts as unsigned.
unsigned int Assem2(const char *bytes);              // 0..65535
unsigned long Assem4(const char *bytes);             // 0..2^32-1

// Fills header (kWavHeaderBytes bytes) with the 44-byte header that
// MAKE_HEADER writes. Returns 1, or 0 (header untouched) when the sizes do
// not fit the header's 32-bit fields.
int headerBytes(char *header, unsigned int rate, unsigned int channels, unsigned int bits,
                long frames);

// Creates (or empties) path and writes the 44-byte header for frames
// frames of channels x (bits / 8)-byte samples at rate Hz. Returns 1 on
// success; 0 when the file cannot be created, written, or the sizes do not
// fit the header (a message says which).
int MAKE_HEADER(const char *path, unsigned int rate, unsigned int channels,
                unsigned int bits, long frames);

// Looks for tag (tagLength bytes, 3 for "fmt", 4 for "data") at the even
// offsets 2, 4, ... 131072 of the open file f; the first match wins.
// Returns the offset, or -1 when the tag is absent. Prints nothing. The
// file position afterwards is unspecified.
long FindChunk(FILE *f, const char *tag, int tagLength);

// Reads rate, bytes per sample, channels, data offset and frame count of
// the WAV file at path. Returns 1 when all five were stored, 0 on failure
// (after printing why). verbose == 1 also prints what it reads.
int GetAttributes(const char *path, unsigned long *rate,
                  unsigned int *bytesPerSample, unsigned int *channels,
                  unsigned long *dataOffset, unsigned long *frames,
                  int verbose);

// Frames from the data offset to the end of the file (declared size not
// consulted); 0 on any failure.
double GET_LENGTH(const char *path);

// Writes dataBytes into the data chunk's size field (dataBytes -1: the
// bytes from the first sample byte to the end of the file). Returns 1 on
// success, 0 when nothing was changed (a message says why).
int FIX_SIZE(const char *path, long dataBytes);

// Appends the first count bytes of source's sample data to the end of
// target. Returns 1 when exactly the bytes the source holds (up to count)
// were copied, 0 on any failure (a message says why).
int APPEND(const char *target, const char *source, long count);

// --- Finishing touches for recorded files (finalise.cpp).

// Sets the RIFF size at offset 4 to the file's length minus 8. Returns 1
// on success, 0 when nothing was changed (a message says why).
int setRiffSize(const char *path);

// Cuts (or extends with zeros) the file to length bytes. Returns 1 on
// success, 0 after a message.
int truncateFile(const char *path, long length);

// Where the audio of the WAV file at path lies: *dataOffset is its first
// sample byte, *audioBytes how many bytes of audio follow it, and
// *tailStart where chunks that follow the audio begin (*length, the file's
// length, when none follow). The declared data size counts only when a
// well-formed run of chunks fills the rest of the file; otherwise
// everything after the data offset is audio, as GetAttributes counts it.
// Returns 1, or 0 after a message.
int findAudio(const char *path, long *dataOffset, long *audioBytes, long *tailStart,
              long *length);

// Puts the first count sample bytes of source right after the audio of
// target, keeping the chunks that follow target's audio after the new
// samples, with the data and RIFF sizes set to match. The new file is
// built beside target and renamed over it, so on failure (a message says
// why, result 0) target is unchanged. Returns 1 on success.
int insertAudio(const char *target, const char *source, long count);

// Copies the file source onto target through a temporary file beside
// target that is renamed over it; target keeps its permissions when it
// existed. Returns 1, or 0 after a message with target unchanged.
int copyOver(const char *source, const char *target);

#endif
