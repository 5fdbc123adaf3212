// Opening only regular files, and saving beside the old file and renaming.
#include "files/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Symlinks followed before a name is taken as a loop, as the kernel does.
static const int kMaxLinks = 40;
// The temporary file's name beside the target; mkstemp fills in the Xs.
static const char kTempName[] = ".tunevat-XXXXXX";

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

void syncDirectory(const char *path)
{
    char dir[kPathBytes];
    const char *slash = strrchr(path, '/');
    if (!slash) {
        strcpy(dir, ".");
    } else if (slash == path) {
        strcpy(dir, "/");
    } else {
        snprintf(dir, sizeof dir, "%.*s", (int)(slash - path), path);
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

static void holdSignals(sigset_t *oldMask)
{
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, oldMask);
}

int beginSave(const char *path, SaveBeside *s)
{
    s->file = nullptr;
    s->temp[0] = '\0';
    holdSignals(&s->oldMask);
    int fd = -1;
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
    if (err == 0) {
        const char *slash = strrchr(s->target, '/');
        int dirLength = slash ? (int)(slash - s->target) + 1 : 0;
        if (snprintf(s->temp, sizeof s->temp, "%.*s%s", dirLength, s->target, kTempName) >=
            (int)sizeof s->temp) {
            err = ENAMETOOLONG;
            s->temp[0] = '\0';
        }
    }
    if (err == 0) {
        // A unique name, created only if nothing is there (O_EXCL): a name
        // planted in advance, a symlink included, is never written through.
        fd = mkostemp(s->temp, O_CLOEXEC);
        if (fd < 0) {
            err = errno;
            s->temp[0] = '\0';
        }
    }
    if (err == 0) {
        mode_t mode;
        if (hadOld) {
            // Owner first: a change of owner may clear the set-id bits that
            // the mode then puts back. Where the program may not give the
            // file away, it stays the user's own.
            if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
                fchown(fd, old.st_uid, old.st_gid) != 0) {
                if (fchown(fd, (uid_t)-1, old.st_gid) != 0) {
                    // Neither owner nor group could be kept.
                }
            }
            mode = old.st_mode & 07777;
        } else {
            mode_t mask = umask(0);
            umask(mask);
            mode = 0666 & ~mask;
        }
        if (fchmod(fd, mode) != 0 || !(s->file = fdopen(fd, "wb"))) err = errno;
    }
    if (err != 0) {
        if (fd >= 0) close(fd);
        if (s->temp[0]) unlink(s->temp);
        s->temp[0] = '\0';
        sigprocmask(SIG_SETMASK, &s->oldMask, nullptr);
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
    if (fclose(s->file) != 0 && ok) {
        ok = 0;
        err = errno;
    }
    s->file = nullptr;
    if (ok && rename(s->temp, s->target) != 0) {
        ok = 0;
        err = errno;
    }
    if (ok) {
        syncDirectory(s->target);
    } else {
        unlink(s->temp);
    }
    s->temp[0] = '\0';
    sigprocmask(SIG_SETMASK, &s->oldMask, nullptr);
    errno = err;
    return ok;
}

int mayWrite(const char *path)
{
    if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0) return 1;
    return errno == ENOENT ? 1 : 0;
}

int sameFileName(const char *a, const char *b)
{
    if (strcmp(a, b) == 0) return 1;
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
