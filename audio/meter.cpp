// The live meter: levels, hold and clip counts from the peaks of each
// block, and the meter's line drawn into text. Nothing here prints.
#include "audio/meter.h"

#include <cmath>
#include <cstdio>
#include <cstring>

void startMeter(LevelMeter *m, int channels, int bytesPerSample, int columns, int unicode)
{
    memset(m, 0, sizeof *m);
    m->channels = channels == 1 ? 1 : 2;
    m->bytesPerSample = bytesPerSample;
    m->takenAtNs = -1;
    m->columns = columns;
    m->unicode = unicode;
}

void feedMeter(LevelMeter *m, const long peaks[2], const long clips[2], long long nowNs)
{
    for (int c = 0; c < 2; ++c) {
        if (peaks[c] > m->gathered[c]) m->gathered[c] = peaks[c];
        // A peak as high as the hold renews it: a steady tone keeps its hold.
        if (peaks[c] >= m->hold[c]) {
            m->hold[c] = peaks[c];
            m->holdAtNs[c] = nowNs;
        }
        m->clips[c] += clips[c];
    }
    m->fed = 1;
}

int meterDue(const LevelMeter *m, long long nowNs)
{
    // A clock that went backwards (it should not) draws too.
    return m->takenAtNs < 0 || nowNs - m->takenAtNs >= kMeterIntervalNs || nowNs < m->takenAtNs;
}

void takeMeterLevels(LevelMeter *m, long long nowNs)
{
    // No block since the last time (a device whose periods are longer
    // than the interval): the level stays, rather than flicker to nothing.
    if (m->fed) {
        for (int c = 0; c < 2; ++c) {
            m->level[c] = m->gathered[c];
            m->gathered[c] = 0;
        }
        m->fed = 0;
    }
    for (int c = 0; c < 2; ++c) {
        if (nowNs - m->holdAtNs[c] >= kMeterHoldNs) {
            m->hold[c] = m->level[c];
            m->holdAtNs[c] = nowNs;
        }
    }
    m->takenAtNs = nowNs;
}

double peakDb(long peak, int bytesPerSample)
{
    if (peak <= 0) return -INFINITY;
    double fullScale = bytesPerSample == 3 ? 8388608.0 : 32768.0;
    // As the report after a take has it: full scale is -0.0, not 0.0.
    return -20.0 * log10(fullScale / (double)peak);
}

int formatDb(long peak, int bytesPerSample, char *text)
{
    if (peak <= 0) return snprintf(text, 16, "-inf");
    return snprintf(text, 16, "%.1f", peakDb(peak, bytesPerSample));
}

double meterFraction(double db)
{
    if (!(db > kMeterFloorDb)) return 0.0;
    if (db >= 0.0) return 1.0;
    return (db - kMeterFloorDb) / -kMeterFloorDb;
}

// --- Text that keeps to a width.

void putGlyph(MeterText *t, const char *bytes, int length)
{
    if (t->column >= t->width || t->used + length >= t->size) return;
    memcpy(t->text + t->used, bytes, (size_t)length);
    t->used += length;
    t->text[t->used] = '\0';
    t->column++;
}

void putAscii(MeterText *t, const char *s)
{
    for (; *s; ++s) putGlyph(t, s, 1);
}

void endTextLine(MeterText *t, int another)
{
    while (t->column < t->width && t->used + 1 < t->size) putGlyph(t, " ", 1);
    if (another && t->used + 1 < t->size) {
        t->text[t->used++] = '\n';
        t->text[t->used] = '\0';
    }
    t->column = 0;
}

// --- The meter's line.

// The level is right-aligned in this many columns ("-12.3"; a 24-bit
// level below -99.9 takes one more).
static const int kLevelColumns = 5;

// Columns of a channel's part but its bar: "1[", "] ", the level, and the
// clip count once there is one.
static int channelColumns(const LevelMeter *m, int c)
{
    char level[16];
    int n = formatDb(m->level[c], m->bytesPerSample, level);
    int columns = 2 + 2 + (n > kLevelColumns ? n : kLevelColumns);
    if (m->clips[c] > 0) columns += snprintf(nullptr, 0, " clip %lld", m->clips[c]);
    return columns;
}

// The cell of a bar of cells cells in which db lies.
static int cellOfDb(double db, int cells)
{
    int cell = (int)(meterFraction(db) * cells);
    return cell < cells ? cell : cells - 1;
}

// One channel's bar: filled up to its level (in eighths of a cell with
// block characters), the hold beyond it, the marks at -18 and -6 dBFS.
static void putBar(MeterText *t, const LevelMeter *m, int c, int cells, int unicode)
{
    static const char kFull[] = "\xe2\x96\x88";   // U+2588, a full block
    int bps = m->bytesPerSample;
    int units = unicode ? 8 : 1;
    int filled = (int)lround(meterFraction(peakDb(m->level[c], bps)) * cells * units);
    int full = filled / units, part = filled % units;
    int holdCell = -1;
    if (m->hold[c] > 0) holdCell = (int)ceil(meterFraction(peakDb(m->hold[c], bps)) * cells) - 1;
    int mark18 = cellOfDb(-18.0, cells), mark6 = cellOfDb(-6.0, cells);
    for (int i = 0; i < cells; ++i) {
        if (i < full) {
            if (unicode) putGlyph(t, kFull, 3);
            else putAscii(t, "#");
        } else if (i == full && part > 0) {
            // U+2589 (seven eighths) down to U+258F (one eighth).
            char eighths[3] = {'\xe2', '\x96', (char)(0x90 - part)};
            putGlyph(t, eighths, 3);
        } else if (i == holdCell) {
            putAscii(t, "|");
        } else if (i == mark18 || i == mark6) {
            putAscii(t, ":");
        } else {
            putAscii(t, " ");
        }
    }
}

static void putChannel(MeterText *t, const LevelMeter *m, int c, int cells, int unicode)
{
    char text[32] = {(char)('1' + c), '[', '\0'};
    putAscii(t, text);
    putBar(t, m, c, cells, unicode);
    putAscii(t, "] ");
    int n = formatDb(m->level[c], m->bytesPerSample, text);
    for (; n < kLevelColumns; ++n) putAscii(t, " ");
    putAscii(t, text);
    if (m->clips[c] > 0) {
        snprintf(text, sizeof text, " clip %lld", m->clips[c]);
        putAscii(t, text);
    }
}

int renderMeter(const LevelMeter *m, const char *lead, int columns, int unicode, char *text,
                int textBytes)
{
    if (textBytes < 1) return 0;
    text[0] = '\0';
    // One column is left free: a line that fills the last column would
    // leave the cursor waiting to wrap, and the next "\r" would miss it.
    int width = (columns > 120 ? 120 : columns) - 1;
    if (width < 1) width = 1;
    int leadColumns = (int)strlen(lead);
    int fixed = 2 * (m->channels - 1);   // between the channels
    for (int c = 0; c < m->channels; ++c) fixed += channelColumns(m, c);
    int cells = (width - leadColumns - (leadColumns > 0 ? 2 : 0) - fixed) / m->channels;
    int lines = 1;
    if (cells < kMeterMinBar && leadColumns > 0) {
        lines = 2;
        cells = (width - fixed) / m->channels;
    }
    if (cells > kMeterMaxBar) cells = kMeterMaxBar;
    if (cells < 1) cells = 1;

    MeterText t = {text, textBytes, 0, 0, width};
    putAscii(&t, lead);
    if (lines == 2) endTextLine(&t, 1);
    else if (leadColumns > 0) putAscii(&t, "  ");
    for (int c = 0; c < m->channels; ++c) {
        if (c > 0) putAscii(&t, "  ");
        putChannel(&t, m, c, cells, unicode);
    }
    endTextLine(&t, 0);
    return lines;
}
