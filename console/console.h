// The command console: start-up, the command loop and its commands.
//
// ConsoleState holds everything that lives for the whole run: the
// settings, the track table, the list text buffer and the console flags.
// The commands take it by pointer; nothing else keeps long-lived state.
#ifndef TUNEVAT_CONSOLE_CONSOLE_H
#define TUNEVAT_CONSOLE_CONSOLE_H

#include "input/input.h"
#include "store/store.h"

// Words read at the prompts. A command word of a few characters (12p)
// fits; longer words are cut to what fits. Answers are kAnswerBytes
// (input/input.h).
const int kCommandBytes = 16;

// setDefaults sets every field but the two big buffers and the list
// origin's notes per slot, which must already be zero-filled (as a static
// ConsoleState is), so that their untouched pages cost no memory.
struct ConsoleState {
    // Settings, saved in rcvat.txt.
    int channels;                      // 1 or 2
    unsigned int rate;                 // Hz
    unsigned int bits;                 // 16 or 24
    char device[kDeviceBytes];         // ALSA device name
    float inPoint;                     // playback start, seconds
    float outPoint;                    // playback stop, seconds
    float duration;                    // length of one take, seconds
    char listName[kListNameBytes];     // track list file
    char recordName[kRecordNameBytes]; // file the record command writes
    int listGiven;                     // the settings file named a list
    TakeStartSettings takeStart;       // pre-roll and trigger, saved when set
    WavSettings wav;                   // Broadcast WAV takes, the channels played of many

    // Console flags.
    int trackNumber;                   // track a bare play word uses
    int listHidden;                    // 1: list not shown before a prompt
    int saveOnExit;                    // cleared by "x"
    int selection;                     // answer to select/remove/reload
    int endSignal;                     // SIGTERM/SIGHUP (or Ctrl-C at a take menu) ended a
                                       // command: leave, saving nothing

    // Track table: count used slots of kSlotBytes each.
    char table[kTableSlots * kSlotBytes];
    int count;
    // Scratch text for loading and saving the list file; one spare byte
    // so that a full buffer can still be NUL-terminated.
    char listText[kListTextBytes + 1];
    // What the table could not take of the list file it was loaded from;
    // every save writes it back (store.h).
    ListOrigin listOrigin;

    char command[kCommandBytes];       // last word read at the prompt
    char answer[kAnswerBytes];         // "c" waits and exit confirmation
    char menuAnswer[kAnswerBytes];     // existing-file menu of "r"
};

// --- The state and its helpers (state.cpp), used by every command file.

extern const char *const kTakeFile;       // "tunevat_temp.wav"

// Sets every field to its start-up value; the table and the list text
// buffer are left as they are (zero-filled by the caller).
void setDefaults(ConsoleState *st);

// Appends ".wav" to a typed name; a name too long to take it is cut first
// so that the extension always fits.
void appendWav(char *name, int size);

// Reads a typed recording name into name (kRecordNameBytes bytes) and
// appends ".wav". A name longer than 123 characters, or one that names the
// track list file, is refused with a line saying why (-1, name unchanged
// in meaning: it may hold part of the word). Returns 1 for a name, 0 at
// end of input.
int readRecordName(const ConsoleState *st, char *name);

// The slot of track number n (from 1), or nullptr when n is outside
// 1..kTableSlots.
char *trackSlot(ConsoleState *st, int n);

// Waits until the word read is exactly "c", printing prompt before each
// read. End of input counts as "c".
void waitForC(char *answer, int size, const char *prompt);

// --- The loop (console.cpp): start-up, the command table, exit.

// Runs the whole program: start-up, command loop, exit. st must be
// zero-filled when it is handed over. Returns 0.
int runConsole(ConsoleState *st);

// Prints the help text and waits for "c".
void Help();

// --- The commands the loop calls; they use only the state helpers above.

// Track-list and playback commands (listcmds.cpp).
void playTrack(ConsoleState *st);                 // "p"
void playByNumber(ConsoleState *st, char *word);  // 2p, p3, pp, ...
void playAll(ConsoleState *st);                   // "a"
void showAttributes(ConsoleState *st);            // "t"
void reloadList(ConsoleState *st);                // "L"
// Reads a list name at a list prompt into name (kListNameBytes). Returns
// 1 with a name to load, 0 at end of input, -1 when the name is refused,
// said in one line: too long to be held whole, or the recording file (a
// list saved there would replace the recording).
int readListName(const ConsoleState *st, char *name);
void removeTrackCommand(ConsoleState *st);        // "-"
void saveAll(ConsoleState *st);                   // "s"

// The record command, "r" (record_cmd.cpp).
void recordCommand(ConsoleState *st);

// The final save of a recording and its recovery (finish.cpp).

// The note beside the take file while a recording is saved.
extern const char *const kSaveNote;   // ".tunevat_temp.wav.saving"

// Turns the kept take (kept audio bytes in the claimed take file) into the
// target st->recordName: moved onto it (append 0), or its audio added to
// the existing bytes of audio the target held (append 1); then adds the
// target to the track list. A note beside the take file covers every step
// against a kill. Returns 1 when the target holds the take; 0 after a
// message, with the target as it was and the take kept in the take file.
int finishRecording(ConsoleState *st, int append, long long kept, long long existing);

// At start-up and before a recording: makes good a final save that a kill
// cut short (see finish.cpp), and removes temporary files of saves that a
// kill left beside its target and list. Does nothing when there is no
// note, or another tunevat is saving.
void recoverInterruptedSave(ConsoleState *st);

#endif
