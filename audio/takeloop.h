// A take of the capture engine, from the device's ring to the take file:
// the state every take of a RECORD call shares, and the take loop that
// records one. Only the capture engine's files include it.
#ifndef TUNEVAT_AUDIO_TAKELOOP_H
#define TUNEVAT_AUDIO_TAKELOOP_H

#include <cstddef>
#include <sys/uio.h>

#include "audio/capture.h"
#include "audio/takefile.h"

// Frames that a device delivers faster than real time are gathered into
// writes of up to this many bytes (at least one period).
const size_t kPendingBytes = 262144;
// Pieces gathered into one write at most: their ends are where a write the
// disk cut short is cut back to.
const int kMaxPendingPieces = 64;

// How a take ended.
enum TakeEnd {
    kTakeRanOut,       // its planned length was reached
    kTakeStopped,      // Ctrl-C: kept as far as it got
    kTakeEnded,        // SIGTERM or SIGHUP: the program ends
    kTakeWriteFailed,  // the take file took no more (a full disk)
    kTakeReadFailed,   // the device failed
};

// Everything one RECORD call works with: set up once, used by every take.
// Plain data; RECORD owns the device, the claim on the take file and the
// buffers.
struct Capture {
    CaptureDevice dev;
    TakeFile *take;             // claimed for the call (and after it)
    int channels;               // kept in the file: 1 or 2
    int bytesPerSample;         // 2 or 3
    long frameBytes;            // bytes of one frame in the file
    long long plannedFrames;    // planned length of every take
    float durationSeconds;      // planned length of one take
    float rateHz;               // divisor of the remaining-time display
    // Frames read and not yet written, as the file holds them, in pieces
    // written with one call: stereo frames where the device's ring holds
    // them (their room kept until written), mono frames and silence copied
    // into pending.
    char *pending;              // room for copied frames
    size_t pendingCapacityBytes;   // bytes of it: at least a period
    size_t pendingUsedBytes;    // bytes of it in use
    size_t stagedBytes;         // bytes in all pieces
    int stagedPieces;
    struct iovec stagedIov[kMaxPendingPieces];
    long stagedFrames[kMaxPendingPieces];
    long long stagedRingFrames; // frames of the ring the pieces hold

    long long keptBytes;        // audio bytes of the takes kept so far
    long long takeStartFrame;   // frame at which the current take begins
    long long recordedFrames;   // frames the current take holds in the file
    float lastTakeStartSeconds; // from the audio's start to the current take
    long peak1, peak2;          // the current take's peaks
};


// Frames a take really records: whole periods, the fewest that reach the
// planned length.
long long takeFrames(const Capture *c);

// Bytes of one period as the take file holds it.
size_t periodBytes(const Capture *c);

// Records one take at the take start frame: the device is read on its own
// thread, the blocks written here. It ends when its planned length is
// reached, at Ctrl-C (kept as far as it got), at SIGTERM or SIGHUP, or at
// once when the device or the take file fails; the take file then holds
// every frame read and written before, its sizes count them all, and
// nothing after them. Before it, a line says so when the disk has less
// room than the take needs.
TakeEnd recordTake(Capture *c);

#endif
