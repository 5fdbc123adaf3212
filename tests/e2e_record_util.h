// Shared by the recording tests: a scratch directory with a virtual sound
// card whose capture input is a sox-made tone, the settings file that
// starts a session, and the fixed texts of a take.
#ifndef TUNEVAT_TESTS_E2E_RECORD_UTIL_H
#define TUNEVAT_TESTS_E2E_RECORD_UTIL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

namespace rec {

const long kPeriod = 4096;    // what the virtual card grants
const long kOneSecond = 44100;
const long kTakeFrames = 45056;   // eleven periods reach one second

inline std::string fmt(const char *format, double v)
{
    char buf[128];
    snprintf(buf, sizeof buf, format, v);
    return buf;
}

inline unsigned long le32(const std::string &bytes, size_t at)
{
    unsigned long v = 0;
    for (int i = 3; i >= 0; --i) v = v * 256 + (unsigned char)bytes.at(at + (size_t)i);
    return v;
}

// "Recording..." and the countdown of one take of planned frames.
inline std::string takeLines(long planned, unsigned rate = 44100)
{
    std::string s = "Recording...\n";
    for (long done = 0; done < planned; done += kPeriod)
        s += fmt("\rRemaining %.2f sec", (float)(planned - done) / (float)rate);
    return s;
}

// The report: the empty line and the peak lines given.
inline std::string report(const std::string &peakLines) { return "\n\n" + peakLines; }

inline std::string takeMenu()
{
    return "\n1 = save recording and return\n2 = continue recording\n3 = redo last take\n"
           "4 = delete last take and return\n5 = play last take\n";
}

inline std::string existingMenu(const std::string &name)
{
    return name + " exists\n1 = erase and record over " + name +
           "\n2 = enter a different name\n3 = play " + name + "\n4 = record at the end of " +
           name + "\n5 = return without recording\n";
}

// Left channel at half scale (-6.02 dB), right at a tenth (-20.00 dB).
const char *const kStereoPeaks = "Channel 1 peak = -6.02 dB\nChannel 2 peak = -20.00 dB\n";

struct RecordE2E : ::testing::Test {
    std::string dir;
    std::string conf;

    void SetUp() override
    {
        dir = makeTempDir();
        makeInput("in.raw", 16);
        conf = writeVirtualCard(dir, path("in.raw"));
    }
    void TearDown() override { removeTree(dir); }

    std::string path(const std::string &name) const { return dir + "/" + name; }

    // Ten seconds of a 440 Hz tone on the left at half scale and 660 Hz on
    // the right at a tenth, raw signed little-endian, bits 16 or 24.
    void makeInput(const std::string &name, int bits)
    {
        RunResult r = runProgram(dir, {"sox", "-D", "-n", "-r", "44100", "-c", "2", "-b",
                                       std::to_string(bits), "-e", "signed", "-t", "raw", name,
                                       "synth", "10", "sine", "440", "sine", "660", "remix",
                                       "1v0.5", "2v0.1"});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // Input bytes of frames [from, from + n) at the given frame size.
    std::string input(long from, long n, long frameSize = 4, const std::string &name = "in.raw")
    {
        return readFile(path(name)).substr((size_t)(from * frameSize), (size_t)(n * frameSize));
    }

    // A settings file that names the list, so no question is asked at
    // start; an empty name or 0 duration leaves the record command to ask.
    void settings(int channels, int bits, const std::string &duration, const std::string &name,
                  const std::string &device = "default", unsigned rate = 44100)
    {
        std::string s = "dv\t" + device + "\nsr\t" + std::to_string(rate) + "\nbits\t" +
                        std::to_string(bits) + "\nch\t" + std::to_string(channels) +
                        "\nd\t" + duration + "\ntlist\ttlist.txt\n";
        if (!name.empty()) s += "rname\t" + name + "\n";
        writeFile(path("rcvat.txt"), s);
    }

    RunResult run(const std::string &in) { return runTunevat(dir, in, conf, 60); }

    // Start-up text for the settings above.
    std::string startText(int channels, int bits, const std::string &name, bool listExists,
                          const std::string &device = "default", unsigned rate = 44100)
    {
        return bannerText() + "Reading rcvat.txt file\n" +
               paramBanner(channels, rate, (unsigned)bits, device, name) +
               (listExists ? "Opening existing list: tlist.txt\n"
                           : "Creating a new list: tlist.txt\n") +
               "Type h at any time to get a list of commands\n";
    }
};

}  // namespace rec

#endif
