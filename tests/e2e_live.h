// A tunevat that runs while the test acts on it: its standard input is a
// pipe the test types into, its capture input a named pipe the test feeds
// period by period (so a take lasts as long as the test needs), and its
// output a file the test watches. Signals go to its PID.
#ifndef TUNEVAT_TESTS_E2E_LIVE_H
#define TUNEVAT_TESTS_E2E_LIVE_H

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_record_util.h"
#include "harness.h"

namespace live {

using rec::kPeriod;
const long kPeriodBytes = kPeriod * 4;   // 16-bit stereo

// Polls every 10 ms; every wait is bounded so that a stuck program fails
// the test instead of hanging it.
const int kPollMs = 10;
const int kMaxPolls = 6000;

struct Program {
    pid_t pid = -1;
    int input = -1;      // the program's standard input (write end)
    int capture = -1;    // the capture pipe (write end), once opened
    std::string dir;
    std::string outPath;
    std::string fifo;
    std::vector<int> ignored;    // signals it starts with ignored (SIGHUP, as under nohup)
    std::vector<std::string> env;   // NAME=value set for it (the fault shim's, say)

    // Starts tunevat in dir with the ALSA configuration card, its output
    // going to dir/outName.
    bool start(const std::string &d, const std::string &card, const std::string &fifoPath,
               const std::string &outName = "live.out")
    {
        dir = d;
        fifo = fifoPath;
        outPath = dir + "/" + outName;
        // A program that died must fail the test, not kill it when the test
        // types into its closed input.
        ::signal(SIGPIPE, SIG_IGN);
        int in[2];
        if (pipe(in) != 0) return false;
        pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || chdir(dir.c_str()) != 0) _exit(126);
            dup2(in[0], 0);
            dup2(out, 1);
            dup2(out, 2);
            close(in[1]);
            std::string conf = "/usr/share/alsa/alsa.conf:" + card;
            setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
            setenv("HOME", dir.c_str(), 1);
            alarm(120);
            for (int sig : ignored) ::signal(sig, SIG_IGN);
            for (const std::string &e : env) putenv(strdup(e.c_str()));
            // A sanitized build wants its runtime before a preloaded shim.
            if (!env.empty()) {
                const char *asan = getenv("ASAN_OPTIONS");
                std::string opts = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
                setenv("ASAN_OPTIONS", opts.c_str(), 1);
            }
            execl(TUNEVAT_BIN, TUNEVAT_BIN, (char *)nullptr);
            _exit(127);
        }
        close(in[0]);
        input = in[1];
        return true;
    }

    void type(const std::string &text)
    {
        EXPECT_EQ(write(input, text.data(), text.size()), (ssize_t)text.size());
    }
    // Ends the program's input: at the prompt it then quits as "q" does.
    void endInput()
    {
        if (input >= 0) close(input);
        input = -1;
    }

    std::string output() const { return readFile(outPath); }

    // Waits until the output holds text (count times); false on timeout.
    bool waitFor(const std::string &text, int count = 1) const
    {
        for (int i = 0; i < kMaxPolls; ++i) {
            std::string out = output();
            int seen = 0;
            for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
                ++seen;
            if (seen >= count) return true;
            usleep(kPollMs * 1000);
        }
        return false;
    }

    // Opens the capture pipe once the program has opened it for reading.
    bool openCapture()
    {
        for (int i = 0; i < kMaxPolls && capture < 0; ++i) {
            capture = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (capture < 0) usleep(kPollMs * 1000);
        }
        if (capture < 0) return false;
        fcntl(capture, F_SETFL, 0);   // blocking writes from here on
        return true;
    }

    // Feeds bytes to the capture pipe.
    bool feed(const std::string &bytes)
    {
        if (capture < 0 && !openCapture()) return false;
        return write(capture, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
    }

    // Waits until the file at p holds at least bytes bytes.
    static bool fileReaches(const std::string &p, long bytes)
    {
        for (int i = 0; i < kMaxPolls && fileSize(p) < bytes; ++i) usleep(kPollMs * 1000);
        return fileSize(p) >= bytes;
    }

    void signal(int sig) { kill(pid, sig); }

    // Waits for the program to end; its status as runProgram gives it
    // (exit status, or 128 + signal). Closes what the test held open.
    int wait()
    {
        endInput();
        // The capture input ends too: a device read under way when the
        // program leaves returns.
        if (capture >= 0) close(capture);
        capture = -1;
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (capture >= 0) close(capture);
        capture = -1;
        pid = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return -1;
    }

    ~Program()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            wait();
        }
        if (input >= 0) close(input);
    }
};

}  // namespace live

#endif
