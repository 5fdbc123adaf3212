// WAV files: the canonical 44-byte header, little-endian byte packing, the
// one place that finds a file's format and audio (a walk of its chunks,
// with the tag search behind it), the attribute readers, the two in-place
// editors (data size fix and append), and the finishing touches the
// record command gives a recorded file.
//
// Every function opens, uses and closes its own files; none keeps a file
// open between calls. Only regular files are opened: a FIFO, a device or
// a directory is refused with "The file called %s is not a regular
// file!". Messages go to standard output. What the room's own
// files share and nobody else needs is in wav/wav_private.h.
#ifndef TUNEVAT_WAV_WAV_H
#define TUNEVAT_WAV_WAV_H

#include <cstddef>
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
// file position afterwards is unspecified. The readers and editors use it
// through locateWav, for files whose chunks cannot be walked.
long FindChunk(FILE *f, const char *tag, int tagLength);

// Reads rate, bytes per sample, channels, data offset and frame count of
// the WAV file at path, as locateWav finds its format and audio (frames:
// the audio bytes over channels x bytes per sample). Returns 1 when all
// five were stored, 0 on failure (after printing why). verbose == 1 also
// prints what it reads.
int GetAttributes(const char *path, unsigned long *rate,
                  unsigned int *bytesPerSample, unsigned int *channels,
                  unsigned long *dataOffset, unsigned long *frames,
                  int verbose);

// Frames of audio, as GetAttributes counts them; 0 on any failure.
double GET_LENGTH(const char *path);

// Writes dataBytes into the data chunk's size field, or into the ds64
// chunk's data size of an RF64 file whose data size field says 0xffffffff
// (dataBytes -1: the bytes from the first sample byte to the end of the
// file). Nothing else is written. Returns 1 on success, 0 when nothing was
// changed (a message says why).
int FIX_SIZE(const char *path, long dataBytes);

// Appends the first count bytes of source's sample data to the very end of
// target, after anything that follows target's data chunk; sizes are not
// touched. Returns 1 when exactly the bytes the source holds (up to count)
// were copied, 0 on any failure (a message says why). The record command
// uses appendTake, which keeps the audio in one piece.
int APPEND(const char *target, const char *source, long count);

// --- Where the format and the audio lie (locate.cpp).

// What locateWav finds in a WAV file. Offsets count from the start of the
// file. The fields from formatTag to subFormat other than channels, rate
// and bits are read from a format chunk reached by walking the chunks;
// after a tag search they are read at the same distances but mean little.
struct WavLayout {
    long length;             // the file's length in bytes
    int walked;              // 1: chunks walked from offset 12; 0: found by the tag search
    int rf64;                // 1: an RF64 (or BW64) file; its sizes live in the ds64 chunk
    long ds64At;             // where the ds64 chunk's tag starts; -1 when there is none
    long fmtAt;              // where the format chunk's tag starts; -1 when there is none
    unsigned int formatTag;  // 1 integer PCM, 3 float, 6 A-law, 7 mu-law, 0xfffe extensible
    unsigned int channels;
    unsigned long rate;
    unsigned int blockAlign; // bytes of one frame, as the format chunk states it
    unsigned int bits;       // bits per sample as stored (the container's, for extensible)
    unsigned int validBits;  // extensible: bits that carry the sample; 0 otherwise
    unsigned int subFormat;  // extensible: the format code of its subformat; 0 when unknown
    long dataAt;             // where the data chunk's tag starts; -1 when there is none
    long dataOffset;         // the first sample byte: dataAt + 8
    int dataCut;             // 1 when the file ends inside the data chunk's header
    long sizeAt;             // where the data size that counts is stored: dataAt + 4, or
                             // for RF64 the 8-byte field in the ds64 chunk
    long audioBytes;         // bytes of audio from dataOffset on
    long tailStart;          // where the chunks after the audio begin; length when none do
};

// Locates the format chunk and the audio of the open file f, reading its
// first bytes once. The chunks are walked from offset 12 ("RIFF", "RF64"
// or "BW64" at 0 and "WAVE" at 8; sizes little-endian, an odd size followed
// by a pad byte) and the first "fmt " and "data" chunks reached are taken;
// the audio is the data chunk's size when that size fits in the file and
// whole chunks fill the rest of it. A data size of 0 or 0xffffffff, one
// that runs past the end of the file, or one followed by bytes that are
// not chunks leaves the file's length to decide: the audio runs to the
// end. When the walk cannot reach both chunks, the tags are searched for
// at the even offsets 2 .. 131072 as FindChunk does. Prints nothing.
void locateWav(FILE *f, WavLayout *w);

// Whether the samples of the WAV file at path are something other than
// integer PCM stored as its header says (a float, A-law or other coded
// format; a sample narrower than its container; frames of a size other
// than channels x bytes per sample). Returns 1 with a short description in
// what (whatBytes bytes, e.g. "32-bit floating-point samples"); 0 when the
// samples are plain PCM, or the file cannot be read or was not walked.
// Prints nothing.
int unsupportedFormat(const char *path, char *what, size_t whatBytes);
// Room enough for any description unsupportedFormat gives.
const size_t kFormatTextBytes = 96;

// --- Finishing touches for recorded files (finalise.cpp).

// Sets the RIFF size at offset 4 to the file's length minus 8. Returns 1
// on success, 0 when nothing was changed (a message says why).
int setRiffSize(const char *path);

// Cuts (or extends with zeros) the file to length bytes. Returns 1 on
// success, 0 after a message.
int truncateFile(const char *path, long length);

// Whether path may be replaced or extended by a recording: 1 when it does
// not exist or the user may write it; 0 after a message when it may not be
// written, or when it is a FIFO, a device or a socket. (A directory is left
// to the rename, which refuses it.)
int targetWritable(const char *path);

// Adds the first count sample bytes of source (a take file) to the audio
// of target: they go right after its audio on a whole-frame boundary (a
// trailing partial frame is dropped, with a line saying so), before the
// chunks that follow it, with a pad byte after odd-sized data, and the
// data and RIFF sizes (RF64: the ds64 sizes) set to match. oldBytes is the
// whole-frame audio the target held when the append was agreed to (-1:
// take what it holds now); a target that has changed since is refused.
// The new file is built beside target (links followed, mode and owner
// kept) and renamed over it, so a failure or a kill leaves target as it
// was. Prints "Append file is %li bytes\n" with source's length first.
// Returns 1, or 0 after a message with target unchanged.
int appendTake(const char *target, const char *source, long count, long oldBytes);

// Moves source onto target: a symlink target is followed and the file it
// names is replaced, keeping that file's mode and owner where allowed;
// onto another file system the bytes are copied (copyOver) and source is
// removed. Returns 1, or 0 after a message with target unchanged and
// source still there.
int moveOver(const char *source, const char *target);

// Copies the file source onto target through a temporary file beside
// target that is renamed over it (links followed, mode and owner kept).
// Returns 1, or 0 after a message with target unchanged.
int copyOver(const char *source, const char *target);

#endif
