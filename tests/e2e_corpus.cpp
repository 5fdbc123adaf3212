// WAV files from other programs, made at test time by the programs
// themselves (ffmpeg, sox, Python's wave module, libsndfile through the
// sndcheck helper), with what such files carry: metadata before and after
// the audio (LIST, bext, cue, levl), more than 128 KiB of it, odd-sized
// chunks and their pad bytes, WAVE_FORMAT_EXTENSIBLE, RF64, sizes a writer
// to a pipe could not fix, 16 and 24 bits, mono and stereo, 8 to 96 kHz,
// titles holding "data" and "fmt ". For every file, libsndfile's reading
// is the reference: what `t` prints, the bytes playback sends to the
// virtual card, and, after recording at the end of it, that libsndfile
// reads the old audio followed by the new. Samples other than plain PCM
// must be refused with what they are; integers and floats of every width
// play, also on cards that take less. Files past 4 GiB, as ffmpeg and
// libsndfile write them, are played at their end and take a recording.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "e2e_record_util.h"
#include "harness.h"
#include "unit_wav_util.h"
#include "wav/wav.h"

using namespace rec;

namespace {

// What libsndfile reads in a file.
struct Reference {
    int channels = 0, rate = 0, bits = 0;
    long frames = 0;
    std::string samples;   // integer and float files: as the file holds them
};

struct Source {
    std::string name;
    std::vector<std::string> argv;       // the writer's command, run in the corpus
    std::function<void(const std::string &dir)> derive;   // or made from another file
    std::string holds;                   // what refusing an append names
    std::string format = "";             // t's format line, "" for 16/24-bit integers
    bool unplayable = false;             // refused by playback too, as the format line says
};

std::vector<std::string> ffmpeg(const std::string &name, const std::string &source,
                                const std::string &codec, const std::vector<std::string> &extra = {})
{
    std::vector<std::string> a = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                                  "-f", "lavfi", "-i", source};
    a.insert(a.end(), extra.begin(), extra.end());
    for (const char *s : {"-bitexact", "-c:a"}) a.push_back(s);
    a.push_back(codec);
    a.push_back(name);
    return a;
}

// Two different tones, left and right (a swapped pair would show), or one.
std::string stereo(int rate)
{
    return "aevalsrc=0.5*sin(440*2*PI*t)|0.2*sin(660*2*PI*t):s=" + std::to_string(rate) + ":d=0.2";
}
std::string mono(int rate)
{
    return "aevalsrc=0.4*sin(550*2*PI*t):s=" + std::to_string(rate) + ":d=0.2";
}

std::vector<std::string> sh(const std::string &command) { return {"sh", "-c", command}; }

// bits: of integers, or -32 and -64 for floats and doubles.
std::vector<std::string> sndfileWrite(const std::string &name, const std::string &major, int bits,
                                      int channels, int rate, long frames,
                                      const std::vector<std::string> &options = {})
{
    std::string kind = bits == -32 ? "float" : bits == -64 ? "double" : std::to_string(bits);
    std::vector<std::string> a = {TUNEVAT_SNDCHECK, "write", name, major, kind,
                                  std::to_string(channels), std::to_string(rate),
                                  std::to_string(frames)};
    a.insert(a.end(), options.begin(), options.end());
    return a;
}

std::string le32(unsigned long v)
{
    std::string s;
    for (int i = 0; i < 4; ++i) s += (char)((v >> (8 * i)) & 0xff);
    return s;
}

// The chunks after "WAVE", as tag+size+body(+pad) strings.
std::vector<std::string> chunksOf(const std::string &file)
{
    std::vector<std::string> v;
    size_t pos = 12;
    while (pos + 8 <= file.size()) {
        unsigned long size = rec::le32(file, pos + 4);
        size_t whole = 8 + size + (size & 1);
        v.push_back(file.substr(pos, whole));
        pos += whole;
    }
    return v;
}

// Rebuilds a RIFF file from chunks in the order given.
std::string riffOf(const std::vector<std::string> &chunks)
{
    std::string body;
    for (const std::string &c : chunks) body += c;
    return "RIFF" + le32(body.size() + 4) + "WAVE" + body;
}

std::vector<Source> corpus()
{
    return {
        {"ff_title.wav", ffmpeg("ff_title.wav", stereo(44100), "pcm_s16le",
                                {"-metadata", "title=fmt mydata"}), {}, ""},
        {"ff_levl.wav", ffmpeg("ff_levl.wav", mono(48000), "pcm_s16le", {"-write_peak", "on"}), {}, ""},
        {"ff_bext.wav", ffmpeg("ff_bext.wav", stereo(48000), "pcm_s16le",
                               {"-write_bext", "1", "-metadata", "coding_history=A=PCM,F=48000"}),
         {}, ""},
        {"ff_rf64.wav", ffmpeg("ff_rf64.wav", stereo(32000), "pcm_s16le", {"-rf64", "always"}), {}, ""},
        {"ff_junk.wav", ffmpeg("ff_junk.wav", mono(16000), "pcm_s16le", {"-rf64", "auto"}), {}, ""},
        {"ff_s24.wav", ffmpeg("ff_s24.wav", stereo(96000), "pcm_s24le"), {}, ""},
        {"ff_s24_mono.wav", ffmpeg("ff_s24_mono.wav", mono(8000), "pcm_s24le"), {}, ""},
        // A comment of 140000 bytes before the audio.
        {"ff_long_comment.wav",
         sh("(printf ';FFMETADATA1\\ncomment='; head -c 140000 /dev/zero | tr '\\0' c; echo) > meta.txt"
            " && ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i '" + mono(22050) +
            "' -i meta.txt -map_metadata 1 -bitexact -c:a pcm_s16le ff_long_comment.wav"),
         {}, ""},
        {"ff_float.wav", ffmpeg("ff_float.wav", stereo(44100), "pcm_f32le"), {},
         "32-bit floating-point samples", "32-bit float"},
        {"ff_alaw.wav", ffmpeg("ff_alaw.wav", mono(8000), "pcm_alaw"), {}, "A-law samples",
         "A-law samples", true},
        {"ff_s32.wav", ffmpeg("ff_s32.wav", stereo(22050), "pcm_s32le"), {}, "32-bit samples",
         "32-bit integer"},
        // ffmpeg's title chunk moved before the format chunk: its "fmt "
        // then comes first at an even offset.
        {"ff_list_first.wav", {},
         [](const std::string &dir) {
             std::vector<std::string> c = chunksOf(readFile(dir + "/ff_title.wav"));
             writeFile(dir + "/ff_list_first.wav", riffOf({c.at(1), c.at(0), c.at(2)}));
         },
         ""},
        // A 32-bit extensible file marked as carrying 24 valid bits.
        {"ff_24in32.wav", {},
         [](const std::string &dir) {
             std::string f = readFile(dir + "/ff_s32.wav");
             f[38] = 24;   // valid bits, 18 bytes into the extensible format chunk
             writeFile(dir + "/ff_24in32.wav", f);
         },
         "24-bit samples in 4-byte containers", "24-bit integer in 4-byte containers"},
        {"sox_pipe24.wav",
         sh("sox -n -r 8000 -c 1 -b 24 -t wav - synth 1001s sine 300 | cat > sox_pipe24.wav"), {}, ""},
        {"sox_pipe16.wav",
         sh("sox -n -r 11025 -c 2 -b 16 -t wav - synth 0.1 sine 300 sine 500 | cat > sox_pipe16.wav"),
         {}, ""},
        {"sox_mono16.wav", {"sox", "-n", "-r", "22050", "-c", "1", "-b", "16", "sox_mono16.wav",
                            "synth", "0.1", "sine", "700"},
         {}, ""},
        {"sox_mulaw.wav", {"sox", "-n", "-r", "8000", "-c", "1", "-e", "mu-law", "sox_mulaw.wav",
                           "synth", "0.1", "sine", "700"},
         {}, "mu-law samples", "mu-law samples", true},
        {"sox_u8.wav", sh("sox -n -r 8000 -c 1 -b 8 -e unsigned sox_u8.wav synth 0.1 sine 700"), {},
         "8-bit samples", "8-bit unsigned integer"},
        {"sox_f64.wav", sh("sox -n -r 16000 -c 2 -b 64 -e floating-point sox_f64.wav synth 0.1 "
                           "sine 300 sine 500 gain -3"), {}, "64-bit floating-point samples",
         "64-bit float"},
        {"sox_6ch24.wav", sh("sox -n -r 48000 -c 6 -b 24 sox_6ch24.wav synth 0.1 sine 300 sine 400 "
                             "sine 500 sine 600 sine 700 sine 800 gain -3"), {}, "6 channels"},
        {"sf_float_ex.wav", sndfileWrite("sf_float_ex.wav", "wavex", -32, 2, 48000, 999), {},
         "32-bit floating-point samples", "32-bit float"},
        {"sf_s32_6ch.wav", sndfileWrite("sf_s32_6ch.wav", "wavex", 32, 6, 44100, 700), {},
         "6 channels of 32-bit samples", "32-bit integer"},
        {"sf_32ch.wav", sndfileWrite("sf_32ch.wav", "wavex", 16, 32, 16000, 300), {}, "32 channels"},
        {"sf_rf64_4f.wav", sndfileWrite("sf_rf64_4f.wav", "rf64", -32, 4, 44100, 555), {},
         "32-bit floating-point samples", "32-bit float"},
        {"py_stereo.wav",
         {"python3", "-c",
          "import wave,math\n"
          "w=wave.open('py_stereo.wav','wb');w.setnchannels(2);w.setsampwidth(2);w.setframerate(44100)\n"
          "w.writeframes(b''.join(int(9000*math.sin(k/7)).to_bytes(2,'little',signed=True)+"
          "int(3000*math.sin(k/3)).to_bytes(2,'little',signed=True) for k in range(3001)))\n"
          "w.close()"},
         {}, ""},
        // Odd data and no pad byte at the end of the file.
        {"py_mono24.wav",
         {"python3", "-c",
          "import wave,math\n"
          "w=wave.open('py_mono24.wav','wb');w.setnchannels(1);w.setsampwidth(3);w.setframerate(96000)\n"
          "w.writeframes(b''.join(int(900000*math.sin(k/5)).to_bytes(3,'little',signed=True) "
          "for k in range(2001)))\n"
          "w.close()"},
         {}, ""},
        // An odd-sized iXML chunk, with its pad byte, before the audio.
        {"py_ixml.wav", {},
         [](const std::string &dir) {
             std::vector<std::string> c = chunksOf(readFile(dir + "/py_stereo.wav"));
             std::string xml = "<BWFXML><PROJECT>data</PROJECT></BWFXML>!";
             writeFile(dir + "/py_ixml.wav",
                       riffOf({c.at(0), "iXML" + le32(xml.size()) + xml + std::string(1, '\0'), c.at(1)}));
         },
         ""},
        {"sf_title_after.wav", sndfileWrite("sf_title_after.wav", "wav", 24, 2, 44100, 1001,
                                            {"title-after=recorded data"}),
         {}, ""},
        {"sf_odd.wav", sndfileWrite("sf_odd.wav", "wav", 24, 1, 8000, 333, {"title-after=abcde"}), {}, ""},
        {"sf_cue_bext.wav", sndfileWrite("sf_cue_bext.wav", "wavex", 16, 1, 16000, 500,
                                         {"bext=take one", "cue", "title-before=data fmt "}),
         {}, ""},
        {"sf_rf64.wav", sndfileWrite("sf_rf64.wav", "rf64", 16, 2, 44100, 777), {}, ""},
    };
}

std::string fmt3(double v)
{
    char b[64];
    snprintf(b, sizeof b, "%.3f", v);
    return b;
}

struct Corpus : RecordE2E {
    Reference reference(const std::string &name)
    {
        Reference r;
        RunResult run = runProgram(dir, {TUNEVAT_SNDCHECK, "read", name, "ref.raw"});
        EXPECT_EQ(run.status, 0) << name << ": " << run.err;
        sscanf(run.out.c_str(), "%d %d %ld %d", &r.channels, &r.rate, &r.frames, &r.bits);
        r.samples = readFile(path("ref.raw"));
        unlink(path("ref.raw").c_str());
        return r;
    }

    // The first frames of the capture input at bits, as a recording of
    // channels keeps them (a mono recording keeps the left channel).
    std::string captured(const std::string &raw, long frames, int channels, int bits)
    {
        std::string in = readFile(path(raw));
        size_t sample = (size_t)bits / 8;
        if (channels == 2) return in.substr(0, (size_t)frames * 2 * sample);
        std::string left;
        for (long k = 0; k < frames; ++k) left += in.substr((size_t)k * 2 * sample, sample);
        return left;
    }
};

// Channels a and b of every frame of channels channels (samples of sample
// bytes).
std::string pickPair(const std::string &samples, size_t sample, size_t channels, size_t a, size_t b)
{
    std::string s;
    for (size_t k = 0; k + channels * sample <= samples.size(); k += channels * sample)
        s += samples.substr(k + a * sample, sample) + samples.substr(k + b * sample, sample);
    return s;
}

// Samples as fractions of full scale: bytes wide, 'u' 8-bit unsigned, 's'
// signed integers, 'f' IEEE floats.
std::vector<double> decode(const std::string &raw, size_t bytes, char kind)
{
    std::vector<double> v;
    for (size_t k = 0; k + bytes <= raw.size(); k += bytes) {
        float f;
        double d;
        long long i = (signed char)raw[k + bytes - 1];   // the top byte carries the sign
        for (size_t b = bytes - 1; b-- > 0;) i = i * 256 + (unsigned char)raw[k + b];
        double full = std::ldexp(1.0, (int)(8 * bytes - 1));
        if (kind == 'f') v.push_back(bytes == 4 ? (memcpy(&f, &raw[k], 4), f) : (memcpy(&d, &raw[k], 8), d));
        else v.push_back(kind == 'u' ? ((unsigned char)raw[k] - 128) / 128.0 : (double)i / full);
    }
    return v;
}

TEST_F(Corpus, OtherWritersFilesReadPlayAndTakeAppendsAsLibsndfileSees)
{
    if (std::string(TUNEVAT_SNDCHECK).empty()) GTEST_SKIP() << "built without libsndfile";
    std::vector<Source> files = corpus();
    for (const Source &s : files) {
        if (s.derive) {
            s.derive(dir);
        } else {
            RunResult r = runProgram(dir, s.argv);
            ASSERT_EQ(r.status, 0) << s.name << ": " << r.err;
        }
        ASSERT_TRUE(fileExists(path(s.name))) << s.name;
    }
    std::vector<Reference> refs;
    std::string list;
    for (const Source &s : files) {
        refs.push_back(reference(s.name));
        list += s.name + "\n";
    }
    writeFile(path("corpus.txt"), list);
    writeFile(path("rcvat.txt"), "tlist\tcorpus.txt\no\t3600\n");

    // t and a over the whole list, on the virtual card: it takes every
    // format and channel count, so each file plays exactly as it is.
    RunResult r = runTunevat(dir, "t\nc\na\nx\ny\n", conf, 120);
    ASSERT_EQ(r.status, 0) << r.err;
    int played = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const Source &s = files[i];
        const Reference &ref = refs[i];
        SCOPED_TRACE(s.name);
        std::string attributes = "\nFile: " + s.name + "\n  channels: " + std::to_string(ref.channels) +
                                 "\n  bits: " + std::to_string(ref.bits) + "\n  samplerate: " +
                                 std::to_string(ref.rate) + "\n  length (sec): " +
                                 fmt3((double)ref.frames / ref.rate) + "\n" +
                                 (s.format.empty() ? "" : "  format: " + s.format + "\n");
        EXPECT_NE(r.out.find(attributes), std::string::npos) << "t does not print\n" << attributes;
        std::string track = "\nTrack " + std::to_string(i + 1) + "\n";
        if (s.unplayable) {
            EXPECT_NE(r.out.find(track + "Cannot play " + s.name + ": it holds " + s.format + "\n"),
                      std::string::npos);
            continue;
        }
        EXPECT_NE(r.out.find(track + "Playing " + s.name + " ...\n"), std::string::npos);
        std::string expected = ref.channels == 1 ? pickPair(ref.samples, ref.bits / 8, 1, 0, 0) : ref.samples;
        std::string got = playedBytes(dir, played++);
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected) << "the card received other bytes";
    }
    EXPECT_EQ(playbackCount(dir), played);

    // Cards that take less, each in front of a file: two channels (the
    // settings choose 3 and 1); only integers, on two channels (1 and 2);
    // only floats. ALSA turns what the last two get into 16 bits.
    auto out = [&](const std::string &sub) {
        mkdir(path(sub).c_str(), 0755);
        return "{ type file slave.pcm \"null\" file \"" + path(sub) + "/out.raw\" format \"raw\" truncate false }";
    };
    auto two = [](const std::string &pcm) {
        return "{ type multi slaves.a.pcm " + pcm +
               " slaves.a.channels 2 bindings.0 { slave a channel 0 } bindings.1 { slave a channel 1 } }";
    };
    struct Card {
        std::string name, pcm, pair;
    } cards[] = {
        {"two", two(out("two")), "3 1"},
        {"ints", two("{ type linear slave { pcm " + out("ints") + " format S16_LE } }"), ""},
        {"floats", "{ type lfloat slave { pcm " + out("floats") + " format S16_LE } }", ""},
    };
    for (const Card &c : cards) {
        SCOPED_TRACE("card " + c.name);
        writeFile(conf, readFile(conf) + "pcm." + c.name + " " + c.pcm + "\n");
        writeFile(path("rcvat.txt"), "dv\t" + c.name + "\ntlist\tcorpus.txt\no\t3600\npair\t" + c.pair + "\n");
        ASSERT_EQ(runTunevat(dir, "a\nx\ny\n", conf, 120).status, 0);
        int n = 0;
        for (size_t i = 0; i < files.size(); ++i) {
            const Reference &ref = refs[i];
            if (files[i].unplayable) continue;
            SCOPED_TRACE(files[i].name);
            size_t bytes = (size_t)ref.bits / 8, channels = (size_t)ref.channels;
            size_t a = channels > 2 && c.name == "two" ? 2 : 0, b = channels == 1 ? 0 : a == 2 ? 0 : 1;
            std::string want = channels <= 2 || c.name != "floats" ? pickPair(ref.samples, bytes, channels, a, b)
                                                                   : ref.samples;
            char kind = files[i].format.find("float") != std::string::npos ? 'f' : bytes == 1 ? 'u' : 's';
            std::vector<double> got = c.name == "two" ? decode(playedBytes(path(c.name), n++), bytes, kind)
                                                      : decode(playedBytes(path(c.name), n++), 2, 's');
            std::vector<double> sent = decode(want, bytes, kind);
            ASSERT_EQ(got.size(), sent.size());
            double step = c.name == "two" ? 0 : kind == 'u' ? 1.0 / 128 : 1.0 / 32768;
            size_t far = 0;
            for (size_t k = 0; k < got.size(); ++k) far += std::fabs(got[k] - sent[k]) > step;
            EXPECT_EQ(far, 0u) << "samples further than one step from libsndfile's";
        }
        EXPECT_EQ(playbackCount(path(c.name)), n);
    }

    // Record at the end of each file, in its own format.
    makeInput("in16.raw", 16);
    makeInput("in24.raw", 24);
    for (size_t i = 0; i < files.size(); ++i) {
        const Source &s = files[i];
        const Reference &ref = refs[i];
        bool appendable = s.holds.empty() && (ref.bits == 16 || ref.bits == 24);
        if (!appendable && s.holds.empty()) continue;   // refused by its width, as before
        SCOPED_TRACE("appending to " + s.name);
        std::string raw = ref.bits == 24 ? "in24.raw" : "in16.raw";
        std::string card = writeVirtualCard(dir, path(raw));
        settings(ref.channels, ref.bits == 24 ? 24 : 16, "0.01", s.name, "default",
                 (unsigned)ref.rate);
        writeFile(path("corpus.txt"), list);
        std::string before = readFile(path(s.name));
        RunResult a = runTunevat(dir, appendable ? "r\n4\n1\nq\n" : "r\n4\nq\n", card, 60);
        EXPECT_EQ(a.status, 0) << a.err;
        if (!appendable) {
            EXPECT_NE(a.out.find("Cannot record at the end of " + s.name + ": it holds " + s.holds +
                                 "\n"),
                      std::string::npos)
                << a.out;
            EXPECT_TRUE(readFile(path(s.name)) == before);
            continue;
        }
        EXPECT_NE(a.out.find("Append file is "), std::string::npos) << a.out;
        EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
        Reference after = reference(s.name);
        EXPECT_EQ(after.channels, ref.channels);
        EXPECT_EQ(after.rate, ref.rate);
        long added = after.frames - ref.frames;
        EXPECT_GT(added, 0);
        EXPECT_EQ(added % kPeriod, 0);   // whole periods of the card
        EXPECT_TRUE(after.samples == ref.samples + captured(raw, added, ref.channels, ref.bits))
            << "libsndfile does not read the old audio followed by the new";
        // And the program's own reader agrees.
        unsigned long rate = 0;
        unsigned long long offset = 0, frames = 0;
        unsigned int bps = 0, ch = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(GetAttributes(path(s.name).c_str(), &rate, &bps, &ch, &offset, &frames, 0), 1);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ((long)frames, after.frames);
    }
}

// Files of gigabytes from other writers: ffmpeg's -rf64 auto past 4 GiB
// (written for real from /dev/zero), libsndfile's RF64 at 3 GiB and its
// WAV past 4 GiB, whose 32-bit sizes wrap (both made sparse from a small
// file of libsndfile's in the shape it gives a big one). `t` gives their
// length, the last seconds play as the file holds them, and the RF64 files
// take a recording at their end (a copy of gigabytes: only these two).
// libsndfile reads its own wrapped WAV as the low 32 bits say; the file's
// length is what it holds.
struct BigFile {
    std::string name;
    std::vector<std::string> make;   // the writer's command
    long long frames;                // after the shaping below
    bool append;
};

TEST_F(Corpus, FilesOfGigabytesFromOtherWritersPlayAndTakeAppends)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "gigabytes of audio through the sanitizers take too long";
#endif
    if (std::string(TUNEVAT_SNDCHECK).empty()) GTEST_SKIP() << "built without libsndfile";
    if (wavtest::freeBytes(dir) < (16LL << 30)) GTEST_SKIP() << "needs 16 GiB free on " << dir;
    const long long k3G = 3221225472LL, k5G = 5368709120LL;
    std::vector<BigFile> files = {
        {"ff_big.wav",
         sh("head -c 4300000000 /dev/zero | ffmpeg -nostdin -hide_banner -loglevel error -f s16le "
            "-ar 44100 -ac 2 -i - -c:a copy -rf64 auto ff_big.wav"),
         1075000000LL, true},
        {"sf_rf64_3g.wav", sndfileWrite("sf_rf64_3g.wav", "rf64", 16, 2, 44100, 10), k3G / 4, true},
        {"sf_wav_5g.wav", sndfileWrite("sf_wav_5g.wav", "wav", 16, 2, 44100, 10), k5G / 4, false},
    };
    makeInput("in16.raw", 16);
    std::string card = writeVirtualCard(dir, path("in16.raw"));
    for (const BigFile &b : files) {
        SCOPED_TRACE(b.name);
        std::string p = path(b.name);
        RunResult made = runProgram(dir, b.make, "", "", 300);
        ASSERT_EQ(made.status, 0) << made.err;
        std::string head = readFile(p).substr(0, 200);
        if (b.name == "sf_rf64_3g.wav") {
            // Sizes in ds64 for 3 GiB of audio after the data chunk's header.
            ASSERT_EQ(head.compare(12, 4, "ds64"), 0);
            long long offset = (long long)head.find("data") + 8;
            ASSERT_TRUE(wavtest::writeAt(p, 20, wavtest::le(offset + k3G - 8, 8) + wavtest::le(k3G, 8) +
                                                    wavtest::le(k3G / 4, 8)));
            ASSERT_EQ(truncate(p.c_str(), (off_t)(offset + k3G)), 0);
        } else if (b.name == "sf_wav_5g.wav") {
            ASSERT_EQ(head.compare(36, 4, "data"), 0);
            ASSERT_TRUE(wavtest::writeAt(p, 4, wavtest::le((k5G + 36) & 0xffffffff, 4)) &&
                        wavtest::writeAt(p, 40, wavtest::le(k5G & 0xffffffff, 4)));
            ASSERT_EQ(truncate(p.c_str(), (off_t)(44 + k5G)), 0);
        }
        // The last seconds, from a whole second on, get a pattern.
        long long length = fileSize(p);
        long long in = b.frames / 44100 - 1, tailFrames = b.frames - in * 44100;
        std::string tail = patternBytes((long)(tailFrames * 4), 41);
        ASSERT_TRUE(wavtest::writeAt(p, length - (long long)tail.size(), tail));
        if (b.append) {
            RunResult ref = runProgram(dir, {TUNEVAT_SNDCHECK, "window", b.name, "0", "0", "ref.raw"});
            EXPECT_EQ(ref.out, "2 44100 " + std::to_string(b.frames) + " 16\n") << ref.err;
        }

        writeFile(path("big.txt"), b.name + "\n");
        writeFile(path("rcvat.txt"), "tlist\tbig.txt\no\t99999\n");
        int played = playbackCount(dir);
        RunResult r = runTunevat(dir, "t\nc\ni\n" + std::to_string(in) + "\n1p\nx\ny\n", conf, 120);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("\nFile: " + b.name + "\n  channels: 2\n  bits: 16\n  samplerate: 44100\n"
                             "  length (sec): " + fmt3((double)b.frames / 44100) + "\n"),
                  std::string::npos)
            << r.out;
        ASSERT_EQ(playbackCount(dir), played + 1);
        EXPECT_TRUE(playedBytes(dir, played) == tail) << "the card received other bytes";

        if (b.append) {
            settings(2, 16, "0.01", b.name, "default", 44100);
            RunResult a = runTunevat(dir, "r\n4\n1\nq\n", card, 300);
            EXPECT_EQ(a.status, 0) << a.err;
            EXPECT_NE(a.out.find("Append file is "), std::string::npos) << a.out;
            EXPECT_FALSE(fileExists(path("tunevat_temp.wav")));
            // Across the join: the old audio's last 1000 frames, then the take.
            RunResult w = runProgram(dir, {TUNEVAT_SNDCHECK, "window", b.name, std::to_string(b.frames - 1000),
                                           std::to_string(1000 + kPeriod), "join.raw"});
            EXPECT_EQ(w.out, "2 44100 " + std::to_string(b.frames + kPeriod) + " 16\n") << w.err;
            EXPECT_TRUE(readFile(path("join.raw")) == tail.substr(tail.size() - 4000) +
                                                        captured("in16.raw", kPeriod, 2, 16))
                << "libsndfile does not read the old audio followed by the new";
            EXPECT_EQ(fileSize(p), length + kPeriod * 4);
        }
        unlink(p.c_str());
    }
}

}  // namespace
