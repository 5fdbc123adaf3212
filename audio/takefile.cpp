// The take file: its lock, its writes, its length, and the takes left in
// it.
#include "audio/takefile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/files.h"
#include "wav/wav.h"

// The take file a recording holds (its lock with it); fd -1 when none.
static TakeFile held = {-1, nullptr, {0}, 0, 0, 0, 0, 0, 0, 0, 0};
// In the take's own header, the format chunk ends here; what follows it
// up to the data chunk (a bext chunk) stays with the take when it turns
// RF64.
static const long kFormatEnd = 36;

// The RIFF chunk's tag and size are not counted by its size.
static const long kChunkHeaderBytes = 8;
// An RF64 take's sizes, in the ds64 chunk right after "WAVE": the RIFF
// size, the data size and the frames, 8 bytes each.
static const long kDs64SizesAt = 20;
static const long kDs64SizesBytes = 24;
// In a take made RF64 in place: the ds64 and format chunks end here, and
// a JUNK chunk fills the rest of the inserted block.
static const long kRf64ChunksEnd = 72;
// Bytes copied at a time when the audio must move behind a new header.
static const size_t kCopyBytes = 1 << 20;

// Names tried beside a left-over take before giving up: stamp, stamp-2, ...
static const int kMaxAsideTries = 100;

// The folder of path, for messages: the part before its last slash, or
// the working directory.
static void folderOf(const char *path, char *folder, size_t size)
{
    const char *slash = strrchr(path, '/');
    if (slash) {
        snprintf(folder, size, "%.*s", slash == path ? 1 : (int)(slash - path), path);
    } else if (!getcwd(folder, size)) {
        snprintf(folder, size, ".");
    }
}

static void sayBusy(const char *path)
{
    char folder[kPathBytes];
    folderOf(path, folder, sizeof folder);
    printf("Another tunevat is recording in %s\n", folder);
}

// Opens the take file for update, only a regular file and never through
// a symlink; says why not when it cannot. Returns the descriptor or -1.
static int openTake(const char *path, int create)
{
    int fd = openRegular(path, O_RDWR | O_NOFOLLOW | (create ? O_CREAT : 0), 0666);
    if (fd >= 0) return fd;
    if (fd == kNotRegularFile) {
        printf("%s is not a regular file: tunevat does not record into it\n", path);
    } else if (errno == ELOOP) {
        printf("%s is a symbolic link: tunevat does not record through it\n", path);
    } else if (errno != ENOENT || create) {
        printf("Cannot open %s: %s\n", path, strerror(errno));
    }
    return -1;
}

int asideName(const char *path, const char *stamp, char *name, int size)
{
    size_t length = strlen(path);
    if (length >= 4 && strcmp(path + length - 4, ".wav") == 0) length -= 4;
    int n = snprintf(name, (size_t)size, "%.*s-%s.wav", (int)length, path, stamp);
    return n >= 0 && n < size;
}

// Takes the file open as fd (length bytes) as a take file when it is in
// one of the program's own layouts (RIFF with the 44-byte header, RF64 with
// the ds64 chunk first). Returns 1 with t describing it; 0 for a file in
// any other layout, which is then left as it is.
static int adoptTake(int fd, const char *path, long long length, TakeFile *t)
{
    memset(t, 0, sizeof *t);
    int copy = dup(fd);
    FILE *f = copy >= 0 ? fdopen(copy, "rb") : nullptr;
    if (!f) {
        if (copy >= 0) close(copy);
        return 0;
    }
    WavLayout w;
    locateWav(f, &w);
    fclose(f);
    // Between the format chunk and the data chunk of a RIFF take, nothing
    // or its bext chunk; a take's RF64 header begins as its own does.
    long long bextEnd =
        w.bextAt == kFormatEnd ? kFormatEnd + kChunkHeaderBytes + (long long)w.bextSize : -1;
    int riff = !w.rf64 && w.fmtAt == 12 && (w.dataAt == kFormatEnd || w.dataAt == bextEnd);
    int rf64 = w.rf64 && w.ds64At == 12 && w.fmtAt == 48;
    if (!w.walked || w.dataAt < 0 || w.blockAlign == 0 || (!riff && !rf64)) return 0;
    if (pread(fd, t->header, sizeof t->header, 0) != (ssize_t)sizeof t->header) return 0;
    t->fd = fd;
    t->path = path;
    t->headerBytes = (long)w.dataOffset;
    t->rf64 = rf64;
    t->frameBytes = (long)w.blockAlign;
    t->dataBytes = -1;   // sizes to be written
    t->fileBytes = length;
    return 1;
}

// Does the take file open as fd (length bytes) hold a take? Anything past
// the 44-byte header does, but for a RIFF take whose header is longer by
// its bext chunk: that header alone is no take.
static int holdsTake(int fd, const char *path, long long length)
{
    TakeFile t;
    if (length <= kWavHeaderBytes) return 0;
    return !adoptTake(fd, path, length, &t) || t.rf64 || length > t.headerBytes;
}

// A take left in the file open as fd: its sizes state the whole frames it
// holds, a partial frame at the end (a write the disk cut short) is cut
// off, and it is on disk. A file in another layout is left as it is.
static void setLeftoverLength(int fd, const char *path, long long length)
{
    TakeFile t;
    if (!adoptTake(fd, path, length, &t)) return;
    long long frames = (length - t.headerBytes) / t.frameBytes;
    // A RIFF take holds what its sizes can state.
    long long most = kRiffDataLimit - (t.headerBytes - kWavHeaderBytes);
    if (!t.rf64 && frames > most / t.frameBytes) frames = most / t.frameBytes;
    if (setTakeLength(&t, frames)) fsync(fd);
}

// Moves the take that fd (locked, holding audio) holds at path aside.
// Returns 1 after saying where it went; 0 after saying why it could not.
static int moveAside(int fd, const char *path, long long length)
{
    setLeftoverLength(fd, path, length);
    struct stat sb;
    time_t when = fstat(fd, &sb) == 0 ? sb.st_mtime : time(nullptr);
    struct tm local;
    char stamp[32];
    if (!localtime_r(&when, &local) || !strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local))
        snprintf(stamp, sizeof stamp, "%ld", (long)when);
    char aside[kPathBytes];
    int err = EEXIST;
    for (int i = 1; i <= kMaxAsideTries && err == EEXIST; ++i) {
        char tagged[48];
        if (i == 1) snprintf(tagged, sizeof tagged, "%s", stamp);
        else snprintf(tagged, sizeof tagged, "%s-%d", stamp, i);
        if (!asideName(path, tagged, aside, sizeof aside)) {
            err = ENAMETOOLONG;
            break;
        }
        // A hard link never replaces what is there; the old name goes only
        // once the new one holds the take.
        err = link(path, aside) == 0 ? 0 : errno;
        if (err == EPERM || err == EOPNOTSUPP) {
            // No hard links on this file system: a rename, with the name
            // checked free first.
            struct stat there;
            if (lstat(aside, &there) == 0) err = EEXIST;
            else err = rename(path, aside) == 0 ? 0 : errno;
            if (err == 0) break;
        } else if (err == 0 && unlink(path) != 0) {
            err = errno;
            unlink(aside);
        }
    }
    if (err != 0) {
        printf("A take left in %s could not be moved aside: %s\n", path, strerror(err));
        return 0;
    }
    printf("A take left in %s is kept as %s\n", path, aside);
    return 1;
}

// Locks fd without waiting. 1 locked; 0 another program holds it (said
// so); -1 the lock failed otherwise (said so).
static int lockTake(int fd, const char *path)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 1;
    if (errno == EWOULDBLOCK) {
        sayBusy(path);
        return 0;
    }
    printf("Cannot lock %s: %s\n", path, strerror(errno));
    return -1;
}

// Does the name path still lead to the file open as fd?
static int stillNamed(int fd, const char *path)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

TakeFile *claimTakeFile(const char *path)
{
    releaseTakeFile();
    // A name that changes hands between the open and the lock (another
    // program moved a take aside) is opened again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = openTake(path, 1);
        if (fd < 0) return nullptr;
        int locked = lockTake(fd, path);
        if (locked <= 0) {
            close(fd);
            return nullptr;
        }
        if (!stillNamed(fd, path)) {
            close(fd);
            continue;
        }
        struct stat sb;
        if (fstat(fd, &sb) != 0) {
            printf("Cannot open %s: %s\n", path, strerror(errno));
            close(fd);
            return nullptr;
        }
        if (holdsTake(fd, path, (long long)sb.st_size)) {
            // A take is there: it goes aside, and a new, empty take file
            // is claimed in its place.
            int moved = moveAside(fd, path, (long long)sb.st_size);
            close(fd);
            if (!moved) return nullptr;
            continue;
        }
        if (sb.st_size > 0 && ftruncate(fd, 0) != 0) {
            printf("Cannot write %s: %s\n", path, strerror(errno));
            close(fd);
            return nullptr;
        }
        memset(&held, 0, sizeof held);
        held.fd = fd;
        held.path = path;
        return &held;
    }
    printf("Cannot open %s: it keeps changing\n", path);
    return nullptr;
}

TakeFile *heldTake() { return held.fd >= 0 ? &held : nullptr; }

void releaseTakeFile()
{
    if (held.fd >= 0) close(held.fd);
    held.fd = -1;
}

int startTake(TakeFile *t, unsigned int rate, int channels, int bits, long long frames,
              const BextStamp *stamp)
{
    char header[kMaxHeaderBytes];
    int length = bwfHeaderBytes(header, rate, (unsigned int)channels, (unsigned int)bits, frames,
                                stamp);
    if (length == 0) {
        printf("Recording does not fit a wave file: %s\n", t->path);
        return 0;
    }
    if (pwrite(t->fd, header, (size_t)length, 0) != (ssize_t)length) {
        printf("Cannot write %s: %s\n", t->path, strerror(errno));
        return 0;
    }
    memcpy(t->header, header, sizeof t->header);
    t->headerBytes = length;
    t->rf64 = memcmp(t->header, "RF64", 4) == 0;
    t->rate = rate;
    t->channels = channels;
    t->bits = bits;
    t->frameBytes = (long)channels * (bits / 8);
    t->dataBytes = frames * t->frameBytes;
    t->fileBytes = length;
    return 1;
}

int writeTakeFrames(TakeFile *t, long long frame, const char *bytes, size_t n, size_t *written)
{
    struct iovec one = {(void *)bytes, n};
    return writeTakeFramesv(t, frame, &one, 1, written);
}

int writeTakeFramesv(TakeFile *t, long long frame, struct iovec *iov, int count, size_t *written)
{
    off_t pos = (off_t)(t->headerBytes + frame * t->frameBytes);
    size_t done = 0;
    int ok = 1;
    while (count > 0) {
        if (iov->iov_len == 0) {
            ++iov;
            --count;
            continue;
        }
        ssize_t w = pwritev(t->fd, iov, count, pos + (off_t)done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;   // a write that takes nothing: the disk is full
            ok = 0;
            break;
        }
        done += (size_t)w;
        // Past the pieces written whole, into the one written in part.
        for (size_t left = (size_t)w; left > 0;) {
            size_t step = left < iov->iov_len ? left : iov->iov_len;
            iov->iov_base = (char *)iov->iov_base + step;
            iov->iov_len -= step;
            left -= step;
            if (iov->iov_len == 0) {
                ++iov;
                --count;
            }
        }
    }
    int err = errno;
    long long end = (long long)pos + (long long)done;
    if (end > t->fileBytes) t->fileBytes = end;
    if (written) *written = done;
    errno = err;
    return ok;
}

// Writes the sizes for data bytes of audio (frames frames): a RIFF take's
// RIFF and data sizes, with the fields between them as they are, in one
// write; an RF64 take's three ds64 sizes in one write.
static int writeSizes(TakeFile *t, long long data, long long frames)
{
    unsigned long long riff = (unsigned long long)(t->headerBytes + data - kChunkHeaderBytes);
    if (t->rf64) {
        char sizes[kDs64SizesBytes];
        Decon8(riff, sizes);
        Decon8((unsigned long long)data, sizes + 8);
        Decon8((unsigned long long)frames, sizes + 16);
        return pwrite(t->fd, sizes, sizeof sizes, kDs64SizesAt) == (ssize_t)sizeof sizes;
    }
    if (riff > 0xffffffffULL) {
        errno = EFBIG;
        return 0;
    }
    Decon4((unsigned long)riff, t->header + kRiffSizeAt);
    if (t->headerBytes > kWavHeaderBytes) {
        // A bext chunk between them (the data chunk's header ends the
        // header): the data size first, then the RIFF size.
        char field[4];
        Decon4((unsigned long)data, field);
        return pwrite(t->fd, field, sizeof field, t->headerBytes - 4) == (ssize_t)sizeof field &&
               pwrite(t->fd, t->header + kRiffSizeAt, 4, kRiffSizeAt) == 4;
    }
    Decon4((unsigned long)data, t->header + kDataSizeAt);
    const size_t span = (size_t)(kDataSizeAt + 4 - kRiffSizeAt);
    return pwrite(t->fd, t->header + kRiffSizeAt, span, kRiffSizeAt) == (ssize_t)span;
}

int setTakeLength(TakeFile *t, long long frames)
{
    long long data = frames * t->frameBytes;
    if (data != t->dataBytes) {
        if (!writeSizes(t, data, frames)) return 0;
        t->dataBytes = data;
    }
    long long length = t->headerBytes + data;
    if (t->fileBytes > length) {
        if (ftruncate(t->fd, (off_t)length) != 0) return 0;
        t->fileBytes = length;
    }
    return 1;
}

// Makes the take RF64 in place: a block of the file system inserted at
// the start of the file (no audio moves on the disk) takes the RF64 header,
// the ds64 and format chunks and a JUNK chunk that ends where the old
// header's data chunk begins. Returns 1; 0 when the file system cannot
// insert (the file is then as it was).
static int insertRf64Header(TakeFile *t)
{
    struct stat sb;
    if (fstat(t->fd, &sb) != 0 || sb.st_blksize < kRf64HeaderBytes + kChunkHeaderBytes) return 0;
    long block = (long)sb.st_blksize;
    if (fallocate(t->fd, FALLOC_FL_INSERT_RANGE, 0, block) != 0) return 0;
    char h[kRf64HeaderBytes];
    // A header for more than a RIFF size holds: the RF64 one; its sizes
    // are set below.
    headerBytes(h, t->rate, (unsigned int)t->channels, (unsigned int)t->bits,
                kRiffDataLimit / t->frameBytes + 1);
    long long frames = t->dataBytes / t->frameBytes;
    t->headerBytes += block;
    // The JUNK chunk's body runs from its header to where the old format
    // chunk ended: a bext chunk after that stays one.
    long dataChunkAt = t->headerBytes - kChunkHeaderBytes;
    char junk[kChunkHeaderBytes];
    memcpy(junk, "JUNK", 4);
    Decon4((unsigned long)(block + kFormatEnd - kRf64ChunksEnd - kChunkHeaderBytes), junk + 4);
    t->fileBytes += block;
    t->rf64 = 1;
    memcpy(t->header, h, sizeof h);
    // The old header's "data" chunk stays where it is, now after the JUNK.
    int ok = pwrite(t->fd, h, kRf64ChunksEnd, 0) == kRf64ChunksEnd &&
             pwrite(t->fd, junk, sizeof junk, kRf64ChunksEnd) == (ssize_t)sizeof junk &&
             pwrite(t->fd, h + kRf64ChunksEnd, kChunkHeaderBytes, dataChunkAt) == kChunkHeaderBytes &&
             writeSizes(t, t->dataBytes, frames);
    return ok;
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

// Makes the take RF64 by copying its audio behind an 80-byte RF64 header
// in a new file, locked before it takes the take file's name. Returns 1;
// 0 after a message, with the take file as it was.
static int copyIntoRf64(TakeFile *t)
{
    char temp[kPathBytes];
    if (snprintf(temp, sizeof temp, "%s.rf64", t->path) >= (int)sizeof temp) return 0;
    unlink(temp);   // what a kill left of an earlier attempt
    int fd = openRegular(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    char h[kRf64HeaderBytes];
    long long frames = t->dataBytes / t->frameBytes;
    int made = headerBytes(h, t->rate, (unsigned int)t->channels, (unsigned int)t->bits,
                           kRiffDataLimit / t->frameBytes + 1);
    // The chunks between the old format chunk and the data chunk (a bext
    // chunk) come along, after the new format chunk.
    long between = t->headerBytes - kWavHeaderBytes;
    int length = made + (int)between;
    int ok = fd >= 0 && flock(fd, LOCK_EX) == 0 && made == (int)kRf64HeaderBytes &&
             pwrite(fd, h, kRf64ChunksEnd, 0) == kRf64ChunksEnd &&
             copyBytes(t->fd, kFormatEnd, fd, kRf64ChunksEnd, between) &&
             pwrite(fd, h + kRf64ChunksEnd, kChunkHeaderBytes, kRf64ChunksEnd + between) ==
                 kChunkHeaderBytes &&
             copyBytes(t->fd, (off_t)t->headerBytes, fd, (off_t)length, t->dataBytes) &&
             fsync(fd) == 0 && rename(temp, t->path) == 0;
    if (!ok) {
        printf("Cannot write %s: %s\n", temp, strerror(errno));
        if (fd >= 0) close(fd);
        unlink(temp);
        return 0;
    }
    syncDirectory(t->path);
    close(t->fd);
    t->fd = fd;
    t->headerBytes = length;
    t->fileBytes = length + t->dataBytes;
    t->rf64 = 1;
    memcpy(t->header, h, sizeof h);
    return writeSizes(t, t->dataBytes, frames);
}

int makeTakeRf64(TakeFile *t)
{
    if (t->rf64) return 1;
    if (insertRf64Header(t) || copyIntoRf64(t)) {
        fsync(t->fd);
        return 1;
    }
    return 0;
}

int syncTake(TakeFile *t) { return fsync(t->fd) == 0; }

void takeIdentity(const TakeFile *t, dev_t *device, ino_t *inode)
{
    struct stat sb;
    if (fstat(t->fd, &sb) != 0) memset(&sb, 0, sizeof sb);
    *device = sb.st_dev;
    *inode = sb.st_ino;
}

int takeFileBusy(const char *path)
{
    if (held.fd >= 0) return 0;   // this program's own recording
    int fd = openRegular(path, O_RDONLY | O_NOFOLLOW, 0);
    if (fd < 0) return 0;
    int busy = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    if (busy) sayBusy(path);
    return busy;
}

void keepLeftoverTake(const char *path)
{
    if (held.fd >= 0) return;
    int fd = openRegular(path, O_RDWR | O_NOFOLLOW, 0);
    if (fd < 0) return;   // nothing there, or nothing a recording made
    struct stat sb;
    // A recording under way in another tunevat holds the lock: its take
    // is not left over. A file that lost the name between the open and the
    // lock (that tunevat moved a take onto its target and began anew) is
    // no longer the take file.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && stillNamed(fd, path) && fstat(fd, &sb) == 0 &&
        holdsTake(fd, path, (long long)sb.st_size))
        moveAside(fd, path, (long long)sb.st_size);
    close(fd);
}
