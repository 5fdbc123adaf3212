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
//   TV_FAULT_READONLY=<pattern> a check for the right to write (access,
//                              faccessat) on a matching name says EACCES,
//                              as for a file of mode 444 and another
//                              owner; with TV_FAULT_READONLY_AFTER=<n> only
//                              from the (n+1)-th such check on.
//   TV_FAULT_KILL_ON=<pattern> the process kills itself (SIGKILL) while
//                              writing a matching file: once the bytes
//                              handed to fwrite, pwrite, pwritev or
//                              copy_file_range for such files reach
//                              TV_FAULT_KILL_BYTES,
//                              or just before (TV_FAULT_KILL_RENAME=before)
//                              or after (=after) such a file is renamed.
//
//   TV_FAULT_SLOW_WRITE=<n>:<ms>
//                              the n-th pwrite or pwritev (counted from 1)
//                              to a file that TV_FAULT_SLOW_ON matches
//                              takes ms milliseconds, as on a disk that
//                              stalls; with TV_FAULT_SLOW_LOG=<path>, the
//                              line "slow" is added to that file when it
//                              does.
//
//   TV_FAULT_INSERT=<errno>    fallocate's inserts (FALLOC_FL_INSERT_RANGE)
//                              fail with that errno, as on a file system
//                              that cannot insert a block (95, EOPNOTSUPP).
//   TV_FAULT_FULL_ON=<pattern> once a range was inserted into a matching
//                              file, a pwrite(v) or copy_file_range to one
//                              that needs a block it lacks (past its end,
//                              in a hole) fails with ENOSPC.
//   TV_FAULT_KILL_AFTER_INSERT=<n>
//                              once a range was inserted into a file that
//                              TV_FAULT_KILL_ON matches, SIGKILL just
//                              before its n-th pwrite(v) or copy_file_range
//                              (1: right after).
//
//   TV_FAULT_COPY_RANGE=<errno>
//                              every copy_file_range fails with that
//                              errno, as between files the kernel cannot
//                              copy (another file system, an old kernel).
//
//   TV_FAULT_PCM_READ=<from>:<errno>[:<count>]
//   TV_FAULT_PCM_WRITE=<from>:<errno>[:<count>]
//                              the program's ALSA reads (snd_pcm_readn,
//                              snd_pcm_readi) or writes (snd_pcm_writei),
//                              counted from 1, fail from number from on
//                              with -errno, count times (every time when
//                              count is missing), without touching the
//                              device; the others go through.
//   TV_FAULT_PCM_COUNT=<path>  the numbers of snd_pcm_readn, snd_pcm_readi
//                              and snd_pcm_writei calls the program made
//                              are written there ("N I W") at each call.
//   TV_FAULT_PCM_INTERLEAVED_ONLY=1
//                              the program's requests for non-interleaved
//                              access are refused, as a sound server's
//                              plugin refuses them.
//   TV_FAULT_PCM_CHANNEL_BUFFERS_ONLY=1
//                              the program's requests for interleaved
//                              access are refused, as from a card that
//                              fills channel buffers only.
//   TV_FAULT_PCM_RATE=<rate>   the program's requests for a rate get this
//                              one, as from a card that runs at it only.
//   TV_FAULT_PCM_CHANNELS=<n>  the program's requests for channels ask for
//                              n instead, as from a card that has n only.
//   TV_FAULT_PCM_OPEN_SIGNAL=<n>:<signal>
//                              the process sends itself the signal just
//                              before its n-th snd_pcm_open (counted from
//                              1), as a user's Ctrl-C that comes while a
//                              device opens, between two tracks of a list.
//
// Disk-full faults of streams are not made here: the C library's own
// streams write through internal calls that a preloaded library cannot
// see, so the tests fill a small file system instead.

#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
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

static int deniedWrite(const char *path, int how)
{
    static int checks = 0;
    if (!(how & W_OK) || !matches("TV_FAULT_READONLY", path)) return 0;
    const char *after = getenv("TV_FAULT_READONLY_AFTER");
    return checks++ >= (after ? atoi(after) : 0);
}

typedef int (*AccessFn)(const char *, int);
typedef int (*FaccessatFn)(int, const char *, int, int);

int access(const char *path, int how)
{
    if (deniedWrite(path, how)) {
        errno = EACCES;
        return -1;
    }
    return ((AccessFn)dlsym(RTLD_NEXT, "access"))(path, how);
}

int faccessat(int dir, const char *path, int how, int flags)
{
    if (deniedWrite(path, how)) {
        errno = EACCES;
        return -1;
    }
    return ((FaccessatFn)dlsym(RTLD_NEXT, "faccessat"))(dir, path, how, flags);
}

// Does the descriptor name a file that the pattern in var matches?
static int fdMatches(const char *var, int fd)
{
    if (!getenv(var)) return 0;
    char link[64], name[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, name, sizeof name - 1);
    if (n <= 0) return 0;
    name[n] = '\0';
    return matches(var, name);
}

static int killTarget(int fd) { return fdMatches("TV_FAULT_KILL_ON", fd); }

// Set once a range was inserted into a file TV_FAULT_FULL_ON matches, and
// into one TV_FAULT_KILL_ON matches; the writes to the latter since.
static int fullDisk = 0, killInserted = 0;
static long writesSinceInsert = 0;

// Whether n bytes at pos of fd need a block the file does not have: past
// its end, or in a hole. The file offset is left where it was.
static int needsBlock(int fd, off_t pos, size_t n)
{
    struct stat sb;
    if (fstat(fd, &sb) != 0) return 0;
    off_t end = pos + (off_t)n;
    if (end > sb.st_size) return 1;
    off_t here = lseek(fd, 0, SEEK_CUR);
    off_t hole = lseek(fd, pos, SEEK_HOLE);
    if (here >= 0) lseek(fd, here, SEEK_SET);
    return hole >= 0 && hole < end;
}

// Before a write of n bytes at pos to fd: dies if it is the one
// TV_FAULT_KILL_AFTER_INSERT names; 1 (errno ENOSPC) if the disk is full.
static int refused(int fd, off_t pos, size_t n)
{
    const char *nth = getenv("TV_FAULT_KILL_AFTER_INSERT");
    if (killInserted && nth && killTarget(fd) && ++writesSinceInsert == atol(nth))
        kill(getpid(), SIGKILL);
    if (fullDisk && n > 0 && fdMatches("TV_FAULT_FULL_ON", fd) && needsBlock(fd, pos, n)) {
        errno = ENOSPC;
        return 1;
    }
    return 0;
}

// The bytes of an iovec array.
static size_t iovBytes(const struct iovec *iov, int count)
{
    size_t n = 0;
    for (int i = 0; i < count; ++i) n += iov[i].iov_len;
    return n;
}

typedef int (*FallocateFn)(int, int, off_t, off_t);

static int fallocateWith(const char *symbol, int fd, int mode, off_t pos, off_t n)
{
    const char *fail = getenv("TV_FAULT_INSERT");
    if ((mode & FALLOC_FL_INSERT_RANGE) && fail && *fail) {
        errno = atoi(fail);
        return -1;
    }
    int r = ((FallocateFn)dlsym(RTLD_NEXT, symbol))(fd, mode, pos, n);
    if (r == 0 && (mode & FALLOC_FL_INSERT_RANGE)) {
        if (fdMatches("TV_FAULT_FULL_ON", fd)) fullDisk = 1;
        if (killTarget(fd)) killInserted = 1;
    }
    return r;
}

int fallocate(int fd, int mode, off_t pos, off_t n)
{
    return fallocateWith("fallocate", fd, mode, pos, n);
}

int fallocate64(int fd, int mode, off_t pos, off_t n)
{
    return fallocateWith("fallocate64", fd, mode, pos, n);
}

// Counts bytes written to the matching files; dies once they reach the
// limit, as a power cut or kill -9 would end the program.
static void wrote(int fd, long long n)
{
    static long long total = 0;
    const char *limit = getenv("TV_FAULT_KILL_BYTES");
    if (n <= 0 || !limit || !killTarget(fd)) return;
    total += n;
    if (total >= atoll(limit)) kill(getpid(), SIGKILL);
}

typedef size_t (*FwriteFn)(const void *, size_t, size_t, FILE *);
typedef ssize_t (*PwriteFn)(int, const void *, size_t, off_t);
typedef ssize_t (*CopyRangeFn)(int, off_t *, int, off_t *, size_t, unsigned int);

size_t fwrite(const void *buf, size_t size, size_t count, FILE *f)
{
    size_t r = ((FwriteFn)dlsym(RTLD_NEXT, "fwrite"))(buf, size, count, f);
    wrote(fileno(f), (long long)(r * size));
    return r;
}

// Sleeps through the write TV_FAULT_SLOW_WRITE names.
static void maybeSlow(int fd)
{
    static long writes = 0;
    const char *slow = getenv("TV_FAULT_SLOW_WRITE");
    long at = 0, ms = 0;
    if (!slow || sscanf(slow, "%ld:%ld", &at, &ms) != 2) return;
    char link[64], name[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, name, sizeof name - 1);
    if (n <= 0) return;
    name[n] = '\0';
    if (!matches("TV_FAULT_SLOW_ON", name) || ++writes != at) return;
    usleep((useconds_t)ms * 1000);
    const char *log = getenv("TV_FAULT_SLOW_LOG");
    int out = log ? ((OpenFn)dlsym(RTLD_NEXT, "open"))(log, O_WRONLY | O_CREAT | O_APPEND, 0644) : -1;
    if (out >= 0) {
        if (write(out, "slow\n", 5) != 5) {
        }
        close(out);
    }
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t pos)
{
    maybeSlow(fd);
    if (refused(fd, pos, n)) return -1;
    ssize_t r = ((PwriteFn)dlsym(RTLD_NEXT, "pwrite"))(fd, buf, n, pos);
    wrote(fd, r);
    return r;
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off_t pos)
{
    maybeSlow(fd);
    if (refused(fd, pos, n)) return -1;
    ssize_t r = ((PwriteFn)dlsym(RTLD_NEXT, "pwrite64"))(fd, buf, n, pos);
    wrote(fd, r);
    return r;
}

typedef ssize_t (*PwritevFn)(int, const struct iovec *, int, off_t);

ssize_t pwritev(int fd, const struct iovec *iov, int count, off_t pos)
{
    maybeSlow(fd);
    if (refused(fd, pos, iovBytes(iov, count))) return -1;
    ssize_t r = ((PwritevFn)dlsym(RTLD_NEXT, "pwritev"))(fd, iov, count, pos);
    wrote(fd, r);
    return r;
}

ssize_t pwritev64(int fd, const struct iovec *iov, int count, off_t pos)
{
    maybeSlow(fd);
    if (refused(fd, pos, iovBytes(iov, count))) return -1;
    ssize_t r = ((PwritevFn)dlsym(RTLD_NEXT, "pwritev64"))(fd, iov, count, pos);
    wrote(fd, r);
    return r;
}

ssize_t copy_file_range(int in, off_t *inAt, int out, off_t *outAt, size_t n, unsigned int flags)
{
    const char *fail = getenv("TV_FAULT_COPY_RANGE");
    if (fail && *fail) {
        errno = atoi(fail);
        return -1;
    }
    if (refused(out, outAt ? *outAt : lseek(out, 0, SEEK_CUR), n)) return -1;
    ssize_t r = ((CopyRangeFn)dlsym(RTLD_NEXT, "copy_file_range"))(in, inAt, out, outAt, n, flags);
    wrote(out, r);
    return r;
}

int rename(const char *from, const char *to)
{
    if (matches("TV_FAULT_RENAME", to)) {
        errno = EIO;
        return -1;
    }
    const char *when = getenv("TV_FAULT_KILL_RENAME");
    int hit = when && matches("TV_FAULT_KILL_ON", from);
    if (hit && strcmp(when, "before") == 0) kill(getpid(), SIGKILL);
    int r = ((RenameFn)dlsym(RTLD_NEXT, "rename"))(from, to);
    if (hit && strcmp(when, "after") == 0) kill(getpid(), SIGKILL);
    return r;
}

// --- ALSA reads and writes. Only the program's own calls count: calls
// that one plugin makes into another inside the library go through.

static int pcmDepth = 0;
static long readnCalls = 0, readiCalls = 0, writeiCalls = 0;

// Should this call (number n of its kind) fail, and with what?
static int pcmFault(const char *var, long n)
{
    const char *fault = getenv(var);
    if (!fault || !*fault) return 0;
    long from = 0, err = 0, count = -1;
    if (sscanf(fault, "%ld:%ld:%ld", &from, &err, &count) < 2) return 0;
    if (n < from || (count >= 0 && n >= from + count)) return 0;
    return (int)err;
}

static void countPcmCall(long *calls)
{
    ++*calls;
    const char *path = getenv("TV_FAULT_PCM_COUNT");
    if (!path || !*path) return;
    typedef FILE *(*RealFopen)(const char *, const char *);
    RealFopen real = (RealFopen)dlsym(RTLD_NEXT, "fopen");
    FILE *f = real(path, "w");
    if (!f) return;
    fprintf(f, "%ld %ld %ld\n", readnCalls, readiCalls, writeiCalls);
    fclose(f);
}

typedef long (*PcmReadN)(void *, void **, unsigned long);
typedef long (*PcmReadI)(void *, void *, unsigned long);
typedef long (*PcmWriteI)(void *, const void *, unsigned long);

static long pcmReads = 0, pcmWrites = 0;

long snd_pcm_readn(void *pcm, void **bufs, unsigned long size)
{
    PcmReadN real = (PcmReadN)dlsym(RTLD_NEXT, "snd_pcm_readn");
    if (pcmDepth == 0) {
        countPcmCall(&readnCalls);
        int err = pcmFault("TV_FAULT_PCM_READ", ++pcmReads);
        if (err) return -err;
    }
    ++pcmDepth;
    long r = real(pcm, bufs, size);
    --pcmDepth;
    return r;
}

long snd_pcm_readi(void *pcm, void *buf, unsigned long size)
{
    PcmReadI real = (PcmReadI)dlsym(RTLD_NEXT, "snd_pcm_readi");
    if (pcmDepth == 0) {
        countPcmCall(&readiCalls);
        int err = pcmFault("TV_FAULT_PCM_READ", ++pcmReads);
        if (err) return -err;
    }
    ++pcmDepth;
    long r = real(pcm, buf, size);
    --pcmDepth;
    return r;
}

long snd_pcm_writei(void *pcm, const void *buf, unsigned long size)
{
    PcmWriteI real = (PcmWriteI)dlsym(RTLD_NEXT, "snd_pcm_writei");
    if (pcmDepth == 0) {
        countPcmCall(&writeiCalls);
        int err = pcmFault("TV_FAULT_PCM_WRITE", ++pcmWrites);
        if (err) return -err;
    }
    ++pcmDepth;
    long r = real(pcm, buf, size);
    --pcmDepth;
    return r;
}

typedef int (*PcmOpen)(void **, const char *, int, int);

static long pcmOpens = 0;

int snd_pcm_open(void **pcm, const char *name, int stream, int mode)
{
    PcmOpen real = (PcmOpen)dlsym(RTLD_NEXT, "snd_pcm_open");
    long at = 0, sig = 0;
    const char *when = getenv("TV_FAULT_PCM_OPEN_SIGNAL");
    if (pcmDepth == 0 && when && sscanf(when, "%ld:%ld", &at, &sig) == 2 && ++pcmOpens == at)
        kill(getpid(), (int)sig);
    ++pcmDepth;
    int r = real(pcm, name, stream, mode);
    --pcmDepth;
    return r;
}

typedef int (*SetAccess)(void *, void *, int);

int snd_pcm_hw_params_set_access(void *pcm, void *params, int access)
{
    SetAccess real = (SetAccess)dlsym(RTLD_NEXT, "snd_pcm_hw_params_set_access");
    // 3 is SND_PCM_ACCESS_RW_INTERLEAVED, 4 SND_PCM_ACCESS_RW_NONINTERLEAVED.
    const char *only = getenv("TV_FAULT_PCM_INTERLEAVED_ONLY");
    if (pcmDepth == 0 && only && *only == '1' && access == 4) return -EINVAL;
    const char *halves = getenv("TV_FAULT_PCM_CHANNEL_BUFFERS_ONLY");
    if (pcmDepth == 0 && halves && *halves == '1' && access == 3) return -EINVAL;
    return real(pcm, params, access);
}

typedef int (*SetRateNear)(void *, void *, unsigned int *, int *);

int snd_pcm_hw_params_set_rate_near(void *pcm, void *params, unsigned int *rate, int *dir)
{
    SetRateNear real = (SetRateNear)dlsym(RTLD_NEXT, "snd_pcm_hw_params_set_rate_near");
    const char *only = getenv("TV_FAULT_PCM_RATE");
    if (pcmDepth == 0 && only && *only) *rate = (unsigned int)strtoul(only, nullptr, 10);
    return real(pcm, params, rate, dir);
}

typedef int (*SetChannels)(void *, void *, unsigned int);

int snd_pcm_hw_params_set_channels(void *pcm, void *params, unsigned int channels)
{
    SetChannels real = (SetChannels)dlsym(RTLD_NEXT, "snd_pcm_hw_params_set_channels");
    const char *only = getenv("TV_FAULT_PCM_CHANNELS");
    if (pcmDepth == 0 && only && *only) channels = (unsigned int)strtoul(only, nullptr, 10);
    return real(pcm, params, channels);
}

}  // extern "C"
