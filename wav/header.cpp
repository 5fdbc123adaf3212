// Byte packing: the little-endian writers and readers; and the header of
// a new recording: the canonical 44 bytes, or RF64 past 4 GiB.
#include "wav/wav_private.h"

#include <cerrno>
#include <cstring>

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
static const long kRf64DataAt = kRf64FormatAt + 24;                                   // 72

int headerBytes(char *header, unsigned int rate, unsigned int channels, unsigned int bits,
                long long frames)
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

    if (dataBytes <= (unsigned long long)kRiffDataLimit) {
        memcpy(header + 0, "RIFF", 4);
        Decon4((unsigned long)(dataBytes + 36), header + kRiffSizeAt);   // 36: the header after this field
        memcpy(header + 8, "WAVE", 4);
        formatChunk(header + 12, ch, rate, bytesPerSample);
        memcpy(header + 36, "data", 4);
        Decon4((unsigned long)dataBytes, header + kDataSizeAt);
        return (int)kWavHeaderBytes;
    }
    // Past the RIFF size's reach the 32-bit sizes say "see ds64".
    memcpy(header + 0, "RF64", 4);
    Decon4(kUnknownSize, header + kRiffSizeAt);
    memcpy(header + 8, "WAVE", 4);
    char *ds64 = header + kRf64Ds64At;
    memcpy(ds64, "ds64", 4);
    Decon4((unsigned long)kDs64BodyBytes, ds64 + kTagBytes);
    Decon8(dataBytes + (unsigned long long)(kRf64HeaderBytes - kChunkHeaderBytes), ds64 + kDs64RiffAt);
    Decon8(dataBytes, ds64 + kDs64DataAt);
    Decon8((unsigned long long)frames, ds64 + kDs64SamplesAt);
    Decon4(0, ds64 + kDs64SamplesAt + kWideSizeBytes);   // no table of other sizes
    formatChunk(header + kRf64FormatAt, ch, rate, bytesPerSample);
    memcpy(header + kRf64DataAt, "data", 4);
    Decon4(kUnknownSize, header + kRf64DataAt + kTagBytes);
    return (int)kRf64HeaderBytes;
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
