// The take file's lock and the takes left in it.
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

// The descriptor a recording holds the take file's lock through, or -1.
static int heldFd = -1;

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

// Makes the sizes of a take file in the program's own 44-byte layout
// exact: the data chunk holds the whole frames after the header, and a
// partial frame at the end (a write the disk cut short) is cut off. A file
// in any other layout is left as it is.
static void makeSizesExact(int fd, long length)
{
    char header[kWavHeaderBytes];
    if (pread(fd, header, sizeof header, 0) != (ssize_t)sizeof header) return;
    if (memcmp(header, "RIFF", 4) != 0 || memcmp(header + 8, "WAVEfmt ", 8) != 0 ||
        Assem4(header + 16) != 16 || memcmp(header + 36, "data", 4) != 0)
        return;
    long frameBytes = (long)Assem2(header + 32);   // block align
    if (frameBytes <= 0) return;
    long data = (length - kWavHeaderBytes) / frameBytes * frameBytes;
    if (data > kMaxDataBytes) data = kMaxDataBytes / frameBytes * frameBytes;
    char field[4];
    Decon4(data + 36, field);   // 36 = the header after the RIFF size field
    if (pwrite(fd, field, 4, kRiffSizeAt) != 4) return;
    Decon4(data, field);
    if (pwrite(fd, field, 4, kDataSizeAt) != 4) return;
    if (length > kWavHeaderBytes + data && ftruncate(fd, kWavHeaderBytes + data) != 0) return;
    fsync(fd);
}

// Moves the take that fd (locked, holding audio) holds at path aside.
// Returns 1 after saying where it went; 0 after saying why it could not.
static int moveAside(int fd, const char *path, long length)
{
    makeSizesExact(fd, length);
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
static int sameFile(int fd, const char *path)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

int claimTakeFile(const char *path)
{
    releaseTakeFile();
    // A name that changes hands between the open and the lock (another
    // program moved a take aside) is opened again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = openTake(path, 1);
        if (fd < 0) return -1;
        int locked = lockTake(fd, path);
        if (locked <= 0) {
            close(fd);
            return -1;
        }
        if (!sameFile(fd, path)) {
            close(fd);
            continue;
        }
        struct stat sb;
        if (fstat(fd, &sb) != 0) {
            printf("Cannot open %s: %s\n", path, strerror(errno));
            close(fd);
            return -1;
        }
        if (sb.st_size > kWavHeaderBytes) {
            // A take is there: it goes aside, and a new, empty take file
            // is claimed in its place.
            int moved = moveAside(fd, path, (long)sb.st_size);
            close(fd);
            if (!moved) return -1;
            continue;
        }
        if (sb.st_size > 0 && ftruncate(fd, 0) != 0) {
            printf("Cannot write %s: %s\n", path, strerror(errno));
            close(fd);
            return -1;
        }
        heldFd = fd;
        return fd;
    }
    printf("Cannot open %s: it keeps changing\n", path);
    return -1;
}

void releaseTakeFile()
{
    if (heldFd >= 0) close(heldFd);
    heldFd = -1;
}

int takeFileBusy(const char *path)
{
    if (heldFd >= 0) return 0;   // this program's own recording
    int fd = openRegular(path, O_RDONLY | O_NOFOLLOW, 0);
    if (fd < 0) return 0;
    int busy = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    if (busy) sayBusy(path);
    return busy;
}

void keepLeftoverTake(const char *path)
{
    if (heldFd >= 0) return;
    int fd = openRegular(path, O_RDWR | O_NOFOLLOW, 0);
    if (fd < 0) return;   // nothing there, or nothing a recording made
    struct stat sb;
    // A recording under way in another tunevat holds the lock: its take
    // is not left over. A file that lost the name between the open and the
    // lock (that tunevat moved a take onto its target and began anew) is
    // no longer the take file.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && sameFile(fd, path) && fstat(fd, &sb) == 0 &&
        sb.st_size > kWavHeaderBytes)
        moveAside(fd, path, (long)sb.st_size);
    close(fd);
}
