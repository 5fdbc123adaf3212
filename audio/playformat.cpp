// The sample formats of playback: which one to ask a device for, and the
// conversion of a block of samples to the one it takes.
//
// A block is converted in one loop per pair of encodings, each sample read
// as a fraction of full scale and written back at the new width: no test
// of the encodings per sample, only the clipping and rounding that a
// float-to-integer conversion needs (which compile to min, max and a
// rounding conversion, without branches).
#include "audio/playformat.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>


int formatCandidates(SampleEncoding file, SampleEncoding *list)
{
    // Nearest first: the same samples, then wider or as exact, then
    // narrower.
    static const SampleEncoding order[][kMaxCandidates] = {
        {kSampleUnplayable},
        {kSampleU8, kSampleS16, kSampleS32, kSampleS24, kSampleF32},     // U8
        {kSampleS16, kSampleS32, kSampleS24, kSampleF32},                // S16
        {kSampleS24, kSampleS32, kSampleF32, kSampleS16},                // S24
        {kSampleS32, kSampleS24, kSampleF32, kSampleS16},                // S32
        {kSampleF32, kSampleF64, kSampleS32, kSampleS24, kSampleS16},    // F32
        {kSampleF64, kSampleF32, kSampleS32, kSampleS24, kSampleS16},    // F64
    };
    int n = 0;
    if ((unsigned int)file < sizeof order / sizeof order[0]) {
        for (SampleEncoding e : order[file])
            if (e != kSampleUnplayable) list[n++] = e;
    }
    return n;
}

snd_pcm_format_t alsaFormat(SampleEncoding e)
{
    switch (e) {
    case kSampleU8: return SND_PCM_FORMAT_U8;
    case kSampleS16: return SND_PCM_FORMAT_S16_LE;
    case kSampleS24: return SND_PCM_FORMAT_S24_3LE;
    case kSampleS32: return SND_PCM_FORMAT_S32_LE;
    case kSampleF32: return SND_PCM_FORMAT_FLOAT_LE;
    case kSampleF64: return SND_PCM_FORMAT_FLOAT64_LE;
    default: return SND_PCM_FORMAT_UNKNOWN;
    }
}

int chooseDeviceFormat(snd_pcm_t *pcm, snd_pcm_hw_params_t *params, SampleEncoding file,
                       SampleEncoding *device)
{
    SampleEncoding list[kMaxCandidates];
    int n = formatCandidates(file, list);
    int first = -EINVAL;
    for (int i = 0; i < n; ++i) {
        int err = snd_pcm_hw_params_test_format(pcm, params, alsaFormat(list[i]));
        if (err == 0) {
            *device = list[i];
            return 0;
        }
        if (i == 0) first = err;
    }
    return first;
}

// The two channels played from files of more than two (from 1), or 0 0:
// all where the device takes them, else 1 and 2.
static unsigned int chosenPair[2] = {0, 0};

void choosePlayedPair(int first, int second)
{
    int valid = first > 0 && second > 0;
    chosenPair[0] = valid ? (unsigned int)first : 0;
    chosenPair[1] = valid ? (unsigned int)second : 0;
}

unsigned int chooseDeviceChannels(snd_pcm_t *pcm, snd_pcm_hw_params_t *params, const char *path,
                                  unsigned int channels, unsigned int *pair)
{
    const unsigned int two = 2;
    unsigned int device = two;
    pair[0] = 0;
    pair[1] = channels > 1 ? 1 : 0;
    if (channels > two && chosenPair[0] == 0 &&
        snd_pcm_hw_params_test_channels(pcm, params, channels) == 0) {
        device = channels;
    } else if (channels > two && chosenPair[0] > 0) {
        if (chosenPair[0] <= channels && chosenPair[1] <= channels) {
            pair[0] = chosenPair[0] - 1;
            pair[1] = chosenPair[1] - 1;
        } else {
            printf("%s has %u channels: playing 1 and 2\n", path, channels);
        }
    }
    snd_pcm_hw_params_set_channels(pcm, params, device);
    return device;
}

namespace {

// A sample as a fraction of full scale, -1 up to just below 1 for
// integers. Integers are read as their top bits of 32 (8-bit ones from
// unsigned), so every width divides by the same 2^31.
template <SampleEncoding E> inline double readSample(const unsigned char *p);
template <> inline double readSample<kSampleU8>(const unsigned char *p)
{
    return ((int)p[0] - 128) / 128.0;
}
template <> inline double readSample<kSampleS16>(const unsigned char *p)
{
    return (int32_t)((uint32_t)p[0] << 16 | (uint32_t)p[1] << 24) / 2147483648.0;
}
template <> inline double readSample<kSampleS24>(const unsigned char *p)
{
    return (int32_t)((uint32_t)p[0] << 8 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 24) /
           2147483648.0;
}
template <> inline double readSample<kSampleS32>(const unsigned char *p)
{
    int32_t v;
    memcpy(&v, p, sizeof v);   // the files are little-endian, as is every host this builds for
    return v / 2147483648.0;
}
template <> inline double readSample<kSampleF32>(const unsigned char *p)
{
    float v;
    memcpy(&v, p, sizeof v);
    return v;
}
template <> inline double readSample<kSampleF64>(const unsigned char *p)
{
    double v;
    memcpy(&v, p, sizeof v);
    return v;
}

// x at full scale 2^(bits-1), rounded to the nearest integer and clipped
// to what bits hold; a NaN gives 0.
template <int Bits> inline long scaled(double x)
{
    const double full = (double)(1LL << (Bits - 1));
    double v = x * full;
    v = v == v ? v : 0.0;
    v = v < -full ? -full : v;
    v = v > full - 1.0 ? full - 1.0 : v;
    return lrint(v);
}

template <SampleEncoding E> inline void writeSample(double x, unsigned char *p);
template <> inline void writeSample<kSampleU8>(double x, unsigned char *p)
{
    p[0] = (unsigned char)(scaled<8>(x) + 128);
}
template <> inline void writeSample<kSampleS16>(double x, unsigned char *p)
{
    uint32_t v = (uint32_t)scaled<16>(x);
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}
template <> inline void writeSample<kSampleS24>(double x, unsigned char *p)
{
    uint32_t v = (uint32_t)scaled<24>(x);
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
}
template <> inline void writeSample<kSampleS32>(double x, unsigned char *p)
{
    int32_t v = (int32_t)scaled<32>(x);
    memcpy(p, &v, sizeof v);
}
template <> inline void writeSample<kSampleF32>(double x, unsigned char *p)
{
    float v = (float)x;
    memcpy(p, &v, sizeof v);
}
template <> inline void writeSample<kSampleF64>(double x, unsigned char *p)
{
    memcpy(p, &x, sizeof x);
}

template <SampleEncoding From, SampleEncoding To>
void convertRun(const unsigned char *in, unsigned char *out, size_t count)
{
    const size_t a = From == kSampleU8 ? 1 : From == kSampleS16 ? 2 : From == kSampleS24 ? 3
                   : From == kSampleF64 ? 8 : 4;
    const size_t b = To == kSampleU8 ? 1 : To == kSampleS16 ? 2 : To == kSampleS24 ? 3
                   : To == kSampleF64 ? 8 : 4;
    for (size_t i = 0; i < count; ++i) writeSample<To>(readSample<From>(in + i * a), out + i * b);
}

typedef void (*ConvertRun)(const unsigned char *, unsigned char *, size_t);

template <SampleEncoding From> constexpr ConvertRun runTo(SampleEncoding to)
{
    return to == kSampleU8    ? convertRun<From, kSampleU8>
           : to == kSampleS16 ? convertRun<From, kSampleS16>
           : to == kSampleS24 ? convertRun<From, kSampleS24>
           : to == kSampleS32 ? convertRun<From, kSampleS32>
           : to == kSampleF32 ? convertRun<From, kSampleF32>
                              : convertRun<From, kSampleF64>;
}

ConvertRun runFor(SampleEncoding from, SampleEncoding to)
{
    switch (from) {
    case kSampleU8: return runTo<kSampleU8>(to);
    case kSampleS16: return runTo<kSampleS16>(to);
    case kSampleS24: return runTo<kSampleS24>(to);
    case kSampleS32: return runTo<kSampleS32>(to);
    case kSampleF32: return runTo<kSampleF32>(to);
    default: return runTo<kSampleF64>(to);
    }
}

// Two channels of each frame, Bytes bytes a sample.
template <size_t Bytes>
void pickRun(unsigned int frames, unsigned int channels, unsigned int a, unsigned int b,
             const char *in, char *out)
{
    const size_t frameBytes = (size_t)channels * Bytes;
    for (size_t k = 0; k < frames; ++k, in += frameBytes, out += 2 * Bytes) {
        memcpy(out, in + a * Bytes, Bytes);
        memcpy(out + Bytes, in + b * Bytes, Bytes);
    }
}

}  // namespace

void convertSamples(const char *in, SampleEncoding from, char *out, SampleEncoding to,
                    size_t count)
{
    if (from == kSampleUnplayable || to == kSampleUnplayable) return;
    if (from == to) {
        memcpy(out, in, count * encodingBytes(from));
        return;
    }
    runFor(from, to)((const unsigned char *)in, (unsigned char *)out, count);
}

void pickChannels(unsigned int frames, unsigned int bytes, unsigned int channels, unsigned int a,
                  unsigned int b, const char *in, char *out)
{
    switch (bytes) {
    case 1: pickRun<1>(frames, channels, a, b, in, out); break;
    case 2: pickRun<2>(frames, channels, a, b, in, out); break;
    case 3: pickRun<3>(frames, channels, a, b, in, out); break;
    case 4: pickRun<4>(frames, channels, a, b, in, out); break;
    case 8: pickRun<8>(frames, channels, a, b, in, out); break;
    default: break;
    }
}
