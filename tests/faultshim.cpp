// Fault injection for the end-to-end tests, loaded into tunevat with
// LD_PRELOAD. It stands between the program and the C library's file
// calls and makes chosen ones fail, or makes a file vanish at a chosen
// moment. Nothing happens unless its variables are set:
//
//   TV_FAULT_DENY=<pattern>    an fopen for writing or updating (mode with
//                              'w', 'a' or '+'), an open for writing, or an
//                              mkstemp or mkostemp whose file name (the part
//                              after the last '/') matches the shell pattern
//                              fails with EACCES, as in a directory the user
//                              may not write to.
//   TV_FAULT_RENAME=<pattern>  a rename onto a name that matches fails with
//                              EIO, as when the disk fails at the last step
//                              of a save.
//   TV_FAULT_VANISH=<path>     removed the first time a file whose name
//                              matches TV_FAULT_VANISH_ON is opened, with
//                              success, in the mode TV_FAULT_VANISH_MODE.
//                              An open(2) counts in the mode fopen would
//                              name its flags ("rb", "rb+", "wb", "ab"),
//                              with a 'c' added when it may create the file
//                              without emptying it ("rb+c").
//
// Disk-full faults are not made here: the C library's own streams write
// through internal calls that a preloaded library cannot see, so the
// tests fill a small file system instead.

#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <cstdarg>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {

static const char *baseName(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

static int matches(const char *var, const char *path)
{
    const char *pattern = getenv(var);
    return pattern && *pattern && path && fnmatch(pattern, baseName(path), 0) == 0;
}

static int writes(const char *mode)
{
    return mode && (strchr(mode, 'w') || strchr(mode, 'a') || strchr(mode, '+'));
}

static void maybeVanish(const char *path, const char *mode)
{
    static int done = 0;
    const char *victim = getenv("TV_FAULT_VANISH");
    const char *when = getenv("TV_FAULT_VANISH_MODE");
    if (done || !victim || !*victim || !matches("TV_FAULT_VANISH_ON", path)) return;
    if (when && *when && (!mode || strcmp(when, mode) != 0)) return;
    done = 1;
    unlink(victim);
}

typedef FILE *(*FopenFn)(const char *, const char *);
typedef int (*MkstempFn)(char *);
typedef int (*MkostempFn)(char *, int);
typedef int (*RenameFn)(const char *, const char *);

static FILE *openWith(const char *symbol, const char *path, const char *mode)
{
    FopenFn real = (FopenFn)dlsym(RTLD_NEXT, symbol);
    if (writes(mode) && matches("TV_FAULT_DENY", path)) {
        errno = EACCES;
        return nullptr;
    }
    FILE *f = real(path, mode);
    if (f) maybeVanish(path, mode);
    return f;
}

// The fopen mode that matches open(2) flags, as TV_FAULT_VANISH_MODE names it.
static const char *modeOf(int flags)
{
    int access = flags & O_ACCMODE;
    if (access == O_RDONLY) return "rb";
    if (flags & O_APPEND) return access == O_RDWR ? "ab+" : "ab";
    if (flags & O_TRUNC) return access == O_RDWR ? "wb+" : "wb";
    if (access == O_RDWR) return (flags & O_CREAT) ? "rb+c" : "rb+";
    return (flags & O_CREAT) ? "wbc" : "wb-";
}

typedef int (*OpenFn)(const char *, int, ...);

static int openFlagsWith(const char *symbol, const char *path, int flags, mode_t mode)
{
    OpenFn real = (OpenFn)dlsym(RTLD_NEXT, symbol);
    const char *m = modeOf(flags);
    if (writes(m) && matches("TV_FAULT_DENY", path)) {
        errno = EACCES;
        return -1;
    }
    int fd = real(path, flags, mode);
    if (fd >= 0) maybeVanish(path, m);
    return fd;
}

int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    return openFlagsWith("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    return openFlagsWith("open64", path, flags, mode);
}

FILE *fopen(const char *path, const char *mode)
{
    return openWith("fopen", path, mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    return openWith("fopen64", path, mode);
}

static int mkstempWith(const char *symbol, char *tmpl)
{
    MkstempFn real = (MkstempFn)dlsym(RTLD_NEXT, symbol);
    if (matches("TV_FAULT_DENY", tmpl)) {
        errno = EACCES;
        return -1;
    }
    return real(tmpl);
}

int mkstemp(char *tmpl)
{
    return mkstempWith("mkstemp", tmpl);
}

int mkstemp64(char *tmpl)
{
    return mkstempWith("mkstemp64", tmpl);
}

static int mkostempWith(const char *symbol, char *tmpl, int flags)
{
    MkostempFn real = (MkostempFn)dlsym(RTLD_NEXT, symbol);
    if (matches("TV_FAULT_DENY", tmpl)) {
        errno = EACCES;
        return -1;
    }
    return real(tmpl, flags);
}

int mkostemp(char *tmpl, int flags)
{
    return mkostempWith("mkostemp", tmpl, flags);
}

int mkostemp64(char *tmpl, int flags)
{
    return mkostempWith("mkostemp64", tmpl, flags);
}

int rename(const char *from, const char *to)
{
    RenameFn real = (RenameFn)dlsym(RTLD_NEXT, "rename");
    if (matches("TV_FAULT_RENAME", to)) {
        errno = EIO;
        return -1;
    }
    return real(from, to);
}

}  // extern "C"
