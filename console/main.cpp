#include <csignal>
#include <cstdio>
#include <cstring>

#include "console/console.h"

static const char kUsageLine[] = "Usage: tunevat [--help | --version]\n";

static void printUsage()
{
    fputs(kUsageLine, stdout);
    fputs("\n"
          "Tunevat records takes from an ALSA sound card into 16-bit or 24-bit WAV\n"
          "files, keeps or redoes each take from a menu, appends to earlier\n"
          "recordings and plays WAV files between an in and an out point. It reads\n"
          "its commands one word at a time from standard input; type h at its\n"
          "prompt for the list of commands.\n"
          "\n"
          "Files it keeps in the working directory:\n"
          "  rcvat.txt          the settings (device, format, points, names)\n"
          "  tlist.txt          the track list, one WAV file a line (or the list\n"
          "                     that rcvat.txt names)\n"
          "  tunevat_temp.wav   the take file while a recording is made\n"
          "\n"
          "The manual: man tunevat (man -l docs/tunevat.1 in the source tree).\n",
          stdout);
}

int main(int argc, char **argv)
{
    // Options are answered before anything else happens, so that they
    // neither read nor write a file in the working directory.
    if (argc > 1) {
        if (argc == 2 && strcmp(argv[1], "--help") == 0) {
            printUsage();
            return 0;
        }
        if (argc == 2 && strcmp(argv[1], "--version") == 0) {
            printf("tunevat 1.05\n");
            return 0;
        }
        // The first argument that is not a lone --help or --version.
        const char *bad = argv[1];
        if (strcmp(bad, "--help") == 0 || strcmp(bad, "--version") == 0) bad = argv[2];
        fprintf(stderr, "tunevat: unexpected argument '%s'\n", bad);
        fputs(kUsageLine, stderr);
        return 2;
    }
    // The state holds the 128 KiB table and list buffer: keep it off the stack.
    static ConsoleState st;
    int status = runConsole(&st);
    if (st.endSignal) {
        // Ended by SIGTERM or SIGHUP: the caller sees that signal's death.
        signal(st.endSignal, SIG_DFL);
        raise(st.endSignal);
    }
    return status;
}
