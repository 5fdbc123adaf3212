// Test helpers: scratch directories, files, running the built tunevat
// binary with scripted standard input, a virtual sound card made from
// ALSA's own file and null plugins, a capture device paced by the clock
// that over-runs as a card does, and the console's fixed texts.
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
    pid_t copier = -1;       // copies a terminal's output into outPath
    int input = -1;          // writing end of its standard input
    std::string dir;
    std::string outPath, errPath;   // its standard output and error
};
// Starts argv in dir (environment as runProgram, killed after timeoutSec);
// with columns, its standard output is a terminal that wide, whose bytes
// reach outPath as they are (a line feed stays a line feed).
LiveRun startLive(const std::string &dir, const std::vector<std::string> &argv,
                  const std::vector<std::string> &env = {}, int timeoutSec = 120, int columns = 0);
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

// A capture device that keeps time as a sound card does (the tvpaced ALSA
// plugin, tests/paced_pcm.cpp). Capture only: 2 channels, S16_LE or
// S24_3LE, RW_INTERLEAVED or RW_NONINTERLEAVED access, the rates 8000,
// 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400 and
// 192000 up to rateMax, 2 to 1024 periods of at least 128 bytes, and a
// buffer of at most bufferFrames * 6 bytes: bufferFrames frames of 24-bit
// stereo (a program that asks for more 16-bit frames may get up to 1.5
// times as many, as from a card whose limit is in bytes).
//
// The source: its frame 0 arrives at the first snd_pcm_start after the
// device was set up (snd_pcm_hw_params), frame n at n / rate seconds
// after that by CLOCK_MONOTONIC, whether anyone reads or not; a
// prepare and start never rewinds it. Frame n of the source holds n: see
// frameIndex.
//
// Each start begins a run (a read on a prepared stream starts one). The
// hardware pointer counts the frames the ring received since the last
// prepare: floor((t - start) * rate) at time t, less the frames dropped
// silently in this run (drop mode). Ring position p of a run holds source
// frame base + (frames dropped before p) + p, base being the source frame
// that arrives at the start. snd_pcm_avail and reads see hw_ptr - appl_ptr frames; the
// poll descriptor (a timerfd, so snd_pcm_wait and blocking reads wait) is
// readable once avail_min frames are ready, or after an over-run. Every
// call into the device is safe from any thread (ALSA's lock and the
// device's own).
//
// Falling behind, when the program leaves stop_threshold frames (by
// default the buffer size) unread:
//   over-run (the default): the run stops at that moment (the device
//     notices at the program's next call); from then on the hardware
//     pointer call, snd_pcm_avail and reads return -EPIPE, the state is
//     SND_PCM_STATE_XRUN, and after snd_pcm_prepare and a start (a read
//     starts it) a new run goes on from the source frame of that moment.
//     Lost: every source frame from the first one the program did not
//     read to the first of the new run. A program that sets a
//     stop_threshold past the buffer gets no over-run; a slot it left
//     unread for more than a buffer then holds the later frame a card's
//     ring would hold.
//   dropSilently (as PipeWire's plugin): no error ever; a full buffer
//     keeps what it holds, the frames that come while it is full are
//     dropped, and the pointer counts only what is kept.
//
// snd_pcm_status on this device (ALSA's I/O plugin layer fills it):
//   state      PREPARED, RUNNING, XRUN, or SETUP after a drop;
//   trigger_tstamp  CLOCK_MONOTONIC at the last snd_pcm_start (taken a
//              microsecond or two after the run's clock starts) or
//              snd_pcm_drop; an over-run does not change it, unlike a
//              kernel card's, which stamps the moment of the over-run;
//   tstamp (= htstamp)  CLOCK_MONOTONIC at the call, taken just after the
//              hardware pointer was brought up to the clock;
//   avail      frames ready (hw_ptr - appl_ptr), delay the same, avail_max
//              the most since the prepare; in the XRUN state avail is
//              where the pointer last stood, not a count of what was lost;
//   audio_tstamp and driver_tstamp are zero.
// ALSA has no getter for the pointers themselves: since the last prepare
// the ring received R + avail frames, R being the frames the program read.
// Both stamps come from CLOCK_MONOTONIC unless the program sets another
// tstamp type in its sw_params (snd_pcm_sw_params_get_tstamp_type says
// MONOTONIC; the hw_params do not carry SND_PCM_INFO_MONOTONIC, so arecord
// misreports an over-run's length). So, to within two frames (the tests
// find them equal):
//   dropSilently: the frames dropped so far in this run are
//     floor((tstamp - trigger_tstamp) * rate) - (R + avail);
//   over-run: the frames lost are floor((T2 - T1) * rate) - R1, T1 being
//     the trigger stamp of the run that over-ran, R1 the frames read from
//     it, and T2 the trigger stamp of the run after the prepare and start
//     (a status taken in the new run gives it). With a last good status of
//     the old run instead (stamp Ts, avail As, Rs frames read by then):
//     Rs + As + floor((T2 - Ts) * rate) - R1.
// snd_pcm_htimestamp gives avail and CLOCK_MONOTONIC at the call.
//
// The log, when logPath is set, gets one line per loss when it is known:
// "overrun from F lost N" when the next run starts (or the device is
// closed first), "drop from F lost N" once the program reads again (a
// drop that goes on while nothing is read is one line). F is the first
// source frame lost, N the number of frames lost.
struct PacedCardOptions {
    long rateMax = 0;        // highest rate offered; 0: 192000
    long bufferFrames = 0;   // 0: 32768
    bool dropSilently = false;
    std::string logPath;     // empty: no log
    long startDelayMs = 0;   // the first frame comes this long after the first start
    long silentFrames = 0;   // the source's first frames are silence
};
// Writes dir/asound.conf with the paced device as the capture half of
// pcm.!default and pcm.tvcard, whose playback half is the virtual card's
// (dir/out.raw, see writeVirtualCard), and as pcm.tvpaced on its own.
// Returns the file's path for runTunevat.
std::string writePacedCard(const std::string &dir, const PacedCardOptions &options = {});

// The source frame that the frame at bytes holds, as the paced device
// writes it: each channel's sample has its lowest bit set and holds
// bytesPerSample * 8 - 1 bits of the index above it, the left channel the
// lowest bits, the right channel the next. So a stereo frame gives the
// index (30 bits at 16-bit, 46 at 24-bit), the left channel alone the
// index modulo 2^15 or 2^23. -1 for a silent frame (every byte zero), -2
// for any other frame that is not the device's.
long long frameIndex(const char *bytes, int bytesPerSample, int channels);

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
