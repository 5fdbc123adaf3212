// Test helpers: scratch directories, files, running the built tunevat
// binary with scripted standard input, a virtual sound card made from
// ALSA's own file and null plugins, and the console's fixed texts.
#ifndef TUNEVAT_TESTS_HARNESS_H
#define TUNEVAT_TESTS_HARNESS_H

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// A fresh empty directory under $TMPDIR (or /tmp); removed by
// removeTree when the test is done with it.
std::string makeTempDir();
void removeTree(const std::string &dir);
// Makes a scratch directory and changes into it, remembering the old one;
// leaveScratchDir changes back and removes it.
void enterScratchDir(std::string *oldCwd, std::string *dir);
void leaveScratchDir(const std::string &oldCwd, const std::string &dir);

void writeFile(const std::string &path, const std::string &bytes);
std::string readFile(const std::string &path);
bool fileExists(const std::string &path);
long long fileSize(const std::string &path);   // -1 when missing
// The names in a directory, dot files included (not . and ..), sorted.
std::vector<std::string> listDir(const std::string &dir);

struct RunResult {
    std::string out;   // standard output
    std::string err;   // standard error
    int status;        // exit status, or 128 + signal number
};

// Runs tunevat in dir with input as its standard input. alsaConf, when
// not empty, is an ALSA configuration file read after the system's
// alsa.conf. HOME is set to dir. No sound server is reachable (the
// runtime folder and server address of the caller's environment are
// dropped), so "default" stays the virtual card; env (NAME=value words)
// is set last and may give it one. The run is killed after timeoutSec
// seconds (a spinning program then shows as status 128 + SIGALRM).
RunResult runTunevat(const std::string &dir, const std::string &input,
                     const std::string &alsaConf = "", int timeoutSec = 120,
                     const std::vector<std::string> &env = {});

// Same, for any program and arguments (used to run sox and soxi).
RunResult runProgram(const std::string &dir, const std::vector<std::string> &argv,
                     const std::string &input = "", const std::string &alsaConf = "",
                     int timeoutSec = 120, const std::vector<std::string> &env = {});

// A program left running in dir, its standard input a pipe the test
// writes to, its output in files: for sessions that must wait for the
// program to reach a point (a take under way) before going on.
struct LiveRun {
    pid_t pid = -1;
    int input = -1;          // writing end of its standard input
    std::string dir;
    std::string outPath, errPath;   // its standard output and error
};
// Starts argv in dir (environment as runProgram, killed after timeoutSec).
LiveRun startLive(const std::string &dir, const std::vector<std::string> &argv,
                  const std::vector<std::string> &env = {}, int timeoutSec = 120);
// Writes text to its standard input.
void sendLive(LiveRun *run, const std::string &text);
// Its standard output so far.
std::string liveOutput(const LiveRun &run);
// Waits until its standard output holds text count times; false when that
// did not happen within timeoutSec or the program ended first.
bool waitForOutput(const LiveRun &run, const std::string &text, int timeoutSec, int count = 1);
// Closes its standard input and waits for it to end (killed after
// timeoutSec); returns what it printed and its status.
RunResult finishLive(LiveRun *run, int timeoutSec = 60);
// Stops it with sig, waits for it, and returns its status.
int stopLive(LiveRun *run, int sig);

// Writes dir/asound.conf defining a virtual sound card as pcm.!default
// and as pcm.tvcard: playback goes to dir/out.raw (a numbered file
// out.raw.0001, ... for every later playback), capture reads
// captureInput (a raw file; an empty name reads /dev/zero). Returns the
// configuration file's path for runTunevat.
std::string writeVirtualCard(const std::string &dir, const std::string &captureInput = "");

// The n-th playback's bytes (n from 0) as the virtual card saw them.
std::string playedBytes(const std::string &dir, int n);
// Number of playbacks the virtual card has seen.
int playbackCount(const std::string &dir);

// The console's fixed texts, for exact comparisons.
std::string bannerText();                       // banner and its empty line
std::string paramBanner(int channels, unsigned rate, unsigned bits,
                        const std::string &device, const std::string &file);
// List display (unless hidden) and the two status lines before a prompt.
std::string promptText(const std::vector<std::string> &tracks, float in,
                       float out, float dur, const std::string &name,
                       bool hidden = false);
// Start-up of a first run in an empty directory: banner, list question,
// parameter banner with defaults, "Creating a new list", hint line.
std::string firstStartText(const std::string &listName = "tlist.txt");

// A test that runs in a fresh scratch directory as its working directory,
// and goes back to where it was afterwards.
struct InScratchDir : ::testing::Test {
    std::string oldCwd;
    std::string dir;
    void SetUp() override { enterScratchDir(&oldCwd, &dir); }
    void TearDown() override { leaveScratchDir(oldCwd, dir); }
};

// Runs fn with writes to regular files limited to maxBytes bytes from the
// start of a file (RLIMIT_FSIZE, SIGXFSZ ignored, so a write past it fails
// with EFBIG as a nearly full disk would), then lifts the limit again.
void withFileSizeLimit(long maxBytes, const std::function<void()> &fn);

// A canonical 44-byte header followed by data.
std::string wavBytes(unsigned rate, unsigned channels, unsigned bits,
                     const std::string &data);
// n bytes of a repeatable pseudo-random pattern (seeded).
std::string patternBytes(long n, unsigned seed = 1);

#endif
