// The command console: start-up, the command loop and its commands.
//
// ConsoleState holds everything that lives for the whole run: the
// settings, the track table, the list text buffer and the console flags.
// The commands take it by pointer; nothing else keeps long-lived state.
#ifndef TUNEVAT_CONSOLE_CONSOLE_H
#define TUNEVAT_CONSOLE_CONSOLE_H

#include "store/store.h"

// Words read at the prompts. A command word of a few characters (12p)
// fits; longer words are cut to what fits.
const int kCommandBytes = 16;
const int kAnswerBytes = 16;

// Start-up clears the fields before table, and those from command on; the
// two big buffers between them must already be zero-filled (as a static
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

    // Console flags.
    int trackNumber;                   // track a bare play word uses
    int listHidden;                    // 1: list not shown before a prompt
    int saveOnExit;                    // cleared by "x"
    int selection;                     // answer to select/remove/reload

    // Track table: count used slots of kSlotBytes each.
    char table[kTableSlots * kSlotBytes];
    int count;
    // Scratch text for loading and saving the list file; one spare byte
    // so that a full buffer can still be NUL-terminated.
    char listText[kListTextBytes + 1];

    char command[kCommandBytes];       // last word read at the prompt
    char answer[kAnswerBytes];         // "c" waits and exit confirmation
    char menuAnswer[kAnswerBytes];     // existing-file menu of "r"
};

extern const char *const kSettingsFile;   // "rcvat.txt"
extern const char *const kTakeFile;       // "tunevat_temp.wav"

// Runs the whole program: start-up, command loop, exit. st must be
// zero-filled when it is handed over. Returns 0.
int runConsole(ConsoleState *st);

// Prints the help text and waits for "c".
void Help();

// Waits until the word read is exactly "c", printing prompt before each
// read. End of input counts as "c".
void waitForC(char *answer, int size, const char *prompt);

// The slot of track number n (from 1), or nullptr when n is outside
// 1..kTableSlots.
char *trackSlot(ConsoleState *st, int n);

// Track-list and playback commands.
void playTrack(ConsoleState *st);                 // "p"
void playByNumber(ConsoleState *st, char *word);  // 2p, p3, pp, ...
void playAll(ConsoleState *st);                   // "a"
void showAttributes(ConsoleState *st);            // "t"
void reloadList(ConsoleState *st);                // "L"
void removeTrackCommand(ConsoleState *st);        // "-"
void saveAll(ConsoleState *st);                   // "s"

// The record command, "r".
void recordCommand(ConsoleState *st);

#endif
