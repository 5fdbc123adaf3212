// Helpers shared by the WAV room's tests: a scratch directory, hex dumps,
// captured standard output, and running a call as if the disk were full.
#ifndef TUNEVAT_TESTS_UNIT_WAV_UTIL_H
#define TUNEVAT_TESTS_UNIT_WAV_UTIL_H

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

namespace wavtest {

inline std::string hex(const std::string &bytes)
{
    std::string s;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, s.empty() ? "%02x" : " %02x", c);
        s += b;
    }
    return s;
}

// Little-endian bytes of v, n of them.
inline std::string le(unsigned long long v, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i) s += (char)((v >> (8 * i)) & 0xff);
    return s;
}

// n bytes of the file at path from offset on (fewer at its end): a window
// of a file too big to read whole.
inline std::string readAt(const std::string &path, long long offset, size_t n)
{
    std::string s(n, '\0');
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return "";
    if (fseeko(f, (off_t)offset, SEEK_SET) != 0) n = 0;
    s.resize(n ? fread(&s[0], 1, n, f) : 0);
    fclose(f);
    return s;
}

// Writes bytes at offset of the file at path, which must exist.
inline bool writeAt(const std::string &path, long long offset, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "rb+");
    if (!f) return false;
    bool ok = fseeko(f, (off_t)offset, SEEK_SET) == 0 && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// Bytes free for an unprivileged writer on the file system of dir; -1 when
// it cannot be told.
inline long long freeBytes(const std::string &dir)
{
    struct statvfs sv;
    if (statvfs(dir.c_str(), &sv) != 0) return -1;
    return (long long)sv.f_bavail * (long long)sv.f_frsize;
}

// A canonical 44-byte header for dataBytes of audio (the sizes as
// unsigned 32-bit values), made by hand.
inline std::string riffHeader(unsigned rate, unsigned channels, unsigned bits, unsigned long long dataBytes)
{
    unsigned align = channels * (bits / 8);
    return "RIFF" + le((unsigned long)(dataBytes + 36), 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(channels, 2) +
           le(rate, 4) + le(rate * align, 4) + le(align, 2) + le(bits, 2) + "data" + le((unsigned long)dataBytes, 4);
}

struct Scratch {
    std::string dir = makeTempDir();
    ~Scratch() { removeTree(dir); }
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

inline void startCapture() { testing::internal::CaptureStdout(); }
inline std::string endCapture() { return testing::internal::GetCapturedStdout(); }

// Runs fn(arg) in a child process after prepare (which returns false
// when the child cannot be set up), and returns fn's result with the
// child's standard output in *out.
inline int inChild(bool (*prepare)(long), long setting, std::string *out, int (*fn)(void *),
                   void *arg)
{
    int fds[2];
    if (pipe(fds) != 0) return -1;
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        if (!prepare(setting)) _exit(98);
        int r = fn(arg);
        fflush(stdout);
        _exit(r);
    }
    close(fds[1]);
    out->clear();
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out->append(buf, (size_t)n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Files may not grow past limit bytes, as on a full disk.
inline bool limitFileSize(long limit)
{
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = (rlim_t)limit;
    return setrlimit(RLIMIT_FSIZE, &rl) == 0;
}

// Runs fn in a child whose files may not grow past limit bytes (writes
// beyond it fail). Returns fn's result and leaves the child's standard
// output in *out.
inline int withFileSizeLimit(long limit, std::string *out, int (*fn)(void *), void *arg)
{
    return inChild(limitFileSize, limit, out, fn, arg);
}

}  // namespace wavtest

#endif
