// The peak meter: a running peak per channel while a take is recorded, and
// the level line of the report after it.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "audio/audio.h"

// Full scale of a sample: the magnitude of the most negative value.
static const float kFullScale16 = 32768.0f;
static const float kFullScale24 = 8388608.0f;

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

void checkFramePeaks(long frames, const char *data, unsigned int bytesPerSample, long *left,
                     long *right)
{
    if (frames <= 0) return;
    // Two channels interleaved, as the device gives them: one pass keeps
    // each channel's extremes, as CheckPeak does for one.
    const unsigned char *p = (const unsigned char *)data;
    if (bytesPerSample == 2) {
        int16_t low[2] = {0, 0}, high[2] = {0, 0};
        for (long i = 0; i < frames; ++i) {
            int16_t v[2];
            memcpy(v, p + 4 * (size_t)i, 4);
            for (int c = 0; c < 2; ++c) {
                low[c] = v[c] < low[c] ? v[c] : low[c];
                high[c] = v[c] > high[c] ? v[c] : high[c];
            }
        }
        raisePeak(left, low[0], high[0]);
        if (right) raisePeak(right, low[1], high[1]);
    } else if (bytesPerSample == 3) {
        int32_t low[2] = {0, 0}, high[2] = {0, 0};
        for (long i = 0; i < frames; ++i, p += 6) {
            int32_t v0 = sample24(p), v1 = sample24(p + 3);
            low[0] = v0 < low[0] ? v0 : low[0];
            high[0] = v0 > high[0] ? v0 : high[0];
            low[1] = v1 < low[1] ? v1 : low[1];
            high[1] = v1 > high[1] ? v1 : high[1];
        }
        raisePeak(left, low[0], high[0]);
        if (right) raisePeak(right, low[1], high[1]);
    }
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
