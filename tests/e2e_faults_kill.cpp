// tunevat killed (SIGKILL) in the middle of a take. The capture input is a
// named pipe that the test feeds a period at a time, so the take is
// certainly unfinished when the kill comes. Afterwards the take file must
// be a WAV file that the attribute reader and sox both read.
//
// Every period is written to the take file as it is read. Fed at the pace
// of a real card, the sizes are brought up to date after every period, so
// the kill loses nothing and sox reads every period. Fed faster than real
// time, the sizes follow at most every 1/60 s: then sox reads the whole
// frames up to the last update.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_record_util.h"
#include "harness.h"
#include "wav/wav.h"

using namespace rec;

namespace {

// Sleeps a little; used only to poll for a state that must come, with a
// generous bound so a stuck program fails the test instead of hanging it.
void pause10ms() { usleep(10000); }

const long kPeriodBytes = kPeriod * 4;   // 16-bit stereo

class KilledTake : public RecordE2E {
protected:
    // Starts tunevat recording a ten-second stereo take from a named pipe
    // and returns the pipe's writing end, or -1.
    int startRecording()
    {
        std::string fifo = path("capture.fifo");
        if (mkfifo(fifo.c_str(), 0600) != 0) return -1;
        std::string card = writeVirtualCard(dir, fifo);
        settings(2, 16, "10", "killed.wav");
        writeFile(path("stdin.txt"), "r\n1\nq\n");

        pid = fork();
        if (pid < 0) return -1;
        if (pid == 0) {
            int in = open(path("stdin.txt").c_str(), O_RDONLY);
            int out = open(path("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || chdir(dir.c_str()) != 0) _exit(126);
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
            std::string conf = "/usr/share/alsa/alsa.conf:" + card;
            setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
            setenv("HOME", dir.c_str(), 1);
            alarm(120);
            execl(TUNEVAT_BIN, TUNEVAT_BIN, (char *)nullptr);
            _exit(127);
        }
        // Wait for the capture device to open the pipe for reading.
        int w = -1;
        for (int i = 0; i < 6000 && w < 0; ++i) {
            w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (w < 0) pause10ms();
        }
        if (w >= 0) fcntl(w, F_SETFL, 0);   // blocking writes from here on
        return w;
    }

    // Waits until the take file holds at least bytes bytes.
    bool takeReaches(long bytes)
    {
        std::string take = path("tunevat_temp.wav");
        for (int i = 0; i < 6000 && fileSize(take) < bytes; ++i) pause10ms();
        return fileSize(take) >= bytes;
    }

    void killIt(int w)
    {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        close(w);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }

    // The take file reads as a WAV file: its data are the first of the fed
    // bytes, and its sizes count whole frames that are all in the file
    // (every one written, when declaredAll). Returns its frames as the
    // attribute reader counts them.
    long checkTake(const std::string &feed, bool declaredAll)
    {
        std::string take = path("tunevat_temp.wav");
        std::string bytes = readFile(take);
        EXPECT_GE((long)bytes.size(), 44 + kPeriodBytes);
        EXPECT_EQ((bytes.size() - 44) % 4, 0u);
        EXPECT_LE(bytes.size() - 44, feed.size());
        EXPECT_TRUE(bytes.substr(44) == feed.substr(0, bytes.size() - 44));
        EXPECT_FALSE(fileExists(path("killed.wav")));
        unsigned long declared = le32(bytes, 40);
        EXPECT_EQ(le32(bytes, 4), declared + 36);
        EXPECT_EQ(declared % 4, 0u);
        EXPECT_LE(declared, bytes.size() - 44);
        if (declaredAll) {
            EXPECT_EQ(declared, bytes.size() - 44);
        }

        unsigned long rate = 0;
        unsigned long long dataOffset = 0, frames = 0;
        unsigned int bytesPerSample = 0, channels = 0;
        testing::internal::CaptureStdout();
        int ok = GetAttributes(take.c_str(), &rate, &bytesPerSample, &channels, &dataOffset,
                               &frames, 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, 1);
        EXPECT_EQ(rate, 44100ul);
        EXPECT_EQ(bytesPerSample, 2u);
        EXPECT_EQ(channels, 2u);
        EXPECT_EQ(dataOffset, 44ul);
        EXPECT_EQ(frames, (unsigned long)(bytes.size() - 44) / 4);

        // sox reads the frames the sizes count, sample for sample.
        RunResult r = runProgram(dir, {"sox", "tunevat_temp.wav", "-t", "raw", "back.raw"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(readFile(path("back.raw")) == bytes.substr(44, declared));
        return (long)frames;
    }

    pid_t pid = -1;
};

}  // namespace

TEST_F(KilledTake, AtTheCardsPaceEveryPeriodIsInTheFile)
{
    int w = startRecording();
    ASSERT_GE(w, 0) << "tunevat never opened its capture input";
    // Five periods, one every tenth of a second: about the pace of a card
    // (4096 frames last 93 ms at 44100 Hz). Each must be in the take file
    // before the next one arrives.
    const long periods = 5;
    std::string feed = input(0, periods * kPeriod);
    for (long k = 0; k < periods; ++k) {
        ASSERT_EQ(write(w, feed.data() + k * kPeriodBytes, (size_t)kPeriodBytes),
                  (ssize_t)kPeriodBytes);
        ASSERT_TRUE(takeReaches(44 + (k + 1) * kPeriodBytes))
            << "period " << k + 1 << " never reached the take file\n"
            << readFile(path("stdout.txt"));
        usleep(100000);
    }
    killIt(w);
    EXPECT_EQ(checkTake(feed, true), periods * kPeriod);
}

TEST_F(KilledTake, FasterThanRealTimeTheFileHoldsAWholePrefix)
{
    int w = startRecording();
    ASSERT_GE(w, 0) << "tunevat never opened its capture input";
    // Twelve periods at once, then nothing: the take stops in its read.
    const long periods = 12;
    std::string feed = input(0, periods * kPeriod);
    ASSERT_EQ(write(w, feed.data(), feed.size()), (ssize_t)feed.size());
    ASSERT_TRUE(takeReaches(44 + kPeriodBytes)) << readFile(path("stdout.txt"));
    killIt(w);
    long frames = checkTake(feed, false);
    EXPECT_GE(frames, kPeriod);
}
