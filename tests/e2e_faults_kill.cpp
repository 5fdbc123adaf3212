// tunevat killed (SIGKILL) in the middle of a take. The capture input is a
// named pipe that the test feeds a few periods at a time, so the take is
// certainly unfinished when the kill comes. Afterwards the take file must
// be a WAV file that the attribute reader and sox both read, holding every
// period written before the kill.
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

}  // namespace

TEST_F(RecordE2E, KilledMidTakeLeavesAReadableTakeFile)
{
    std::string fifo = path("capture.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << strerror(errno);
    std::string card = writeVirtualCard(dir, fifo);
    settings(2, 16, "10", "killed.wav");
    writeFile(path("stdin.txt"), "r\n1\nq\n");

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
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
    ASSERT_GE(w, 0) << "tunevat never opened its capture input";
    fcntl(w, F_SETFL, 0);   // blocking writes from here on

    // Five periods of input; the writes return once the pipe has taken
    // them, and the take file shows when they have been recorded.
    const long periods = 5;
    std::string feed = input(0, periods * kPeriod);
    ASSERT_EQ(write(w, feed.data(), feed.size()), (ssize_t)feed.size());
    const long wanted = 44 + periods * kPeriod * 4;
    std::string take = path("tunevat_temp.wav");
    for (int i = 0; i < 6000 && fileSize(take) < wanted; ++i) pause10ms();
    ASSERT_GE(fileSize(take), wanted) << readFile(path("stdout.txt"));

    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(w);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    // Every byte recorded is there, nothing else.
    std::string bytes = readFile(take);
    ASSERT_EQ((long)bytes.size(), wanted);
    EXPECT_TRUE(bytes.substr(44) == feed);
    EXPECT_FALSE(fileExists(path("killed.wav")));

    // The attribute reader counts the frames that are really there.
    unsigned long rate = 0, dataOffset = 0, frames = 0;
    unsigned int bytesPerSample = 0, channels = 0;
    testing::internal::CaptureStdout();
    int ok = GetAttributes(take.c_str(), &rate, &bytesPerSample, &channels, &dataOffset, &frames, 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(rate, 44100ul);
    EXPECT_EQ(bytesPerSample, 2u);
    EXPECT_EQ(channels, 2u);
    EXPECT_EQ(dataOffset, 44ul);
    EXPECT_EQ(frames, (unsigned long)(periods * kPeriod));

    // sox reads it (the header still plans ten seconds) and gives back the
    // recorded samples.
    RunResult r = runProgram(dir, {"sox", "tunevat_temp.wav", "-t", "raw", "back.raw"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readFile(path("back.raw")) == feed);
}
