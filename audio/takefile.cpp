// The take file: its lock, its writes, its length, and the takes left in
// it.
#include "audio/takefile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/files.h"
#include "wav/wav.h"

// The take file a recording holds (its lock with it); fd -1 when none.
static TakeFile held = {-1, nullptr, {0}, 0, 0, 0};

// The header's sizes: the RIFF size counts the 36 header bytes after its
// own field; the data size is the audio.
static const long kRiffSizeBase = 36;
static const long kRiffSizeAt = 4;
static const long kDataSizeAt = 40;

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
// the program's own 44-byte layout. Returns 1 with t describing it; 0 for a
// file in any other layout, which is then left as it is.
static int adoptTake(int fd, const char *path, long long length, TakeFile *t)
{
    char *h = t->header;
    if (pread(fd, h, kWavHeaderBytes, 0) != (ssize_t)kWavHeaderBytes) return 0;
    if (memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVEfmt ", 8) != 0 || Assem4(h + 16) != 16 ||
        memcmp(h + 36, "data", 4) != 0)
        return 0;
    t->frameBytes = (long)Assem2(h + 32);   // block align
    if (t->frameBytes <= 0) return 0;
    t->fd = fd;
    t->path = path;
    t->dataBytes = (long long)Assem4(h + kDataSizeAt);
    t->fileBytes = length;
    return 1;
}

// A take left in the file open as fd: its sizes state the whole frames it
// holds, a partial frame at the end (a write the disk cut short) is cut
// off, and it is on disk. A file in another layout is left as it is.
static void setLeftoverLength(int fd, const char *path, long long length)
{
    TakeFile t;
    if (!adoptTake(fd, path, length, &t)) return;
    long long frames = (length - kWavHeaderBytes) / t.frameBytes;
    long long limit = kMaxDataBytes / t.frameBytes;
    if (frames > limit) frames = limit;
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
        if (sb.st_size > kWavHeaderBytes) {
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

int startTake(TakeFile *t, unsigned int rate, int channels, int bits, long long frames)
{
    if (!headerBytes(t->header, rate, (unsigned int)channels, (unsigned int)bits, (long)frames)) {
        printf("Recording does not fit a wave file: %s\n", t->path);
        return 0;
    }
    if (pwrite(t->fd, t->header, kWavHeaderBytes, 0) != (ssize_t)kWavHeaderBytes) {
        printf("Cannot write %s: %s\n", t->path, strerror(errno));
        return 0;
    }
    t->frameBytes = (long)channels * (bits / 8);
    t->dataBytes = (long long)Assem4(t->header + kDataSizeAt);
    t->fileBytes = kWavHeaderBytes;
    return 1;
}

int writeTakeFrames(TakeFile *t, long long frame, const char *bytes, size_t n, size_t *written)
{
    off_t pos = (off_t)(kWavHeaderBytes + frame * t->frameBytes);
    size_t done = 0;
    int ok = 1;
    while (done < n) {
        ssize_t w = pwrite(t->fd, bytes + done, n - done, pos + (off_t)done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;   // a write that takes nothing: the disk is full
            ok = 0;
            break;
        }
        done += (size_t)w;
    }
    int err = errno;
    long long end = (long long)pos + (long long)done;
    if (end > t->fileBytes) t->fileBytes = end;
    if (written) *written = done;
    errno = err;
    return ok;
}

int setTakeLength(TakeFile *t, long long frames)
{
    long long data = frames * t->frameBytes;
    if (data != t->dataBytes) {
        // The two sizes and the fields between them in one write: they
        // are the header as written, unchanged.
        Decon4((long)(data + kRiffSizeBase), t->header + kRiffSizeAt);
        Decon4((long)data, t->header + kDataSizeAt);
        const size_t span = (size_t)(kDataSizeAt + 4 - kRiffSizeAt);
        if (pwrite(t->fd, t->header + kRiffSizeAt, span, kRiffSizeAt) != (ssize_t)span) return 0;
        t->dataBytes = data;
    }
    long long length = kWavHeaderBytes + data;
    if (t->fileBytes > length) {
        if (ftruncate(t->fd, (off_t)length) != 0) return 0;
        t->fileBytes = length;
    }
    return 1;
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
        sb.st_size > kWavHeaderBytes)
        moveAside(fd, path, (long long)sb.st_size);
    close(fd);
}
