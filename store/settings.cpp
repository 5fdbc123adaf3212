// The settings file rcvat.txt: one "key<TAB>value" line per setting.
#include "store/store.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The reader takes at most this many bytes of the file (plus a NUL). A
// file written by Store_Settings keeps its own lines well below it (about
// 640 bytes with the longest names and times); anything beyond is
// hand-made: settings there are not read, and are said to be left out.
const int kSettingsTextBytes = (int)kSettingsReadBytes;

// One formatted line: the longest is "tlist\t" + 255 characters + "\n";
// a float printed with "%.3f" needs at most 44 characters.
const int kSettingsLineBytes = 320;

// Longest key ("tlist", "rname") and one more, to tell a longer word.
const int kKeyCheckBytes = 6;

bool isSeparator(char c)
{
    return c == '\t' || c == ' ' || c == '\n';
}

// Copies the length bytes of value (a slice of a longer text) into dest
// (destBytes bytes) and ends it there, cut to fit.
void copySlice(char *dest, const char *value, int length, int destBytes)
{
    if (length > destBytes - 1) length = destBytes - 1;
    memcpy(dest, value, (size_t)length);
    dest[length] = '\0';
}

// Copies a name of length bytes into dest (destBytes bytes) when it fits
// whole; a name that does not is left out and noted in *tooLong with flag:
// a cut name could name another file.
void copyName(char *dest, const char *value, int length, int destBytes, int flag, int *tooLong)
{
    if (length > destBytes - 1) *tooLong |= flag;
    else copySlice(dest, value, length, destBytes);
}

// Stores one key's value. value is NUL-terminated (length bytes).
void storeValue(const char *key, const char *value, int length, int *channels,
                char *device, unsigned int *rate, unsigned int *bits,
                float *inPoint, float *outPoint, float *duration,
                char *listName, int *listGiven, char *recordName,
                TakeStartSettings *takeStart, int *tooLong)
{
    // Base-10 conversions skip leading blanks and give 0 when no number
    // follows; out-of-range values are kept as converted, the console
    // corrects channels and bits afterwards.
    if (strcmp(key, "dv") == 0) {
        copyName(device, value, length, kDeviceBytes, kTooLongDevice, tooLong);
    } else if (strcmp(key, "sr") == 0) {
        *rate = (unsigned int)strtoul(value, nullptr, 10);
    } else if (strcmp(key, "bits") == 0) {
        *bits = (unsigned int)strtoul(value, nullptr, 10);
    } else if (strcmp(key, "ch") == 0) {
        *channels = (int)strtol(value, nullptr, 10);
    } else if (strcmp(key, "i") == 0) {
        *inPoint = (float)strtod(value, nullptr);
    } else if (strcmp(key, "o") == 0) {
        *outPoint = (float)strtod(value, nullptr);
    } else if (strcmp(key, "d") == 0) {
        *duration = (float)strtod(value, nullptr);
    } else if (strcmp(key, "tlist") == 0) {
        // An empty value names no list: the list name and the flag stay as
        // they were, so the console never works with a file called "".
        int fits = length < kListNameBytes;
        if (length > 0) copyName(listName, value, length, kListNameBytes, kTooLongList, tooLong);
        if (length > 0 && fits) *listGiven = 1;
    } else if (strcmp(key, "rname") == 0) {
        copyName(recordName, value, length, kRecordNameBytes, kTooLongRecordName, tooLong);
    } else if (takeStart && strcmp(key, "pre") == 0) {
        takeStart->preSeconds = (float)strtod(value, nullptr);
    } else if (takeStart && strcmp(key, "trig") == 0) {
        takeStart->trigDb = (float)strtod(value, nullptr);
    }
}

// Stores a value of the keys WavSettings holds. Returns false for any
// other key.
bool storeWavValue(const char *key, const char *value, WavSettings *wav)
{
    if (strcmp(key, "bwf") == 0) {
        if (wav) wav->bwf = strtol(value, nullptr, 10) == 1 ? 1 : 0;
        return true;
    }
    if (strcmp(key, "pair") != 0) return false;
    char *end = nullptr;
    long a = strtol(value, &end, 10);
    long b = strtol(end, nullptr, 10);
    bool valid = a >= 1 && a <= 65535 && b >= 1 && b <= 65535;
    if (wav) {
        wav->pair[0] = valid ? (int)a : 0;
        wav->pair[1] = valid ? (int)b : 0;
    }
    return true;
}

// Formats one line into the line buffer and appends it to text, which
// has room for eleven full lines. False when the line does not fit.
__attribute__((format(printf, 3, 4)))
bool appendLine(char *text, int *used, const char *format, ...)
{
    char line[kSettingsLineBytes];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0 || n >= (int)sizeof line) return false;
    memcpy(text + *used, line, (size_t)n);
    *used += n;
    return true;
}

bool isKey(const char *word, int length)
{
    static const char *const keys[] = {"dv", "sr", "bits", "ch", "i", "o",
                                       "d", "tlist", "rname", "pre", "trig", "bwf", "pair"};
    for (const char *key : keys) {
        if ((int)strlen(key) == length && memcmp(key, word, (size_t)length) == 0) {
            return true;
        }
    }
    return false;
}

// One line of a settings file, as the reader would see its words.
struct SettingsLine {
    long start;     // offset of its first byte
    long end;       // offset after its line feed, or the end of the file
    long textEnd;   // offset of its line feed, or the end of the file
    bool blank;     // nothing but tabs, spaces and carriage returns
    bool hasKey;    // one of its words is a key, so the reader takes the line
};

// Reads the next line of f, which stands at offset *offset; false at the
// end of the file. Words end at a tab, a space or a line feed, as in the
// reader; only a word's first bytes are kept, enough to tell a key.
bool nextSettingsLine(FILE *f, long *offset, SettingsLine *line)
{
    line->start = *offset;
    line->blank = true;
    line->hasKey = false;
    char word[kKeyCheckBytes];
    int wordLength = 0;
    bool any = false;
    bool ended = false;
    int c;
    while (!ended && (c = getc(f)) != EOF) {
        any = true;
        (*offset)++;
        if (isSeparator((char)c)) {
            if (wordLength > 0 && isKey(word, wordLength)) line->hasKey = true;
            wordLength = 0;
            ended = c == '\n';
        } else {
            if (c != '\r') line->blank = false;
            if (wordLength < kKeyCheckBytes) word[wordLength++] = (char)c;
        }
    }
    if (wordLength > 0 && isKey(word, wordLength)) line->hasKey = true;
    line->end = *offset;
    line->textEnd = ended ? *offset - 1 : *offset;
    return any;
}

// Copies the bytes of line from f to out; f is left where it stood.
bool copyLine(FILE *f, const SettingsLine &line, FILE *out)
{
    long back = ftell(f);
    if (back < 0 || fseek(f, line.start, SEEK_SET) != 0) return false;
    char chunk[256];
    long left = line.end - line.start;
    while (left > 0) {
        size_t want = left < (long)sizeof chunk ? (size_t)left : sizeof chunk;
        size_t got = fread(chunk, 1, want, f);
        if (got == 0 || fwrite(chunk, 1, got, out) != got) return false;
        left -= (long)got;
    }
    return fseek(f, back, SEEK_SET) == 0;
}

// Appends to out the lines of the old settings file that hold no setting.
bool keepOtherLines(FILE *old, FILE *out)
{
    long offset = 0;
    SettingsLine line;
    while (nextSettingsLine(old, &offset, &line)) {
        if (!line.hasKey && !line.blank && !copyLine(old, line, out)) return false;
    }
    return !ferror(old);
}

// How many bytes of f the reader takes: the first 1020, up to a NUL.
long readLength(FILE *f)
{
    char text[kSettingsTextBytes];
    size_t got = fread(text, 1, sizeof text, f);
    const char *nul = (const char *)memchr(text, '\0', got);
    return nul ? (long)(nul - text) : (long)got;
}

}  // namespace

const char kSettingsFile[] = "rcvat.txt";

int copyText(char *dst, const char *src, int size)
{
    if (size < 1) return 0;
    int n = snprintf(dst, (size_t)size, "%s", src);
    return n >= 0 && n < size;
}

// Reads word by word: a word that is a key takes the rest of its line as
// its value (after the one tab or space that ended the key), so a value is
// never itself taken for a key. A key ended by a line feed has an empty
// value (text values become empty, numbers 0; an empty "tlist" is ignored);
// a key that is the very last word of the file, with nothing after it,
// leaves its value as it was.
void GET_PARAMS(int *channels, char *device, unsigned int *rate,
                unsigned int *bits, float *inPoint, float *outPoint,
                float *duration, char *listName, int *listGiven,
                const char *settingsPath, char *recordName,
                TakeStartSettings *takeStart, WavSettings *wav, int *tooLong)
{
    int refused = 0;
    if (tooLong) *tooLong = 0;
    // A FIFO or a device under the name is not read: it could block for ever.
    FILE *f = fopenRegular(settingsPath, "r", nullptr);
    if (!f) return;
    char text[kSettingsTextBytes + 1];
    size_t got = fread(text, 1, kSettingsTextBytes, f);
    fclose(f);
    text[got] = '\0';
    // The text ends at its first NUL, as a C string does.
    int length = (int)strlen(text);

    int pos = 0;
    for (;;) {
        while (pos < length && isSeparator(text[pos])) pos++;
        if (pos >= length) break;
        int start = pos;
        while (pos < length && !isSeparator(text[pos])) pos++;
        int wordLength = pos - start;
        if (!isKey(text + start, wordLength)) continue;
        if (pos >= length) break;   // a key with nothing after it
        char key[8];
        copySlice(key, text + start, wordLength, sizeof key);
        int valueStart = text[pos] == '\n' ? pos : pos + 1;
        int valueEnd = valueStart;
        while (valueEnd < length && text[valueEnd] != '\n') valueEnd++;
        pos = valueEnd;
        // A file edited with CR LF line ends: the CR ends the line, it is
        // not part of a name. Numbers stop before it anyway.
        if (valueEnd > valueStart && text[valueEnd - 1] == '\r') valueEnd--;
        char value[kSettingsTextBytes + 1];
        copySlice(value, text + valueStart, valueEnd - valueStart, sizeof value);
        if (!storeWavValue(key, value, wav))
            storeValue(key, value, valueEnd - valueStart, channels, device, rate, bits, inPoint,
                       outPoint, duration, listName, listGiven, recordName, takeStart, &refused);
    }
    if (tooLong) *tooLong = refused;
}

long unreadSettingsLines(const char *settingsPath, long *readBytes)
{
    *readBytes = 0;
    FILE *f = fopenRegular(settingsPath, "r", nullptr);
    if (!f) return 0;
    long readEnd = readLength(f);
    *readBytes = readEnd;
    long unread = 0;
    // Only a file that goes on past what the reader takes can hold any.
    if (fseek(f, 0, SEEK_END) == 0 && ftell(f) > readEnd && fseek(f, 0, SEEK_SET) == 0) {
        long offset = 0;
        SettingsLine line;
        while (nextSettingsLine(f, &offset, &line)) {
            if (line.hasKey && line.textEnd > readEnd) unread++;
        }
    }
    fclose(f);
    return unread;
}

// The new file is written beside the old one (files/ beginSave) and
// renamed over it only when every byte is out and synced, so a full disk
// or an unwritable directory never leaves an empty or half-written
// rcvat.txt behind. Lines of the old file that the reader passes over
// (notes, keys of other programs) are carried over after the settings;
// they hold no key, so they never change what the next start reads.
int Store_Settings(int channels, const char *device, unsigned int rate,
                   unsigned int bits, float inPoint, float outPoint,
                   float duration, const char *listName,
                   const char *recordName,
                   const TakeStartSettings *takeStart, const WavSettings *wav)
{
    // Thirteen lines at most, each well under the line buffer. The names
    // are bounded by the console's buffers; the precisions keep an
    // unterminated or over-long argument from being read past them.
    char text[13 * kSettingsLineBytes];
    int used = 0;
    bool ok = appendLine(text, &used, "dv\t%.*s\n", kDeviceBytes - 1, device) &&
              appendLine(text, &used, "sr\t%u\n", rate) &&
              appendLine(text, &used, "bits\t%u\n", bits) &&
              appendLine(text, &used, "ch\t%i\n", channels) &&
              appendLine(text, &used, "i\t%.3f\n", (double)inPoint) &&
              appendLine(text, &used, "o\t%.3f\n", (double)outPoint) &&
              appendLine(text, &used, "d\t%.3f\n", (double)duration);
    if (ok && listName[0] != '\0') {
        ok = appendLine(text, &used, "tlist\t%.*s\n", kListNameBytes - 1, listName);
    }
    if (ok && recordName[0] != '\0') {
        ok = appendLine(text, &used, "rname\t%.*s\n", kRecordNameBytes - 1, recordName);
    }
    // Unset, they are not written: the file stays as an older build wrote
    // it (which skips these lines as it skips any line it has no key for).
    if (ok && takeStart && takeStart->preSeconds > 0.0f) {
        ok = appendLine(text, &used, "pre\t%.3f\n", (double)takeStart->preSeconds);
    }
    if (ok && takeStart && takeStart->trigDb < 0.0f) {
        ok = appendLine(text, &used, "trig\t%.1f\n", (double)takeStart->trigDb);
    }
    if (ok && wav && wav->bwf == 1) ok = appendLine(text, &used, "bwf\t1\n");
    if (ok && wav && wav->pair[0] > 0 && wav->pair[1] > 0)
        ok = appendLine(text, &used, "pair\t%d %d\n", wav->pair[0], wav->pair[1]);
    if (!ok) return 0;

    SaveBeside save;
    if (!beginSave(kSettingsFile, &save)) return 0;
    ok = fwrite(text, 1, (size_t)used, save.file) == (size_t)used;
    // The old file (the one a link names) is read before it is replaced;
    // one that is there but cannot be read is not replaced at all.
    FILE *old = ok ? fopenRegular(save.target, "rb", nullptr) : nullptr;
    if (old) {
        ok = keepOtherLines(old, save.file);
        fclose(old);
    } else if (ok && errno != ENOENT) {
        ok = false;
    }
    return finishSave(&save, ok ? 1 : 0);
}
