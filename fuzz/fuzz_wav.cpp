// libFuzzer harness for the WAV room: arbitrary bytes become two files in
// the working directory, which the attribute readers and both editors then
// work on. Besides the sanitizers, it checks what the functions promise:
// the chunk search finds what an even-offset scan of the bytes finds, a
// reported frame count fits the file, and an append either copies exactly
// what the source holds from its first sample byte, up to its count, or
// leaves the target as it was. Where the first sample byte lies is
// locateWav's answer, which fuzz_walk checks against a model of its own.
//
// Input: 2 bytes split point, 1 byte append count, 4 bytes size for the
// size fix, then the bytes of the first file followed by the second.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wav/wav.h"

namespace {

const size_t kPrefix = 7;

bool writeBytes(const char *path, const uint8_t *data, size_t n)
{
    FILE *f = fopen(path, "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, n, f) == n;
    return fclose(f) == 0 && ok;
}

long lengthOf(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f) return -1;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n;
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

// First even offset 2..131072 at which tag lies whole inside the bytes.
long scan(const uint8_t *data, size_t n, const char *tag, size_t len)
{
    for (size_t p = 2; p <= 131072 && p + len <= n; p += 2) {
        if (memcmp(data + p, tag, len) == 0) return (long)p;
    }
    return -1;
}

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "fuzz_wav: %s\n", what);
        abort();
    }
}

void checkSearch(const char *path, const uint8_t *data, size_t n)
{
    FILE *f = fopen(path, "rb");
    if (!f) return;
    check(FindChunk(f, "fmt", 3) == scan(data, n, "fmt", 3), "fmt search differs");
    check(FindChunk(f, "data", 4) == scan(data, n, "data", 4), "data search differs");
    fclose(f);
}

// The source's first sample byte as the append must find it; -1 without
// a data chunk whose header the file holds whole.
long firstSampleByte(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f) return -1;
    WavLayout w;
    locateWav(f, &w);
    fclose(f);
    return w.dataAt < 0 || w.dataCut ? -1 : w.dataOffset;
}

void checkAttributes(const char *path, int verbose)
{
    unsigned long rate = 0;
    unsigned long long offset = 0, frames = 0;
    unsigned int bps = 0, channels = 0;
    if (GetAttributes(path, &rate, &bps, &channels, &offset, &frames, verbose)) {
        long length = lengthOf(path);
        check(bps * channels > 0, "accepted a frame size of zero");
        check(length >= 0 && offset <= (unsigned long)length, "data offset beyond the end");
        check(frames * bps * channels <= (unsigned long)length - offset, "more frames than bytes");
    }
    double frames2 = GET_LENGTH(path);
    check(frames2 >= 0 && frames2 <= (double)lengthOf(path), "GET_LENGTH out of range");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    if (size < kPrefix) return 0;
    const uint8_t *body = data + kPrefix;
    size_t bodySize = size - kPrefix;
    size_t split = ((size_t)data[0] | ((size_t)data[1] << 8)) % (bodySize + 1);
    long count = (long)data[2] * 64 - 128;   // -128 .. 16192
    long long fixTo = (long long)((unsigned long long)data[3] | ((unsigned long long)data[4] << 8) |
                                  ((unsigned long long)data[5] << 16) | ((unsigned long long)data[6] << 24)) -
                      2;

    const char *a = "a.wav", *b = "b.wav";
    if (!writeBytes(a, body, split) || !writeBytes(b, body + split, bodySize - split)) return 0;

    checkSearch(a, body, split);
    checkSearch(b, body + split, bodySize - split);
    checkAttributes(a, 0);
    checkAttributes(b, 1);

    // Append b's data to a: all or nothing.
    long before = lengthOf(a);
    long sourceStart = firstSampleByte(b);
    long available = sourceStart < 0 ? 0 : (long)(bodySize - split) - sourceStart;
    if (APPEND(a, b, count)) {
        long expected = count < 0 ? 0 : (count < available ? count : available);
        check(sourceStart >= 0 && available >= 0, "append from a source without sample data");
        check(lengthOf(a) == before + expected, "append copied the wrong amount");
        std::string now = readAll(a);
        check(now.compare(0, split, std::string(body, body + split)) == 0, "append changed the target");
        check(now.compare((size_t)before, (size_t)expected,
                          std::string(body + split + sourceStart, body + split + sourceStart + expected)) == 0,
              "append copied the wrong bytes");
    } else {
        check(lengthOf(a) == before, "failed append changed the target's length");
    }
    checkAttributes(a, 1);

    // Size fixes: measured, then given (often out of range).
    long lengthA = lengthOf(a);
    FIX_SIZE(a, -1);
    check(lengthOf(a) == lengthA, "size fix changed the length");
    long lengthB = lengthOf(b);
    FILE *fb = fopen(b, "rb");
    WavLayout wb;
    if (fb) {
        locateWav(fb, &wb);
        fclose(fb);
    }
    int fixed = FIX_SIZE(b, fixTo);
    check(lengthOf(b) == lengthB, "size fix changed the length");
    // A RIFF file's 32-bit field states up to 4 GiB less its header; an
    // RF64 file's ds64 chunk states any of these sizes.
    check(!fixed || (fb && fixTo >= -1 && (fixTo <= kRiffDataLimit || (wb.rf64 && wb.ds64At >= 0))),
          "size fix accepted an impossible size");
    checkAttributes(b, 0);
    return 0;
}
