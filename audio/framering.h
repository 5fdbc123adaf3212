// The ring between the capture device's reading thread and the take loop:
// one writer, one reader, frames counted since the take began (a frame's
// place in the ring is its count modulo the ring's size), and beside the
// frames a small ring of gaps, each placed by frame. The counts are handed
// over with acquire and release; the lock and the two conditions are only
// for a thread that has to sleep until the other moves on. Nothing here
// knows of a device, a file or a signal.
#ifndef TUNEVAT_AUDIO_FRAMERING_H
#define TUNEVAT_AUDIO_FRAMERING_H

#include <pthread.h>

// Frames lost at one place of the take.
struct RingGap {
    long long at;          // the frames put before it
    long long lostFrames;  // frames lost there (silence in the take)
};

// A stretch for the reader: frames (interleaved, contiguous in the ring),
// or a gap.
struct RingSpan {
    const char *data;      // the frames, in the ring: nullptr for a gap
    long frames;
    long long gapFrames;   // for a gap: the frames lost (0 when nothing was)
};

// Gaps the ring holds at most between the writer and the reader.
const int kRingGaps = 64;

struct FrameRing {
    char *bytes;                // frames x frameBytes
    long frames;                // the ring's size in frames
    long frameBytes;
    // The writer's.
    long long filled;           // frames put, also those not shown yet
    long gapsPut;               // gaps put (read by the reader: atomic)
    // Shared: written by one side, read by the other, atomically.
    long long shown;            // frames the reader may take (the writer's)
    long long done;             // frames the reader is done with (the reader's)
    int ended;                  // the writer has shown its last frames
    int readerWaiting;          // the reader sleeps until frames come
    int writerWaiting;          // the writer sleeps until room comes
    // The reader's.
    long long taken;            // frames handed out in spans
    long gapsTaken;             // gaps handed out (read by the writer: atomic)
    RingGap gaps[kRingGaps];
    pthread_mutex_t lock;
    pthread_cond_t framesCame;  // for a reader waiting for frames
    pthread_cond_t roomCame;    // for a writer waiting for room
};

// Makes a ring of frames frames of frameBytes bytes. Returns 1; 0 when
// there is no memory for it (nothing to free). Its pages cost memory only
// once frames are put there.
int makeRing(FrameRing *r, long frames, long frameBytes);
// Frees what makeRing made; nothing happens for a ring never made.
void freeRing(FrameRing *r);
// Empties the ring for a new take. Neither side may be running.
void resetRing(FrameRing *r);

// --- The writer's side.

// Where the next frame goes.
char *ringWriteAt(const FrameRing *r);
// Frames the writer may put now without passing the ring's end: the room
// the reader has left.
long ringRoomAhead(const FrameRing *r);
// Whether gaps more gaps fit beside the frames.
int ringGapRoom(const FrameRing *r, int gaps);
// Puts a gap at frame at: where the writer stands, or where it stood when
// it began to hold frames back (none after at is shown yet).
void ringPutGap(FrameRing *r, long long at, long long lostFrames);
// Shows the reader the frames put so far; wakes a sleeping reader once a
// quarter of the ring waits for it (it looks on its own once in a while).
void ringShow(FrameRing *r);
// Whether there is room for a frame and for gaps more gaps.
int ringHasRoom(const FrameRing *r, int gaps);
// Sleeps until the reader has freed a good part of the ring, or for ns
// nanoseconds at most; returns at once when there is room.
void ringWaitForRoom(FrameRing *r, int gaps, long long ns);
// The writer is done: what it put is shown, and the reader learns it.
void ringEnd(FrameRing *r);

// --- The reader's side.

// The next span, waiting for it at most ns at a time and looking again
// until one comes or the writer has ended: the frames put after those
// taken so far (at most maxFrames, never past a gap or the ring's end),
// or the gap that comes next. Returns 1; 0 once the writer has ended and
// everything has been taken. The frames stay in the ring until
// ringRelease.
int ringNextSpan(FrameRing *r, long maxFrames, long long ns, RingSpan *span);
// The reader is done with frames more frames: their room goes back to the
// writer, who is woken once a quarter of the ring is free.
void ringRelease(FrameRing *r, long long frames);
// The frames from frame at on, which the reader has taken and not yet
// released: where they lie in the ring, and in *contiguous how many of
// them lie there before the ring's end.
const char *ringFramesAt(const FrameRing *r, long long at, long *contiguous);
// Wakes a writer that waits for room (the reader wants it to stop).
void ringWakeWriter(FrameRing *r);

#endif
