// Persistence: the settings file and the track list store.
//
// The console owns the values and the table; these functions take them as
// arguments, open and close their file within the call and keep no state.
#ifndef TUNEVAT_STORE_STORE_H
#define TUNEVAT_STORE_STORE_H

// Sizes of the console's text fields, terminating NUL included.
const int kDeviceBytes = 48;
const int kListNameBytes = 256;
const int kRecordNameBytes = 128;

// The track table: 1024 slots of 128 bytes, slot k at table + k * 128.
const int kTableSlots = 1024;
const int kSlotBytes = 128;
const long kTableBytes = (long)kTableSlots * kSlotBytes;   // 131072
// A load from a list file takes at most this many entries.
const int kListLoadLimit = 1022;
// Bytes of the list text buffer, and of a list file that are loaded.
const long kListTextBytes = 131072;

// Reads settingsPath (the console passes "rcvat.txt") and replaces every
// value that it names; the rest keep what the caller had. device, listName
// and recordName receive text cut to kDeviceBytes, kListNameBytes and
// kRecordNameBytes. A "tlist" line with a non-empty value also sets
// *listGiven to 1. A key ended by a line feed gives an empty value; a key
// with nothing at all after it, at the end of the file, changes nothing.
// Reads at most the first 1020 bytes. Prints nothing; a file that cannot
// be opened changes nothing.
void GET_PARAMS(int *channels, char *device, unsigned int *rate,
                unsigned int *bits, float *inPoint, float *outPoint,
                float *duration, char *listName, int *listGiven,
                const char *settingsPath, char *recordName);

// Writes rcvat.txt in the working directory: dv, sr, bits, ch, i, o, d,
// then tlist and rname when not empty. The old file is replaced only once
// the new one is completely written. Returns 1 on success, 0 otherwise
// (the old file is then untouched). Prints nothing.
int Store_Settings(int channels, const char *device, unsigned int rate,
                   unsigned int bits, float inPoint, float outPoint,
                   float duration, const char *listName,
                   const char *recordName);

// Loads the list file listPath into table/count through the text buffer
// (capacity bytes; also the number of table bytes cleared). Prints
// "Opening existing list: ..." or "Creating a new list: ..." and, for a
// file over capacity, how many bytes were not loaded. Returns 1 when the
// file could not be opened (table and count untouched), 0 after a load.
int GetList(char *text, char *table, const char *listPath, int *count,
            long capacity);

// Splits the NUL-terminated text at line feeds into the table (runs of
// line feeds are one separator), at most 1022 entries; clears tableBytes
// bytes of the table first. Lines longer than a slot are cut to 127 bytes.
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
// listPath, assembling the bytes in text (kListTextBytes bytes). The old
// file is replaced only once the new one is completely written. Prints
// "Unable to open ..." and returns 0 when it cannot be written; 1 on
// success.
int WriteList(const char *listPath, const char *table, char *text,
              int count);

// Removes track trackNumber (from 1) of the first count slots by moving
// every later entry up one slot; the vacated last slot is left empty. The
// caller lowers count. Numbers outside 1..count change nothing.
void RemoveTrack(char *table, int trackNumber, int count);

#endif
