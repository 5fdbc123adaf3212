// The floor of the benchmark: only the work the format demands, nothing
// else (no console, no clock line, no peak meter).
//
//   floor play FILE DEVICE
//       reads the WAV file's data in 4096-frame periods and hands them to
//       the ALSA device as interleaved two-channel frames, duplicating a
//       mono file's samples;
//   floor record DEVICE RATE SECONDS OUT
//       reads 16-bit stereo frames from the ALSA device in 4096-frame
//       periods and writes them after a 44-byte header into OUT;
//   floor record-channels DEVICE RATE SECONDS OUT
//       the same, but reads each period as two channel buffers
//       (non-interleaved access, snd_pcm_readn), as tunevat's capture does,
//       and interleaves them before writing.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <unistd.h>

static const snd_pcm_uframes_t kPeriod = 4096;

static unsigned le16(const unsigned char *p) { return p[0] | (p[1] << 8); }
static unsigned long le32(const unsigned char *p)
{
    return (unsigned long)p[0] | ((unsigned long)p[1] << 8) | ((unsigned long)p[2] << 16) |
           ((unsigned long)p[3] << 24);
}
static void put16(unsigned char *p, unsigned v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}
static void put32(unsigned char *p, unsigned long v)
{
    for (int i = 0; i < 4; ++i) p[i] = (unsigned char)(v >> (8 * i));
}

static snd_pcm_t *openPcm(const char *device, snd_pcm_stream_t stream, snd_pcm_format_t format,
                          unsigned rate, snd_pcm_uframes_t buffer,
                          snd_pcm_access_t access = SND_PCM_ACCESS_RW_INTERLEAVED)
{
    snd_pcm_t *pcm;
    if (snd_pcm_open(&pcm, device, stream, 0) < 0) return nullptr;
    snd_pcm_hw_params_t *hw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_hw_params_any(pcm, hw);
    snd_pcm_hw_params_set_access(pcm, hw, access);
    snd_pcm_hw_params_set_format(pcm, hw, format);
    snd_pcm_hw_params_set_channels(pcm, hw, 2);
    snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr);
    snd_pcm_uframes_t period = kPeriod;
    snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr);
    snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    if (snd_pcm_hw_params(pcm, hw) < 0) {
        snd_pcm_close(pcm);
        return nullptr;
    }
    return pcm;
}

static int play(const char *path, const char *device)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0) return 1;
    unsigned char head[4096];
    ssize_t n = read(fd, head, sizeof head);
    if (n < 12) return 1;
    // Walk the chunks for "fmt " and "data".
    unsigned channels = 0, bits = 0, rate = 0;
    long dataAt = -1, dataLen = 0;
    for (long p = 12; p + 8 <= n;) {
        unsigned long len = le32(head + p + 4);
        if (memcmp(head + p, "fmt ", 4) == 0 && p + 24 <= n) {
            channels = le16(head + p + 10);
            rate = (unsigned)le32(head + p + 12);
            bits = le16(head + p + 22);
        } else if (memcmp(head + p, "data", 4) == 0) {
            dataAt = p + 8;
            dataLen = (long)len;
            break;
        }
        p += 8 + (long)len + (len & 1);
    }
    if (dataAt < 0 || (channels != 1 && channels != 2) || (bits != 16 && bits != 24)) return 1;
    unsigned bps = bits / 8;
    snd_pcm_t *pcm = openPcm(device, SND_PCM_STREAM_PLAYBACK,
                             bps == 3 ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE, rate,
                             4 * kPeriod);
    if (!pcm) return 1;
    size_t inFrame = (size_t)channels * bps;
    char *in = (char *)malloc(kPeriod * inFrame);
    char *out = (char *)malloc(kPeriod * 2 * bps);
    lseek(fd, dataAt, SEEK_SET);
    long left = dataLen;
    while (left > 0) {
        size_t want = kPeriod * inFrame;
        if ((long)want > left) want = (size_t)left;
        size_t got = 0;
        while (got < want) {
            ssize_t r = read(fd, in + got, want - got);
            if (r <= 0) break;
            got += (size_t)r;
        }
        size_t frames = got / inFrame;
        if (frames == 0) break;
        left -= (long)got;
        const char *send = in;
        if (channels == 1) {
            if (bps == 2) {
                for (size_t k = 0; k < frames; ++k) {
                    memcpy(out + 4 * k, in + 2 * k, 2);
                    memcpy(out + 4 * k + 2, in + 2 * k, 2);
                }
            } else {
                for (size_t k = 0; k < frames; ++k) {
                    memcpy(out + 6 * k, in + 3 * k, 3);
                    memcpy(out + 6 * k + 3, in + 3 * k, 3);
                }
            }
            send = out;
        }
        if (snd_pcm_writei(pcm, send, frames) == -EPIPE) snd_pcm_prepare(pcm);
    }
    snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
    free(in);
    free(out);
    close(fd);
    return 0;
}

static int record(const char *device, unsigned rate, double secondsWanted, const char *path,
                  bool channelBuffers)
{
    snd_pcm_t *pcm = openPcm(device, SND_PCM_STREAM_CAPTURE, SND_PCM_FORMAT_S16_LE, rate,
                             8 * kPeriod,
                             channelBuffers ? SND_PCM_ACCESS_RW_NONINTERLEAVED
                                            : SND_PCM_ACCESS_RW_INTERLEAVED);
    if (!pcm) return 1;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 1;
    unsigned long frames = (unsigned long)(rate * secondsWanted);
    unsigned long periods = (frames + kPeriod - 1) / kPeriod;
    unsigned long bytes = periods * kPeriod * 4;
    unsigned char head[44];
    memcpy(head, "RIFF", 4);
    put32(head + 4, 36 + bytes);
    memcpy(head + 8, "WAVEfmt ", 8);
    put32(head + 16, 16);
    put16(head + 20, 1);
    put16(head + 22, 2);
    put32(head + 24, rate);
    put32(head + 28, rate * 4);
    put16(head + 32, 4);
    put16(head + 34, 16);
    memcpy(head + 36, "data", 4);
    put32(head + 40, bytes);
    if (write(fd, head, 44) != 44) return 1;
    char *buf = (char *)malloc(kPeriod * 4);
    char *halves = (char *)malloc(kPeriod * 4);
    void *channels[2] = {halves, halves + kPeriod * 2};
    snd_pcm_prepare(pcm);
    for (unsigned long i = 0; i < periods; ++i) {
        snd_pcm_sframes_t got;
        if (channelBuffers) {
            got = snd_pcm_readn(pcm, channels, kPeriod);
            for (size_t k = 0; k < kPeriod; ++k) {
                memcpy(buf + 4 * k, halves + 2 * k, 2);
                memcpy(buf + 4 * k + 2, halves + kPeriod * 2 + 2 * k, 2);
            }
        } else {
            got = snd_pcm_readi(pcm, buf, kPeriod);
        }
        if (got == -EPIPE) snd_pcm_prepare(pcm);
        if (write(fd, buf, kPeriod * 4) != (ssize_t)(kPeriod * 4)) return 1;
    }
    snd_pcm_drop(pcm);
    snd_pcm_close(pcm);
    free(buf);
    free(halves);
    close(fd);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "play") == 0) return play(argv[2], argv[3]);
    if (argc == 6 && strcmp(argv[1], "record") == 0)
        return record(argv[2], (unsigned)atoi(argv[3]), atof(argv[4]), argv[5], false);
    if (argc == 6 && strcmp(argv[1], "record-channels") == 0)
        return record(argv[2], (unsigned)atoi(argv[3]), atof(argv[4]), argv[5], true);
    fprintf(stderr, "usage: floor play FILE DEVICE | floor record[-channels] DEVICE RATE SECONDS "
                    "OUT\n");
    return 2;
}
