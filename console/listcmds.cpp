// Placeholder until the track-list and playback commands are written.
#include "console/console.h"
void playTrack(ConsoleState *) {}
void playByNumber(ConsoleState *, char *) {}
void playAll(ConsoleState *) {}
void showAttributes(ConsoleState *) {}
void reloadList(ConsoleState *) {}
void removeTrackCommand(ConsoleState *) {}
void saveAll(ConsoleState *) {}
