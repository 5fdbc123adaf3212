// WAV files: the header of a new recording (the canonical 44 bytes, RF64
// past 4 GiB), little-endian byte packing, the one place that finds a
// file's format and audio (a walk of its chunks, with the tag search
// behind it), the attribute readers, the two in-place editors (data size
// fix and append), and the finishing touches the record command gives a
// recorded file.
//
// Sizes, offsets and frame counts are 64-bit whatever the width of long:
// the build asks for 64-bit file offsets (-D_FILE_OFFSET_BITS=64).
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
// The header of a recording whose data a RIFF size cannot state: "RF64",
// a ds64 chunk holding the 64-bit sizes, the same format chunk, and the
// data chunk's header; sample data starts at 80.
const long kRf64HeaderBytes = 80;
// Where the RIFF size (the file's length less 8) and, in the canonical
// header, the data size are stored.
const long kRiffSizeAt = 4;
const long kDataSizeAt = 40;
// Every chunk, "RIFF" included, starts with a 4-byte tag and a 4-byte
// little-endian size, which its size does not count; its body follows.
const long kChunkHeaderBytes = 8;
// The canonical header's format chunk (tag, size and 16 bytes) starts
// right after "WAVE"; in the program's RF64 header the ds64 chunk (its
// body of 28 bytes) comes first.
const long kRiffFormatAt = 12;
const long kFormatChunkBytes = 24;
const long kDs64BodyBytes = 28;
// The RIFF size is an unsigned 32-bit field and counts the 36 header bytes
// after it: the most data a 44-byte header states. Past it, RF64.
const long long kRiffDataLimit = 4294967295LL - 36;
// The most audio this room puts in one file (4 EiB, far beyond any file
// system): sizes and offsets then stay within a signed 64-bit off_t.
const long long kMaxAudioBytes = 4611686018427387903LL;
// Chunk tags are looked for at even offsets from 2 up to and including this.
const long kChunkSearchLimit = 131072;
// The largest data the take file holds while the take-file code in audio/
// writes only the 44-byte header through signed 32-bit fields.
const long kMaxDataBytes = 2147483611L;

// Little-endian writers: least significant byte first.
void Decon2(unsigned short value, char *out);        // 2 bytes
void Decon3(unsigned long value, char *out);         // 3 low bytes
void Decon4(unsigned long value, char *out);         // 4 low bytes, 0..2^32-1
void Decon8(unsigned long long value, char *out);    // 8 bytes
// Little-endian readers; every byte counts as unsigned.
unsigned int Assem2(const char *bytes);              // 0..65535
unsigned long Assem4(const char *bytes);             // 0..2^32-1
unsigned long long Assem8(const char *bytes);        // 0..2^64-1

// Fills header (room for kRf64HeaderBytes bytes) with the header that
// MAKE_HEADER writes for frames frames of channels x (bits / 8)-byte
// samples at rate Hz. Data of up to kRiffDataLimit bytes gets the 44-byte
// RIFF header, its sizes unsigned 32-bit; more gets the 80-byte RF64
// header:
//   0 "RF64", 4 ff ff ff ff, 8 "WAVE",
//   12 "ds64", 16 size 28, 20 RIFF size (72 + data bytes, 8 bytes),
//      28 data bytes (8 bytes), 36 frames (8 bytes), 44 table length 0 (4),
//   48 the 24-byte "fmt " chunk of the 44-byte header,
//   72 "data", 76 ff ff ff ff; the samples from 80 on.
// Returns the header's length (kWavHeaderBytes or kRf64HeaderBytes), or 0
// (header untouched) when the frame count is negative or past
// kMaxAudioBytes of data, or the rate or byte rate passes 2^31-1.
int headerBytes(char *header, unsigned int rate, unsigned int channels, unsigned int bits,
                long long frames);

// A Broadcast WAV recording's bext chunk (version 1): a fixed body of 602
// bytes (description, originator, its reference, date, time, time
// reference, version, UMID, reserved), then the coding history, one line
// padded to an even length. A header that carries it has room for
// kMaxHeaderBytes bytes.
const long kBextFixedBytes = 602;
const long kMaxBextChunkBytes = 8 + kBextFixedBytes + 64;
const long kMaxHeaderBytes = kRf64HeaderBytes + kMaxBextChunkBytes;

// What a bext chunk of ours says of the recording besides its format: when
// its first frame was recorded, in local time as field recorders write it,
// and a reference unique to the take.
struct BextStamp {
    char date[11];                   // "yyyy-mm-dd"
    char time[9];                    // "hh:mm:ss"
    unsigned long long timeReference;   // frames since local midnight
    char reference[32];              // "Tunevat-" + date and time + a unique number
};

// Fills s for a first frame at seconds and nanoseconds since the epoch,
// recorded at rate Hz; unique goes into the reference (8 hex digits).
void makeBextStamp(BextStamp *s, long long seconds, long nanoseconds, unsigned int rate,
                   unsigned long unique);

// Writes into out (kMaxBextChunkBytes bytes of room) the bext chunk that
// stamp s gives a recording of channels x bits at rate Hz: description
// empty, originator "Tunevat", the coding history naming the format.
// Returns its length, header included (always even).
int bextChunk(char *out, const BextStamp *s, unsigned int rate, unsigned int channels,
              unsigned int bits);

// headerBytes with, when stamp is not null, a bext chunk between the format
// chunk and the data chunk's header (header then needs kMaxHeaderBytes of
// room). A RIFF header holds data of up to kRiffDataLimit less the chunk.
int bwfHeaderBytes(char *header, unsigned int rate, unsigned int channels, unsigned int bits,
                   long long frames, const BextStamp *stamp);

// Writes stamp's date, time, time reference and reference into the bext
// chunk of the WAV file open as fd. Returns 1; 0 when the file has no bext
// chunk of version 1 or more that it could find, or the write failed.
int restampBext(int fd, const BextStamp *stamp);

// Creates (or empties) path and writes the header headerBytes makes.
// Returns 1 on success; 0 when the file cannot be created, written, or
// the sizes do not fit a header (a message says which).
int MAKE_HEADER(const char *path, unsigned int rate, unsigned int channels,
                unsigned int bits, long long frames);

// Looks for tag (tagLength bytes, 3 for "fmt", 4 for "data") at the even
// offsets 2, 4, ... 131072 of the open file f; the first match wins.
// Returns the offset, or -1 when the tag is absent. Prints nothing. The
// file position afterwards is unspecified. The readers and editors use it
// through locateWav, for files whose chunks cannot be walked.
long FindChunk(FILE *f, const char *tag, int tagLength);

// Reads rate, bytes per sample, channels, data offset and frame count of
// the WAV file at path, as locateWav finds its format and audio (frames:
// the audio bytes over channels x bytes per sample, or over the block
// align when the samples are narrower than their whole bytes, such as
// 20 bits in 3). Returns 1 when all five were stored, 0 on failure (after
// printing why). verbose == 1 also prints what it reads.
int GetAttributes(const char *path, unsigned long *rate,
                  unsigned int *bytesPerSample, unsigned int *channels,
                  unsigned long long *dataOffset, unsigned long long *frames,
                  int verbose);

// Frames of audio, as GetAttributes counts them; 0 on any failure.
double GET_LENGTH(const char *path);

// Writes dataBytes into the data chunk's size field, or into the ds64
// chunk's data size of an RF64 file whose data size field says 0xffffffff
// (dataBytes -1: the bytes from the first sample byte to the end of the
// file). An RF64 file whose data size field holds a size gets 0xffffffff
// there and the size in its ds64 chunk when the size does not fit 32 bits.
// Nothing else is written. A RIFF file takes at most kRiffDataLimit.
// Returns 1 on success, 0 when nothing was changed (a message says why).
int FIX_SIZE(const char *path, long long dataBytes);

// Appends the first count bytes of source's sample data to the very end of
// target, after anything that follows target's data chunk; sizes are not
// touched. A RIFF target is not grown past what FIX_SIZE can then state
// (kRiffDataLimit bytes from its first sample byte on); an RF64 target
// grows as far as kMaxAudioBytes. Returns 1 when exactly the bytes the
// source holds (up to count) were copied, 0 on any failure (a message says
// why). The record command uses appendTake, which keeps the audio in one
// piece and turns a RIFF target into RF64 when it must.
int APPEND(const char *target, const char *source, long long count);

// --- Where the format and the audio lie (locate.cpp).

// What locateWav finds in a WAV file. Offsets count from the start of the
// file. The fields from formatTag to subFormat other than channels, rate
// and bits are read from a format chunk reached by walking the chunks;
// after a tag search they are read at the same distances but mean little.
struct WavLayout {
    long long length;        // the file's length in bytes
    int walked;              // 1: chunks walked from offset 12; 0: found by the tag search
    int rf64;                // 1: an RF64 (or BW64) file; its sizes live in the ds64 chunk
    long long ds64At;        // where the ds64 chunk's tag starts; -1 when there is none
    long long fmtAt;         // where the format chunk's tag starts; -1 when there is none
    unsigned int formatTag;  // 1 integer PCM, 3 float, 6 A-law, 7 mu-law, 0xfffe extensible
    unsigned int channels;
    unsigned long rate;
    unsigned int blockAlign; // bytes of one frame, as the format chunk states it
    unsigned int bits;       // bits per sample as stored (the container's, for extensible)
    unsigned int validBits;  // extensible: bits that carry the sample; 0 otherwise
    unsigned int subFormat;  // extensible: the format code of its subformat; 0 when unknown
    long long dataAt;        // where the data chunk's tag starts; -1 when there is none
    long long dataOffset;    // the first sample byte: dataAt + 8
    int dataCut;             // 1 when the file ends inside the data chunk's header
    long long sizeAt;        // where the data size that counts is stored: dataAt + 4, or
                             // for RF64 the 8-byte field in the ds64 chunk
    long long audioBytes;    // bytes of audio from dataOffset on
    long long tailStart;     // where the chunks after the audio begin; length when none do
    long long bextAt;        // where a bext chunk met before the audio starts; -1 when none
    unsigned long bextSize;  // its size field
    char bextDate[11];       // its origination date and time, as stored (NUL-ended)
    char bextTime[9];
    unsigned long long timeReference;   // its time reference, in frames
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

// locateWav on the file open as fd, which is left open and where it was.
// Returns 1; 0 when it could not be read (w is then not filled).
int locateWavFd(int fd, WavLayout *w);

// How a file's samples are stored, for playback: integers are signed and
// little-endian but for 8 bits (unsigned); kSampleS32 also holds fewer
// valid bits in 4 bytes (the sample in the top bits).
enum SampleEncoding {
    kSampleUnplayable = 0,
    kSampleU8,
    kSampleS16,
    kSampleS24,   // 3 bytes
    kSampleS32,
    kSampleF32,   // IEEE float
    kSampleF64,
};
// Bytes of one sample of an encoding (0 for kSampleUnplayable).
unsigned int encodingBytes(SampleEncoding e);

// The encoding of the located file's samples; kSampleUnplayable, with what
// they are in what (whatBytes bytes), for samples playback cannot turn
// into sound (A-law, mu-law and other coded formats, widths it has no
// form for, frames of a size other than channels x bytes per sample).
// A file read by the tag search is taken as its format tag and bits say.
SampleEncoding layoutEncoding(const WavLayout *w, char *what, size_t whatBytes);

// The same for the file at path; kSampleUnplayable with what empty when it
// cannot be read. Prints nothing.
SampleEncoding sampleEncoding(const char *path, char *what, size_t whatBytes);

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

// Sets the RIFF size to the file's length minus 8: at offset 4, or in the
// ds64 chunk of an RF64 file. Returns 1 on success, 0 when nothing was
// changed (a message says why; a RIFF file longer than 4 GiB cannot state
// its size).
int setRiffSize(const char *path);

// Cuts (or extends with zeros) the file to length bytes. Returns 1 on
// success, 0 after a message.
int truncateFile(const char *path, long long length);

// Whether path may be replaced or extended by a recording: 1 when it does
// not exist or the user may write it; 0 after a message when it may not be
// written, or when it is a FIFO, a device or a socket. (A directory is left
// to the rename, which refuses it.)
int targetWritable(const char *path);

// Adds the first count sample bytes of source (a take file) to the audio
// of target: they go right after its audio on a whole-frame boundary (a
// trailing partial frame is dropped, with a line saying so), before the
// chunks that follow it, with a pad byte after odd-sized data, and the
// data and RIFF sizes (RF64: the ds64 sizes) set to match. A RIFF target
// whose sizes would no longer fit 32 bits becomes RF64: "RF64" and
// 0xffffffff replace "RIFF" and its size, a ds64 chunk goes right after
// "WAVE", the data size field says 0xffffffff, and every other byte of the
// target is kept. oldBytes is the
// whole-frame audio the target held when the append was agreed to (-1:
// take what it holds now); a target that has changed since is refused.
// The new file is built beside target (links followed, mode and owner
// kept) and renamed over it, so a failure or a kill leaves target as it
// was. Prints "Append file is %li bytes\n" with source's length first.
// Returns 1, or 0 after a message with target unchanged.
int appendTake(const char *target, const char *source, long long count, long long oldBytes);

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
