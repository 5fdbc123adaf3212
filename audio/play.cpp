// The playback engine: one WAV file, or the stretch of it between an in
// and an out point, through an ALSA playback device in period-sized
// blocks. Mono files are sent to both channels; files of more than two
// send all of them where the device takes them, else two. The device gets
// the file's own samples where it takes them, converted where it does not
// (audio/playformat.cpp).
//
// The file is read several periods at a time and the device is handed one
// period from that piece after another: the device receives exactly the
// blocks it would get from one read per period, for a fraction of the
// system calls.
#include "audio/audio.h"

#include <alloca.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <alsa/asoundlib.h>
#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

#include "audio/devices.h"
#include "audio/playformat.h"
#include "audio/running_line.h"
#include "files/files.h"
#include "input/input.h"
#include "wav/wav.h"

// Byte offsets in a file of hours reach past 2^31 (an hour of 96 kHz 24-bit
// stereo is 2 GB): the reads take them as off_t, which must hold them on
// every system, 32-bit ones included (large-file support).
static_assert(sizeof(off_t) >= 8, "playback needs 64-bit file offsets");

// The device is driven with two channels (mono is duplicated), or with
// all of a file's where it has more and the device takes them.
static const unsigned int kDeviceChannels = 2;
// Requested period and buffer, in frames: four periods in the buffer.
static const snd_pcm_uframes_t kPeriodFrames = 4096;
static const snd_pcm_uframes_t kBufferFrames = 16384;
// Under-runs, suspends and writes that took nothing, in a row, after
// which the device counts as failed: a healthy device takes a block
// after it has been prepared again.
static const int kMaxFailedWrites = 8;
// About this many bytes of the file are read at a time, rounded down to
// whole periods (at least one). Ten periods of 24-bit stereo, 32 of 16-bit
// mono: a read now and then instead of one per period, while the device's
// buffer (four periods) covers the time a read takes from a slow disk,
// and the piece stays a small part of the program's memory.
static const long long kReadBytes = 256 * 1024;

// One playback: the file, the device and the buffers between them.
struct Playback {
    const char *path;
    const char *device;
    int fd;                     // the file, read at explicit offsets
    snd_pcm_t *pcm;
    unsigned long rate;         // frames per second, the file's
    unsigned int channels;      // the file's
    unsigned int bytesPerSample;   // the file's
    SampleEncoding fileEncoding;
    SampleEncoding deviceEncoding; // what the device takes: the file's, or the nearest
    unsigned int deviceChannels;   // 2, or the file's channels when it has more
    unsigned int pair[2];          // the file's channels (from 0) on the device's two
    int picking;                   // channels are picked: mono, or two of more
    long long frameBytes;       // bytes of one frame in the file
    long long dataOffset;       // bytes before the first frame
    long long frames;           // frames of audio the file holds
    snd_pcm_uframes_t period;   // frames per block, as the device granted
    long long pieceFrames;      // frames per read: whole periods
    char *piece;                // pieceFrames frames as the file holds them
    char *picked;               // one period on the device's two channels, when picking
    char *converted;            // one period in the device's encoding, when converting
    int waitMs;                 // how long to wait for a device that takes nothing
    int failures;               // failed writes in a row
    long long lastFlushNs;      // when the clock line was last flushed
};

#if defined(__x86_64__) || defined(__i386__)
// A 24-bit mono block on both channels, eight frames (24 bytes in, 48
// out) at a time, each 16 bytes of output one byte shuffle of 16 bytes of
// input; the loads stay inside each group's 24 bytes. Returns the frames
// done (a multiple of 8); the caller copies the rest. Needs SSSE3, which
// the caller checks: x86-64's baseline lacks the byte shuffle.
__attribute__((target("ssse3"))) static unsigned int duplicate24(unsigned int frames,
                                                                 const char *mono, char *out)
{
    // Output byte m of a group is byte 3 * (m / 6) + m % 3 of its input,
    // counted here from where each of the three loads starts (0, 4, 8).
    const __m128i first = _mm_setr_epi8(0, 1, 2, 0, 1, 2, 3, 4, 5, 3, 4, 5, 6, 7, 8, 6);
    const __m128i second = _mm_setr_epi8(3, 4, 5, 6, 7, 5, 6, 7, 8, 9, 10, 8, 9, 10, 11, 12);
    const __m128i third = _mm_setr_epi8(9, 7, 8, 9, 10, 11, 12, 10, 11, 12, 13, 14, 15, 13, 14, 15);
    unsigned int k = 0;
    for (; k + 8 <= frames; k += 8) {
        const char *in = mono + 3 * (size_t)k;
        char *to = out + 6 * (size_t)k;
        __m128i a = _mm_loadu_si128((const __m128i *)in);
        __m128i b = _mm_loadu_si128((const __m128i *)(in + 4));
        __m128i c = _mm_loadu_si128((const __m128i *)(in + 8));
        _mm_storeu_si128((__m128i *)to, _mm_shuffle_epi8(a, first));
        _mm_storeu_si128((__m128i *)(to + 16), _mm_shuffle_epi8(b, second));
        _mm_storeu_si128((__m128i *)(to + 32), _mm_shuffle_epi8(c, third));
    }
    return k;
}
#endif

void Interleave(unsigned int frames, unsigned int bytesPerSample, const char *left,
                const char *right, char *out)
{
#if defined(__x86_64__) || defined(__i386__)
    // Mono playback of 24-bit files: one shuffle per 16 bytes instead of
    // a dozen instructions per frame, which was most of that playback's
    // cost (16-bit blocks are turned into vector code by the compiler).
    if (bytesPerSample == 3 && left == right && __builtin_cpu_supports("ssse3")) {
        unsigned int done = duplicate24(frames, left, out);
        frames -= done;
        left += 3 * (size_t)done;
        right = left;
        out += 6 * (size_t)done;
    }
#endif
    // Constant-size copies: the compiler turns them into plain loads and
    // stores, which keeps this loop cheap for a whole period of samples.
    if (bytesPerSample == 2) {
        for (unsigned int k = 0; k < frames; ++k) {
            memcpy(out + 4 * (size_t)k, left + 2 * (size_t)k, 2);
            memcpy(out + 4 * (size_t)k + 2, right + 2 * (size_t)k, 2);
        }
    } else if (bytesPerSample == 3) {
        unsigned int k = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // Three-byte copies cost two loads and two stores each. Instead,
        // every frame but the last reads each sample with one 4-byte load
        // and goes out as one 8-byte store, whose last two bytes the next
        // frame overwrites; neither reaches past the last frame. Ten
        // instructions a frame instead of 13, for a take's two channel
        // halves and for mono blocks where there is no byte shuffle.
        for (; k + 1 < frames; ++k) {
            uint32_t l, r;
            memcpy(&l, left + 3 * (size_t)k, 4);
            memcpy(&r, right + 3 * (size_t)k, 4);
            uint64_t frame = (uint64_t)(l & 0xFFFFFFu) | (uint64_t)(r & 0xFFFFFFu) << 24;
            memcpy(out + 6 * (size_t)k, &frame, 8);
        }
#endif
        for (; k < frames; ++k) {
            memcpy(out + 6 * (size_t)k, left + 3 * (size_t)k, 3);
            memcpy(out + 6 * (size_t)k + 3, right + 3 * (size_t)k, 3);
        }
    }
}

// ALSA failures go to standard error; whatever the console printed before
// must come out first, also when both streams go to one pipe.
static void reportAlsa(const char *format, int err)
{
    fflush(stdout);
    fprintf(stderr, format, snd_strerror(err));
}

// Reads the file's facts into p and refuses what cannot be played (with
// a line saying why); then opens the file. Returns 1, or 0 after printing
// why, with nothing left open.
static int openTrack(Playback *p)
{
    unsigned long rate = 0;
    unsigned long long dataOffset = 0, frames = 0;
    unsigned int bytesPerSample = 0, channels = 0;
    if (!GetAttributes(p->path, &rate, &bytesPerSample, &channels, &dataOffset, &frames, 0))
        return 0;
    // Samples that have no form a device takes would be sent as noise.
    char what[kFormatTextBytes];
    p->fileEncoding = sampleEncoding(p->path, what, sizeof what);
    if (p->fileEncoding == kSampleUnplayable) {
        if (what[0]) printf("Cannot play %s: it holds %s\n", p->path, what);
        else printf("Cannot open wavefile\n");
        return 0;
    }
    p->rate = rate;
    p->channels = channels;
    p->bytesPerSample = bytesPerSample;
    p->frameBytes = (long long)channels * bytesPerSample;
    p->dataOffset = (long long)dataOffset;
    p->frames = (long long)frames;

    // Only a regular file, in case the name has become a FIFO since: a
    // plain open would wait on it.
    p->fd = openRegular(p->path, O_RDONLY, 0);
    if (p->fd < 0) {
        printf("Cannot open wavefile\n");
        return 0;
    }
    return 1;
}

// Opens the playback device; when it cannot be opened, says why and
// lists the devices ALSA knows. Returns 1, or 0 with p->pcm null.
static int openDevice(Playback *p)
{
    // The library may print its own diagnostics while opening; what the
    // console printed so far must come out before them.
    fflush(stdout);
    int err = snd_pcm_open(&p->pcm, p->device, SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        p->pcm = nullptr;
        reportAlsa("unable to open pcm device: %s\n", err);
        listPcmDevices(SND_PCM_STREAM_PLAYBACK);
        return 0;
    }
    return 1;
}

// Installs interleaved access, the file's sample format or the nearest
// the device takes, the channels, the rate nearest to the file's and a
// period and buffer near the requested sizes; stores the granted period.
// Returns 1 on success, 0 after printing why the device refused.
static int configureDevice(Playback *p)
{
    snd_pcm_t *pcm = p->pcm;
    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(pcm, params);
    snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);

    int err = chooseDeviceFormat(pcm, params, p->fileEncoding, &p->deviceEncoding);
    if (err == 0) err = snd_pcm_hw_params_set_format(pcm, params, alsaFormat(p->deviceEncoding));
    if (err < 0) {
        reportAlsa("Unable to set playback format: %s\n", err);
        return 0;
    }

    // What the device grants for the other four is taken as it comes: it
    // then plays at its own rate and the granted period sets the block
    // length.
    unsigned int grantedRate = (unsigned int)p->rate;
    snd_pcm_uframes_t periodFrames = kPeriodFrames;
    snd_pcm_uframes_t bufferFrames = kBufferFrames;
    int dir = 0;
    p->deviceChannels = chooseDeviceChannels(pcm, params, p->path, p->channels, p->pair);
    p->picking = p->channels != p->deviceChannels;
    snd_pcm_hw_params_set_rate_near(pcm, params, &grantedRate, &dir);
    snd_pcm_hw_params_set_period_size_near(pcm, params, &periodFrames, &dir);
    snd_pcm_hw_params_set_buffer_size_near(pcm, params, &bufferFrames);

    err = snd_pcm_hw_params(pcm, params);
    if (err < 0) {
        reportAlsa("Unable to set hardware parameters: %s\n", err);
        return 0;
    }
    snd_pcm_hw_params_get_period_size(params, &p->period, &dir);
    if (p->period == 0) {
        // A block of no frames would never advance the playback position.
        reportAlsa("Unable to set hardware parameters: %s\n", -EINVAL);
        return 0;
    }
    return 1;
}

// Sizes the read piece by the granted period and allocates it, the
// two-channel period when channels are picked, and the converted period
// when the device takes another encoding. Returns 1, or 0 after saying so.
static int allocateBuffers(Playback *p)
{
    long long periodBytes = (long long)p->period * p->frameBytes;
    long long periods = kReadBytes / periodBytes;
    if (periods < 1) periods = 1;
    p->pieceFrames = periods * (long long)p->period;
    p->piece = (char *)malloc((size_t)(p->pieceFrames * p->frameBytes));
    int converting = p->deviceEncoding != p->fileEncoding;
    size_t samples = (size_t)p->period * p->deviceChannels;
    if (p->picking) p->picked = (char *)malloc(samples * p->bytesPerSample);
    if (converting) p->converted = (char *)malloc(samples * encodingBytes(p->deviceEncoding));
    if (!p->piece || (p->picking && !p->picked) || (converting && !p->converted)) {
        printf("Cannot play %s: out of memory\n", p->path);
        return 0;
    }
    return 1;
}

// The frame at seconds into the data, truncated toward zero and kept
// within 0..frames: a negative, huge or not-a-number point never leads
// outside the data. The product is formed in double precision.
static long long framePosition(float seconds, unsigned long rate, long long frames)
{
    double position = (double)seconds * (double)rate;
    if (!(position > 0.0)) return 0;
    if (position >= (double)frames) return frames;
    return (long long)position;
}

// Reads count frames from frame position on into the piece. Returns the
// whole frames read: fewer than count only where the file ends early (a
// partial frame there is dropped) or cannot be read.
static long long readPiece(Playback *p, long long position, long long count)
{
    const size_t want = (size_t)(count * p->frameBytes);
    const off_t at = (off_t)(p->dataOffset + position * p->frameBytes);
    size_t got = 0;
    while (got < want) {
        ssize_t n = pread(p->fd, p->piece + got, want - got, at + (off_t)got);
        if (n > 0) got += (size_t)n;
        else if (n < 0 && errno == EINTR) continue;
        else break;
    }
    return (long long)(got / (size_t)p->frameBytes);
}

// Writes frames frames from data to the device. An under-run prepares the
// device again (the block is not repeated), a suspend resumes it, and a
// device that takes nothing is waited for up to about a period and given
// the block again; each of these counts in p->failures, which a block
// that goes through sets back to 0. Returns 1 to go on, 0 when the device
// failed, or failed too often in a row (after saying so, with the
// device's name and ALSA's reason).
static int writeBlock(Playback *p, const char *data, snd_pcm_uframes_t frames)
{
    for (;;) {
        snd_pcm_sframes_t written = snd_pcm_writei(p->pcm, data, frames);
        if (written > 0 || written == -EINTR) {
            // A signal: the loop looks at it before the next block.
            if (written > 0) p->failures = 0;
            return 1;
        }
        int err = written == 0 ? -EAGAIN : (int)written;
        if ((err == -EPIPE || err == -ESTRPIPE || err == -EAGAIN) &&
            ++p->failures <= kMaxFailedWrites) {
            if (err == -EAGAIN) {
                snd_pcm_wait(p->pcm, p->waitMs);
                continue;
            }
            int rc = err == -EPIPE ? snd_pcm_prepare(p->pcm) : recoverFromSuspend(p->pcm);
            if (rc >= 0) return 1;
            err = rc;
        }
        fflush(stdout);
        fprintf(stderr, "\nCannot play through %s: %s\n", p->device, snd_strerror(err));
        return 0;
    }
}

// The frames frames at block as the device takes them: the channels it
// gets (mono 16- and 24-bit blocks by the fastest copy), in its encoding.
static const char *deviceBlock(Playback *p, const char *block, snd_pcm_uframes_t frames)
{
    unsigned int bytes = p->bytesPerSample;
    if (p->picking && p->channels == 1 && (bytes == 2 || bytes == 3))
        Interleave((unsigned int)frames, bytes, block, block, p->picked);
    else if (p->picking)
        pickChannels((unsigned int)frames, bytes, p->channels, p->pair[0], p->pair[1], block,
                     p->picked);
    if (p->picking) block = p->picked;
    if (p->deviceEncoding == p->fileEncoding) return block;
    convertSamples(block, p->fileEncoding, p->converted, p->deviceEncoding,
                   (size_t)frames * p->deviceChannels);
    return p->converted;
}

// What became of a piece: all of it went to the device, a signal stopped
// the playback, or the device failed (said so).
enum PieceResult { kPiecePlayed, kPieceStopped, kPieceFailed };

// Hands the device the count frames in the piece, which start at frame
// position, one period after another (the last one as far as it goes),
// each followed by its clock line.
static PieceResult playPiece(Playback *p, long long position, long long count)
{
    const long long period = (long long)p->period;
    for (long long done = 0; done < count; done += period) {
        if (caughtSignal()) return kPieceStopped;   // Ctrl-C: the caller drops what is queued
        long long left = count - done;
        snd_pcm_uframes_t frames = (snd_pcm_uframes_t)(left < period ? left : period);
        const char *block = deviceBlock(p, p->piece + done * p->frameBytes, frames);
        if (!writeBlock(p, block, frames)) return kPieceFailed;

        // Written for every block; shown at once unless blocks come
        // faster than the eye can follow. Seconds from the start of the
        // data, not from the in point.
        printRunningSeconds("\rclock = ", (double)(position + done) / (double)p->rate);
        flushRunningLine(&p->lastFlushNs);
    }
    return kPiecePlayed;
}

// Plays whole blocks from frame start while the block start lies before
// end, reading the file a piece at a time. A block cut short by the end of
// the audio is written as far as it goes, so chunks after the audio are
// never played. Returns 1, or 0 when the device failed (said so).
static int playBlocks(Playback *p, long long start, long long end)
{
    const long long period = (long long)p->period;
    p->waitMs = periodMs((long)p->period, (double)p->rate);
    p->failures = 0;
    p->lastFlushNs = -1;
    int ok = 1;
    for (long long position = start; position < end; position += p->pieceFrames) {
        // The blocks that start before end, as far as the audio goes.
        long long blocks = (end - position + period - 1) / period;
        long long count = blocks * period;
        if (count > p->pieceFrames) count = p->pieceFrames;
        if (count > p->frames - position) count = p->frames - position;
        long long got = readPiece(p, position, count);
        if (got == 0) break;
        PieceResult result = playPiece(p, position, got);
        if (result == kPieceFailed) ok = 0;
        if (result != kPiecePlayed || got < count) break;
    }
    fflush(stdout);   // the last line stays up while the device drains
    return ok;
}

// Every path that opened the file, the device or the buffers ends here.
static void closePlayback(Playback *p)
{
    if (p->pcm) snd_pcm_close(p->pcm);
    free(p->piece);
    free(p->picked);
    free(p->converted);
    if (p->fd >= 0) close(p->fd);
}

int PLAY(const char *path, const char *device, float inPoint, float outPoint)
{
    Playback p = {};
    p.path = path;
    p.device = device;
    p.fd = -1;
    if (!openTrack(&p)) return 0;
    int ok = openDevice(&p) && configureDevice(&p) && allocateBuffers(&p);
    if (ok) {
        long long start = framePosition(inPoint, p.rate, p.frames);
        long long end = framePosition(outPoint, p.rate, p.frames);
        printf("Playing %s ...\n", path);
        SignalCatch signals;
        catchSignals(&signals, 0);
        ok = playBlocks(&p, start, end);
        // Stopped, or the device failed: the sound ends at once instead of
        // playing out the device's buffer (a failed device may never
        // drain). Otherwise everything written is heard to its end.
        if (caughtSignal() || !ok) snd_pcm_drop(p.pcm);
        else snd_pcm_drain(p.pcm);
        releaseSignals(&signals);
    }
    closePlayback(&p);
    return ok;
}
