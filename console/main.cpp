#include <cstdlib>

#include "console/console.h"

int main()
{
    // The state holds the 128 KiB table and list buffer: keep it off the stack.
    static ConsoleState st;
    return runConsole(&st);
}
