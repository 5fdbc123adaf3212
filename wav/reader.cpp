// Reading WAV files: the little-endian readers, the chunk-tag search and
// the two attribute readers.
#include "wav/wav_private.h"

#include <cstring>

unsigned int Assem2(const char *bytes)
{
    const unsigned char *b = (const unsigned char *)bytes;
    return (unsigned int)b[0] + 256u * b[1];
}

unsigned long Assem4(const char *bytes)
{
    const unsigned char *b = (const unsigned char *)bytes;
    return (unsigned long)b[0] | ((unsigned long)b[1] << 8) |
           ((unsigned long)b[2] << 16) | ((unsigned long)b[3] << 24);
}

// Longest tag FindChunk compares ("data").
static const int kMaxTagLength = 4;
// The search window: every byte a candidate's tag can cover.
static char searchWindow[kChunkSearchLimit + kMaxTagLength];
// Most files have their tags in the first few dozen bytes, so the window
// is read in two steps: this much first, the rest only if still needed.
static const size_t kFirstRead = 4096;

long FindChunk(FILE *f, const char *tag, int tagLength)
{
    if (!f || !tag || tagLength < 1 || tagLength > kMaxTagLength) return -1;
    if (fseek(f, 0, SEEK_SET) != 0) return -1;

    // Same result as trying each even offset 2..131072 in turn with a seek
    // and a read: the first even offset whose tagLength bytes all lie in
    // the file and equal the tag wins. The window is read once instead.
    size_t have = 0;
    long p = 2;
    while (have < sizeof searchWindow) {
        size_t want = have < kFirstRead ? kFirstRead : sizeof searchWindow;
        size_t got = readUpTo(f, searchWindow + have, want - have);
        have += got;
        for (; p <= kChunkSearchLimit && (size_t)p + (size_t)tagLength <= have; p += 2) {
            if (memcmp(searchWindow + p, tag, (size_t)tagLength) == 0) return p;
        }
        if (have < want) break;   // end of file: no later candidate can match
    }
    return -1;
}

// Format chunk fields, relative to where "fmt" was found: channels at +10,
// sample rate at +12, bits per sample at +22. 24 bytes cover all three.
static const size_t kFormatFieldBytes = 24;

// Finds the data chunk of f for frames of frameBytes bytes: *dataAt is
// where its tag starts, *length the file's length. Returns 1 when the
// sample data can be located, 0 after printing why not (a frame size of
// zero, no data tag, or a file that ends inside the data chunk's header).
static int findSampleData(FILE *f, unsigned long frameBytes, long *dataAt, long *length)
{
    if (frameBytes == 0) {
        fputs(kZeroFrameMessage, stdout);
        return 0;
    }
    *dataAt = FindChunk(f, "data", 4);
    if (*dataAt < 0) {
        fputs(kNoDataMessage, stdout);
        return 0;
    }
    *length = fileLength(f);
    if (*length < *dataAt + kChunkHeaderBytes) {
        fputs(kCutDataMessage, stdout);
        return 0;
    }
    return 1;
}

int GetAttributes(const char *path, unsigned long *rate,
                  unsigned int *bytesPerSample, unsigned int *channels,
                  unsigned long *dataOffset, unsigned long *frames,
                  int verbose)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        printf("The file called %s cannot be found!\n", path);
        return 0;
    }
    if (verbose == 1) printf("\nFile: %s\n", path);

    int ok = 0;
    char fmt[kFormatFieldBytes];
    char dataHeader[kChunkHeaderBytes];
    long fmtAt = FindChunk(f, "fmt", 3);
    // A format chunk cut off by the end of the file counts as no chunk.
    if (fmtAt < 0 || !readAt(f, fmtAt, fmt, sizeof fmt)) {
        fputs(kNoFormatMessage, stdout);
    } else {
        unsigned int ch = Assem2(fmt + 10);
        *channels = ch;
        if (verbose == 1) printf("  channels: %i\n", (int)ch);
        unsigned int bits = Assem2(fmt + 22);
        unsigned int bps = bits / 8;
        *bytesPerSample = bps;
        if (verbose == 1) printf("  bits: %i\n", (int)bits);
        unsigned long sampleRate = Assem4(fmt + 12);
        *rate = sampleRate;
        if (verbose == 1) printf("  samplerate: %lu\n", sampleRate);

        unsigned long frameBytes = (unsigned long)bps * ch;
        long dataAt = 0, length = 0;
        if (!findSampleData(f, frameBytes, &dataAt, &length)) {
            // Already said why.
        } else if (!readAt(f, dataAt, dataHeader, sizeof dataHeader)) {
            fputs(kCutDataMessage, stdout);
        } else {
            // The sample data starts after the tag and the size field.
            unsigned long offset = (unsigned long)dataAt + kChunkHeaderBytes;
            *dataOffset = offset;
            unsigned long present = (unsigned long)length - offset;
            unsigned long count = Assem4(dataHeader + kSizeFieldBytes) / frameBytes;
            // The declared size counts only when it matches the bytes
            // really there; otherwise the file's length decides.
            if (count * frameBytes != present) count = present / frameBytes;
            *frames = count;
            if (verbose == 1) {
                double seconds = sampleRate ? (double)count / (double)sampleRate : 0.0;
                printf("  length (sec): %.3f\n", seconds);
            }
            ok = 1;
        }
    }
    fclose(f);
    return ok;
}

double GET_LENGTH(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        printf("Cannot find file in track list called %s\n", path);
        return 0;
    }
    double result = 0;
    char fmt[kFormatFieldBytes];
    long fmtAt = FindChunk(f, "fmt", 3);
    if (fmtAt < 0 || !readAt(f, fmtAt, fmt, sizeof fmt)) {
        fputs(kNoFormatMessage, stdout);
    } else {
        unsigned long frameBytes = (unsigned long)(Assem2(fmt + 22) / 8) * Assem2(fmt + 10);
        long dataAt = 0, length = 0;
        if (findSampleData(f, frameBytes, &dataAt, &length)) {
            // The declared size is not consulted: frames to the end of file.
            result = (double)(((unsigned long)length - ((unsigned long)dataAt + kChunkHeaderBytes)) / frameBytes);
        }
    }
    fclose(f);
    return result;
}
