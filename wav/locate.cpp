// Finding the format and the audio of a WAV file: a walk of its chunks,
// and behind it the tag search for files whose chunks cannot be walked.
//
// Other programs put all kinds of chunks around the audio (LIST, bext,
// iXML, JUNK, cue, levl, ...), of any size, on either side of it. Walking
// the chunks by their sizes finds the real "fmt " and "data" chunks where
// a search for their tags could stop on the same letters inside a title or
// a size field, and tells where the audio ends when chunks follow it. A
// file whose chunks do not lead from one to the next (a broken size, a
// file cut short, no "RIFF" header) reads as it always has: by the tags.
#include "wav/wav_private.h"

#include <cstdint>
#include <cstring>
#include <unistd.h>
#include <sys/stat.h>

#include "files/files.h"

// Longest tag the search compares ("data").
static const int kMaxTagLength = 4;
// Most files have both chunks in their first few KiB: that much is read
// first, the rest of the search window only when a search needs it.
static const size_t kFirstRead = 4096;
// Chunks looked at before a walk gives up, before the audio and after it,
// so that a file of endless tiny chunks is not read to its end.
static const int kMaxChunks = 4096;
// The RIFF header: "RIFF" (or "RF64"), its size, "WAVE"; chunks follow.
static const long kFirstChunk = 12;

// Format chunk fields, counted from the chunk's tag: format tag at +8,
// channels +10, sample rate +12, block align +20, bits per sample +22.
// The extensible format adds valid bits at +26 and the subformat GUID at
// +32, whose first two bytes are its format code and whose other fourteen
// are the same for every format registered the usual way.
static const size_t kFormatFieldBytes = 24;
static const size_t kExtensibleBytes = 48;
static const unsigned int kExtensibleTag = 0xfffe;
static const unsigned char kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                            0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
// The ds64 chunk of an RF64 file: 64-bit RIFF size, data size and sample
// count, then a table this reader does not need.
static const unsigned long kDs64MinSize = 24;

// The first bytes of the file being read, up to the whole search window.
// One file at a time: every reader starts it afresh.
static struct {
    FILE *f;
    size_t have;    // bytes of the file held in bytes[]
    int complete;   // bytes[] holds the window, or all the file has
    char bytes[kChunkSearchLimit + kMaxTagLength];
} head;

static void headStart(FILE *f)
{
    head.f = f;
    head.have = 0;
    head.complete = 1;
    if (fseek(f, 0, SEEK_SET) != 0) return;
    head.have = readUpTo(f, head.bytes, kFirstRead);
    head.complete = head.have < kFirstRead;
}

// Reads the rest of the search window.
static void headFill()
{
    if (head.complete) return;
    if (fseeko(head.f, (off_t)head.have, SEEK_SET) == 0)
        head.have += readUpTo(head.f, head.bytes + head.have, sizeof head.bytes - head.have);
    head.complete = 1;
}

// Exactly n bytes at pos: from the head when it holds them, else read.
static int headRead(long long pos, char *out, size_t n)
{
    if (pos >= 0 && (unsigned long long)pos + n <= head.have) {
        memcpy(out, head.bytes + pos, n);
        return 1;
    }
    return readAt(head.f, pos, out, n);
}

// The first even offset 2..131072 at which tag lies whole in the file.
static long headSearch(const char *tag, int tagLength)
{
    // Four bytes at a time, the bytes past a shorter tag masked off: one
    // load and one compare per candidate, whatever the bytes are.
    const size_t n = (size_t)tagLength;
    unsigned char wantBytes[kMaxTagLength] = {0}, maskBytes[kMaxTagLength] = {0};
    memcpy(wantBytes, tag, n);
    memset(maskBytes, 0xff, n);
    uint32_t want, mask;
    memcpy(&want, wantBytes, sizeof want);
    memcpy(&mask, maskBytes, sizeof mask);
    const char *b = head.bytes;
    long p = 2;
    for (;;) {
        long last = (long)head.have - (long)n;
        if (last > kChunkSearchLimit) last = kChunkSearchLimit;
        for (; p <= last; p += 2) {
            uint32_t v;
            memcpy(&v, b + p, sizeof v);   // within bytes[]: p <= 131072
            if ((v & mask) == want) return p;
        }
        // At the end of the window, or of the file: no later match.
        if (p > kChunkSearchLimit || head.complete) return -1;
        headFill();
    }
}

long FindChunk(FILE *f, const char *tag, int tagLength)
{
    if (!f || !tag || tagLength < 1 || tagLength > kMaxTagLength) return -1;
    // Same result as trying each even offset in turn with a seek and a
    // read; the window is read once instead.
    headStart(f);
    return headSearch(tag, tagLength);
}

// A chunk tag is four printable characters.
static int isTag(const char *b)
{
    for (int i = 0; i < kTagBytes; ++i) {
        unsigned char c = (unsigned char)b[i];
        if (c < 0x20 || c > 0x7e) return 0;
    }
    return 1;
}

// The format fields from n bytes read at the format chunk's tag (at least
// the 24 that reach the bits per sample).
static void readFormat(const char *b, size_t n, WavLayout *w)
{
    w->formatTag = Assem2(b + 8);
    w->channels = Assem2(b + 10);
    w->rate = Assem4(b + 12);
    w->blockAlign = Assem2(b + 20);
    w->bits = Assem2(b + 22);
    w->validBits = 0;
    w->subFormat = 0;
    if (w->formatTag == kExtensibleTag && n >= kExtensibleBytes) {
        w->validBits = Assem2(b + 26);
        if (memcmp(b + 34, kGuidTail, sizeof kGuidTail) == 0) w->subFormat = Assem2(b + 32);
    }
}

// Do the bytes from pos to length form whole chunks, the last of them
// perhaps without its pad byte?
static int chunksFill(long long pos, long long length)
{
    for (int n = 0; pos < length; ++n) {
        char h[kChunkHeaderBytes];
        if (n == kMaxChunks || length - pos < kChunkHeaderBytes || !headRead(pos, h, sizeof h) ||
            !isTag(h))
            return 0;
        long long size = (long long)Assem4(h + kTagBytes);
        if (size > length - pos - kChunkHeaderBytes) return 0;
        long long end = pos + kChunkHeaderBytes + size;
        if (end == length) return 1;
        pos = end + (size & 1);
    }
    return pos == length;
}

// Where the audio of the data chunk whose size field says size (what the
// ds64 chunk says for RF64) ends, and where the chunks after it begin.
static void placeAudio(unsigned long long size, int unknown, long long length, WavLayout *w)
{
    // The file's length decides unless the size is known, fits, and is
    // followed by nothing but whole chunks.
    long long room = length - w->dataOffset;
    w->audioBytes = room;
    w->tailStart = length;
    if (unknown || size == 0 || size > (unsigned long long)room) return;
    long long end = w->dataOffset + (long long)size;
    long long after = end + (long long)(size & 1);   // odd sizes are followed by a pad byte
    if (after >= length || chunksFill(after, length)) {
        w->tailStart = after < length ? after : length;
    } else if ((size & 1) && chunksFill(end, length)) {
        w->tailStart = end;   // the writer left the pad byte out
    } else {
        return;
    }
    w->audioBytes = (long long)size;
}

// A bext chunk's origination date and time and time reference: 26 bytes
// from 320 bytes into its body.
static const long kBextDateAt = 320;
static const size_t kBextDateToReference = 26;

// Notes the bext chunk of size bytes (room bytes of the file after its
// header) at pos, with its date, time and time reference, when it is
// long enough to hold them.
static void readBext(long long pos, unsigned long long size, unsigned long long room, WavLayout *w)
{
    char f[kBextDateToReference];
    if (size < kBextDateAt + kBextDateToReference || size > room ||
        !headRead(pos + kChunkHeaderBytes + kBextDateAt, f, sizeof f))
        return;
    w->bextAt = pos;
    w->bextSize = (unsigned long)size;
    memcpy(w->bextDate, f, 10);
    memcpy(w->bextTime, f + 10, 8);
    w->timeReference = Assem8(f + 18);
}

// Walks the chunks from offset 12 until the first "fmt " and "data"
// chunks are both found. Returns 1 with them in w, 0 when the chunks do
// not lead there.
static int walk(long long length, WavLayout *w)
{
    char b[kExtensibleBytes];
    if (length < kFirstChunk || !headRead(0, b, (size_t)kFirstChunk)) return 0;
    int rf64 = memcmp(b, "RF64", 4) == 0 || memcmp(b, "BW64", 4) == 0;
    if ((!rf64 && memcmp(b, "RIFF", 4) != 0) || memcmp(b + 8, "WAVE", 4) != 0) return 0;
    w->rf64 = rf64;

    unsigned long long ds64Data = 0;
    long long pos = kFirstChunk;
    for (int n = 0; w->fmtAt < 0 || w->dataAt < 0; ++n) {
        if (n == kMaxChunks || length - pos < kChunkHeaderBytes ||
            !headRead(pos, b, (size_t)kChunkHeaderBytes) || !isTag(b))
            return 0;
        unsigned long size32 = Assem4(b + kTagBytes);
        unsigned long long size = size32;
        // Bytes of the file after this chunk's header.
        unsigned long long room = (unsigned long long)(length - pos - kChunkHeaderBytes);
        if (rf64 && n == 0) {
            // An RF64 file's sizes that do not fit 32 bits are in its first
            // chunk.
            if (memcmp(b, "ds64", 4) != 0 || size < kDs64MinSize || size > room ||
                !headRead(pos + kChunkHeaderBytes, b, (size_t)kDs64MinSize))
                return 0;
            w->ds64At = pos;
            ds64Data = Assem8(b + kDs64DataAt - kChunkHeaderBytes);
        } else if (memcmp(b, "fmt ", 4) == 0 && w->fmtAt < 0) {
            if (size < 16 || size > room) return 0;
            size_t want = size + kChunkHeaderBytes < kExtensibleBytes
                              ? (size_t)size + kChunkHeaderBytes
                              : kExtensibleBytes;
            if (!headRead(pos, b, want)) return 0;
            readFormat(b, want, w);
            w->fmtAt = pos;
        } else if (memcmp(b, "bext", 4) == 0 && w->bextAt < 0) {
            readBext(pos, size, room, w);
        } else if (memcmp(b, "data", 4) == 0 && w->dataAt < 0) {
            w->dataAt = pos;
            w->dataOffset = pos + kChunkHeaderBytes;
            w->sizeAt = pos + kTagBytes;
            int unknown = size32 == kUnknownSize;
            if (rf64 && unknown && w->ds64At >= 0) {
                size = ds64Data;
                w->sizeAt = w->ds64At + kDs64DataAt;
                unknown = ds64Data == ~0ULL;
            }
            placeAudio(size, unknown, length, w);
            if (w->fmtAt >= 0) break;
            // The format may follow the audio, but only among whole chunks.
            if (w->tailStart == length) return 0;
            pos = w->tailStart;
            continue;
        }
        if (size > room) return 0;   // the chunk runs past the end of the file
        pos += kChunkHeaderBytes + (long long)size + (long long)(size & 1);
    }
    return 1;
}

static void clearLayout(WavLayout *w, long long length)
{
    memset(w, 0, sizeof *w);
    w->length = length;
    w->ds64At = -1;
    w->fmtAt = -1;
    w->dataAt = -1;
    w->bextAt = -1;
}

void locateWav(FILE *f, WavLayout *w)
{
    struct stat sb;
    long long length = fstat(fileno(f), &sb) == 0 ? (long long)sb.st_size : fileLength(f);
    clearLayout(w, length);
    headStart(f);
    if (walk(length, w)) {
        w->walked = 1;
        return;
    }
    // The tags wherever they first occur at an even offset, each searched
    // for on its own; the audio runs to the end of the file.
    clearLayout(w, length);
    char b[kFormatFieldBytes];
    long fmtAt = headSearch("fmt", 3);
    // A format chunk cut off by the end of the file counts as none.
    if (fmtAt >= 0 && headRead(fmtAt, b, sizeof b)) {
        readFormat(b, sizeof b, w);
        w->fmtAt = fmtAt;
    }
    long dataAt = headSearch("data", 4);
    if (dataAt >= 0) {
        w->dataAt = dataAt;
        w->dataOffset = dataAt + kChunkHeaderBytes;
        w->sizeAt = dataAt + kTagBytes;
        if (w->dataOffset > length) {
            w->dataCut = 1;
        } else {
            w->audioBytes = length - w->dataOffset;
            w->tailStart = length;
        }
    }
}

int describeUnsupported(const WavLayout *w, char *what, size_t whatBytes)
{
    if (!w->walked || w->fmtAt < 0) return 0;
    unsigned int code = w->formatTag == kExtensibleTag ? w->subFormat : w->formatTag;
    switch (code) {
    case 1: break;   // integer PCM
    case 3: snprintf(what, whatBytes, "%u-bit floating-point samples", w->bits); return 1;
    case 6: snprintf(what, whatBytes, "A-law samples"); return 1;
    case 7: snprintf(what, whatBytes, "mu-law samples"); return 1;
    case 0: snprintf(what, whatBytes, "samples of an unknown extensible format"); return 1;
    default: snprintf(what, whatBytes, "samples in format 0x%04x", code); return 1;
    }
    unsigned int bytes = w->bits / 8;
    // A sample narrower than its container is played as the container's
    // width when that is one the device takes (20 bits in 3 bytes, say).
    if (w->validBits != 0 && w->validBits < w->bits && bytes != 2 && bytes != 3) {
        snprintf(what, whatBytes, "%u-bit samples in %u-byte containers", w->validBits, bytes);
        return 1;
    }
    // A block align of 0 was never filled in by its writer; the frame size
    // then follows from the channels and the bits.
    if (w->blockAlign != 0 && w->channels != 0 && w->blockAlign != w->channels * bytes) {
        if (w->blockAlign % w->channels == 0) {
            snprintf(what, whatBytes, "%u-bit samples in %u-byte containers", w->bits,
                     w->blockAlign / w->channels);
        } else {
            snprintf(what, whatBytes, "%u-bit samples in frames of %u bytes for %u channels", w->bits,
                     w->blockAlign, w->channels);
        }
        return 1;
    }
    return 0;
}

unsigned int encodingBytes(SampleEncoding e)
{
    static const unsigned int bytes[] = {0, 1, 2, 3, 4, 4, 8};
    return (unsigned int)e < sizeof bytes / sizeof bytes[0] ? bytes[e] : 0;
}

SampleEncoding layoutEncoding(const WavLayout *w, char *what, size_t whatBytes)
{
    if (whatBytes > 0) what[0] = '\0';
    if (w->fmtAt < 0) return kSampleUnplayable;
    unsigned int code = w->formatTag == kExtensibleTag ? w->subFormat : w->formatTag;
    unsigned int bytes = w->bits / 8;
    int frameOk = w->blockAlign == 0 || w->blockAlign == w->channels * bytes;
    if (code == 3 && frameOk) {
        if (w->bits == 32) return kSampleF32;
        if (w->bits == 64) return kSampleF64;
    }
    // Integer PCM, and what the tag search found, whatever its format tag
    // says: that may be any two bytes.
    if (code != 3 && !describeUnsupported(w, what, whatBytes)) {
        static const SampleEncoding byWidth[] = {kSampleUnplayable, kSampleU8, kSampleS16,
                                                 kSampleS24, kSampleS32};
        if (bytes >= 1 && bytes <= 4) return byWidth[bytes];
        snprintf(what, whatBytes, "%u-bit integer samples", w->bits);
        return kSampleUnplayable;
    }
    // A narrower sample in 4 bytes plays as the 4 bytes it fills.
    if (code == 1 && frameOk && bytes == 4 && w->validBits < w->bits) return kSampleS32;
    describeUnsupported(w, what, whatBytes);
    return kSampleUnplayable;
}

SampleEncoding sampleEncoding(const char *path, char *what, size_t whatBytes)
{
    if (whatBytes > 0) what[0] = '\0';
    FILE *f = fopenRegular(path, "rb", nullptr);
    if (!f) return kSampleUnplayable;
    WavLayout w;
    locateWav(f, &w);
    fclose(f);
    return layoutEncoding(&w, what, whatBytes);
}

int unsupportedFormat(const char *path, char *what, size_t whatBytes)
{
    FILE *f = fopenRegular(path, "rb", nullptr);
    if (!f) return 0;
    WavLayout w;
    locateWav(f, &w);
    fclose(f);
    return describeUnsupported(&w, what, whatBytes);
}

int locateWavFd(int fd, WavLayout *w)
{
    // A stream of its own on a copy of the descriptor: closing it leaves
    // fd open, and positioned reads leave its offset as it was.
    int copy = dup(fd);
    FILE *f = copy >= 0 ? fdopen(copy, "rb") : nullptr;
    if (!f) {
        if (copy >= 0) close(copy);
        return 0;
    }
    locateWav(f, w);
    fclose(f);
    return 1;
}
