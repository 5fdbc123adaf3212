// The peak meter: a running peak per channel while a take is recorded, and
// the level line of the report after it.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "audio/audio.h"

// Full scale of a sample: the magnitude of the most negative value.
static const float kFullScale16 = 32768.0f;
static const float kFullScale24 = 8388608.0f;
// The highest 24-bit sample.
static const int32_t kTop24 = 8388607;

// Raises *peak to the larger magnitude of the extremes lowest and highest.
static void raisePeak(long *peak, int32_t lowest, int32_t highest)
{
    long sample = -(long)lowest > (long)highest ? -(long)lowest : (long)highest;
    if (sample > *peak) *peak = sample;
}

void CheckPeak(int count, long *peak, const char *data, unsigned int bytesPerSample)
{
    if (count <= 0) return;
    // This runs for every period of every take: one pass over the block
    // that keeps only the lowest and highest value (the compiler turns it
    // into wide compares), then the larger magnitude of the two.
    const unsigned char *p = (const unsigned char *)data;
    int32_t lowest = 0, highest = 0;
    if (bytesPerSample == 2) {
        // 16-bit extremes in 16-bit variables: eight samples per compare
        // even without wider vector instructions.
        int16_t low16 = 0, high16 = 0;
        for (int i = 0; i < count; ++i) {
            int16_t value;   // low byte first, the high byte carries the sign
            memcpy(&value, p + 2 * (size_t)i, 2);
            low16 = value < low16 ? value : low16;
            high16 = value > high16 ? value : high16;
        }
        lowest = low16;
        highest = high16;
    } else if (bytesPerSample == 3) {
        for (int i = 0; i < count; ++i, p += 3) {
            int32_t aword1 = p[0];                      // low byte, unsigned
            int32_t aword2 = p[1];                      // middle byte, unsigned
            int32_t aword3 = (signed char)p[2];         // high byte, signed
            int32_t value = aword3 * 65536 + aword2 * 256 + aword1;
            lowest = value < lowest ? value : lowest;
            highest = value > highest ? value : highest;
        }
    } else {
        return;
    }
    raisePeak(peak, lowest, highest);
}

// The signed value of the 24-bit little-endian sample at p.
static int32_t sample24(const unsigned char *p)
{
    return (int32_t)(signed char)p[2] * 65536 + (int32_t)p[1] * 256 + (int32_t)p[0];
}

// Each channel's extremes of frames two-channel frames, one sample at a
// time: the way for what the wide ways below leave over.
static void scanFrames(long frames, const unsigned char *p, unsigned int bytesPerSample,
                       int32_t low[2], int32_t high[2])
{
    for (long i = 0; i < frames; ++i) {
        for (int c = 0; c < 2; ++c, p += bytesPerSample) {
            int32_t v;
            if (bytesPerSample == 2) {
                int16_t s16;
                memcpy(&s16, p, 2);
                v = s16;
            } else {
                v = sample24(p);
            }
            low[c] = v < low[c] ? v : low[c];
            high[c] = v > high[c] ? v : high[c];
        }
    }
}

#if defined(__x86_64__)
// 16-bit frames, eight samples (four frames) a compare: the lanes take
// turns, left and right. SSE2 is on every x86_64 processor. Returns the
// frames it measured (a whole number of fours).
static long scanFrames16(long frames, const unsigned char *p, int32_t low[2], int32_t high[2])
{
    long fours = frames / 4;
    __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
    for (long k = 0; k < fours; ++k) {
        __m128i v = _mm_loadu_si128((const __m128i *)(p + 16 * k));
        lo = _mm_min_epi16(lo, v);
        hi = _mm_max_epi16(hi, v);
    }
    int16_t l[8], h[8];
    _mm_storeu_si128((__m128i *)l, lo);
    _mm_storeu_si128((__m128i *)h, hi);
    for (int i = 0; i < 8; ++i) {
        low[i & 1] = l[i] < low[i & 1] ? l[i] : low[i & 1];
        high[i & 1] = h[i] > high[i & 1] ? h[i] : high[i & 1];
    }
    return fours * 4;
}

// Four 24-bit frames (eight samples, 24 bytes) at p, each sample moved into
// the top three bytes of a 32-bit lane (its value times 256, which orders
// the same): left in the even lanes, right in the odd ones. Reads 4 bytes
// past the 24.
__attribute__((target("avx2"))) static inline __m256i spread24(const unsigned char *p)
{
    const __m256i spread = _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11,
                                            -1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)p)),
                                        _mm_loadu_si128((const __m128i *)(p + 12)), 1);
    return _mm256_shuffle_epi8(v, spread);
}

// 24-bit frames, four a compare and two fours a turn, each into extremes
// of its own so that neither waits for the other. Needs AVX2, asked of the
// processor first. The last frame is left to the plain way (the loads
// read 4 bytes past a four). Returns the frames it measured.
__attribute__((target("avx2"))) static long scanFrames24(long frames, const unsigned char *p,
                                                        int32_t low[2], int32_t high[2])
{
    long fours = (frames - 1) / 4;   // leaves at least one frame: no read past the block
    if (fours <= 0) return 0;
    __m256i lo0 = _mm256_setzero_si256(), hi0 = _mm256_setzero_si256();
    __m256i lo1 = _mm256_setzero_si256(), hi1 = _mm256_setzero_si256();
    const unsigned char *end = p + 24 * (size_t)(fours & ~1L);
    for (; p < end; p += 48) {
        __m256i a = spread24(p), b = spread24(p + 24);
        lo0 = _mm256_min_epi32(lo0, a);
        hi0 = _mm256_max_epi32(hi0, a);
        lo1 = _mm256_min_epi32(lo1, b);
        hi1 = _mm256_max_epi32(hi1, b);
    }
    if (fours & 1) {
        __m256i a = spread24(p);
        lo0 = _mm256_min_epi32(lo0, a);
        hi0 = _mm256_max_epi32(hi0, a);
    }
    int32_t l[8], h[8];
    _mm256_storeu_si256((__m256i *)l, _mm256_min_epi32(lo0, lo1));
    _mm256_storeu_si256((__m256i *)h, _mm256_max_epi32(hi0, hi1));
    for (int i = 0; i < 8; ++i) {
        int32_t vl = l[i] >> 8, vh = h[i] >> 8;   // back to the sample's value
        low[i & 1] = vl < low[i & 1] ? vl : low[i & 1];
        high[i & 1] = vh > high[i & 1] ? vh : high[i & 1];
    }
    return fours * 4;
}
#endif

// Each channel's extremes of frames two-channel interleaved frames: the
// wide ways where the processor has them, the plain one for the rest.
static void frameExtremes(long frames, const unsigned char *p, unsigned int bytesPerSample,
                          int32_t low[2], int32_t high[2])
{
    long done = 0;
#if defined(__x86_64__)
    if (bytesPerSample == 2) {
        done = scanFrames16(frames, p, low, high);
    } else {
        if (__builtin_cpu_supports("avx2")) done = scanFrames24(frames, p, low, high);
    }
#endif
    scanFrames(frames - done, p + (size_t)done * 2 * bytesPerSample, bytesPerSample, low, high);
}

void checkFramePeaks(long frames, const char *data, unsigned int bytesPerSample, long *left,
                     long *right)
{
    if (frames <= 0 || (bytesPerSample != 2 && bytesPerSample != 3)) return;
    // Two channels interleaved, as the device gives them: each channel's
    // extremes, then the larger magnitude of each, as CheckPeak does for
    // one. This runs over every frame a take records.
    int32_t low[2] = {0, 0}, high[2] = {0, 0};
    frameExtremes(frames, (const unsigned char *)data, bytesPerSample, low, high);
    raisePeak(left, low[0], high[0]);
    if (right) raisePeak(right, low[1], high[1]);
}

// Samples of channel (0 or 1) at either end of the scale among frames
// two-channel frames at p.
static long clippedSamples(long frames, const unsigned char *p, unsigned int bytesPerSample,
                           int channel)
{
    long clipped = 0;
    size_t step = 2 * (size_t)bytesPerSample;
    p += (size_t)channel * bytesPerSample;
    for (long i = 0; i < frames; ++i, p += step) {
        if (bytesPerSample == 2) {
            int16_t v;
            memcpy(&v, p, 2);
            clipped += v == INT16_MAX || v == INT16_MIN;
        } else {
            int32_t v = sample24(p);
            clipped += v == kTop24 || v == -kTop24 - 1;
        }
    }
    return clipped;
}

void measureFrames(long frames, const char *data, unsigned int bytesPerSample, long peaks[2],
                   long clips[2])
{
    if (frames <= 0 || (bytesPerSample != 2 && bytesPerSample != 3)) return;
    const unsigned char *p = (const unsigned char *)data;
    int32_t low[2] = {0, 0}, high[2] = {0, 0};
    frameExtremes(frames, p, bytesPerSample, low, high);
    int32_t top = bytesPerSample == 2 ? INT16_MAX : kTop24;
    for (int c = 0; c < 2; ++c) {
        raisePeak(&peaks[c], low[c], high[c]);
        // Only a block whose extremes reach the end of the scale holds a
        // clipped sample: they alone are counted, one sample at a time, so
        // a take that never clips pays nothing for the count.
        if (high[c] == top || low[c] == -top - 1)
            clips[c] += clippedSamples(frames, p, bytesPerSample, c);
    }
}

long firstFrameOver(long frames, const char *data, unsigned int bytesPerSample, int channels,
                    long level)
{
    const unsigned char *p = (const unsigned char *)data;
    for (long f = 0; f < frames; ++f, p += 2 * bytesPerSample) {
        for (int ch = 0; ch < channels && ch < 2; ++ch) {
            const unsigned char *s = p + ch * bytesPerSample;
            long v = bytesPerSample == 3 ? (long)sample24(s) : (long)(int16_t)(s[0] | s[1] << 8);
            if ((v < 0 ? -v : v) > level) return f;
        }
    }
    return -1;
}

void ShowPeaks(int channel, long peak, long bytesPerSample)
{
    if (peak == 0) {
        // Silence has no logarithm: a fixed floor a little below the
        // quietest level a sample of this size can show.
        if (bytesPerSample == 3) printf("Channel %i peak = -144 dB\n", channel);
        else printf("Channel %i peak = -96 dB\n", channel);
        return;
    }
    float fullScale = bytesPerSample == 3 ? kFullScale24 : kFullScale16;
    float logarg = fullScale / (float)peak;
    // At full scale the ratio is exactly 1 and the level prints as -0.00.
    float level = (float)(-20.0 * log10((double)logarg));
    printf("Channel %i peak = %.2f dB\n", channel, level);
}
