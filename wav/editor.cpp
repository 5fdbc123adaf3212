// Editing WAV files in place: the data size fix, the append of one file's
// sample data to the end of another, and a bext chunk's new stamp.
#include "wav/wav_private.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

// APPEND moves sample data through a buffer of this size.
static const long kCopyBlock = 4096;

static void sizeRefused(long long size, const char *path)
{
    printf("Data size %lld does not fit a wave file: %s\n", size, path);
}

// Writes size into the located file's data size that counts. An RF64
// file states any size: in its ds64 chunk when the data chunk's field
// defers to it, or when the size does not fit that field. A RIFF file's
// field takes at most kRiffDataLimit. Returns 1, or 0 after a message.
static int writeDataSize(FILE *f, const WavLayout *w, long long size, const char *path)
{
    int wide = w->rf64 && w->ds64At >= 0;
    if (size > (wide ? kMaxAudioBytes : kRiffDataLimit)) {
        sizeRefused(size, path);
        return 0;
    }
    unsigned long long value = (unsigned long long)size;
    int ok;
    if (w->sizeAt != w->dataAt + kTagBytes) {
        ok = writeField(f, w->sizeAt, value, kWideSizeBytes);
    } else if (wide && value >= kUnknownSize) {
        ok = writeField(f, w->ds64At + kDs64DataAt, value, kWideSizeBytes) &&
             writeField(f, w->sizeAt, kUnknownSize, (int)kSizeFieldBytes);
    } else {
        ok = writeField(f, w->sizeAt, value, (int)kSizeFieldBytes);
    }
    if (!ok) cannotWrite(path, errno);
    return ok;
}

int FIX_SIZE(const char *path, long long dataBytes)
{
    if (dataBytes < -1) {
        sizeRefused(dataBytes, path);
        return 0;
    }
    FILE *f = openWavFile(path, "rb+");
    if (!f) return 0;
    int ok = 0;
    WavLayout w;
    locateWav(f, &w);
    if (dataFound(&w)) ok = writeDataSize(f, &w, dataBytes == -1 ? w.length - w.dataOffset : dataBytes, path);
    if (fclose(f) != 0 && ok) {
        cannotWrite(path, errno);
        ok = 0;
    }
    return ok;
}

// Finds the data of both files and how much of the source goes to the
// target: *from, the source's first sample byte, and *wanted bytes from
// there (count, or what the source holds when that is less). Returns 1,
// or 0 after a message when a file has no data, or the target's data
// (everything from its first sample byte on, as FIX_SIZE will count it)
// would grow past what its size field states.
static int planAppend(FILE *out, long long targetLength, FILE *in, long long sourceLength,
                      long long count, const char *target, long long *from, long long *wanted)
{
    WavLayout t, s;
    locateWav(out, &t);
    if (!dataFound(&t)) return 0;
    locateWav(in, &s);
    if (!dataFound(&s)) return 0;
    long long available = sourceLength - s.dataOffset;
    *from = s.dataOffset;
    *wanted = count < 0 ? 0 : (count < available ? count : available);
    long long limit = t.rf64 && t.ds64At >= 0 ? kMaxAudioBytes : kRiffDataLimit;
    if (targetLength - t.dataOffset > limit - *wanted) {
        printf("Appending would make %s too large for a wave file!\n", target);
        return 0;
    }
    return 1;
}

// Copies wanted bytes from offset from of in to offset at of out, block
// by block. A part-written append would be taken for sample data by every
// reader: on failure the target is cut back to at. Returns 1, or 0 after
// a message.
static int copyBlocks(FILE *in, long long from, FILE *out, long long at, long long wanted,
                      const char *source, const char *target)
{
    static char block[kCopyBlock];
    long long copied = 0;
    int ok = 1;
    while (ok && copied < wanted) {
        size_t n = (size_t)(wanted - copied < kCopyBlock ? wanted - copied : kCopyBlock);
        if (fseeko(in, (off_t)(from + copied), SEEK_SET) != 0 || fread(block, 1, n, in) != n) {
            cannotRead(source, in);
            ok = 0;
        } else if (fseeko(out, (off_t)(at + copied), SEEK_SET) != 0 || fwrite(block, 1, n, out) != n) {
            cannotWrite(target, errno);
            ok = 0;
        } else {
            copied += (long long)n;
        }
    }
    if (!ok && ftruncate(fileno(out), (off_t)at) != 0)
        printf("Cannot restore %s: %s\n", target, strerror(errno));
    return ok;
}

int APPEND(const char *target, const char *source, long long count)
{
    FILE *out = openWavFile(target, "rb+");
    if (!out) return 0;
    FILE *in = openWavFile(source, "rb");
    if (!in) {
        fclose(out);
        return 0;
    }
    // Unbuffered, so that a failed write leaves nothing pending that could
    // reach the file after it has been cut back.
    setvbuf(out, NULL, _IONBF, 0);

    int ok = 0;
    long long targetLength = fileLength(out);
    long long sourceLength = fileLength(in);
    if (targetLength < 0 || sourceLength < 0) {
        cannotRead(targetLength < 0 ? target : source, targetLength < 0 ? out : in);
    } else {
        printf("Append file is %lli bytes\n", sourceLength);
        long long from = 0, wanted = 0;
        if (planAppend(out, targetLength, in, sourceLength, count, target, &from, &wanted))
            ok = copyBlocks(in, from, out, targetLength, wanted, source, target);
    }
    fclose(in);
    if (fclose(out) != 0 && ok) {
        cannotWrite(target, errno);
        ok = 0;
    }
    return ok;
}

int restampBext(int fd, const BextStamp *stamp)
{
    WavLayout w;
    if (!locateWavFd(fd, &w)) return 0;
    if (w.bextAt < 0 || w.bextSize < (unsigned long)(kBextReferenceAt + kBextStampBytes)) return 0;
    char fields[kBextStampBytes];
    bextStampFields(stamp, fields);
    off_t at = (off_t)(w.bextAt + kChunkHeaderBytes + kBextReferenceAt);
    return pwrite(fd, fields, sizeof fields, at) == (ssize_t)sizeof fields;
}
