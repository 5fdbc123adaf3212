// The picture of a take: the peak of each slice of the take, whether it
// clipped and whether frames were lost in it, gathered from the blocks as
// the take goes, and drawn as a line per channel. Nothing here prints.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "audio/meter.h"

void startTakePicture(TakePicture *p, int channels, int bytesPerSample, long long plannedFrames)
{
    memset(p, 0, sizeof *p);
    p->channels = channels == 1 ? 1 : 2;
    p->bytesPerSample = bytesPerSample;
    p->plannedFrames = plannedFrames > 0 ? plannedFrames : 1;
}

// The cell that frame (from the take's start) lies in; frames past the
// planned length are in the last one.
static int cellAt(const TakePicture *p, long long frame)
{
    if (frame >= p->plannedFrames) return kPictureCells - 1;
    if (frame <= LLONG_MAX / kPictureCells) return (int)(frame * kPictureCells / p->plannedFrames);
    return (int)((double)frame / (double)p->plannedFrames * kPictureCells);
}

void addPictureFrames(TakePicture *p, long frames, const long peaks[2], const long clips[2])
{
    if (frames <= 0) return;
    // Only the block's peak is known, not where in it: every cell it
    // touches takes it.
    int last = cellAt(p, p->frames + frames - 1);
    for (int cell = cellAt(p, p->frames); cell <= last; ++cell) {
        for (int c = 0; c < p->channels; ++c) {
            if (peaks[c] > p->peak[c][cell]) p->peak[c][cell] = peaks[c];
            if (clips[c] > 0) p->clipped[c][cell] = 1;
        }
    }
    p->frames += frames;
}

void addPictureGap(TakePicture *p, long long frames)
{
    if (frames <= 0) return;
    int last = cellAt(p, p->frames + frames - 1);
    for (int cell = cellAt(p, p->frames); cell <= last; ++cell) p->lost[cell] = 1;
    p->frames += frames;
}

// Cells the take has reached: a take that ended early fills only part of
// its picture.
static int reachedCells(const TakePicture *p)
{
    return p->frames > 0 ? cellAt(p, p->frames - 1) + 1 : 0;
}

int pictureHasMarks(const TakePicture *p)
{
    int reached = reachedCells(p);
    for (int i = 0; i < reached; ++i) {
        if (p->lost[i]) return 1;
        for (int c = 0; c < p->channels; ++c)
            if (p->clipped[c][i]) return 1;
    }
    return 0;
}

// The character of a slice: its peak in eight steps of the meter's scale.
static void putSlice(MeterText *t, long peak, int bytesPerSample, int unicode)
{
    static const char kAscii[] = ".:-=+*#@";
    if (peak <= 0) {
        putAscii(t, " ");
        return;
    }
    int step = (int)ceil(meterFraction(peakDb(peak, bytesPerSample)) * 8);
    if (step < 1) step = 1;   // audible, if below the scale: not silence
    if (step > 8) step = 8;
    if (unicode) {
        // U+2581 (lower one eighth block) to U+2588 (full block).
        char block[3] = {'\xe2', '\x96', (char)(0x80 + step)};
        putGlyph(t, block, 3);
    } else {
        putGlyph(t, kAscii + step - 1, 1);
    }
}

int renderPictureLine(const TakePicture *p, int channel, int cells, int unicode, char *text,
                      int textBytes)
{
    if (textBytes < 1) return 0;
    text[0] = '\0';
    if (cells < 1) cells = 1;
    if (cells > kPictureCells) cells = kPictureCells;
    MeterText t = {text, textBytes, 0, 0, 12 + cells};
    char head[32];
    snprintf(head, sizeof head, "Channel %d |", channel + 1);
    putAscii(&t, head);
    // Drawn narrower than it was gathered, a character takes the slices
    // under it together.
    int reached = reachedCells(p);
    int drawn = (reached * cells + kPictureCells - 1) / kPictureCells;
    for (int j = 0; j < drawn; ++j) {
        int from = j * kPictureCells / cells, to = (j + 1) * kPictureCells / cells;
        if (to > reached) to = reached;
        long peak = 0;
        int clipped = 0, lost = 0;
        for (int i = from; i < to; ++i) {
            if (p->peak[channel][i] > peak) peak = p->peak[channel][i];
            clipped |= p->clipped[channel][i];
            lost |= p->lost[i];
        }
        if (lost) putAscii(&t, "x");
        else if (clipped) putAscii(&t, "!");
        else putSlice(&t, peak, p->bytesPerSample, unicode);
    }
    putAscii(&t, "|");
    return t.used;
}
