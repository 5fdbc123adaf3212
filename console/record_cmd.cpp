// Placeholder until the record command is written.
#include "console/console.h"
void recordCommand(ConsoleState *) {}
