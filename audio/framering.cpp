// The ring of frames between the capture device's reading thread and the
// take loop.
#include "audio/framering.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

static long long loadCount(const long long *count) { return __atomic_load_n(count, __ATOMIC_ACQUIRE); }
static void storeCount(long long *count, long long v) { __atomic_store_n(count, v, __ATOMIC_RELEASE); }
static long loadGaps(const long *count) { return __atomic_load_n(count, __ATOMIC_ACQUIRE); }
static int loadFlag(const int *flag) { return __atomic_load_n(flag, __ATOMIC_SEQ_CST); }
static void storeFlag(int *flag, int v) { __atomic_store_n(flag, v, __ATOMIC_SEQ_CST); }

int makeRing(FrameRing *r, long frames, long frameBytes)
{
    memset(r, 0, sizeof *r);
    r->bytes = (char *)malloc((size_t)frames * (size_t)frameBytes);
    if (!r->bytes) return 0;
    r->frames = frames;
    r->frameBytes = frameBytes;
    pthread_mutex_init(&r->lock, nullptr);
    // Timed waits on the monotonic clock: a change of the wall clock
    // neither stretches nor cuts them.
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&r->framesCame, &attr);
    pthread_cond_init(&r->roomCame, &attr);
    pthread_condattr_destroy(&attr);
    return 1;
}

void freeRing(FrameRing *r)
{
    if (!r->bytes) return;
    free(r->bytes);
    r->bytes = nullptr;
    pthread_mutex_destroy(&r->lock);
    pthread_cond_destroy(&r->framesCame);
    pthread_cond_destroy(&r->roomCame);
}

void resetRing(FrameRing *r)
{
    r->filled = 0;
    r->gapsPut = 0;
    r->shown = 0;
    r->done = 0;
    r->ended = 0;
    r->readerWaiting = 0;
    r->writerWaiting = 0;
    r->taken = 0;
    r->gapsTaken = 0;
}

// Sleeps on cond (its lock held) until it is signalled or ns nanoseconds
// have passed.
static void waitAtMost(pthread_cond_t *cond, pthread_mutex_t *lock, long long ns)
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    ns += until.tv_nsec;
    until.tv_sec += (time_t)(ns / 1000000000LL);
    until.tv_nsec = (long)(ns % 1000000000LL);
    pthread_cond_timedwait(cond, lock, &until);
}

// --- The writer's side.

char *ringWriteAt(const FrameRing *r)
{
    return r->bytes + (size_t)(r->filled % r->frames) * (size_t)r->frameBytes;
}

long ringRoomAhead(const FrameRing *r)
{
    long long room = r->frames - (r->filled - loadCount(&r->done));
    long toEnd = r->frames - (long)(r->filled % r->frames);
    return room < toEnd ? (long)room : toEnd;
}

int ringGapRoom(const FrameRing *r, int gaps)
{
    return r->gapsPut - loadGaps(&r->gapsTaken) + gaps <= kRingGaps;
}

void ringPutGap(FrameRing *r, long long at, long long lostFrames)
{
    RingGap *g = &r->gaps[r->gapsPut % kRingGaps];
    g->at = at;
    g->lostFrames = lostFrames;
    __atomic_store_n(&r->gapsPut, r->gapsPut + 1, __ATOMIC_RELEASE);
}

void ringShow(FrameRing *r)
{
    storeCount(&r->shown, r->filled);
    // The reader looks on its own once in a while; it is woken early only
    // when a quarter of the ring waits for it.
    if (loadFlag(&r->readerWaiting) && r->filled - loadCount(&r->done) >= r->frames / 4) {
        pthread_mutex_lock(&r->lock);
        pthread_cond_signal(&r->framesCame);
        pthread_mutex_unlock(&r->lock);
    }
}

int ringHasRoom(const FrameRing *r, int gaps)
{
    return ringRoomAhead(r) > 0 && ringGapRoom(r, gaps);
}

void ringWaitForRoom(FrameRing *r, int gaps, long long ns)
{
    if (ringHasRoom(r, gaps)) return;
    // Asleep until a good part of the ring is free again: one wake-up, not
    // one a period, when the disk is slower than the device.
    storeFlag(&r->writerWaiting, 1);
    pthread_mutex_lock(&r->lock);
    if (!ringHasRoom(r, gaps)) waitAtMost(&r->roomCame, &r->lock, ns);
    pthread_mutex_unlock(&r->lock);
    storeFlag(&r->writerWaiting, 0);
}

void ringEnd(FrameRing *r)
{
    storeCount(&r->shown, r->filled);
    pthread_mutex_lock(&r->lock);
    storeFlag(&r->ended, 1);
    pthread_cond_broadcast(&r->framesCame);
    pthread_mutex_unlock(&r->lock);
}

// --- The reader's side.

// The span at the reader's place, if there is one now: the next gap when
// it lies there, else frames up to it (or to what is shown), at most
// maxFrames and not past the ring's end. Returns 0 when nothing is there.
static int spanNow(FrameRing *r, long maxFrames, RingSpan *span)
{
    long long limit = loadCount(&r->shown);
    if (r->gapsTaken < loadGaps(&r->gapsPut)) {
        const RingGap *g = &r->gaps[r->gapsTaken % kRingGaps];
        if (g->at <= r->taken) {
            span->data = nullptr;
            span->frames = 0;
            span->gapFrames = g->lostFrames;
            __atomic_store_n(&r->gapsTaken, r->gapsTaken + 1, __ATOMIC_RELEASE);
            return 1;
        }
        if (g->at < limit) limit = g->at;
    }
    long long frames = limit - r->taken;
    if (frames <= 0) return 0;
    long at = (long)(r->taken % r->frames);
    if (frames > r->frames - at) frames = r->frames - at;
    if (frames > maxFrames) frames = maxFrames;
    span->data = r->bytes + (size_t)at * (size_t)r->frameBytes;
    span->frames = (long)frames;
    span->gapFrames = 0;
    r->taken += frames;
    return 1;
}

int ringNextSpan(FrameRing *r, long maxFrames, long long ns, RingSpan *span)
{
    for (;;) {
        if (spanNow(r, maxFrames, span)) return 1;
        if (loadFlag(&r->ended)) return spanNow(r, maxFrames, span);
        // Nothing there: asleep for ns, or until the writer ends or has
        // filled a quarter of the ring. So the reader wakes about once in
        // ns whatever the writer does, and the writer rarely has to wake
        // it.
        storeFlag(&r->readerWaiting, 1);
        pthread_mutex_lock(&r->lock);
        if (loadCount(&r->shown) == r->taken && r->gapsTaken == loadGaps(&r->gapsPut) &&
            !loadFlag(&r->ended))
            waitAtMost(&r->framesCame, &r->lock, ns);
        pthread_mutex_unlock(&r->lock);
        storeFlag(&r->readerWaiting, 0);
    }
}

void ringRelease(FrameRing *r, long long frames)
{
    storeCount(&r->done, loadCount(&r->done) + frames);
    // A writer that waits for room (a device faster than the disk) is woken
    // once a quarter of the ring is free, not for every release: each
    // wake-up costs both threads a switch.
    if (loadFlag(&r->writerWaiting) &&
        r->frames - (loadCount(&r->shown) - loadCount(&r->done)) >= r->frames / 4) {
        ringWakeWriter(r);
    }
}

void ringWakeWriter(FrameRing *r)
{
    pthread_mutex_lock(&r->lock);
    pthread_cond_broadcast(&r->roomCame);
    pthread_mutex_unlock(&r->lock);
}

const char *ringFramesAt(const FrameRing *r, long long at, long *contiguous)
{
    long place = (long)(at % r->frames);
    *contiguous = r->frames - place;
    return r->bytes + (size_t)place * (size_t)r->frameBytes;
}
