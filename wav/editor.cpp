// Editing WAV files in place: the data size fix and the append of one
// file's sample data to the end of another.
#include "wav/wav_private.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

// APPEND moves sample data through a buffer of this size.
static const long kCopyBlock = 4096;
// The data size in an RF64 file's ds64 chunk is 8 bytes wide.
static const int kWideSizeBytes = 8;

int FIX_SIZE(const char *path, long dataBytes)
{
    if (dataBytes < -1 || dataBytes > kMaxField) {
        printf("Data size %ld does not fit a wave file: %s\n", dataBytes, path);
        return 0;
    }
    FILE *f = openWavFile(path, "rb+");
    if (!f) return 0;
    int ok = 0;
    WavLayout w;
    locateWav(f, &w);
    if (dataFound(&w)) {
        long size = dataBytes == -1 ? w.length - w.dataOffset : dataBytes;
        if (size > kMaxField) {
            printf("Data size %ld does not fit a wave file: %s\n", size, path);
        } else {
            // Only the size field that counts: the data chunk's own, or the
            // ds64 chunk's when the data chunk defers to it.
            char field[kWideSizeBytes] = {0};
            Decon4(size, field);
            size_t width = w.sizeAt == w.dataAt + kTagBytes ? (size_t)kSizeFieldBytes
                                                            : (size_t)kWideSizeBytes;
            if (fseek(f, w.sizeAt, SEEK_SET) == 0 && fwrite(field, 1, width, f) == width) {
                ok = 1;
            } else {
                cannotWrite(path, errno);
            }
        }
    }
    if (fclose(f) != 0 && ok) {
        cannotWrite(path, errno);
        ok = 0;
    }
    return ok;
}

int APPEND(const char *target, const char *source, long count)
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
    long targetLength = fileLength(out);
    long sourceLength = fileLength(in);
    if (targetLength < 0 || sourceLength < 0) {
        cannotRead(targetLength < 0 ? target : source, targetLength < 0 ? out : in);
        fclose(in);
        fclose(out);
        return 0;
    }
    printf("Append file is %li bytes\n", sourceLength);

    WavLayout t, s;
    locateWav(out, &t);
    int found = dataFound(&t);
    if (found) {
        locateWav(in, &s);
        found = dataFound(&s);
    }
    if (found) {
        long sourceStart = s.dataOffset;
        long available = sourceLength - sourceStart;
        long wanted = count < 0 ? 0 : (count < available ? count : available);
        // Everything from the target's first sample byte on becomes its data.
        if (targetLength - t.dataOffset > kMaxDataBytes - wanted) {
            printf("Appending would make %s too large for a wave file!\n", target);
        } else {
            static char block[kCopyBlock];
            long copied = 0;
            ok = 1;
            while (ok && copied < wanted) {
                long n = wanted - copied < kCopyBlock ? wanted - copied : kCopyBlock;
                if (fseek(in, sourceStart + copied, SEEK_SET) != 0 ||
                    fread(block, 1, (size_t)n, in) != (size_t)n) {
                    cannotRead(source, in);
                    ok = 0;
                } else if (fseek(out, targetLength + copied, SEEK_SET) != 0 ||
                           fwrite(block, 1, (size_t)n, out) != (size_t)n) {
                    cannotWrite(target, errno);
                    ok = 0;
                } else {
                    copied += n;
                }
            }
            // A part-written append would be taken for sample data by every
            // reader: cut the target back to what it was.
            if (!ok && ftruncate(fileno(out), targetLength) != 0) {
                printf("Cannot restore %s: %s\n", target, strerror(errno));
            }
        }
    }
    fclose(in);
    if (fclose(out) != 0 && ok) {
        cannotWrite(target, errno);
        ok = 0;
    }
    return ok;
}
