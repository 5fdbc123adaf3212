// The capture engine reads interleaved frames when the device offers them
// and channel buffers otherwise. Both paths must give the same console
// output and the same take, byte for byte, for every format.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

struct Recorded {
    RunResult run;
    std::string take;
};

// Records one take of 1 s with the given format from a pattern input,
// answered "1", with or without the shim that hides interleaved access.
Recorded recordOnce(int channels, int bits, bool channelBuffers)
{
    std::string dir = makeTempDir();
    writeFile(dir + "/in.raw", patternBytes(44100L * 2 * 3 * 2, 5));
    std::string conf = writeVirtualCard(dir, dir + "/in.raw");
    writeFile(dir + "/rcvat.txt", "dv\ttvcard\nsr\t44100\nbits\t" + std::to_string(bits) +
                                      "\nch\t" + std::to_string(channels) +
                                      "\nd\t1.000\ntlist\ttlist.txt\nrname\ttake.wav\n");
    std::vector<std::string> argv = {"env"};
    if (channelBuffers) {
        argv.push_back(std::string("LD_PRELOAD=") + TUNEVAT_ACCESSSHIM);
        // A sanitized build wants its runtime first; the shim ahead of it
        // is harmless.
        const char *asan = getenv("ASAN_OPTIONS");
        argv.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                       ":verify_asan_link_order=0");
    }
    argv.push_back(TUNEVAT_BIN);
    Recorded r;
    r.run = runProgram(dir, argv, "r 1 x y\n", conf, 60);
    r.take = readFile(dir + "/take.wav");
    removeTree(dir);
    return r;
}

void expectBothPathsAgree(int channels, int bits)
{
    Recorded frames = recordOnce(channels, bits, false);
    Recorded buffers = recordOnce(channels, bits, true);
    ASSERT_EQ(frames.run.status, 0) << frames.run.err;
    ASSERT_EQ(buffers.run.status, 0) << buffers.run.err;
    // 11 periods of 4096 frames after the 44-byte header.
    long frameBytes = (long)channels * bits / 8;
    EXPECT_EQ((long)frames.take.size(), 44 + 45056 * frameBytes);
    EXPECT_EQ(frames.take, buffers.take);
    EXPECT_EQ(frames.run.out, buffers.run.out);
    EXPECT_EQ(frames.run.err, buffers.run.err);
    // The take holds the input: channel 1 of it for mono.
    std::string in = patternBytes(44100L * 2 * 3 * 2, 5);
    long inFrame = 2L * bits / 8;
    std::string want;
    for (long k = 0; k < 45056; ++k) want += in.substr((size_t)(k * inFrame), (size_t)frameBytes);
    EXPECT_TRUE(frames.take.substr(44) == want);
    EXPECT_NE(frames.run.out.find("Channel 1 peak = "), std::string::npos);
}

}  // namespace

TEST(CaptureAccess, Stereo16SameOnBothPaths) { expectBothPathsAgree(2, 16); }
TEST(CaptureAccess, Mono16SameOnBothPaths) { expectBothPathsAgree(1, 16); }
TEST(CaptureAccess, Stereo24SameOnBothPaths) { expectBothPathsAgree(2, 24); }
TEST(CaptureAccess, Mono24SameOnBothPaths) { expectBothPathsAgree(1, 24); }
