// Editing WAV files in place: the data size fix and the append of one
// file's sample data to another.
#include "wav/wav_private.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

// APPEND moves sample data through a buffer of this size.
static const long kCopyBlock = 4096;

int FIX_SIZE(const char *path, long dataBytes)
{
    if (dataBytes < -1 || dataBytes > kMaxField) {
        printf("Data size %ld does not fit a wave file: %s\n", dataBytes, path);
        return 0;
    }
    FILE *f = fopen(path, "rb+");
    if (!f) {
        cannotOpen(path);
        return 0;
    }
    int ok = 0;
    long dataAt = FindChunk(f, "data", 4);
    long length = fileLength(f);
    if (dataAt < 0) {
        fputs(kNoDataMessage, stdout);
    } else if (length < dataAt + kChunkHeaderBytes) {
        // The size field itself is missing or cut off; writing it would
        // grow the file with a header fragment.
        fputs(kCutDataMessage, stdout);
    } else {
        long size = dataBytes == -1 ? length - (dataAt + kChunkHeaderBytes) : dataBytes;
        if (size > kMaxField) {
            printf("Data size %ld does not fit a wave file: %s\n", size, path);
        } else {
            char field[kSizeFieldBytes];
            Decon4(size, field);
            if (fseek(f, dataAt + kTagBytes, SEEK_SET) == 0 &&
                fwrite(field, 1, sizeof field, f) == sizeof field) {
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
    FILE *out = fopen(target, "rb+");
    if (!out) {
        cannotOpen(target);
        return 0;
    }
    FILE *in = fopen(source, "rb");
    if (!in) {
        cannotOpen(source);
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

    long targetData = FindChunk(out, "data", 4);
    long sourceData = targetData < 0 ? -1 : FindChunk(in, "data", 4);
    if (targetData < 0 || sourceData < 0) {
        fputs(kNoDataMessage, stdout);
    } else if (targetLength < targetData + kChunkHeaderBytes || sourceLength < sourceData + kChunkHeaderBytes) {
        fputs(kCutDataMessage, stdout);
    } else {
        long sourceStart = sourceData + kChunkHeaderBytes;
        long available = sourceLength - sourceStart;
        long wanted = count < 0 ? 0 : (count < available ? count : available);
        // Everything from the target's first sample byte on becomes its data.
        if (targetLength - (targetData + kChunkHeaderBytes) > kMaxDataBytes - wanted) {
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
