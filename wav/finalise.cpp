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
// The most one copy_file_range call is asked for: a size_t of 32 bits
// holds it too.
static const long long kMaxCopyCall = 1LL << 30;
// "RIFF", its size, "WAVE": the chunks follow.
static const long kRiffHeaderBytes = 12;
// The ds64 chunk a RIFF file gets when it turns RF64, with its header.
static const long kDs64ChunkBytes = kChunkHeaderBytes + kDs64BodyBytes;

int setRiffSize(const char *path)
{
    FILE *f = openWavFile(path, "rb+");
    if (!f) return 0;
    WavLayout w;
    locateWav(f, &w);
    long long length = w.length;
    // An RF64 file states it in its ds64 chunk; a RIFF file in 32 bits.
    int wide = w.walked && w.rf64;
    int ok = 0;
    if (length < kWavHeaderBytes ||
        (!wide && length - kChunkHeaderBytes > (long long)kUnknownSize)) {
        printf("Cannot set the RIFF size of %s: the file is %lli bytes long\n", path, length);
    } else {
        // The RIFF chunk's own tag and size field are not counted.
        unsigned long long size = (unsigned long long)(length - kChunkHeaderBytes);
        ok = wide ? writeField(f, w.ds64At + kDs64RiffAt, size, kWideSizeBytes)
                  : writeField(f, kRiffSizeAt, size, (int)kSizeFieldBytes);
        if (!ok) cannotWrite(path, errno);
    }
    if (fclose(f) != 0 && ok) {
        cannotWrite(path, errno);
        ok = 0;
    }
    return ok;
}

int truncateFile(const char *path, long long length)
{
    if (length < 0 || truncate(path, (off_t)length) != 0) {
        printf("Cannot cut %s to %lli bytes: %s\n", path, length,
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
static int copyInto(FILE *in, long long from, long long count, FILE *out)
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
            size_t ask = (size_t)(count < kMaxCopyCall ? count : kMaxCopyCall);
            n = copy_file_range(inFd, &inAt, outFd, &outAt, ask, 0);
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
        count -= (long long)n;
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

// What an append writes, worked out from the located target and take.
struct AppendPlan {
    unsigned long frameBytes;
    long long whole;       // the target's audio that is kept: whole frames
    long long newData;     // data bytes afterwards
    long long pad;         // 1 when they are odd: a pad byte follows them
    long long inserted;    // bytes put before the target's chunks: a new ds64 chunk
    long long newLength;   // the new file's length
    int riffHeader;        // the target starts with "RIFF": it has a RIFF size to set
    int toRf64;            // a RIFF target whose sizes no longer fit 32 bits
};

// Whether the new file's sizes still fit the target's kind of header; a
// walked RIFF file that outgrows 32 bits turns RF64. Returns 1, or 0 when
// a size cannot be stated (a file whose chunks were not walked).
static int sizesFit(const WavLayout *t, AppendPlan *p)
{
    if (t->rf64 && t->walked) return 1;   // 64-bit sizes in its ds64 chunk
    int fits = p->newData <= kRiffDataLimit &&
               (!p->riffHeader || p->newLength - kChunkHeaderBytes <= (long long)kUnknownSize);
    if (fits) return 1;
    if (!t->walked || !p->riffHeader) return 0;
    p->toRf64 = 1;
    p->inserted = kDs64ChunkBytes;
    p->newLength += kDs64ChunkBytes;
    return 1;
}

// Checks that count bytes of the take s can go after the audio of the
// target t (open as in) and fills *p. Returns 1, or 0 after a message.
static int planAppend(FILE *in, const WavLayout *t, const WavLayout *s, long long sourceLength,
                      long long count, long long oldBytes, const char *target, const char *source,
                      AppendPlan *p)
{
    memset(p, 0, sizeof *p);
    p->frameBytes = layoutFrameBytes(t);
    if (!audioExtensible(t, p->frameBytes, target)) return 0;
    p->whole = t->audioBytes - t->audioBytes % (long long)p->frameBytes;
    if (s->dataAt < 0 || s->dataCut) {
        fputs(s->dataAt < 0 ? kNoDataMessage : kCutDataMessage, stdout);
        return 0;
    }
    if (count < 0 || sourceLength - s->dataOffset < count) {
        printf("%s holds fewer than %lli bytes of audio\n", source, count);
        return 0;
    }
    if (oldBytes >= 0 && p->whole != oldBytes) {
        printf("%s has changed since the recording began; it was left as it is\n", target);
        return 0;
    }
    // Only a file that starts with a RIFF header has a RIFF size.
    char riffTag[kTagBytes] = {0};
    p->riffHeader = readAt(in, 0, riffTag, sizeof riffTag) && memcmp(riffTag, "RIFF", kTagBytes) == 0;
    int fits = count <= kMaxAudioBytes - p->whole && t->length <= kMaxAudioBytes;
    if (fits) {
        p->newData = p->whole + count;
        p->pad = p->newData & 1;   // odd-sized data is followed by a pad byte
        p->newLength = t->dataOffset + p->newData + p->pad + (t->length - t->tailStart);
        fits = sizesFit(t, p);
    }
    if (!fits) {
        printf("Appending would make %s too large for a wave file!\n", target);
        return 0;
    }
    return 1;
}

// The new file, sizes aside: the target's header and old audio in whole
// frames (behind "RF64" and a ds64 chunk when it turns RF64), the new
// audio, a pad byte when the data ends on an odd byte, then the chunks
// that followed the old audio, unchanged. Returns 1, or 0 with errno set.
static int writeAppended(FILE *in, const WavLayout *t, FILE *src, const WavLayout *s,
                         long long count, const AppendPlan *p, FILE *out)
{
    int ok;
    if (p->toRf64) {
        char head[kRiffHeaderBytes + kDs64ChunkBytes] = {0};
        memcpy(head, "RF64", kTagBytes);
        Decon4((unsigned long)kUnknownSize, head + kRiffSizeAt);
        memcpy(head + 8, "WAVE", kTagBytes);
        memcpy(head + kRiffHeaderBytes, "ds64", kTagBytes);
        Decon4((unsigned long)kDs64BodyBytes, head + kRiffHeaderBytes + kTagBytes);
        ok = fwrite(head, 1, sizeof head, out) == sizeof head &&
             copyInto(in, kRiffHeaderBytes, t->dataOffset + p->whole - kRiffHeaderBytes, out);
    } else {
        ok = copyInto(in, 0, t->dataOffset + p->whole, out);
    }
    return ok && copyInto(src, s->dataOffset, count, out) && (p->pad == 0 || fputc(0, out) != EOF) &&
           copyInto(in, t->tailStart, t->length - t->tailStart, out);
}

// Then the sizes: an RF64 file's in its ds64 chunk (the data chunk's own
// field 0xffffffff in a file that turned RF64; kept, or true while it
// fits, in one that was RF64 already), a RIFF file's in the RIFF header
// and the data chunk. Returns 1, or 0 with errno set.
static int writeAppendSizes(FILE *out, const WavLayout *t, const AppendPlan *p)
{
    unsigned long long riffSize = (unsigned long long)(p->newLength - kChunkHeaderBytes);
    unsigned long long data = (unsigned long long)p->newData;
    long long sizeAt = t->sizeAt + p->inserted;
    if (p->toRf64 || t->rf64) {
        long long ds64At = p->toRf64 ? kRiffHeaderBytes : t->ds64At;
        int ok = writeField(out, ds64At + kDs64RiffAt, riffSize, kWideSizeBytes) &&
                 writeField(out, ds64At + kDs64DataAt, data, kWideSizeBytes) &&
                 writeField(out, ds64At + kDs64SamplesAt, data / p->frameBytes, kWideSizeBytes);
        if (ok && t->sizeAt == t->dataAt + kTagBytes) {
            unsigned long long field = !p->toRf64 && data < kUnknownSize ? data : kUnknownSize;
            ok = writeField(out, sizeAt, field, (int)kSizeFieldBytes);
        }
        return ok;
    }
    if (p->riffHeader && !writeField(out, kRiffSizeAt, riffSize, (int)kSizeFieldBytes)) return 0;
    return writeField(out, sizeAt, data, (int)kSizeFieldBytes);
}

// Opens the target and the take for reading and says how long the take
// file is, as APPEND does. Returns 1, or 0 after a message.
static int openAppend(const char *target, const char *source, FILE **in, FILE **src,
                      long long *sourceLength)
{
    *in = openWavFile(target, "rb");
    if (!*in) return 0;
    *src = openWavFile(source, "rb");
    if (!*src) {
        fclose(*in);
        return 0;
    }
    *sourceLength = fileLength(*src);
    if (*sourceLength >= 0) printf("Append file is %lli bytes\n", *sourceLength);
    return 1;
}

int appendTake(const char *target, const char *source, long long count, long long oldBytes)
{
    if (!targetWritable(target)) return 0;
    FILE *in, *src;
    long long sourceLength;
    if (!openAppend(target, source, &in, &src, &sourceLength)) return 0;
    WavLayout t, s;
    locateWav(in, &t);
    locateWav(src, &s);
    AppendPlan plan;
    int ok = planAppend(in, &t, &s, sourceLength, count, oldBytes, target, source, &plan);
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
    if (t.audioBytes > plan.whole) {
        printf("The last %lli bytes of %s are not a whole frame and were left out\n",
               t.audioBytes - plan.whole, target);
    }
    ok = writeAppended(in, &t, src, &s, count, &plan, save.file) &&
         writeAppendSizes(save.file, &t, &plan);
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
    long long length = fileLength(in);
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
