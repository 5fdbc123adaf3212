// What a terminal shows of the input's level: the live meter (a peak bar
// per channel on a dBFS scale, with a peak hold, the level in dBFS and a
// count of clipped samples) and, after a take, a picture of the take (a
// line per channel, a cell for each slice of the take). Both are fed the
// peaks and clip counts that measureFrames takes of each block.
//
// The computing and the drawing into text (meter.cpp, picture.cpp) are
// plain functions of numbers, with no device and no I/O; screen.cpp puts
// the text on the terminal. Nothing of this is printed when standard
// output is not a terminal: a pipe gets what it always got.
#ifndef TUNEVAT_AUDIO_METER_H
#define TUNEVAT_AUDIO_METER_H

// The meter's scale: from kMeterFloorDb to 0 dBFS, marked at -18 and -6.
const double kMeterFloorDb = -60.0;
// How often the meter is redrawn, and how long its hold stays.
// Three quarters of a tenth of a second: the take loop looks every 85 to
// 93 ms at 44.1 to 96 kHz (every 43 ms at 192 kHz), and each look, or
// every other, draws it, about ten times a second.
const long long kMeterIntervalNs = 75000000LL;
const long long kMeterHoldNs = 2000000000LL;
// A bar shorter than this does not share a line with the leading text:
// the meter then takes two lines. At 80 columns, two channels' bars of
// this many cells fit beside "Remaining 1234.56 sec" until one of them
// counts 100000 clipped samples.
const int kMeterMinBar = 8;
// Bars grow with the terminal up to this many cells.
const int kMeterMaxBar = 50;
// Bytes of the meter's text: two lines of the widest terminal drawn, with
// 3-byte block characters.
const int kMeterTextBytes = 1024;

struct LevelMeter {
    int channels;               // shown: 1 or 2
    int bytesPerSample;         // 2 or 3
    long gathered[2];           // peaks of the blocks fed since the levels were taken
    int fed;                    // a block came since then
    long level[2];              // the level shown: the peak of the last interval
    long hold[2];               // the highest peak of the last kMeterHoldNs
    long long holdAtNs[2];      // when it came
    long long clips[2];         // samples at full scale since the start
    long long takenAtNs;        // when the levels were last taken, -1 never
    // Where it is drawn (screen.cpp): 0 columns for nowhere.
    int columns;
    int unicode;                // block characters (else plain ASCII)
    int linesDrawn;             // lines the last drawing left on the terminal
};

// Starts a meter of channels channels of bytesPerSample-byte samples, all
// quiet, drawn columns wide (0: not drawn), with block characters when
// unicode is 1.
void startMeter(LevelMeter *m, int channels, int bytesPerSample, int columns, int unicode);

// Feeds the peaks and clip counts of one block (measureFrames), read at
// nowNs (monotonic nanoseconds).
void feedMeter(LevelMeter *m, const long peaks[2], const long clips[2], long long nowNs);

// 1 when kMeterIntervalNs has passed since the levels were last taken.
int meterDue(const LevelMeter *m, long long nowNs);

// Takes the levels at nowNs: each channel's level becomes the peak of the
// blocks fed since the last time (it stays as it was when none came), and
// a hold older than kMeterHoldNs falls to it.
void takeMeterLevels(LevelMeter *m, long long nowNs);

// peak (an absolute sample value) in dBFS: 0 for full scale (the most
// negative sample), -inf for 0.
double peakDb(long peak, int bytesPerSample);

// peak in dBFS with one decimal ("-6.0"; "-inf" for silence) into text
// (at least 16 bytes). Returns its length.
int formatDb(long peak, int bytesPerSample, char *text);

// Draws the meter into text (textBytes bytes, NUL-terminated): after lead
// (ASCII), for each channel its number, a bar from -60 to 0 dBFS with
// marks at -18 and -6 (':') and the hold ('|'), the level and, once there
// is one, "clip" and the count of clipped samples. Every line is padded
// with spaces to one column less than columns (at most 120), so a redraw
// covers the last one and the cursor never wraps. When a bar of
// kMeterMinBar cells does not fit beside lead, lead takes a line of its
// own, and the lines are separated by '\n'. Returns the number of lines.
int renderMeter(const LevelMeter *m, const char *lead, int columns, int unicode, char *text,
                int textBytes);

// --- Text drawn to a width, for the meter and the picture.

// Where the text goes: size bytes at text, used of them filled (a NUL
// after them), column columns on the current line, at most width.
struct MeterText {
    char *text;
    int size;
    int used;
    int column;
    int width;
};

// Appends one character of one column (length bytes of UTF-8), unless the
// line is full or the bytes would not fit.
void putGlyph(MeterText *t, const char *bytes, int length);
// Appends ASCII text, as much as fits.
void putAscii(MeterText *t, const char *s);
// Pads the line with spaces to the width; with another, starts a new line
// ('\n').
void endTextLine(MeterText *t, int another);

// Where db lies on the meter's scale: 0 at or below kMeterFloorDb (and
// for -inf), 1 at 0 dBFS.
double meterFraction(double db);

// --- The picture of a take.

// Cells of a picture: slices of the planned take.
const int kPictureCells = 60;

struct TakePicture {
    int channels;
    int bytesPerSample;
    long long plannedFrames;        // what the cells divide
    long long frames;               // frames of the take so far, lost ones included
    long peak[2][kPictureCells];
    unsigned char clipped[2][kPictureCells];
    unsigned char lost[kPictureCells];
};

// Starts the picture of a take planned to hold plannedFrames frames.
void startTakePicture(TakePicture *p, int channels, int bytesPerSample, long long plannedFrames);

// The next frames of the take, with their block's peaks and clip counts
// (measureFrames): each cell they touch takes the block's peaks. Frames
// past the planned length count in the last cell.
void addPictureFrames(TakePicture *p, long frames, const long peaks[2], const long clips[2]);

// Frames the device lost at this point of the take: the cells they touch
// are marked.
void addPictureGap(TakePicture *p, long long frames);

// Draws channel (0 or 1) of the picture into text (textBytes bytes):
// "Channel 1 |", one character per cell up to where the take got, and
// "|". A cell is blank for silence, else one of eight steps from -60 to 0
// dBFS ("▁" to "█", or ".:-=+*#@" in ASCII); '!' marks a slice that
// clipped, 'x' one where frames were lost (which wins). cells (1 to
// kPictureCells) is the width the take is drawn in. Returns the length.
int renderPictureLine(const TakePicture *p, int channel, int cells, int unicode, char *text,
                      int textBytes);

// 1 when a cell the take reached clipped or lost frames.
int pictureHasMarks(const TakePicture *p);

// --- On the terminal (screen.cpp).

// Standard output's width when it is a terminal (TIOCGWINSZ, 80 when it
// does not say), 0 when it is not one.
int terminalColumns();

// 1 when the locale the environment names (LC_ALL, else LC_CTYPE, else
// LANG) is UTF-8, so the terminal shows block characters.
int unicodeLocale();

// Starts m for standard output: drawn when it is a terminal. Returns 1
// then, 0 when it is not one (drawMeter does nothing).
int startMeterOnTerminal(LevelMeter *m, int channels, int bytesPerSample);

// Takes the levels at nowNs and draws the meter over what it last drew,
// after lead; flushed. Nothing when m is not drawn.
void drawMeter(LevelMeter *m, const char *lead, long long nowNs);

// Prints the picture below what is on the terminal, a line per channel,
// and a line saying what '!' and 'x' mean when one shows. Nothing when
// standard output is not a terminal.
void showTakePicture(const TakePicture *p);

#endif
