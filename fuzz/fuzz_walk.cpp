// libFuzzer harness for the chunk walk and the append built on it.
// Arbitrary bytes become a file that locateWav reads; a plain model of the
// walk over the same bytes in memory must find the same format chunk, data
// chunk, audio and trailing chunks, and where the walk gives way, the tag
// search's offsets. Then, for half of the inputs, a take is appended with
// appendTake: it either refuses and leaves the file byte for byte, or
// leaves exactly the old header and whole frames of audio, the new audio,
// a pad byte after odd data, the old trailing chunks, and the sizes set to
// match, which the walk then reads back.
//
// Input: 1 byte of flags (bit 0: append), 1 byte for the append's length,
// then the file's bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wav/wav.h"

namespace {

const size_t kPrefix = 2;
const int kMaxChunks = 4096;

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "fuzz_walk: %s\n", what);
        abort();
    }
}

unsigned long long u32(const std::string &b, size_t at)
{
    unsigned long long v = 0;
    for (int i = 3; i >= 0; --i) v = v * 256 + (unsigned char)b[at + (size_t)i];
    return v;
}

unsigned long long u64(const std::string &b, size_t at) { return u32(b, at) | (u32(b, at + 4) << 32); }

void put(std::string &b, size_t at, unsigned long long v, int width)
{
    for (int i = 0; i < width; ++i) b[at + (size_t)i] = (char)((v >> (8 * i)) & 0xff);
}

bool printable(const std::string &b, size_t at)
{
    for (size_t i = 0; i < 4; ++i) {
        unsigned char c = (unsigned char)b[at + i];
        if (c < 0x20 || c > 0x7e) return false;
    }
    return true;
}

// Whole chunks from pos to the end, the last perhaps without its pad byte.
bool fills(const std::string &b, long long pos)
{
    long long len = (long long)b.size();
    for (int n = 0; pos < len; ++n) {
        if (n == kMaxChunks || len - pos < 8 || !printable(b, (size_t)pos)) return false;
        long long size = (long long)u32(b, (size_t)pos + 4);
        if (size > len - pos - 8) return false;
        if (pos + 8 + size == len) return true;
        pos += 8 + size + (size & 1);
    }
    return pos == len;
}

struct Model {
    bool walked = false, rf64 = false;
    long long ds64At = -1, fmtAt = -1, dataAt = -1, sizeAt = -1, audio = 0, tail = 0;
};

// The walk as its rules read, over the bytes in memory.
Model walkModel(const std::string &b)
{
    Model m;
    long long len = (long long)b.size();
    if (len < 12) return m;
    std::string form = b.substr(0, 4);
    m.rf64 = form == "RF64" || form == "BW64";
    if ((!m.rf64 && form != "RIFF") || b.compare(8, 4, "WAVE") != 0) return m;
    unsigned long long ds64Data = 0;
    long long pos = 12;
    for (int n = 0; m.fmtAt < 0 || m.dataAt < 0; ++n) {
        if (n == kMaxChunks || len - pos < 8 || !printable(b, (size_t)pos)) return Model();
        std::string tag = b.substr((size_t)pos, 4);
        unsigned long long size32 = u32(b, (size_t)pos + 4), size = size32;
        unsigned long long room = (unsigned long long)(len - pos - 8);
        if (m.rf64 && n == 0) {
            if (tag != "ds64" || size < 24 || size > room) return Model();
            m.ds64At = pos;
            ds64Data = u64(b, (size_t)pos + 16);
        } else if (tag == "fmt " && m.fmtAt < 0) {
            if (size < 16 || size > room) return Model();
            m.fmtAt = pos;
        } else if (tag == "data" && m.dataAt < 0) {
            m.dataAt = pos;
            m.sizeAt = pos + 4;
            long long off = pos + 8;
            bool unknown = size32 == 0xffffffffULL;
            if (m.rf64 && unknown) {
                size = ds64Data;
                m.sizeAt = m.ds64At + 16;
                unknown = ds64Data == ~0ULL;
            }
            m.audio = len - off;
            m.tail = len;
            if (!unknown && size != 0 && size <= (unsigned long long)(len - off)) {
                long long end = off + (long long)size, after = end + (long long)(size & 1);
                if (after >= len || fills(b, after)) {
                    m.audio = (long long)size;
                    m.tail = after < len ? after : len;
                } else if ((size & 1) && fills(b, end)) {
                    m.audio = (long long)size;
                    m.tail = end;
                }
            }
            if (m.fmtAt >= 0) break;
            if (m.tail == len) return Model();
            pos = m.tail;
            continue;
        }
        if (size > room) return Model();
        pos += 8 + (long long)size + (long long)(size & 1);
    }
    m.walked = true;
    return m;
}

long long scan(const std::string &b, const char *tag, size_t n)
{
    for (size_t p = 2; p <= 131072 && p + n <= b.size(); p += 2) {
        if (b.compare(p, n, tag) == 0) return (long long)p;
    }
    return -1;
}

bool writeBytes(const char *path, const std::string &b)
{
    FILE *f = fopen(path, "wb");
    if (!f) return false;
    bool ok = fwrite(b.data(), 1, b.size(), f) == b.size();
    return fclose(f) == 0 && ok;
}

std::string readAll(const char *path)
{
    std::string s;
    FILE *f = fopen(path, "rb");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

bool locate(const char *path, WavLayout *w)
{
    FILE *f = fopen(path, "rb");
    if (!f) return false;
    locateWav(f, w);
    fclose(f);
    return true;
}

// The take file every append copies from: a canonical header and 1200
// bytes of audio.
const long kTakeAudio = 1200;
std::string takeFile()
{
    std::string h = "RIFF" + std::string(4, '\0') + "WAVEfmt " + std::string(4, '\0') + std::string(16, '\0') +
                    "data" + std::string(4, '\0');
    put(h, 4, 36 + kTakeAudio, 4);
    put(h, 16, 16, 4);
    put(h, 20, 1, 2);
    put(h, 22, 2, 2);
    put(h, 24, 44100, 4);
    put(h, 32, 4, 2);
    put(h, 34, 16, 2);
    put(h, 40, kTakeAudio, 4);
    std::string audio((size_t)kTakeAudio, '\0');
    for (long i = 0; i < kTakeAudio; ++i) audio[(size_t)i] = (char)(i * 7 + 3);
    return h + audio;
}

void checkAppend(const std::string &old, const WavLayout &w, long long count)
{
    const char *target = "w.wav";
    int ok = appendTake(target, "t.wav", count, -1);
    std::string now = readAll(target);
    if (!ok) {
        check(now == old, "a refused append changed the file");
        return;
    }
    unsigned long fb = (unsigned long)(w.bits / 8) * w.channels;
    check(w.fmtAt >= 0 && fb > 0 && w.dataAt >= 0 && !w.dataCut, "append to a file without audio");
    long long whole = w.audioBytes - w.audioBytes % (long long)fb;
    long long newData = whole + count, pad = newData & 1;
    std::string take = takeFile();
    std::string expected = old.substr(0, (size_t)(w.dataOffset + whole)) + take.substr(44, (size_t)count) +
                           std::string((size_t)pad, '\0') + old.substr((size_t)w.tailStart);
    unsigned long long newLength = expected.size();
    if (w.rf64 && w.ds64At >= 0) {
        put(expected, (size_t)w.ds64At + 8, newLength - 8, 8);
        put(expected, (size_t)w.ds64At + 16, (unsigned long long)newData, 8);
        put(expected, (size_t)w.ds64At + 24, (unsigned long long)newData / fb, 8);
        if (w.sizeAt == w.dataAt + 4)
            put(expected, (size_t)w.sizeAt, newData < 0xffffffffLL ? newData : 0xffffffffLL, 4);
    } else {
        if (old.compare(0, 4, "RIFF") == 0) put(expected, 4, newLength - 8, 4);
        put(expected, (size_t)w.sizeAt, (unsigned long long)newData, 4);
    }
    check(now == expected, "the appended file is not the old audio, the new, and the old chunks");
    WavLayout after;
    check(locate(target, &after), "appended file cannot be opened");
    if (w.walked) {
        // A format chunk after the audio moves with the chunks that follow it.
        long long shift = w.dataOffset + newData + pad - w.tailStart;
        long long fmtAt = w.fmtAt > w.dataAt ? w.fmtAt + shift : w.fmtAt;
        check(after.walked && after.fmtAt == fmtAt && after.dataAt == w.dataAt,
              "the appended file walks differently");
        check(after.audioBytes == newData, "the appended file's audio is not old plus new");
        check(after.tailStart == w.dataOffset + newData + pad, "the chunks after the audio moved");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    static bool take = writeBytes("t.wav", takeFile());
    (void)quiet;
    if (!take || size < kPrefix) return 0;
    std::string bytes((const char *)data + kPrefix, size - kPrefix);
    if (!writeBytes("w.wav", bytes)) return 0;

    WavLayout w;
    if (!locate("w.wav", &w)) return 0;
    Model m = walkModel(bytes);
    long long len = (long long)bytes.size();
    check(w.length == len, "length");
    check(w.walked == (int)m.walked, "walked or not");
    if (m.walked) {
        check(w.rf64 == (int)m.rf64 && w.ds64At == m.ds64At, "RF64");
        check(w.fmtAt == m.fmtAt && w.dataAt == m.dataAt, "chunk offsets differ from the model");
        check(w.sizeAt == m.sizeAt, "size field differs from the model");
        check(w.audioBytes == m.audio && w.tailStart == m.tail, "audio differs from the model");
    } else {
        long long fmtAt = scan(bytes, "fmt", 3);
        if (fmtAt >= 0 && fmtAt + 24 > len) fmtAt = -1;   // cut off: no format chunk
        check(w.fmtAt == fmtAt, "format offset differs from the tag search");
        check(w.dataAt == scan(bytes, "data", 4), "data offset differs from the tag search");
        if (w.dataAt >= 0 && !w.dataCut)
            check(w.audioBytes == len - (w.dataAt + 8) && w.tailStart == len, "fallback audio");
    }
    if (w.dataAt >= 0 && !w.dataCut) {
        check(w.dataOffset == w.dataAt + 8, "data offset");
        check(w.audioBytes >= 0 && w.dataOffset + w.audioBytes <= w.tailStart && w.tailStart <= len,
              "audio outside the file");
    }
    if (data[0] & 1) checkAppend(bytes, w, 1 + (long long)data[1] * 4);
    return 0;
}
