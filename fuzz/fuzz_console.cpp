// Feeds arbitrary word streams to the whole console: start-up, the command
// loop and every command, with recordings and playbacks going through
// the real ALSA library to a virtual sound card (capture from a small raw
// file, playback into /dev/null). Every input starts in an empty scratch
// directory, so what one input saved never steers the next.
//
// Inputs are kept to what cannot reach outside the scratch directory or
// run for long: no '/' (every file name stays relative to the scratch
// directory), and no number above 30 unless it is a usual sample rate
// (a take of rate x duration frames at the card's unpaced speed stays
// short). Files are capped at 8 MiB with RLIMIT_FSIZE; a write past the cap
// fails as on a full disk, which the program must survive too.
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console/console.h"

namespace {

ConsoleState state;
std::string base;   // scratch root: capture file, config, input
std::string work;   // the program's working directory, emptied per input

void writeBytes(const std::string &path, const char *bytes, size_t n)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (n > 0 && fwrite(bytes, 1, n, f) != n) abort();
    fclose(f);
}

// A second of a stereo 16-bit sawtooth, so peaks and playback see real
// sample values.
void writeCaptureInput(const std::string &path)
{
    static char bytes[44100 * 4];
    for (int i = 0; i < 44100; i++) {
        int v = (i * 37) % 65536 - 32768;
        bytes[4 * i] = (char)(v & 0xff);
        bytes[4 * i + 1] = (char)((v >> 8) & 0xff);
        bytes[4 * i + 2] = (char)((-v / 3) & 0xff);
        bytes[4 * i + 3] = (char)(((-v / 3) >> 8) & 0xff);
    }
    writeBytes(path, bytes, sizeof bytes);
}

void writeCardConfig(const std::string &path, const std::string &capture)
{
    std::string body = "{\n type asym\n"
                       " playback.pcm { type file slave.pcm \"null\" file \"/dev/null\" format \"raw\" }\n"
                       " capture.pcm { type file slave.pcm \"null\" infile \"" +
                       capture + "\" file \"/dev/null\" format \"raw\" }\n}\n";
    std::string conf = "pcm.!default " + body + "pcm.tvcard " + body;
    writeBytes(path, conf.data(), conf.size());
}

void emptyWorkDir()
{
    DIR *d = opendir(".");
    if (!d) abort();
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if (unlink(e->d_name) != 0) abort();   // the program makes no directories
    }
    closedir(d);
}

bool usualRate(double v)
{
    static const double rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};
    for (double r : rates) {
        if (v == r) return true;
    }
    return false;
}

// A number may start wherever a word or an earlier number ended, so every
// position that does not continue a run of digits is a possible start.
bool acceptable(const char *text, size_t n)
{
    if (memchr(text, '/', n)) return false;
    for (size_t i = 0; i < n; i++) {
        if (i > 0 && text[i - 1] >= '0' && text[i - 1] <= '9') continue;
        char *end = nullptr;
        double v = strtod(text + i, &end);
        if (end != text + i && !(std::fabs(v) <= 30.0) && !usualRate(v) && !std::isnan(v))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/tunevat-fuzz-XXXXXX";
    if (!mkdtemp(&tmpl[0])) abort();
    base = tmpl;
    work = base + "/run";
    std::string capture = base + "/in.raw";
    writeCaptureInput(capture);
    writeCardConfig(base + "/asound.conf", capture);
    std::string configPath = "/usr/share/alsa/alsa.conf:" + base + "/asound.conf";
    setenv("ALSA_CONFIG_PATH", configPath.c_str(), 1);
    if (mkdir(work.c_str(), 0700) != 0 || chdir(work.c_str()) != 0) abort();

    struct rlimit cap = {8 << 20, 8 << 20};
    setrlimit(RLIMIT_FSIZE, &cap);
    signal(SIGXFSZ, SIG_IGN);
    // What the program prints is not under test here, only that it
    // neither crashes nor overruns.
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A NUL-terminated copy, so that the number scan stops at the end.
    std::string text((const char *)data, size);
    if (!acceptable(text.c_str(), text.size())) return 0;
    emptyWorkDir();
    std::string input = base + "/input.txt";
    writeBytes(input, text.data(), text.size());
    if (!freopen(input.c_str(), "r", stdin)) abort();
    memset(&state, 0, sizeof state);
    runConsole(&state);
    fflush(stdout);
    return 0;
}
