// Finishing a recorded file: the RIFF size, cutting a file to length, and
// the three ways of changing a recording that must never leave it
// half-written: adding a take to its audio, moving the take file onto it,
// and copying onto a target on another file system. The new bytes are
// built beside the target (files/beginSave: links followed, mode and owner
// kept, a unique name, synced) and renamed over it at the end, so a
// failure, or a kill at any moment, leaves either the old file or the
// whole new one.
#include "wav/wav_private.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/files.h"

// Copies that the kernel cannot make go through a buffer of this size.
static const long kCopyBytes = 65536;
// The ds64 chunk's fields, from its tag: RIFF size, data size and sample
// count, 8 bytes each.
static const long kDs64Riff = 8;
static const long kDs64Data = 16;
static const long kDs64Samples = 24;
static const int kWideSizeBytes = 8;
// A 32-bit size field that says "see the ds64 chunk".
static const unsigned long long kDeferredSize = 0xffffffffULL;

// Writes the width low bytes of value, least significant first, at pos.
static int writeField(FILE *f, long pos, unsigned long long value, int width)
{
    char field[kWideSizeBytes];
    for (int i = 0; i < width; ++i) field[i] = (char)((value >> (8 * i)) & 0xff);
    return fseeko(f, (off_t)pos, SEEK_SET) == 0 && fwrite(field, 1, (size_t)width, f) == (size_t)width;
}

int setRiffSize(const char *path)
{
    FILE *f = openWavFile(path, "rb+");
    if (!f) return 0;
    long length = fileLength(f);
    int ok = 0;
    if (length < kWavHeaderBytes || length - kChunkHeaderBytes > kMaxField) {
        printf("Cannot set the RIFF size of %s: the file is %li bytes long\n", path, length);
    } else {
        // The RIFF chunk's own tag and size field are not counted.
        ok = writeField(f, kRiffSizeAt, (unsigned long long)(length - kChunkHeaderBytes),
                        kSizeFieldBytes);
        if (!ok) cannotWrite(path, errno);
    }
    if (fclose(f) != 0 && ok) {
        cannotWrite(path, errno);
        ok = 0;
    }
    return ok;
}

int truncateFile(const char *path, long length)
{
    if (length < 0 || truncate(path, (off_t)length) != 0) {
        printf("Cannot cut %s to %li bytes: %s\n", path, length,
               length < 0 ? strerror(EINVAL) : strerror(errno));
        return 0;
    }
    return 1;
}

int targetWritable(const char *path)
{
    struct stat sb;
    if (stat(path, &sb) != 0) return 1;   // nothing there yet: it is made
    if (!S_ISREG(sb.st_mode) && !S_ISDIR(sb.st_mode)) {
        notRegular(path);
        return 0;
    }
    // Renaming a new file over a read-only one would get past its
    // protection whenever the directory may be written.
    if (!mayWrite(path)) {
        cannotWrite(path, errno);
        return 0;
    }
    return 1;
}

// pwrite of all n bytes at pos.
static int writeAllAt(int fd, const char *buf, size_t n, off_t pos)
{
    while (n > 0) {
        ssize_t w = pwrite(fd, buf, n, pos);
        if (w <= 0) return 0;
        buf += w;
        n -= (size_t)w;
        pos += w;
    }
    return 1;
}

// Appends count bytes, from offset from of the file in, to out (whose
// stream stands at its end): inside the kernel where it can (no copy
// through the program, and a shared extent where the file system has
// them), through a buffer otherwise. Returns 1, or 0 with errno set.
static int copyInto(FILE *in, long from, long count, FILE *out)
{
    if (count <= 0) return 1;
    if (fflush(out) != 0) return 0;
    off_t outAt = ftello(out);
    if (outAt < 0) return 0;
    off_t inAt = (off_t)from;
    int inFd = fileno(in), outFd = fileno(out);
    int inKernel = 1;
    static char buf[kCopyBytes];
    while (count > 0) {
        ssize_t n;
        if (inKernel) {
            n = copy_file_range(inFd, &inAt, outFd, &outAt, (size_t)count, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                          errno == EOPNOTSUPP || errno == EPERM || errno == ETXTBSY)) {
                inKernel = 0;   // not between these files: the plain way
                continue;
            }
        } else {
            n = pread(inFd, buf, (size_t)(count < kCopyBytes ? count : kCopyBytes), inAt);
            if (n > 0) {
                if (!writeAllAt(outFd, buf, (size_t)n, outAt)) return 0;
                inAt += n;
                outAt += n;
            }
        }
        if (n == 0) errno = EIO;   // the file ended before the bytes it was to hold
        if (n <= 0) return 0;
        count -= (long)n;
    }
    return fseeko(out, outAt, SEEK_SET) == 0;
}

// Says why the audio of the located target (frames of frameBytes bytes)
// cannot take more; 1 when it can.
static int audioExtensible(const WavLayout *w, unsigned long frameBytes, const char *target)
{
    if (w->fmtAt < 0) {
        fputs(kNoFormatMessage, stdout);
        return 0;
    }
    if (frameBytes == 0) {
        fputs(kZeroFrameMessage, stdout);
        return 0;
    }
    if (w->dataAt < 0 || w->dataCut) {
        fputs(w->dataAt < 0 ? kNoDataMessage : kCutDataMessage, stdout);
        return 0;
    }
    char what[kFormatTextBytes];
    if (describeUnsupported(w, what, sizeof what)) {
        printf("Cannot record at the end of %s: it holds %s\n", target, what);
        return 0;
    }
    return 1;
}

int appendTake(const char *target, const char *source, long count, long oldBytes)
{
    if (!targetWritable(target)) return 0;
    FILE *in = openWavFile(target, "rb");
    if (!in) return 0;
    FILE *src = openWavFile(source, "rb");
    if (!src) {
        fclose(in);
        return 0;
    }
    long sourceLength = fileLength(src);
    // The same report APPEND gives.
    if (sourceLength >= 0) printf("Append file is %li bytes\n", sourceLength);

    WavLayout t, s;
    locateWav(in, &t);
    locateWav(src, &s);
    unsigned long frameBytes = layoutFrameBytes(&t);
    long whole = 0, newData = 0, newLength = 0, pad = 0;
    char riffTag[kTagBytes] = {0};
    int ok = audioExtensible(&t, frameBytes, target);
    if (ok) {
        whole = t.audioBytes - t.audioBytes % (long)frameBytes;
        newData = whole + count;
        pad = newData & 1;   // odd-sized data is followed by a pad byte
        newLength = t.dataOffset + newData + pad + (t.length - t.tailStart);
        ok = 0;
        if (s.dataAt < 0 || s.dataCut) {
            fputs(s.dataAt < 0 ? kNoDataMessage : kCutDataMessage, stdout);
        } else if (count < 0 || sourceLength - s.dataOffset < count) {
            printf("%s holds fewer than %li bytes of audio\n", source, count);
        } else if (oldBytes >= 0 && whole != oldBytes) {
            printf("%s has changed since the recording began; it was left as it is\n", target);
        } else if (!t.rf64 && (newData > kMaxDataBytes || newLength - kChunkHeaderBytes > kMaxField)) {
            printf("Appending would make %s too large for a wave file!\n", target);
        } else {
            ok = 1;
            // Only a file that starts with a RIFF header has a RIFF size.
            if (!readAt(in, 0, riffTag, sizeof riffTag)) riffTag[0] = '\0';
        }
    }
    SaveBeside save;
    if (ok && !beginSave(target, &save)) {
        cannotWrite(target, errno);
        ok = 0;
    }
    if (!ok) {
        fclose(in);
        fclose(src);
        return 0;
    }
    if (t.audioBytes > whole) {
        printf("The last %li bytes of %s are not a whole frame and were left out\n",
               t.audioBytes - whole, target);
    }
    // The header and the old audio in whole frames, the new audio, a pad
    // byte when the data ends on an odd byte, then the chunks that followed
    // the old audio, unchanged.
    FILE *out = save.file;
    ok = copyInto(in, 0, t.dataOffset + whole, out) && copyInto(src, s.dataOffset, count, out) &&
         (pad == 0 || fputc(0, out) != EOF) && copyInto(in, t.tailStart, t.length - t.tailStart, out);
    // Then the sizes: an RF64 file's in its ds64 chunk (the data chunk's
    // own field kept as it was, or true while it fits), a RIFF file's in
    // the RIFF header and the data chunk.
    unsigned long long riffSize = (unsigned long long)(newLength - kChunkHeaderBytes);
    if (ok && t.rf64 && t.ds64At >= 0) {
        ok = writeField(out, t.ds64At + kDs64Riff, riffSize, kWideSizeBytes) &&
             writeField(out, t.ds64At + kDs64Data, (unsigned long long)newData, kWideSizeBytes) &&
             writeField(out, t.ds64At + kDs64Samples, (unsigned long long)(newData / (long)frameBytes),
                        kWideSizeBytes);
        unsigned long long dataField = (unsigned long long)newData < kDeferredSize
                                           ? (unsigned long long)newData
                                           : kDeferredSize;
        if (ok && t.sizeAt == t.dataAt + kTagBytes)
            ok = writeField(out, t.sizeAt, dataField, kSizeFieldBytes);
    } else if (ok) {
        if (memcmp(riffTag, "RIFF", kTagBytes) == 0)
            ok = writeField(out, kRiffSizeAt, riffSize, kSizeFieldBytes);
        if (ok) ok = writeField(out, t.sizeAt, (unsigned long long)newData, kSizeFieldBytes);
    }
    int err = errno;
    fclose(in);
    fclose(src);
    errno = err;
    if (!finishSave(&save, ok)) {
        cannotWrite(target, errno);
        return 0;
    }
    return 1;
}

int copyOver(const char *source, const char *target)
{
    if (!targetWritable(target)) return 0;
    FILE *in = openWavFile(source, "rb");
    if (!in) return 0;
    long length = fileLength(in);
    if (length < 0) {
        cannotRead(source, in);
        fclose(in);
        return 0;
    }
    SaveBeside save;
    if (!beginSave(target, &save)) {
        cannotWrite(target, errno);
        fclose(in);
        return 0;
    }
    int ok = copyInto(in, 0, length, save.file);
    int err = errno;
    fclose(in);
    errno = err;
    if (!finishSave(&save, ok)) {
        cannotWrite(target, errno);
        return 0;
    }
    return 1;
}

int moveOver(const char *source, const char *target)
{
    if (!targetWritable(target)) return 0;
    // A symlink stays; the file it names is the one replaced.
    char real[kPathBytes];
    if (!resolveLinks(target, real, sizeof real)) {
        cannotWrite(target, errno);
        return 0;
    }
    struct stat old, mine;
    int replacing = stat(real, &old) == 0 && S_ISREG(old.st_mode);
    int haveMine = stat(source, &mine) == 0;
    // The recording takes the old file's permissions and, where the
    // program may give a file away, its owner and group; and it is on disk
    // before it takes the old file's place.
    int fd = openRegular(source, O_RDONLY, 0);
    if (fd >= 0) {
        if (replacing) copyOwnerAndMode(fd, &old);
        fsync(fd);
        close(fd);
    }
    if (rename(source, real) == 0) {
        // Both names' folders: the target's gains the file, the source's
        // loses it (a power cut must not bring the take file back).
        syncDirectory(real);
        syncDirectory(source);
        return 1;
    }
    int err = errno;
    if (replacing && haveMine && chmod(source, mine.st_mode & 07777) != 0) {
        // Left with the old file's mode; its bytes are what matters.
    }
    if (err == EXDEV) {
        // Another file system: copy beside the target and rename there.
        if (!copyOver(source, target)) return 0;
        remove(source);
        syncDirectory(source);
        return 1;
    }
    printf("Cannot move %s to %s: %s\n", source, target, strerror(err));
    return 0;
}
