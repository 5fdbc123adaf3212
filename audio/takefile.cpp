// The take file's layout and its writes: the header of a new take, the
// frames written at their place, and the sizes and length that follow the
// take. Claiming the file and the takes left in it are takeclaim.cpp's,
// its turn to RF64 takerf64.cpp's.
#include "audio/takefile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "audio/takerf64.h"
#include "wav/wav.h"

int startTake(TakeFile *t, unsigned int rate, int channels, int bits, long long frames,
              const BextStamp *stamp)
{
    char header[kMaxHeaderBytes];
    int length = bwfHeaderBytes(header, rate, (unsigned int)channels, (unsigned int)bits, frames,
                                stamp);
    if (length == 0) {
        printf("Recording does not fit a wave file: %s\n", t->path);
        return 0;
    }
    if (pwrite(t->fd, header, (size_t)length, 0) != (ssize_t)length) {
        printf("Cannot write %s: %s\n", t->path, strerror(errno));
        return 0;
    }
    memcpy(t->header, header, sizeof t->header);
    t->headerBytes = length;
    t->rf64 = memcmp(t->header, "RF64", 4) == 0;
    t->rate = rate;
    t->channels = channels;
    t->bits = bits;
    t->frameBytes = (long)channels * (bits / 8);
    t->dataBytes = frames * t->frameBytes;
    t->fileBytes = length;
    return 1;
}

int writeTakeFrames(TakeFile *t, long long frame, const char *bytes, size_t n, size_t *written)
{
    struct iovec one = {(void *)bytes, n};
    return writeTakeFramesv(t, frame, &one, 1, written);
}

int writeTakeFramesv(TakeFile *t, long long frame, struct iovec *iov, int count, size_t *written)
{
    off_t pos = (off_t)(t->headerBytes + frame * t->frameBytes);
    size_t done = 0;
    int ok = 1;
    while (count > 0) {
        if (iov->iov_len == 0) {
            ++iov;
            --count;
            continue;
        }
        ssize_t w = pwritev(t->fd, iov, count, pos + (off_t)done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;   // a write that takes nothing: the disk is full
            ok = 0;
            break;
        }
        done += (size_t)w;
        // Past the pieces written whole, into the one written in part.
        for (size_t left = (size_t)w; left > 0;) {
            size_t step = left < iov->iov_len ? left : iov->iov_len;
            iov->iov_base = (char *)iov->iov_base + step;
            iov->iov_len -= step;
            left -= step;
            if (iov->iov_len == 0) {
                ++iov;
                --count;
            }
        }
    }
    int err = errno;
    long long end = (long long)pos + (long long)done;
    if (end > t->fileBytes) t->fileBytes = end;
    if (written) *written = done;
    errno = err;
    return ok;
}

// Writes the sizes for data bytes of audio (frames frames): a RIFF take's
// RIFF size and its data size (the 4 bytes before the audio), in one write
// when the header's first bytes at hand reach it; an RF64 take's three
// ds64 sizes in one write.
static int writeSizes(TakeFile *t, long long data, long long frames)
{
    unsigned long long riff = (unsigned long long)(t->headerBytes + data - kChunkHeaderBytes);
    if (t->rf64) {
        char sizes[kDs64SizesBytes];
        Decon8(riff, sizes);
        Decon8((unsigned long long)data, sizes + 8);
        Decon8((unsigned long long)frames, sizes + 16);
        return pwrite(t->fd, sizes, sizeof sizes, kDs64SizesAt) == (ssize_t)sizeof sizes;
    }
    if (riff > 0xffffffffULL) {
        errno = EFBIG;
        return 0;
    }
    long dataSizeAt = t->headerBytes - 4;
    if (dataSizeAt + 4 > (long)sizeof t->header) {
        char field[4];
        Decon4((unsigned long)riff, field);
        if (pwrite(t->fd, field, 4, kRiffSizeAt) != 4) return 0;
        Decon4((unsigned long)data, field);
        return pwrite(t->fd, field, 4, dataSizeAt) == 4;
    }
    Decon4((unsigned long)riff, t->header + kRiffSizeAt);
    Decon4((unsigned long)data, t->header + dataSizeAt);
    const size_t span = (size_t)(dataSizeAt + 4 - kRiffSizeAt);
    return pwrite(t->fd, t->header + kRiffSizeAt, span, kRiffSizeAt) == (ssize_t)span;
}

int setTakeLength(TakeFile *t, long long frames)
{
    long long data = frames * t->frameBytes;
    if (data != t->dataBytes) {
        if (!writeSizes(t, data, frames)) return 0;
        t->dataBytes = data;
    }
    long long length = t->headerBytes + data;
    if (t->fileBytes > length) {
        if (ftruncate(t->fd, (off_t)length) != 0) return 0;
        t->fileBytes = length;
    }
    return 1;
}

int syncTake(TakeFile *t) { return fsync(t->fd) == 0; }

void takeIdentity(const TakeFile *t, dev_t *device, ino_t *inode)
{
    struct stat sb;
    if (fstat(t->fd, &sb) != 0) memset(&sb, 0, sizeof sb);
    *device = sb.st_dev;
    *inode = sb.st_ino;
}
