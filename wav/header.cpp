// Byte packing: the little-endian writers and readers; and the header of
// a new recording: the canonical 44 bytes, or RF64 past 4 GiB, with a
// Broadcast WAV bext chunk when asked for.
#include "wav/wav_private.h"

#include <cerrno>
#include <cstring>
#include <ctime>

void Decon2(unsigned short value, char *out)
{
    out[0] = (char)(value % 256);
    out[1] = (char)(value / 256);
}

void Decon3(unsigned long value, char *out)
{
    out[0] = (char)(value & 0xff);
    out[1] = (char)((value >> 8) & 0xff);
    out[2] = (char)((value >> 16) & 0xff);
}

void Decon4(unsigned long value, char *out)
{
    // The low 32 bits, least significant byte first: sizes from 2 GiB to
    // 4 GiB are stored as the unsigned values they are.
    out[0] = (char)(value & 0xff);
    out[1] = (char)((value >> 8) & 0xff);
    out[2] = (char)((value >> 16) & 0xff);
    out[3] = (char)((value >> 24) & 0xff);
}

void Decon8(unsigned long long value, char *out)
{
    for (int i = 0; i < 8; ++i) out[i] = (char)((value >> (8 * i)) & 0xff);
}

unsigned int Assem2(const char *bytes)
{
    const unsigned char *b = (const unsigned char *)bytes;
    return (unsigned int)b[0] + 256u * b[1];
}

unsigned long Assem4(const char *bytes)
{
    const unsigned char *b = (const unsigned char *)bytes;
    return (unsigned long)b[0] | ((unsigned long)b[1] << 8) |
           ((unsigned long)b[2] << 16) | ((unsigned long)b[3] << 24);
}

unsigned long long Assem8(const char *bytes)
{
    return (unsigned long long)Assem4(bytes) | ((unsigned long long)Assem4(bytes + 4) << 32);
}

// The 24-byte format chunk of integer PCM at out.
static void formatChunk(char *out, unsigned long channels, unsigned long rate,
                        unsigned long bytesPerSample)
{
    unsigned long frameBytes = channels * bytesPerSample;
    memcpy(out + 0, "fmt ", 4);
    memcpy(out + 4, "\x10\x00\x00\x00", 4);   // format chunk size 16
    Decon2(1, out + 8);                          // integer PCM
    Decon2((unsigned short)channels, out + 10);
    Decon4(rate, out + 12);
    Decon4(rate * frameBytes, out + 16);         // byte rate
    Decon2((unsigned short)(frameBytes & 0xffff), out + 20);   // block align
    Decon2((unsigned short)(8 * bytesPerSample), out + 22);
}

// Offsets in the RF64 header: the ds64 chunk right after "WAVE", then the
// format chunk and the data chunk's header.
static const long kRf64Ds64At = 12;
static const long kRf64FormatAt = kRf64Ds64At + kChunkHeaderBytes + kDs64BodyBytes;   // 48

// The bext chunk's fields, counted from the start of its body.
static const long kBextOriginatorAt = 256;
static const long kBextDateAt = 320;
static const long kBextTimeAt = 330;
static const long kBextTimeReferenceAt = 338;
static const long kBextVersionAt = 346;

void makeBextStamp(BextStamp *s, long long seconds, long nanoseconds, unsigned int rate,
                   unsigned long unique)
{
    memset(s, 0, sizeof *s);
    time_t when = (time_t)seconds;
    struct tm local;
    if (!localtime_r(&when, &local)) memset(&local, 0, sizeof local);
    snprintf(s->date, sizeof s->date, "%04u-%02u-%02u", (unsigned)(local.tm_year + 1900) % 10000u,
             (unsigned)(local.tm_mon + 1) % 100u, (unsigned)local.tm_mday % 100u);
    snprintf(s->time, sizeof s->time, "%02u:%02u:%02u", (unsigned)local.tm_hour % 100u,
             (unsigned)local.tm_min % 100u, (unsigned)local.tm_sec % 100u);
    unsigned long long sinceMidnight =
        (unsigned long long)((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec);
    unsigned long long part =
        nanoseconds > 0 && nanoseconds < 1000000000L ? (unsigned long long)nanoseconds : 0;
    s->timeReference = sinceMidnight * rate + part * rate / 1000000000ULL;
    snprintf(s->reference, sizeof s->reference, "Tunevat-%.4s%.2s%.2s%.2s%.2s%.2s-%08lx", s->date,
             s->date + 5, s->date + 8, s->time, s->time + 3, s->time + 6, unique & 0xffffffffUL);
}

void bextStampFields(const BextStamp *s, char *out)
{
    memset(out, 0, (size_t)kBextStampBytes);
    memcpy(out, s->reference, strnlen(s->reference, sizeof s->reference));
    memcpy(out + kBextDateAt - kBextReferenceAt, s->date, 10);
    memcpy(out + kBextTimeAt - kBextReferenceAt, s->time, 8);
    Decon8(s->timeReference, out + kBextTimeReferenceAt - kBextReferenceAt);
}

int bextChunk(char *out, const BextStamp *s, unsigned int rate, unsigned int channels,
              unsigned int bits)
{
    char history[kMaxBextChunkBytes - kChunkHeaderBytes - kBextFixedBytes];
    const char *mode = channels == 1 ? ",M=mono" : channels == 2 ? ",M=stereo" : "";
    int n = snprintf(history, sizeof history, "A=PCM,F=%u,W=%u%s,T=Tunevat\r\n", rate,
                     bits / 8 * 8, mode);
    if (n < 0 || n >= (int)sizeof history) n = (int)sizeof history - 1;
    long body = kBextFixedBytes + n + (n & 1);   // a NUL evens an odd line
    memset(out, 0, (size_t)(kChunkHeaderBytes + body));
    memcpy(out, "bext", 4);
    Decon4((unsigned long)body, out + kTagBytes);
    char *b = out + kChunkHeaderBytes;
    memcpy(b + kBextOriginatorAt, "Tunevat", 7);
    bextStampFields(s, b + kBextReferenceAt);
    Decon2(1, b + kBextVersionAt);
    memcpy(b + kBextFixedBytes, history, (size_t)n);
    return (int)(kChunkHeaderBytes + body);
}

int headerBytes(char *header, unsigned int rate, unsigned int channels, unsigned int bits,
                long long frames)
{
    return bwfHeaderBytes(header, rate, channels, bits, frames, nullptr);
}

int bwfHeaderBytes(char *header, unsigned int rate, unsigned int channels, unsigned int bits,
                   long long frames, const BextStamp *stamp)
{
    // Only the low 16 bits of the channel count reach the header.
    unsigned long ch = channels & 0xffffUL;
    unsigned long bytesPerSample = bits / 8;
    unsigned long frameBytes = ch * bytesPerSample;

    // Refuse what the fields cannot state rather than let a size wrap:
    // data bytes past what this room writes, and rates past the signed
    // 32-bit range every reader takes.
    int fits = frames >= 0 && rate <= (unsigned long)kMaxField;
    if (fits && frameBytes != 0) {
        fits = (unsigned long long)frames <= (unsigned long long)kMaxAudioBytes / frameBytes &&
               rate <= (unsigned long)kMaxField / frameBytes;
    }
    if (!fits) return 0;
    unsigned long long dataBytes = (unsigned long long)frameBytes * (unsigned long long)frames;
    char bext[kMaxBextChunkBytes];
    long bextBytes = stamp ? bextChunk(bext, stamp, rate, (unsigned int)ch, bits) : 0;

    // The chunks before the audio: "RIFF" or "RF64" with the ds64 chunk,
    // the format chunk, the bext chunk, the data chunk's header.
    int rf64 = dataBytes > (unsigned long long)(kRiffDataLimit - bextBytes);
    long formatAt = rf64 ? kRf64FormatAt : kRiffFormatAt;
    long dataAt = formatAt + kFormatChunkBytes + bextBytes;
    long length = dataAt + kChunkHeaderBytes;
    memcpy(header + 0, rf64 ? "RF64" : "RIFF", 4);
    // Past the RIFF size's reach the 32-bit sizes say "see ds64".
    unsigned long long riffSize = dataBytes + (unsigned long long)(length - kChunkHeaderBytes);
    Decon4(rf64 ? (unsigned long)kUnknownSize : (unsigned long)riffSize, header + kRiffSizeAt);
    memcpy(header + 8, "WAVE", 4);
    if (rf64) {
        char *ds64 = header + kRf64Ds64At;
        memcpy(ds64, "ds64", 4);
        Decon4((unsigned long)kDs64BodyBytes, ds64 + kTagBytes);
        Decon8(riffSize, ds64 + kDs64RiffAt);
        Decon8(dataBytes, ds64 + kDs64DataAt);
        Decon8((unsigned long long)frames, ds64 + kDs64SamplesAt);
        Decon4(0, ds64 + kDs64SamplesAt + kWideSizeBytes);   // no table of other sizes
    }
    formatChunk(header + formatAt, ch, rate, bytesPerSample);
    memcpy(header + formatAt + kFormatChunkBytes, bext, (size_t)bextBytes);
    memcpy(header + dataAt, "data", 4);
    Decon4(rf64 ? (unsigned long)kUnknownSize : (unsigned long)dataBytes,
           header + dataAt + kTagBytes);
    return (int)length;
}

int MAKE_HEADER(const char *path, unsigned int rate, unsigned int channels,
                unsigned int bits, long long frames)
{
    char header[kRf64HeaderBytes];
    int length = headerBytes(header, rate, channels, bits, frames);
    if (length == 0) {
        printf("Recording does not fit a wave file: %s\n", path);
        return 0;
    }

    FILE *f = fopen(path, "wb");
    if (!f) {
        cannotOpen(path);
        return 0;
    }
    int ok = fwrite(header, 1, (size_t)length, f) == (size_t)length;
    int err = errno;
    if (fclose(f) != 0 && ok) {
        ok = 0;
        err = errno;
    }
    if (!ok) {
        cannotWrite(path, err);
        return 0;
    }
    return 1;
}
