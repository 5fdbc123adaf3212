// The take file claimed for a recording (its lock), and the takes left in
// it: moved aside to a name of their own, their length set, a turn to
// RF64 that a kill cut short put right first, and a copy that such a turn
// left removed.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio/takefile.h"
#include "audio/takerf64.h"
#include "files/files.h"
#include "wav/wav.h"

// The take file a recording holds (its lock with it); fd -1 when none.
static TakeFile held = {-1, nullptr, {0}, 0, 0, 0, 0, 0, 0, 0, 0};

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
// one of the program's own layouts, its chunks walked: RIFF with the
// format chunk first, RF64 with the ds64 chunk first and the format chunk
// after it. Returns 1 with t describing it; 0 for a file in any other
// layout, which is then left as it is.
static int adoptTake(int fd, const char *path, long long length, TakeFile *t)
{
    memset(t, 0, sizeof *t);
    WavLayout w;
    if (!locateWavFd(fd, &w)) return 0;
    int riff = !w.rf64 && w.fmtAt == 12;
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

// Whether the file open as fd (length bytes) holds a take: audio after a
// header of the program's own, or anything past a RIFF header in another
// layout (kept, never emptied).
static int holdsTake(int fd, const char *path, long long length)
{
    TakeFile t;
    if (length <= kWavHeaderBytes) return 0;
    return !adoptTake(fd, path, length, &t) || length > t.headerBytes;
}

// A take left in the file open as fd: its sizes state the whole frames it
// holds, a partial frame at the end (a write the disk cut short) is cut
// off, and it is on disk. A file in another layout is left as it is.
static void setLeftoverLength(int fd, const char *path)
{
    struct stat sb;
    TakeFile t;
    if (fstat(fd, &sb) != 0 || !adoptTake(fd, path, (long long)sb.st_size, &t)) return;
    long long frames = ((long long)sb.st_size - t.headerBytes) / t.frameBytes;
    // A RIFF take holds what its sizes can state (a header longer by a
    // bext chunk leaves that much less for the audio).
    long long most = kRiffDataLimit - (t.headerBytes - kWavHeaderBytes);
    if (!t.rf64 && frames > most / t.frameBytes) frames = most / t.frameBytes;
    // An RF64 take's data chunk leaves its size to the ds64 chunk.
    const char unknown[4] = {'\xff', '\xff', '\xff', '\xff'};
    int ok = (!t.rf64 || pwrite(fd, unknown, 4, (off_t)(t.headerBytes - 4)) == 4) &&
             setTakeLength(&t, frames);
    if (ok) fsync(fd);
}

// Moves the take that fd (locked, holding audio) holds at path aside, a
// turn to RF64 that a kill cut short put right first. Returns 1 after
// saying where it went; 0 after saying why it could not.
static int moveAside(int fd, const char *path)
{
    long long audioAt = 0;
    int mended = mendTurn(fd, &audioAt);
    int mendError = errno;
    if (mended >= 0) setLeftoverLength(fd, path);
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
    if (mended < 0)
        printf("A take left in %s is kept as %s; its header could not be mended (%s): its audio "
               "starts at byte %lld\n",
               path, aside, strerror(mendError), audioAt);
    else
        printf("A take left in %s is kept as %s\n", path, aside);
    return 1;
}

// Removes the copy that a turn to RF64 by copying left beside the take
// file at path, when no running tunevat holds its lock.
static void removeLeftCopy(const char *path)
{
    char copy[kPathBytes];
    if (snprintf(copy, sizeof copy, "%s%s", path, kRf64CopySuffix) >= (int)sizeof copy) return;
    int fd = openRegular(copy, O_RDONLY | O_NOFOLLOW, 0);
    if (fd < 0) return;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && stillNamed(fd, copy) && unlink(copy) == 0)
        syncDirectory(copy);
    close(fd);
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
        removeLeftCopy(path);
        struct stat sb;
        if (fstat(fd, &sb) != 0) {
            printf("Cannot open %s: %s\n", path, strerror(errno));
            close(fd);
            return nullptr;
        }
        if (holdsTake(fd, path, (long long)sb.st_size)) {
            // A take is there: it goes aside, and a new, empty take file
            // is claimed in its place.
            int moved = moveAside(fd, path);
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
    if (fd >= 0) {
        struct stat sb;
        // A recording under way in another tunevat holds the lock: its take
        // is not left over. A file that lost the name between the open and
        // the lock (that tunevat moved a take onto its target and began
        // anew) is no longer the take file.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && stillNamed(fd, path) && fstat(fd, &sb) == 0 &&
            holdsTake(fd, path, (long long)sb.st_size))
            moveAside(fd, path);
        close(fd);
    }
    // A copy is locked while it is made: one nobody holds was left by a kill.
    removeLeftCopy(path);
}
