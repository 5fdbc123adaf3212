// A capture device for the tests that keeps time as a sound card does: an
// ALSA external I/O plugin (type tvpaced) whose frames arrive with the
// monotonic clock, whose buffer over-runs when the program falls behind,
// and whose every frame says which frame of its source it is. What a
// program sees of it, and how the tests configure it, is described in
// harness.h beside writePacedCard.
//
// The clock: the source's frame 0 arrives at the first start after the
// device was set up; from then on the source runs on whether anyone reads
// or not, as a microphone does. Each start begins a run: the run's ring
// position p (counted from the prepare before it) receives source frame
// runBase + skipped + p, where runBase is the source frame arriving at the
// start and skipped counts the frames dropped silently in this run so far.
// The ring has received floor((now - runStart) * rate) - skipped frames at
// any time. Nothing runs in the background: every position is worked out
// from the clock when ALSA asks for the hardware pointer (each slot of the
// ring noting the source frame it received), and the frames' contents are
// written when the program reads them.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

typedef unsigned long long Frames;

const long kDefaultBufferFrames = 32768;
const long kDefaultRateMax = 192000;
// The buffer's limit is in bytes, as a card's is: buffer_frames frames of
// the largest frame this device offers (24-bit stereo).
const unsigned kLargestFrameBytes = 6;
const unsigned kSmallestPeriodBytes = 128;
const unsigned kMaxPeriods = 1024;
const unsigned kRates[] = {8000,  11025, 16000, 22050,  32000, 44100,
                           48000, 88200, 96000, 176400, 192000};
const long long kNsPerSecond = 1000000000LL;

enum LogKind { kNoLoss, kOverrun, kDrop };

struct Paced {
    snd_pcm_ioplug_t io;   // first: ALSA hands it back to every callback
    pthread_mutex_t lock;  // the callbacks come both inside and outside ALSA's own lock
    int timer;             // timerfd, the poll descriptor
    int dropSilently;
    char *logPath;         // null: no log
    long bufferFrames;
    long rateMax;
    long startDelayMs;     // the first frame comes this long after the first start
    long silentFrames;     // the source's first frames are silence (all bytes zero)

    int sourceStarted;
    long long sourceStartNs;

    int running;
    int overrun;          // the run over-ran; positions stay -EPIPE until prepared
    long long runStartNs;
    Frames runBase;       // source frame at ring position 0 of this run
    Frames skipped;       // frames dropped silently in this run
    Frames hw;            // frames the ring has received since the prepare
    Frames *slotSource;   // the source frame each slot of the ring received last

    snd_pcm_uframes_t availMin;
    snd_pcm_uframes_t stopThreshold;
    snd_pcm_uframes_t boundary;

    LogKind pending;      // a loss not yet written to the log
    int pendingOpen;      // an over-run whose loss goes on until the next start
    Frames pendingFrom;
    Frames pendingLost;
};

long long monotonicNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * kNsPerSecond + ts.tv_nsec;
}

// Frames that arrive in ns nanoseconds (ns >= 0), and the nanoseconds the
// first n frames take to arrive in full.
Frames framesIn(long long ns, unsigned rate)
{
    if (ns <= 0) return 0;
    return (Frames)((unsigned __int128)ns * rate / kNsPerSecond);
}

long long nsFor(Frames n, unsigned rate)
{
    return (long long)(((unsigned __int128)n * kNsPerSecond + rate - 1) / rate);
}

Frames sourceFrameAt(const Paced *p, long long ns)
{
    return framesIn(ns - p->sourceStartNs, p->io.rate);
}

// Frames of this run that have reached the ring by ns: what the clock
// brought, less what was dropped silently so far.
Frames arrivedBy(const Paced *p, long long ns)
{
    return framesIn(ns - p->runStartNs, p->io.rate) - p->skipped;
}

void writeLog(const Paced *p, LogKind kind, Frames from, Frames lost)
{
    if (!p->logPath) return;
    int fd = open(p->logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[96];
    int n = snprintf(line, sizeof line, "%s from %llu lost %llu\n",
                     kind == kOverrun ? "overrun" : "drop", from, lost);
    if (write(fd, line, (size_t)n) != n) {
        // Nothing more to do: the test that reads the log finds it short.
    }
    close(fd);
}

// Writes the pending loss, unless it is an over-run whose loss goes on
// until the next start.
void flushLoss(Paced *p)
{
    if (p->pending == kNoLoss || p->pendingOpen) return;
    writeLog(p, p->pending, p->pendingFrom, p->pendingLost);
    p->pending = kNoLoss;
}

// Notes frames dropped silently; a drop that goes on from the last one
// (nothing read in between) lengthens it.
void noteDrop(Paced *p, Frames from, Frames lost)
{
    if (p->pending == kDrop && p->pendingFrom + p->pendingLost == from) {
        p->pendingLost += lost;
        return;
    }
    flushLoss(p);
    p->pending = kDrop;
    p->pendingFrom = from;
    p->pendingLost = lost;
}

void setTimer(Paced *p, long long atNs)
{
    struct itimerspec t;
    memset(&t, 0, sizeof t);
    if (atNs > 0) {
        t.it_value.tv_sec = (time_t)(atNs / kNsPerSecond);
        t.it_value.tv_nsec = (long)(atNs % kNsPerSecond);
    }
    // Setting the timer also clears an expiry not yet read: the descriptor
    // is readable only from atNs on.
    timerfd_settime(p->timer, TFD_TIMER_ABSTIME, &t, nullptr);
}

// Makes the poll descriptor readable when avail_min frames stand after
// ring position appl; readable at once after an over-run, never while
// stopped.
void armTimer(Paced *p, Frames appl)
{
    if (p->overrun) setTimer(p, 1);
    else if (!p->running) setTimer(p, 0);
    else setTimer(p, p->runStartNs + nsFor(appl + p->availMin + p->skipped, p->io.rate));
}

// Brings the ring up to the clock. Returns 0, or -1 when the program let
// the buffer fill to the stop threshold: the run then over-runs, and the
// frames from the first one it did not read on are lost. In drop mode a
// full buffer keeps what it holds, and the frames that come find no room.
int advance(Paced *p, Frames appl)
{
    Frames arrived = arrivedBy(p, monotonicNs());
    if (arrived < p->hw) arrived = p->hw;
    Frames avail = arrived - appl;
    Frames excess = 0;
    if (p->dropSilently) {
        if (avail > (Frames)p->io.buffer_size) {
            excess = avail - p->io.buffer_size;
            arrived = appl + p->io.buffer_size;
            noteDrop(p, p->runBase + p->skipped + arrived, excess);
        }
    } else if (avail >= (Frames)(p->stopThreshold ? p->stopThreshold : p->io.buffer_size)) {
        p->overrun = 1;
        p->running = 0;
        flushLoss(p);
        p->pending = kOverrun;
        p->pendingOpen = 1;
        p->pendingFrom = p->runBase + p->skipped + appl;
        return -1;
    }
    Frames ring = p->io.buffer_size;
    for (Frames pos = arrived - p->hw > ring ? arrived - ring : p->hw; pos < arrived; ++pos)
        p->slotSource[pos % ring] = p->runBase + p->skipped + pos;
    p->skipped += excess;
    p->hw = arrived;
    return 0;
}

snd_pcm_sframes_t pacedPointer(snd_pcm_ioplug_t *io)
{
    Paced *p = (Paced *)io->private_data;
    pthread_mutex_lock(&p->lock);
    snd_pcm_sframes_t r = 0;
    if (p->overrun || (p->running && advance(p, io->appl_ptr) < 0)) {
        armTimer(p, io->appl_ptr);
        r = -EPIPE;
    } else {
        r = (snd_pcm_sframes_t)(p->hw % p->boundary);
    }
    pthread_mutex_unlock(&p->lock);
    return r;
}

// Writes source frame src into frame at of the areas: each channel's
// sample holds a slice of the index above a low bit that is always set.
void writeFrame(const snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *areas,
                snd_pcm_uframes_t at, Frames src)
{
    unsigned bytes = io->format == SND_PCM_FORMAT_S24_3LE ? 3 : 2;
    unsigned bits = 8 * bytes - 1;
    for (unsigned ch = 0; ch < io->channels; ++ch) {
        const snd_pcm_channel_area_t *a = &areas[ch];
        unsigned char *to =
            (unsigned char *)a->addr + (a->first + (Frames)a->step * at) / 8;
        Frames v = (((src >> (bits * ch)) & ((1ULL << bits) - 1)) << 1) | 1;
        for (unsigned b = 0; b < bytes; ++b) to[b] = (unsigned char)(v >> (8 * b));
    }
}

snd_pcm_sframes_t pacedTransfer(snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *areas,
                                snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
    Paced *p = (Paced *)io->private_data;
    pthread_mutex_lock(&p->lock);
    flushLoss(p);
    Frames appl = io->appl_ptr;
    // With a stop threshold past the buffer, a slot the program left too
    // long holds a later frame, as a card's ring does.
    for (snd_pcm_uframes_t i = 0; i < size; ++i) {
        Frames src = p->slotSource[(appl + i) % io->buffer_size];
        if (src >= (Frames)p->silentFrames) {
            writeFrame(io, areas, offset + i, src);
            continue;
        }
        for (unsigned ch = 0; ch < io->channels; ++ch) {
            const snd_pcm_channel_area_t *a = &areas[ch];
            memset((char *)a->addr + (a->first + (Frames)a->step * (offset + i)) / 8, 0,
                   snd_pcm_format_physical_width(io->format) / 8);
        }
    }
    armTimer(p, appl + size);
    pthread_mutex_unlock(&p->lock);
    return (snd_pcm_sframes_t)size;
}

// ALSA takes the trigger stamp as soon as this returns, so nothing slow
// comes between the run's clock reading and the return: an over-run's
// loss is known from here on, but written to the log at the next read.
int pacedStart(snd_pcm_ioplug_t *io)
{
    Paced *p = (Paced *)io->private_data;
    pthread_mutex_lock(&p->lock);
    long long now = monotonicNs();
    if (!p->sourceStarted) {
        // A source that starts late, as a sound server's first frames do.
        p->sourceStarted = 1;
        p->sourceStartNs = now + p->startDelayMs * 1000000LL;
        now = p->sourceStartNs;
    }
    p->runStartNs = now;
    p->runBase = sourceFrameAt(p, now);
    p->skipped = 0;
    p->hw = 0;
    p->overrun = 0;
    p->running = 1;
    if (p->pendingOpen) p->pendingLost = p->runBase - p->pendingFrom;
    p->pendingOpen = 0;
    armTimer(p, io->appl_ptr);
    pthread_mutex_unlock(&p->lock);
    return 0;
}

int pacedStop(snd_pcm_ioplug_t *io)
{
    Paced *p = (Paced *)io->private_data;
    pthread_mutex_lock(&p->lock);
    p->running = 0;
    flushLoss(p);
    armTimer(p, io->appl_ptr);
    pthread_mutex_unlock(&p->lock);
    return 0;
}

int pacedPrepare(snd_pcm_ioplug_t *io)
{
    Paced *p = (Paced *)io->private_data;
    pthread_mutex_lock(&p->lock);
    p->running = 0;
    p->overrun = 0;
    p->hw = 0;
    p->skipped = 0;
    flushLoss(p);
    armTimer(p, 0);
    pthread_mutex_unlock(&p->lock);
    return 0;
}

int pacedHwParams(snd_pcm_ioplug_t *io, snd_pcm_hw_params_t *)
{
    Paced *p = (Paced *)io->private_data;
    pthread_mutex_lock(&p->lock);
    // A new setup (perhaps a new rate) starts a new source.
    p->sourceStarted = 0;
    free(p->slotSource);
    p->slotSource = (Frames *)calloc(io->buffer_size, sizeof(Frames));
    pthread_mutex_unlock(&p->lock);
    return p->slotSource ? 0 : -ENOMEM;
}

int pacedSwParams(snd_pcm_ioplug_t *io, snd_pcm_sw_params_t *params)
{
    Paced *p = (Paced *)io->private_data;
    snd_pcm_uframes_t availMin = 1, stop = 0, boundary = 0;
    snd_pcm_sw_params_get_avail_min(params, &availMin);
    snd_pcm_sw_params_get_stop_threshold(params, &stop);
    snd_pcm_sw_params_get_boundary(params, &boundary);
    pthread_mutex_lock(&p->lock);
    p->availMin = availMin ? availMin : 1;
    p->stopThreshold = stop ? stop : io->buffer_size;
    if (boundary) p->boundary = boundary;
    pthread_mutex_unlock(&p->lock);
    return 0;
}

// Readable means avail_min frames are ready (the reads find an over-run
// that came since for themselves), or the stream has over-run.
int pacedPollRevents(snd_pcm_ioplug_t *io, struct pollfd *, unsigned int,
                     unsigned short *revents)
{
    Paced *p = (Paced *)io->private_data;
    pthread_mutex_lock(&p->lock);
    Frames appl = io->appl_ptr;
    *revents = 0;
    if (p->overrun) {
        *revents = POLLERR;
    } else if (p->running && arrivedBy(p, monotonicNs()) >= appl + p->availMin) {
        *revents = POLLIN;
    } else {
        armTimer(p, appl);
    }
    pthread_mutex_unlock(&p->lock);
    return 0;
}

void freePaced(Paced *p)
{
    if (p->timer >= 0) close(p->timer);
    free(p->logPath);
    free(p->slotSource);
    pthread_mutex_destroy(&p->lock);
    free(p);
}

int pacedClose(snd_pcm_ioplug_t *io)
{
    Paced *p = (Paced *)io->private_data;
    // An over-run not followed by a start lost the source up to now.
    if (p->pendingOpen) p->pendingLost = sourceFrameAt(p, monotonicNs()) - p->pendingFrom;
    p->pendingOpen = 0;
    flushLoss(p);
    freePaced(p);
    return 0;
}

snd_pcm_ioplug_callback_t pacedCallbacks()
{
    snd_pcm_ioplug_callback_t cb;
    memset(&cb, 0, sizeof cb);
    cb.start = pacedStart;
    cb.stop = pacedStop;
    cb.pointer = pacedPointer;
    cb.transfer = pacedTransfer;
    cb.close = pacedClose;
    cb.hw_params = pacedHwParams;
    cb.sw_params = pacedSwParams;
    cb.prepare = pacedPrepare;
    cb.poll_revents = pacedPollRevents;
    return cb;
}
const snd_pcm_ioplug_callback_t kCallbacks = pacedCallbacks();

// Reads the device's own settings from its configuration node:
// buffer_frames, rate_max, drop_silently, start_delay_ms, silent_frames
// and log.
int readSettings(snd_config_t *conf, Paced *p)
{
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t *n = snd_config_iterator_entry(i);
        const char *id;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (!strcmp(id, "comment") || !strcmp(id, "type") || !strcmp(id, "hint")) continue;
        int err = -EINVAL;
        const char *path = nullptr;
        if (!strcmp(id, "buffer_frames")) {
            err = snd_config_get_integer(n, &p->bufferFrames);
        } else if (!strcmp(id, "rate_max")) {
            err = snd_config_get_integer(n, &p->rateMax);
        } else if (!strcmp(id, "start_delay_ms")) {
            err = snd_config_get_integer(n, &p->startDelayMs);
        } else if (!strcmp(id, "silent_frames")) {
            err = snd_config_get_integer(n, &p->silentFrames);
        } else if (!strcmp(id, "drop_silently")) {
            err = snd_config_get_bool(n);
            p->dropSilently = err > 0;
        } else if (!strcmp(id, "log")) {
            err = snd_config_get_string(n, &path);
            if (err >= 0 && !p->logPath) p->logPath = strdup(path);
        }
        if (err < 0) {
            SNDERR("tvpaced: bad setting %s", id);
            return -EINVAL;
        }
    }
    if (p->bufferFrames < 64 || p->rateMax < (long)kRates[0]) {
        SNDERR("tvpaced: buffer_frames or rate_max too small");
        return -EINVAL;
    }
    return 0;
}

int setConstraints(Paced *p)
{
    static const unsigned accesses[] = {SND_PCM_ACCESS_RW_INTERLEAVED,
                                        SND_PCM_ACCESS_RW_NONINTERLEAVED};
    static const unsigned formats[] = {SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_3LE};
    unsigned rates = 0;
    while (rates < sizeof kRates / sizeof kRates[0] && kRates[rates] <= (unsigned)p->rateMax)
        ++rates;
    unsigned bufferBytes = (unsigned)p->bufferFrames * kLargestFrameBytes;
    snd_pcm_ioplug_t *io = &p->io;
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 2, accesses);
    if (err >= 0) err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 2, formats);
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 2, 2);
    if (err >= 0) err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_RATE, rates, kRates);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES,
                                              kSmallestPeriodBytes, bufferBytes / 2);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES,
                                              2 * kSmallestPeriodBytes, bufferBytes);
    if (err >= 0)
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, kMaxPeriods);
    return err;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(tvpaced)
{
    (void)root;
    if (stream != SND_PCM_STREAM_CAPTURE) {
        SNDERR("tvpaced: %s is a capture device only", name ? name : "tvpaced");
        return -EINVAL;
    }
    Paced *p = (Paced *)calloc(1, sizeof(Paced));
    if (!p) return -ENOMEM;
    pthread_mutex_init(&p->lock, nullptr);
    p->bufferFrames = kDefaultBufferFrames;
    p->rateMax = kDefaultRateMax;
    p->availMin = 1;
    p->boundary = ~(snd_pcm_uframes_t)0 >> 1;
    p->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    int err = p->timer < 0 ? -errno : readSettings(conf, p);
    if (err < 0) {
        freePaced(p);
        return err;
    }
    p->io.version = SND_PCM_IOPLUG_VERSION;
    p->io.name = "Tunevat paced capture";
    p->io.callback = &kCallbacks;
    p->io.private_data = p;
    p->io.poll_fd = p->timer;
    p->io.poll_events = POLLIN;
    // Timestamps from CLOCK_MONOTONIC, the clock that paces the frames; the
    // pointer counts up to the boundary, so a late call sees every frame.
    p->io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC | SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
    err = snd_pcm_ioplug_create(&p->io, name, stream, mode);
    if (err < 0) {
        freePaced(p);
        return err;
    }
    err = setConstraints(p);
    if (err < 0) {
        snd_pcm_ioplug_delete(&p->io);   // closes, and frees p
        return err;
    }
    *pcmp = p->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(tvpaced)

}  // extern "C"
