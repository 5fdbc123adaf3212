// Turning a take file RF64, so that its audio may pass 4 GiB, and putting
// right a turn that a kill or a power cut cut short.
//
// In place (ext4, XFS): a block of the file system is inserted before the
// RIFF header, so no audio moves on the disk, and one write fills it with
// the RF64 header (its sizes those of the audio the file holds), the ds64
// and format chunks and a JUNK chunk that ends where the old header's data
// chunk begins; then that chunk's size says 0xffffffff, and the file is
// synced. Only then does the take in memory say RF64. A kill at any
// instant leaves the RIFF take, the RIFF take behind a block of zeros
// (mendTurn puts it right at the next start), or the whole RF64 take. A
// write into the block that fails (a full disk) takes the block out again:
// the file is the RIFF take it was.
//
// A bext chunk between the RIFF header's format and data chunks stays a
// chunk, after the RF64 header's format chunk.
//
// Elsewhere the audio is copied once behind an 80-byte RF64 header into
// the take file's name with ".rf64", which is synced and renamed over the
// take file; a kill leaves the take file as it was and that copy, which
// the next start removes. A take file that holds no audio yet gets the
// RF64 header in place of its RIFF one, on any file system.
#include "audio/takerf64.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/files.h"
#include "wav/wav.h"

// The ds64 and format chunks end here; in a header made by a turn in
// place, a JUNK chunk follows, up to the data chunk.
static const long kRf64ChunksEnd = 72;
// Where the RIFF header's format chunk keeps the frame's bytes.
static const long kBlockAlignAt = 32;
// The largest block inserted before a take; a file system whose blocks
// are larger gets the copy.
static const long kMaxInsertBytes = 65536;
// A block is a multiple of this.
static const long kSectorBytes = 512;
// Bytes copied at a time when the audio moves behind a new header.
static const size_t kCopyBytes = 1 << 20;
// What a size field holds when the ds64 chunk states the size.
static const char kUnknownSize[4] = {'\xff', '\xff', '\xff', '\xff'};

// A turn in place that the file system cannot make (nothing was changed).
static const int kCannotInsert = -1;

// Fills h[0, 72) with the RF64 header, ds64 chunk and format chunk (taken
// from riff, a take's RIFF header) of a take file whose audio, dataBytes
// bytes of frameBytes-byte frames, starts at audioAt.
static void rf64Chunks(char *h, const char *riff, long long audioAt, long long dataBytes,
                       long frameBytes)
{
    memcpy(h, "RF64", 4);
    memcpy(h + 4, kUnknownSize, 4);
    memcpy(h + 8, "WAVE", 4);
    memcpy(h + 12, "ds64", 4);
    Decon4((unsigned long)kDs64BodyBytes, h + 16);
    Decon8((unsigned long long)(audioAt + dataBytes - kChunkHeaderBytes), h + kDs64SizesAt);
    Decon8((unsigned long long)dataBytes, h + kDs64SizesAt + 8);
    Decon8((unsigned long long)(dataBytes / frameBytes), h + kDs64SizesAt + 16);
    memset(h + kDs64SizesAt + kDs64SizesBytes, 0, 4);   // no table
    memcpy(h + kRiffFormatAt + kChunkHeaderBytes + kDs64BodyBytes, riff + kRiffFormatAt,
           kFormatChunkBytes);
}

// Fills block (blockBytes, written at the start of the file) for a turn in
// place: the RF64 chunks, then a JUNK chunk up to where the old RIFF
// header's format chunk ends. What followed that chunk there (a bext
// chunk, then the data chunk) stays as it is, chunks of the RF64 file.
static void rf64Block(char *block, long blockBytes, const char *riff, long long audioAt,
                      long long dataBytes, long frameBytes)
{
    memset(block, 0, (size_t)blockBytes);
    rf64Chunks(block, riff, audioAt, dataBytes, frameBytes);
    memcpy(block + kRf64ChunksEnd, "JUNK", 4);
    long long junk = blockBytes + kRiffFormatAt + kFormatChunkBytes - kRf64ChunksEnd -
                     kChunkHeaderBytes;
    Decon4((unsigned long)junk, block + kRf64ChunksEnd + 4);
}

// The RF64 header of a take of dataBytes bytes in the format of t, into h
// (kMaxHeaderBytes): the RF64 chunks, the chunks t's RIFF header holds
// between its format chunk and its data chunk (a bext chunk), read from
// the take file, and the data chunk's header. Returns its length (where
// the audio starts behind it); 0 with errno set when the chunks could not
// be read.
static long rf64Header(const TakeFile *t, long long dataBytes, char *h)
{
    long between = t->headerBytes - kWavHeaderBytes;
    if (between < 0 || kRf64HeaderBytes + between > kMaxHeaderBytes) {
        errno = EINVAL;
        return 0;
    }
    long audioAt = kRf64HeaderBytes + between;
    rf64Chunks(h, t->header, audioAt, dataBytes, t->frameBytes);
    if (between > 0 && pread(t->fd, h + kRf64ChunksEnd, (size_t)between,
                             kRiffFormatAt + kFormatChunkBytes) != (ssize_t)between) {
        if (errno == 0) errno = EIO;
        return 0;
    }
    memcpy(h + kRf64ChunksEnd + between, "data", 4);
    memcpy(h + kRf64ChunksEnd + between + 4, kUnknownSize, 4);
    return audioAt;
}

// The audio the take file holds that its sizes state: whole frames.
static long long heldAudio(const TakeFile *t)
{
    long long held = t->fileBytes - t->headerBytes;
    if (held > t->dataBytes) held = t->dataBytes;
    return held > 0 ? held - held % t->frameBytes : 0;
}

// The take in memory is RF64 from here on, with the header h (its first
// bytes) and its audio at audioAt.
static void becomeRf64(TakeFile *t, const char *h, long long audioAt)
{
    t->fileBytes += audioAt - t->headerBytes;
    t->headerBytes = (long)audioAt;
    t->rf64 = 1;
    memcpy(t->header, h, sizeof t->header);
}

// A take file that holds no audio yet: the RF64 header takes the RIFF
// header's place, stating what it stated. Returns 1, or 0 with errno set.
static int rewriteAsRf64(TakeFile *t)
{
    char h[kMaxHeaderBytes];
    long length = rf64Header(t, t->dataBytes, h);
    if (length == 0 || pwrite(t->fd, h, (size_t)length, 0) != (ssize_t)length) return 0;
    t->fileBytes = t->headerBytes;   // no audio
    becomeRf64(t, h, length);
    return 1;
}

// Whether fallocate's errno says that the file system cannot insert.
static int cannotInsert(int err)
{
    return err == EOPNOTSUPP || err == EINVAL || err == ENOSYS || err == ENOTTY;
}

// The turn in place. Returns 1 (the take is RF64); kCannotInsert when the
// file system cannot insert a block (nothing changed); 0 with errno set
// when the turn failed: the take file is the RIFF take it was, or, when
// the block could not even be taken out again, it is let go (closed, the
// next start puts it right) and no longer written.
static int insertRf64Block(TakeFile *t)
{
    struct stat sb;
    if (fstat(t->fd, &sb) != 0) return 0;
    long block = (long)sb.st_blksize;
    if (block < kRf64HeaderBytes + kChunkHeaderBytes || block > kMaxInsertBytes) return kCannotInsert;
    if (fallocate(t->fd, FALLOC_FL_INSERT_RANGE, 0, block) != 0)
        return cannotInsert(errno) ? kCannotInsert : 0;
    static char bytes[kMaxInsertBytes];
    long long audioAt = t->headerBytes + block;
    rf64Block(bytes, block, t->header, audioAt, heldAudio(t), t->frameBytes);
    // One write: a kill leaves the block all zeros or all written.
    if (pwrite(t->fd, bytes, (size_t)block, 0) != (ssize_t)block) {
        int err = errno;
        if (fallocate(t->fd, FALLOC_FL_COLLAPSE_RANGE, 0, block) != 0) {
            close(t->fd);
            t->fd = -1;
        }
        errno = err;
        return 0;
    }
    // The file is a whole RF64 take now; the data chunk's size comes next,
    // and a failure of it or of the sync leaves a take that reads whole.
    if (pwrite(t->fd, kUnknownSize, 4, (off_t)(audioAt - 4)) == 4) fsync(t->fd);
    becomeRf64(t, bytes, audioAt);
    return 1;
}

// Copies n bytes from offset from of in to offset to of out: inside the
// kernel where it can, else through a buffer made for the copy.
static int copyBytes(int in, off_t from, int out, off_t to, long long n)
{
    char *buf = nullptr;
    int ok = 1;
    while (ok && n > 0) {
        size_t want = n < (long long)kCopyBytes ? (size_t)n : kCopyBytes;
        ssize_t got = copy_file_range(in, &from, out, &to, want, 0);
        if (got < 0) {
            if (!buf && !(buf = (char *)malloc(kCopyBytes))) break;
            got = pread(in, buf, want, from);
            ok = got > 0 && pwrite(out, buf, (size_t)got, to) == got;
            if (got == 0) errno = EIO;
            if (!ok) break;
            from += got;
            to += got;
        } else if (got == 0) {
            errno = EIO;
            ok = 0;
        }
        n -= got;
    }
    free(buf);
    return ok && n <= 0;
}

// The turn by a copy: the audio the take file holds, behind an 80-byte
// RF64 header, in a new file that is locked, synced and renamed over the
// take file. Returns 1; 0 with errno set and the take file as it was.
static int copyIntoRf64(TakeFile *t)
{
    char temp[kPathBytes];
    if (snprintf(temp, sizeof temp, "%s%s", t->path, kRf64CopySuffix) >= (int)sizeof temp) {
        errno = ENAMETOOLONG;
        return 0;
    }
    unlink(temp);   // a copy a kill left (this program holds the take file's lock)
    long long data = heldAudio(t);
    char h[kMaxHeaderBytes];
    long length = rf64Header(t, data, h);
    if (length == 0) return 0;
    int fd = openRegular(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    int ok = fd >= 0 && flock(fd, LOCK_EX) == 0 &&
             pwrite(fd, h, (size_t)length, 0) == (ssize_t)length &&
             copyBytes(t->fd, (off_t)t->headerBytes, fd, (off_t)length, data) && fsync(fd) == 0 &&
             rename(temp, t->path) == 0;
    if (!ok) {
        int err = errno;
        if (fd >= 0) close(fd);
        unlink(temp);
        errno = err;
        return 0;
    }
    syncDirectory(t->path);
    close(t->fd);
    t->fd = fd;
    t->fileBytes = t->headerBytes + data;
    t->dataBytes = data;
    becomeRf64(t, h, length);
    return 1;
}

int makeTakeRf64(TakeFile *t)
{
    if (t->rf64) return 1;
    int ok;
    if (heldAudio(t) == 0) {
        ok = rewriteAsRf64(t);
    } else {
        int inserted = insertRf64Block(t);
        ok = inserted == kCannotInsert ? copyIntoRf64(t) : inserted;
    }
    if (!ok) printf("Cannot make %s RF64 for a recording past 4 GiB: %s\n", t->path, strerror(errno));
    return ok;
}

// Whether the n bytes at p are all zeros.
static int allZero(const char *p, long n)
{
    for (long i = 0; i < n; ++i)
        if (p[i] != 0) return 0;
    return 1;
}

// Where the RIFF header of a turn cut short starts in the first n bytes of
// a take file: behind a block of zeros, or of an RF64 header and zeros. 0
// when there is none.
static long halfTurnRiff(const char *bytes, long n)
{
    for (long at = kSectorBytes; at <= kMaxInsertBytes && at + kWavHeaderBytes <= n; at += kSectorBytes) {
        if (memcmp(bytes + at, "RIFF", 4) != 0 || memcmp(bytes + at + 8, "WAVE", 4) != 0 ||
            memcmp(bytes + at + kRiffFormatAt, "fmt ", 4) != 0)
            continue;
        int zeros = allZero(bytes, at);
        int headerOnly = memcmp(bytes, "RF64", 4) == 0 &&
                         allZero(bytes + kRf64ChunksEnd, at - kRf64ChunksEnd);
        return zeros || headerOnly ? at : 0;
    }
    return 0;
}

// Where the data chunk of the RIFF header riff (n bytes of it at hand)
// starts, its chunks walked; -1 when it is not there.
static long dataChunkOf(const char *riff, long n)
{
    long at = kRiffFormatAt;
    while (at + kChunkHeaderBytes <= n) {
        if (memcmp(riff + at, "data", 4) == 0) return at;
        unsigned long size = Assem4(riff + at + 4);
        if (size > (unsigned long)n) return -1;
        at += kChunkHeaderBytes + (long)size + (long)(size & 1);
    }
    return -1;
}

int mendTurn(int fd, long long *audioAt)
{
    struct stat sb;
    const long scan = 2 * kMaxInsertBytes;
    char *bytes = (char *)malloc((size_t)scan);
    ssize_t n = bytes && fstat(fd, &sb) == 0 ? pread(fd, bytes, (size_t)scan, 0) : -1;
    long riffAt = n > 0 ? halfTurnRiff(bytes, (long)n) : 0;
    long dataAt = riffAt > 0 ? dataChunkOf(bytes + riffAt, (long)n - riffAt) : -1;
    long frameBytes = dataAt > 0 ? (long)Assem2(bytes + riffAt + kBlockAlignAt) : 0;
    if (frameBytes == 0) {
        free(bytes);
        return 0;
    }
    *audioAt = riffAt + dataAt + kChunkHeaderBytes;
    long long data = ((long long)sb.st_size - *audioAt) / frameBytes * frameBytes;
    int ok = 0;
    // Back to the RIFF take it was, where its sizes can state its audio.
    if (data <= kRiffDataLimit && fallocate(fd, FALLOC_FL_COLLAPSE_RANGE, 0, riffAt) == 0) {
        *audioAt -= riffAt;
        ok = 1;
    } else {
        char *block = (char *)malloc((size_t)riffAt);
        if (block) rf64Block(block, riffAt, bytes + riffAt, *audioAt, data, frameBytes);
        ok = block && pwrite(fd, block, (size_t)riffAt, 0) == (ssize_t)riffAt &&
             pwrite(fd, kUnknownSize, 4, (off_t)(*audioAt - 4)) == 4;
        int err = errno;
        free(block);
        errno = err;
    }
    if (ok) fsync(fd);
    int err = errno;
    free(bytes);
    errno = err;
    return ok ? 1 : -1;
}
