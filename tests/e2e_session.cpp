// One long session of a few hundred commands: recordings that make,
// replace and extend files with every take menu answer, list edits,
// reloads, saves, playbacks and the parameter commands. The script is
// generated from a fixed seed together with a model of what each command
// does to the files, so that the end state is known exactly: the list
// file, and the data size of every recording.
//
// The same session runs once directly and once under valgrind (when it is
// installed), which must find no memory error and no leak.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "e2e_record_util.h"
#include "harness.h"

using namespace rec;

namespace {

// A take of 0.1 s plans 4410 frames; whole periods make it 8192.
const long kPlanned = 4410;
const long kTakeBytes = 2 * kPeriod * 4;

struct Session {
    std::string script;
    std::vector<std::string> list;                 // in memory
    std::vector<std::string> listFile;             // on disk
    bool listWritten = false;
    std::map<std::string, long> dataBytes;         // recordings on disk
    int recordings = 0;
};

// The take menu answers and the bytes each keeps.
void takeAnswer(unsigned pick, std::string *words, long *kept)
{
    switch (pick % 5) {
    case 0: *words = "1"; *kept = kTakeBytes; break;
    case 1: *words = "2 1"; *kept = kPlanned * 4 + kTakeBytes; break;
    case 2: *words = "3 1"; *kept = kTakeBytes; break;
    case 3: *words = "5 1"; *kept = kTakeBytes; break;
    default: *words = "4"; *kept = 0; break;
    }
}

void addToList(Session *s, const std::string &name)
{
    if (std::find(s->list.begin(), s->list.end(), name) != s->list.end()) return;
    s->list.push_back(name);
    s->listFile = s->list;
    s->listWritten = true;
}

// One record command on name, with the answers picked by r.
void record(Session *s, const std::string &name, unsigned r)
{
    s->script += "f " + name.substr(0, name.size() - 4) + " r ";
    std::string target = name;
    bool append = false;
    if (s->dataBytes.count(target)) {
        switch (r % 4) {
        case 0: s->script += "1 "; break;
        case 1: s->script += "4 "; append = true; break;
        case 2: s->script += "5\n"; return;
        default: {
            // Another name; if that one exists too, give up there.
            std::string other = "alt" + std::to_string(r % 3) + ".wav";
            s->script += "2 " + other.substr(0, other.size() - 4) + " ";
            if (s->dataBytes.count(other)) {
                s->script += "5\n";
                return;
            }
            target = other;
        }
        }
    }
    std::string words;
    long kept = 0;
    takeAnswer(r / 4, &words, &kept);
    s->script += words + "\n";
    s->recordings++;
    if (kept == 0) return;
    s->dataBytes[target] = (append ? s->dataBytes[target] : 0) + kept;
    addToList(s, target);
}

Session makeSession(int steps)
{
    Session s;
    unsigned seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) & 0xffff;
    };
    for (int i = 0; i < steps; ++i) {
        unsigned r = next();
        switch (r % 12) {
        case 0: case 1: case 2: case 3: case 4:
            record(&s, "take" + std::to_string(next() % 6) + ".wav", next());
            break;
        case 5:
            if (!s.list.empty()) {
                s.script += "- 1\n";
                s.list.erase(s.list.begin());
            } else {
                s.script += "- 0\n";
            }
            break;
        case 6:
            s.script += "L 1\n";
            if (s.listWritten) s.list = s.listFile;
            break;
        case 7:
            s.script += "s\n";
            s.listFile = s.list;
            s.listWritten = true;
            break;
        case 8:
            s.script += s.list.empty() ? "t c\n" : "t c 1p a\n";
            break;
        case 9: s.script += "i 0.01 o 0.05 j J l l\n"; break;
        case 10: s.script += "h c u 3 3 2 2 5 L 3\n"; break;
        default: s.script += "d 0.1 x12 zz\n"; break;
        }
    }
    s.script += "q\n";
    s.listFile = s.list;
    return s;
}

struct SessionE2E : RecordE2E {
    Session session = makeSession(400);

    void SetUp() override
    {
        RecordE2E::SetUp();
        settings(2, 16, "0.1", "");
    }

    // The files the session must have left.
    void expectEndState(const RunResult &r)
    {
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find("Cannot"), std::string::npos);
        EXPECT_EQ(r.out.find("Unable"), std::string::npos);
        std::string list;
        for (const std::string &name : session.listFile) list += name + "\n";
        EXPECT_EQ(readFile(path("tlist.txt")), list);
        for (const auto &kv : session.dataBytes) {
            std::string bytes = readFile(path(kv.first));
            ASSERT_EQ((long)bytes.size(), 44 + kv.second) << kv.first;
            EXPECT_EQ(le32(bytes, 40), (unsigned long)kv.second) << kv.first;
            EXPECT_EQ(le32(bytes, 4), (unsigned long)(kv.second + 36)) << kv.first;
        }
        EXPECT_FALSE(fileExists(path("tlist.txt.tmp")));
        EXPECT_FALSE(fileExists(path("rcvat.txt.tmp")));
    }
};

}  // namespace

TEST_F(SessionE2E, ScriptIsLongAndRecordsOften)
{
    // The session is what the tests below rely on: hundreds of commands,
    // dozens of recordings, more than one file.
    long words = std::count(session.script.begin(), session.script.end(), ' ') +
                 std::count(session.script.begin(), session.script.end(), '\n');
    EXPECT_GT(words, 1200);
    EXPECT_GT(session.recordings, 80);
    EXPECT_GT(session.dataBytes.size(), 4u);
}

TEST_F(SessionE2E, LongSessionEndsWithTheModelledFiles)
{
    expectEndState(run(session.script));
}

TEST_F(SessionE2E, LongSessionUnderValgrindHasNoErrorAndNoLeak)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a sanitized build does not run under valgrind";
#endif
    if (system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "valgrind is not installed";
    RunResult r = runProgram(dir,
                             {"valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
                              "--errors-for-leak-kinds=definite,indirect",
                              "--show-leak-kinds=definite,indirect", TUNEVAT_BIN},
                             session.script, conf, 280);
    EXPECT_EQ(r.err.find("=="), std::string::npos) << r.err;
    expectEndState(r);
}
