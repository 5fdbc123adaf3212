// Persistence: the settings file and the track list store.
//
// The console owns the values and the table; these functions take them as
// arguments, open and close their file within the call and keep no state.
// Both files are read only when they are regular files, and saved through
// files/ (beside the old file, then renamed over the file a link names,
// keeping its mode and owner).
#ifndef TUNEVAT_STORE_STORE_H
#define TUNEVAT_STORE_STORE_H

#include <ctime>
#include <sys/types.h>

#include "files/files.h"

// Sizes of the console's text fields, terminating NUL included.
const int kDeviceBytes = 48;
const int kListNameBytes = 256;
const int kRecordNameBytes = 128;

// The settings file, in the working directory.
extern const char kSettingsFile[];   // "rcvat.txt"

// Copies the text src into dst (size bytes), cutting what does not fit.
// Returns 1 when it fitted whole, 0 when it was cut.
int copyText(char *dst, const char *src, int size);

// The track table: 1024 slots of 128 bytes, slot k at table + k * 128.
const int kTableSlots = 1024;
const int kSlotBytes = 128;
const long kTableBytes = (long)kTableSlots * kSlotBytes;   // 131072
// A load from a list file takes at most this many entries.
const int kListLoadLimit = 1022;
// Bytes of the list text buffer, and of a list file that are loaded.
const long kListTextBytes = 131072;
// Bytes of the settings file that GET_PARAMS reads.
const long kSettingsReadBytes = 1020;

// GetList's result for a file that is not a track list (a WAV file, or one
// holding NUL bytes): nothing was loaded. 0 is a load, 1 a file that could
// not be opened.
const int kListRefused = 2;

// What ListOrigin notes of the file the list name led to.
const int kNameNotNoted = 0;   // nothing: a save replaces what it finds
const int kNameNoFile = 1;     // no list was loaded from it (missing, unreadable)
const int kNameFile = 2;       // the list was loaded from or saved to this file

// What the table could not take of the list file it was loaded from, so
// that a save writes it back instead of deleting it: the whole line of
// every entry that was cut (longer than a slot, or cut by the 131072-byte
// limit) and the lines after the last one loaded. Both
// are copied from that file at the save, which must then still be the file
// that was read (same device, inode, size and modification time). The
// console keeps one for its table; a zero-filled one keeps nothing.
struct ListOrigin {
    char path[kPathBytes];          // the file, links resolved; "" when nothing is kept
    dev_t device;
    ino_t inode;
    off_t size;
    struct timespec modified;
    int hasTail;                    // lines after the loaded ones are kept
    long tailStart;                 // where those lines start in the file
    // For entry k (slot k) that was cut: where its whole line starts in
    // the file and how long it is. lineBytes is 0 for an entry held whole
    // and for every slot from the table's count on.
    long lineStart[kTableSlots];
    long lineBytes[kTableSlots];
    // The file the list name led to when the list was last loaded or
    // saved: a save never replaces another one that has taken the name
    // since (a recording made under it, say), nor one where none was.
    int nameNote;                   // kNameNotNoted, kNameNoFile, kNameFile
    dev_t nameDevice;               // with kNameFile
    ino_t nameInode;
};

// How a take starts, kept in the settings file only when set: the
// pre-roll ("pre": seconds of sound from before the start, 0 to
// kMaxPreSeconds, 0 for none) and the trigger ("trig": the level in dBFS
// the input must pass for the take to start, kLowestTrigDb to 0, 0 for
// off). The reader stores what the file says; the console checks it.
struct TakeStartSettings {
    float preSeconds;
    float trigDb;
};
const float kMaxPreSeconds = 30.0f;
const float kLowestTrigDb = -90.0f;
// Names in the settings file that do not fit their fields (GET_PARAMS's
// *tooLong): each is left out, never cut.
const int kTooLongDevice = 1;
const int kTooLongList = 2;
const int kTooLongRecordName = 4;
// Settings added after the nine above, for the WAV files played and made.
// Each is written only when it is not at its default, after the others, so
// a file without them reads as before, and an older build passes over
// their lines.
struct WavSettings {
    int bwf;       // "bwf": 1 gives new recordings a bext chunk (Broadcast WAV); 0 does not
    int pair[2];   // "pair": the two channels (from 1) played from files of more than two;
                   // 0 0: all of them where the device takes them, else 1 and 2
};

// Reads settingsPath (the console passes "rcvat.txt") and replaces every
// value that it names; the rest keep what the caller had. device, listName
// and recordName take a name only when it fits kDeviceBytes,
// kListNameBytes and kRecordNameBytes whole; a longer one changes nothing
// and is noted in *tooLong (when not null) with its kTooLong flag. A
// "tlist" line with a non-empty value that fits also sets *listGiven to 1. A key ended by a line feed gives an empty value; a key
// with nothing at all after it, at the end of the file, changes nothing.
// Reads at most the first 1020 bytes, and only from a regular file. A text
// value's one trailing carriage return (a CR LF line end) is not part of
// it. "pre" and "trig" go to *takeStart, "bwf" (1, or 0 for any other
// value) and "pair" (two channel numbers from 1 to 65535, or 0 0 for any
// other value) to *wav (each passed over when it is null). Prints
// nothing; a file that cannot be opened changes nothing.
void GET_PARAMS(int *channels, char *device, unsigned int *rate,
                unsigned int *bits, float *inPoint, float *outPoint,
                float *duration, char *listName, int *listGiven,
                const char *settingsPath, char *recordName,
                TakeStartSettings *takeStart = nullptr, WavSettings *wav = nullptr,
                int *tooLong = nullptr);

// Writes rcvat.txt in the working directory: dv, sr, bits, ch, i, o, d,
// then tlist and rname when not empty, then from takeStart (when not
// null) "pre\t%.3f" when above 0 and "trig\t%.1f" when below 0, then from
// wav (when not null) bwf when 1 and pair when set, each ended by a line
// feed. The
// lines of the old file that hold no setting (no word of them is a key:
// notes, keys of other programs) follow, unchanged and in their order;
// blank lines and the old settings lines are left out. The old file is
// replaced only once the new one is completely written and synced; a
// link is followed, and the file's mode and owner are kept. Returns 1 on
// success, 0 otherwise (the old file is then untouched; also when it
// exists but cannot be read). Prints nothing.
int Store_Settings(int channels, const char *device, unsigned int rate,
                   unsigned int bits, float inPoint, float outPoint,
                   float duration, const char *listName,
                   const char *recordName,
                   const TakeStartSettings *takeStart = nullptr,
                   const WavSettings *wav = nullptr);

// The lines of settingsPath that hold a setting but that GET_PARAMS does
// not read whole, because they lie (or run on) past the first 1020 bytes
// or after a NUL byte; Store_Settings leaves them out. Returns how many,
// with *readBytes set to the number of bytes the reader takes; 0 when the
// file cannot be read.
long unreadSettingsLines(const char *settingsPath, long *readBytes);

// Loads the list file listPath into table/count through the text buffer
// (capacity bytes; also the number of table bytes cleared). Prints
// "Opening existing list: ..." or "Creating a new list: ..." (before it,
// "Cannot read ...: ..." when the name is there but is no regular file or
// cannot be read) and, for a file over capacity, how many bytes were not
// loaded. What the table cannot take is noted in origin (not null) and
// said once: the entries that were cut, by number, and the entries after
// the last one loaded. A file that is not a track list is not loaded:
// one that begins as a WAV file does (a RIFF, RF64 or BW64 tag, and
// "WAVE" at offset 8), or that holds a NUL byte anywhere (any other RIFF
// file does, in its chunk sizes). It prints "... is a WAV file, not a
// track list" or "... holds NUL bytes, not a track list" and returns
// kListRefused; table, count and origin are untouched. Returns 1 when the
// file could not be opened (table and count untouched; origin notes that
// no list came from the name), 0 after a load (origin notes the file).
int GetList(char *text, char *table, const char *listPath, int *count,
            long capacity, ListOrigin *origin);

// Splits the NUL-terminated text at line feeds into the table (runs of
// line feeds are one separator), at most 1022 entries; clears tableBytes
// bytes of the table first. The carriage returns that end a line (a CR LF
// line end) are not part of its entry, and a line of nothing else is an
// empty one. Lines longer than a slot are cut to 127 bytes.
// On entry *count is the number of slots the table uses now; the slots
// after them must be all zeros, as every function here leaves them. Only
// the used slots are then cleared, so a table holding a few names is not
// written through, and stays out of memory, beyond them. Any count
// outside 0..1024 (unknown) clears all tableBytes bytes. GetList passes
// its count on in the same way.
void ParseList(const char *text, char *table, int *count, long tableBytes);

// As ParseList, over exactly length bytes of text (no NUL needed).
void ParseListBytes(const char *text, long length, char *table, int *count,
                    long tableBytes);

// Writes the first count entries, each followed by a line feed, to
// listPath, assembling the bytes in text (kListTextBytes bytes). An entry
// that origin notes as cut is written as its whole line, and the lines
// that were not loaded follow the entries, all copied from the file they
// were loaded from, unchanged but for the carriage returns that end a
// line (the file is written with line feeds only); origin then notes where
// they lie in the new file. origin may be null: the entries are written as
// they are. The old file is replaced only once the new one is completely
// written and synced; a link is followed, and the file's mode and owner
// are kept. Prints "Unable to open ..." and returns 0 when it cannot be
// written (also when the file exists but cannot be read, or is no regular
// file), and "Unable to save ...: ..." with the reason when the file under
// the name is not the one origin notes (another file took the name, or
// one now stands where none was), when it is no track list (a WAV file,
// or one holding NUL bytes), or when the lines to keep can no longer be
// read as they were; the old file is then untouched. Returns 1 on success,
// with origin noting the file written.
int WriteList(const char *listPath, const char *table, char *text,
              int count, ListOrigin *origin);

// Removes track trackNumber (from 1) of the first count slots by moving
// every later entry up one slot; the vacated last slot is left empty. The
// caller lowers count. Numbers outside 1..count change nothing.
void RemoveTrack(char *table, int trackNumber, int count);

// Moves origin's notes of the entries as RemoveTrack moves the entries,
// so that each note stays with its entry. Called with the same numbers.
void removeKeptLine(ListOrigin *origin, int trackNumber, int count);

#endif
