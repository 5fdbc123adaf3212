// Opening only regular files, and saving beside the old file and renaming.
#include "files/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <climits>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

// Symlinks followed before a name is taken as a loop, as the kernel does.
static const int kMaxLinks = 40;
// The temporary file's name beside the target; mkstemp fills in the Xs.
static const char kTempName[] = ".tunevat-XXXXXX";
// What every such name starts with, and how many characters follow.
static const char kTempPrefix[] = ".tunevat-";
static const size_t kTempSuffixBytes = 6;

int openRegular(const char *path, int flags, mode_t mode)
{
    // A name that is there but is no regular file is refused before the
    // open, which could wait on a FIFO or act on a device; the fstat after
    // it catches a name that changed in between.
    struct stat sb;
    int found = (flags & O_NOFOLLOW) ? lstat(path, &sb) : stat(path, &sb);
    if (found == 0 && S_ISLNK(sb.st_mode)) {
        errno = ELOOP;   // what open itself says with O_NOFOLLOW
        return -1;
    }
    if (found == 0 && !S_ISREG(sb.st_mode)) {
        errno = EINVAL;
        return kNotRegularFile;
    }
    int fd = open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    if (fstat(fd, &sb) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    if (!S_ISREG(sb.st_mode)) {
        close(fd);
        errno = EINVAL;
        return kNotRegularFile;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

FILE *fopenRegular(const char *path, const char *mode, int *notRegular)
{
    if (notRegular) *notRegular = 0;
    int flags;
    int plus = strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r': flags = plus ? O_RDWR : O_RDONLY; break;
    case 'w': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: errno = EINVAL; return nullptr;
    }
    if (strchr(mode, 'x')) flags |= O_EXCL;
    int fd = openRegular(path, flags, 0666);
    if (fd == kNotRegularFile) {
        if (notRegular) *notRegular = 1;
        return nullptr;
    }
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, mode);
    if (!f) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}

int resolveLinks(const char *path, char *out, size_t outBytes)
{
    char current[kPathBytes];
    if (strlen(path) >= sizeof current) {
        errno = ENAMETOOLONG;
        return 0;
    }
    strcpy(current, path);
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
        char link[kPathBytes];
        ssize_t n = readlink(current, link, sizeof link - 1);
        if (n < 0) {
            // Not a link (EINVAL), or nothing there yet (ENOENT): this is
            // the name of the file itself.
            if (errno != EINVAL && errno != ENOENT) return 0;
            if (strlen(current) >= outBytes) {
                errno = ENAMETOOLONG;
                return 0;
            }
            strcpy(out, current);
            return 1;
        }
        link[n] = '\0';
        char next[kPathBytes];
        const char *slash = strrchr(current, '/');
        // A relative link counts from the directory that holds the link.
        int dirLength = (link[0] == '/' || !slash) ? 0 : (int)(slash - current) + 1;
        if (snprintf(next, sizeof next, "%.*s%s", dirLength, current, link) >= (int)sizeof next) {
            errno = ENAMETOOLONG;
            return 0;
        }
        strcpy(current, next);
    }
    errno = ELOOP;
    return 0;
}

// The folder part of path ("." when it has none) into dir.
static void folderOf(const char *path, char *dir, size_t dirBytes)
{
    const char *slash = strrchr(path, '/');
    if (!slash) snprintf(dir, dirBytes, ".");
    else if (slash == path) snprintf(dir, dirBytes, "/");
    else snprintf(dir, dirBytes, "%.*s", (int)(slash - path), path);
}

void syncDirectory(const char *path)
{
    char dir[kPathBytes];
    folderOf(path, dir, sizeof dir);
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

void holdSignals(sigset_t *saved)
{
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, saved);
}

void restoreSignals(const sigset_t *saved)
{
    sigprocmask(SIG_SETMASK, saved, nullptr);
}

void copyOwnerAndMode(int fd, const struct stat *old)
{
    // Owner first: a change of owner may clear the set-id bits that the
    // mode then puts back. Where the program may not give the file away,
    // it stays the user's own (and keeps the group where it may).
    if ((old->st_uid != geteuid() || old->st_gid != getegid()) &&
        fchown(fd, old->st_uid, old->st_gid) != 0 && fchown(fd, (uid_t)-1, old->st_gid) != 0) {
        // Neither owner nor group could be kept.
    }
    if (fchmod(fd, old->st_mode & 07777) != 0) {
        // The file keeps the mode it was made with.
    }
}

// Where beginSave puts the temporary file for target: beside it. Returns
// 0 with errno ENAMETOOLONG when the name does not fit.
static int tempBeside(const char *target, char *temp, size_t tempBytes)
{
    const char *slash = strrchr(target, '/');
    int dirLength = slash ? (int)(slash - target) + 1 : 0;
    if (snprintf(temp, tempBytes, "%.*s%s", dirLength, target, kTempName) >= (int)tempBytes) {
        errno = ENAMETOOLONG;
        temp[0] = '\0';
        return 0;
    }
    return 1;
}

// Creates the temporary file (a unique name, created only if nothing is
// there: a name planted in advance, a symlink included, is never written
// through) and locks it, so that no other tunevat takes it for one left
// behind. Gives it the old file's owner and mode (hadOld) or 0666 less the
// umask. Returns the descriptor, or -1 with errno set and nothing left.
static int createTemp(char *temp, int hadOld, const struct stat *old)
{
    int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0) return -1;
    int ok = flock(fd, LOCK_EX) == 0;
    if (ok && hadOld) {
        copyOwnerAndMode(fd, old);
    } else if (ok) {
        mode_t mask = umask(0);
        umask(mask);
        ok = fchmod(fd, 0666 & ~mask) == 0;
    }
    if (!ok) {
        int err = errno;
        close(fd);
        unlink(temp);
        errno = err;
        return -1;
    }
    return fd;
}

int beginSave(const char *path, SaveBeside *s)
{
    s->file = nullptr;
    s->temp[0] = '\0';
    holdSignals(&s->oldMask);
    int err = 0;
    struct stat old;
    int hadOld = 0;
    if (!resolveLinks(path, s->target, sizeof s->target)) {
        err = errno;
    } else if (s->target[0] == '\0') {
        err = ENOENT;
    } else if (stat(s->target, &old) == 0) {
        hadOld = 1;
        // Only a regular file is replaced; a directory or a FIFO under the
        // name stays as it is.
        if (!S_ISREG(old.st_mode)) err = S_ISDIR(old.st_mode) ? EISDIR : EINVAL;
    }
    int fd = -1;
    if (err == 0 && !tempBeside(s->target, s->temp, sizeof s->temp)) err = errno;
    if (err == 0 && (fd = createTemp(s->temp, hadOld, &old)) < 0) err = errno;
    if (err == 0 && !(s->file = fdopen(fd, "wb"))) {
        err = errno;
        close(fd);
        unlink(s->temp);
    }
    if (err != 0) {
        s->temp[0] = '\0';
        restoreSignals(&s->oldMask);
        errno = err;
        return 0;
    }
    return 1;
}

int finishSave(SaveBeside *s, int ok)
{
    int err = ok ? 0 : errno;
    if (ok && (fflush(s->file) != 0 || fsync(fileno(s->file)) != 0)) {
        ok = 0;
        err = errno;
    }
    // Renamed while still open, so its lock holds until the name is gone:
    // another tunevat never takes a finished file for one left behind.
    if (ok && rename(s->temp, s->target) != 0) {
        ok = 0;
        err = errno;
    }
    if (ok) syncDirectory(s->target);
    else unlink(s->temp);
    if (fclose(s->file) != 0 && ok) {
        // The file is in place and synced; a close that fails after that
        // has lost nothing.
    }
    s->file = nullptr;
    s->temp[0] = '\0';
    restoreSignals(&s->oldMask);
    errno = err;
    return ok;
}

int removeLeftSaves(const char *path)
{
    char dir[kPathBytes];
    folderOf(path, dir, sizeof dir);
    DIR *d = opendir(dir);
    if (!d) return 0;
    int removed = 0;
    const size_t prefixBytes = sizeof kTempPrefix - 1;
    while (struct dirent *e = readdir(d)) {
        if (strncmp(e->d_name, kTempPrefix, prefixBytes) != 0 ||
            strlen(e->d_name) != prefixBytes + kTempSuffixBytes)
            continue;
        char name[kPathBytes];
        if (snprintf(name, sizeof name, "%s/%s", dir, e->d_name) >= (int)sizeof name) continue;
        // Only a regular file whose lock no running process holds, still
        // under that name once locked.
        int fd = openRegular(name, O_RDONLY | O_NOFOLLOW, 0);
        if (fd < 0) continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && stillNamed(fd, name) && unlink(name) == 0) ++removed;
        close(fd);
    }
    closedir(d);
    if (removed > 0) syncDirectory(path);
    return removed;
}

// What statvfs and statfs ask about: path, or its folder when path does
// not exist (yet).
static void existingPart(const char *path, char *out, size_t outBytes)
{
    struct stat sb;
    if (stat(path, &sb) == 0) snprintf(out, outBytes, "%s", path);
    else folderOf(path, out, outBytes);
}

long long freeBytes(const char *path)
{
    char at[kPathBytes];
    existingPart(path, at, sizeof at);
    struct statvfs v;
    if (statvfs(at, &v) != 0) return -1;
    // Root may also fill the blocks a file system keeps back for it (ext4
    // keeps 5 % by default); every other user stops short of them.
    unsigned long long blocks = geteuid() == 0 ? v.f_bfree : v.f_bavail;
    return (long long)blocks * (long long)v.f_frsize;
}

long long largestFile(const char *path)
{
    char at[kPathBytes];
    existingPart(path, at, sizeof at);
    // Only a file system known to keep sizes in 32 bits caps a file: FAT
    // (msdos and vfat), whose files end one byte short of 4 GiB. Every
    // other type, an unknown one included (tmpfs, overlayfs, NFS, ZFS,
    // FUSE...), is taken at its word: pathconf's _PC_FILESIZEBITS says 32
    // for every type the C library does not know, so it is not asked.
    const long kFatMagic = 0x4d44;   // MSDOS_SUPER_MAGIC
    const long long kFatLargest = 4294967295LL;
    struct statfs f;
    if (statfs(at, &f) != 0) return -1;
    if ((long)f.f_type == kFatMagic) return kFatLargest;
    return LLONG_MAX;
}

int mayWrite(const char *path)
{
    if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0) return 1;
    return errno == ENOENT ? 1 : 0;
}

int stillNamed(int fd, const char *path)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

int sameFileName(const char *a, const char *b)
{
    if (strcmp(a, b) == 0) return 1;
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
