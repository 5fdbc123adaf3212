#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

std::string makeTempDir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tunevat-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return "/tmp";
    }
    return std::string(buf.data());
}

void removeTree(const std::string &dir)
{
    if (dir.size() < 8 || dir.find("tunevat-test-") == std::string::npos) return;
    std::string cmd = "chmod -R u+rwx '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir;
}

void enterScratchDir(std::string *oldCwd, std::string *dir)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    *oldCwd = cwd;
    *dir = makeTempDir();
    ASSERT_EQ(chdir(dir->c_str()), 0);
}

void leaveScratchDir(const std::string &oldCwd, const std::string &dir)
{
    ASSERT_EQ(chdir(oldCwd.c_str()), 0);
    removeTree(dir);
}

std::vector<std::string> listDir(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void withFileSizeLimit(long maxBytes, const std::function<void()> &fn)
{
    struct rlimit old, limited;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    limited = old;
    limited.rlim_cur = (rlim_t)maxBytes;
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    fn();
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    signal(SIGXFSZ, oldHandler);
}

void writeFile(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    fclose(f);
}

std::string readFile(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

bool fileExists(const std::string &path)
{
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}

long long fileSize(const std::string &path)
{
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0) return -1;
    return (long long)sb.st_size;
}

// Sets up the child's environment: HOME, no sound server unless env
// names one, the ALSA configuration, then env.
static void childEnvironment(const std::string &dir, const std::string &alsaConf,
                             const std::vector<std::string> &env)
{
    setenv("HOME", dir.c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("PULSE_SERVER");
    if (!alsaConf.empty()) {
        std::string path = "/usr/share/alsa/alsa.conf:" + alsaConf;
        setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
    }
    for (const std::string &e : env) putenv(strdup(e.c_str()));
}

static void execArgv(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

static int waitStatus(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

RunResult runProgram(const std::string &dir, const std::vector<std::string> &argv,
                     const std::string &input, const std::string &alsaConf, int timeoutSec,
                     const std::vector<std::string> &env)
{
    RunResult r{"", "", -1};
    std::string inPath = dir + "/.stdin", outPath = dir + "/.stdout", errPath = dir + "/.stderr";
    writeFile(inPath, input);
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(inPath.c_str(), O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        childEnvironment(dir, alsaConf, env);
        alarm(timeoutSec);
        execArgv(argv);
    }
    r.status = waitStatus(pid);
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    unlink(inPath.c_str());
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return r;
}

RunResult runTunevat(const std::string &dir, const std::string &input,
                     const std::string &alsaConf, int timeoutSec,
                     const std::vector<std::string> &env)
{
    return runProgram(dir, {TUNEVAT_BIN}, input, alsaConf, timeoutSec, env);
}

// A pseudo-terminal columns wide whose master gets what is written to the
// slave as it is; false when none can be had.
static bool openPty(int columns, int *master, int *slave)
{
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) return false;
    *slave = open(ptsname(*master), O_RDWR | O_NOCTTY);
    if (*slave < 0) return false;
    struct winsize size;
    memset(&size, 0, sizeof size);
    size.ws_row = 24;
    size.ws_col = (unsigned short)columns;
    struct termios t;
    if (ioctl(*slave, TIOCSWINSZ, &size) != 0 || tcgetattr(*slave, &t) != 0) return false;
    t.c_oflag &= ~(tcflag_t)OPOST;
    return tcsetattr(*slave, TCSANOW, &t) == 0;
}

LiveRun startLive(const std::string &dir, const std::vector<std::string> &argv,
                  const std::vector<std::string> &env, int timeoutSec, int columns)
{
    LiveRun run;
    run.dir = dir;
    int fds[2], master = -1, slave = -1;
    if (pipe(fds) != 0 || (columns > 0 && !openPty(columns, &master, &slave))) {
        ADD_FAILURE() << "pipe or terminal: " << strerror(errno);
        return run;
    }
    static int started = 0;
    ++started;
    run.outPath = dir + "/.live-" + std::to_string(started) + "-stdout";
    run.errPath = dir + "/.live-" + std::to_string(started) + "-stderr";
    const std::string &outPath = run.outPath, &errPath = run.errPath;
    fflush(stdout);
    fflush(stderr);
    run.pid = fork();
    if (run.pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(fds[0], 0);
        dup2(columns > 0 ? slave : out, 1);
        dup2(err, 2);
        close(fds[0]);
        close(fds[1]);
        if (columns > 0) close(master);
        childEnvironment(dir, "", env);
        alarm(timeoutSec);
        execArgv(argv);
    }
    if (columns > 0) {
        // Until the program's end closes the terminal (EIO), into a file made first.
        writeFile(outPath, "");
        run.copier = fork();
        if (run.copier == 0) {
            int out = open(outPath.c_str(), O_WRONLY | O_APPEND);
            char buf[65536];
            ssize_t n;
            close(slave);
            close(fds[0]);
            close(fds[1]);   // the program's input ends when the test closes it
            while (out >= 0 && (n = read(master, buf, sizeof buf)) > 0)
                if (write(out, buf, (size_t)n) != n) break;
            _exit(0);
        }
        close(master);
        close(slave);
    }
    close(fds[0]);
    run.input = fds[1];
    // A program that ends early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    return run;
}

void sendLive(LiveRun *run, const std::string &text)
{
    if (run->input < 0) return;
    ssize_t w = write(run->input, text.data(), text.size());
    EXPECT_EQ(w, (ssize_t)text.size()) << "the program no longer reads its input";
}

std::string liveOutput(const LiveRun &run) { return readFile(run.outPath); }

static size_t occurrences(const std::string &s, const std::string &text)
{
    size_t n = 0;
    for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) ++n;
    return n;
}

bool waitForOutput(const LiveRun &run, const std::string &text, int timeoutSec, int count)
{
    // Polled every 20 ms: a bound on the wait, never a measure of it.
    for (long i = 0; i < (long)timeoutSec * 50; ++i) {
        if (occurrences(liveOutput(run), text) >= (size_t)count) return true;
        // Ended (looked at without reaping it): nothing more will come.
        siginfo_t info;
        memset(&info, 0, sizeof info);
        if (waitid(P_PID, (id_t)run.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == run.pid)
            return occurrences(liveOutput(run), text) >= (size_t)count;
        usleep(20000);
    }
    return false;
}

RunResult finishLive(LiveRun *run, int timeoutSec)
{
    RunResult r{"", "", -1};
    if (run->input >= 0) close(run->input);
    run->input = -1;
    if (run->pid > 0) {
        int status = 0;
        pid_t got = 0;
        for (long i = 0; i < (long)timeoutSec * 50 && got == 0; ++i) {
            got = waitpid(run->pid, &status, WNOHANG);
            if (got == 0) usleep(20000);
        }
        if (got == 0) {
            kill(run->pid, SIGKILL);
            waitpid(run->pid, &status, 0);
            ADD_FAILURE() << "the program did not end within " << timeoutSec << " s";
        }
        if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
        else if (WIFSIGNALED(status)) r.status = 128 + WTERMSIG(status);
        run->pid = -1;
    }
    if (run->copier > 0) waitStatus(run->copier);
    run->copier = -1;
    r.out = readFile(run->outPath);
    r.err = readFile(run->errPath);
    return r;
}

int stopLive(LiveRun *run, int sig)
{
    if (run->input >= 0) close(run->input);
    run->input = -1;
    if (run->pid <= 0) return -1;
    kill(run->pid, sig);
    int status = waitStatus(run->pid);
    run->pid = -1;
    if (run->copier > 0) waitStatus(run->copier);
    run->copier = -1;
    return status;
}

// The virtual card's playback half: dir/out.raw, a numbered file for every
// later playback.
static std::string filePlayback(const std::string &dir)
{
    return "  playback.pcm {\n"
           "    type file\n"
           "    slave.pcm \"null\"\n"
           "    file \"" + dir + "/out.raw\"\n"
           "    format \"raw\"\n"
           "    truncate false\n"
           "  }\n";
}

std::string writeVirtualCard(const std::string &dir, const std::string &captureInput)
{
    std::string in = captureInput.empty() ? "/dev/zero" : captureInput;
    std::string body =
        "{\n"
        "  type asym\n" +
        filePlayback(dir) +
        "  capture.pcm {\n"
        "    type file\n"
        "    slave.pcm \"null\"\n"
        "    infile \"" + in + "\"\n"
        "    file \"/dev/null\"\n"
        "    format \"raw\"\n"
        "  }\n"
        "}\n";
    std::string conf = "pcm.!default " + body + "pcm.tvcard " + body;
    std::string path = dir + "/asound.conf";
    writeFile(path, conf);
    return path;
}

std::string writePacedCard(const std::string &dir, const PacedCardOptions &options)
{
    std::string paced = "{\n    type tvpaced\n";
    if (options.rateMax > 0) paced += "    rate_max " + std::to_string(options.rateMax) + "\n";
    if (options.bufferFrames > 0)
        paced += "    buffer_frames " + std::to_string(options.bufferFrames) + "\n";
    if (options.dropSilently) paced += "    drop_silently true\n";
    if (options.startDelayMs > 0)
        paced += "    start_delay_ms " + std::to_string(options.startDelayMs) + "\n";
    if (options.silentFrames > 0)
        paced += "    silent_frames " + std::to_string(options.silentFrames) + "\n";
    if (!options.logPath.empty()) paced += "    log \"" + options.logPath + "\"\n";
    paced += "  }\n";
    std::string card =
        "{\n  type asym\n" + filePlayback(dir) + "  capture.pcm " + paced + "}\n";
    std::string conf = "pcm_type.tvpaced {\n  lib \"" TUNEVAT_PACED_PCM "\"\n}\n" +
                       std::string("pcm.!default ") + card + "pcm.tvcard " + card +
                       "pcm.tvpaced " + paced;
    std::string path = dir + "/asound.conf";
    writeFile(path, conf);
    return path;
}

long long frameIndex(const char *bytes, int bytesPerSample, int channels)
{
    const unsigned char *b = (const unsigned char *)bytes;
    int bits = 8 * bytesPerSample - 1;
    long long index = 0;
    bool silent = true;
    for (int ch = 0; ch < channels; ++ch) {
        unsigned long long v = 0;
        for (int i = bytesPerSample - 1; i >= 0; --i) v = v * 256 + b[ch * bytesPerSample + i];
        if (v != 0) silent = false;
        if ((v & 1) == 0) index = -2;
        if (index >= 0) index |= (long long)(v >> 1) << (bits * ch);
    }
    return silent ? -1 : index;
}

std::string playedBytes(const std::string &dir, int n)
{
    if (n == 0) return readFile(dir + "/out.raw");
    char suffix[16];
    snprintf(suffix, sizeof suffix, ".%04d", n);
    return readFile(dir + "/out.raw" + suffix);
}

int playbackCount(const std::string &dir)
{
    if (!fileExists(dir + "/out.raw")) return 0;
    int n = 1;
    for (;;) {
        char suffix[16];
        snprintf(suffix, sizeof suffix, ".%04d", n);
        if (!fileExists(dir + "/out.raw" + suffix)) return n;
        ++n;
    }
}

static std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static std::string format(const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string bannerText() { return "\nTunevat 1.05 by Anwick\n\n"; }

std::string paramBanner(int channels, unsigned rate, unsigned bits,
                        const std::string &device, const std::string &file)
{
    return "-----------------------------\nCurrent Recording Parameters:\n" +
           format("   Channels: %i\n", channels) + format("   Sample rate: %i\n", (int)rate) +
           format("   Bits: %i\n", (int)bits) + "   Device: " + device + "\n" +
           "   File: " + file + "\n" + "-----------------------------\n\n";
}

std::string promptText(const std::vector<std::string> &tracks, float in, float out,
                       float dur, const std::string &name, bool hidden)
{
    std::string s;
    if (!hidden) {
        s += "\nTrack List:\n";
        for (size_t i = 0; i < tracks.size(); ++i) s += format("\t%i ", (int)i + 1) + tracks[i] + "\n";
        s += "\n";
    }
    s += format("Playback:\tIn %.2f\t\tOut %.2f\n", in, out);
    s += format("Recording: \tDur %.2f\tFilename: ", dur) + name + "\n";
    return s;
}

std::string firstStartText(const std::string &listName)
{
    return bannerText() + "Enter the name of a new or existing wavefile list:\n" +
           paramBanner(2, 44100, 16, "default", "") + "Creating a new list: " + listName + "\n" +
           "Type h at any time to get a list of commands\n";
}

std::string wavBytes(unsigned rate, unsigned channels, unsigned bits, const std::string &data)
{
    auto le = [](unsigned long v, int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += (char)((v >> (8 * i)) & 0xff);
        return s;
    };
    unsigned bps = bits / 8;
    std::string h = "RIFF" + le(data.size() + 36, 4) + "WAVE" + "fmt " + le(16, 4) + le(1, 2) +
                    le(channels, 2) + le(rate, 4) + le(rate * channels * bps, 4) +
                    le(channels * bps, 2) + le(bps * 8, 2) + "data" + le(data.size(), 4);
    return h + data;
}

std::string patternBytes(long n, unsigned seed)
{
    std::string s((size_t)n, '\0');
    unsigned x = seed * 2654435761u + 12345u;
    for (long i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[(size_t)i] = (char)(x >> 16);
    }
    return s;
}
