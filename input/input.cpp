#include "input/input.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>

static int endOfInput = 0;

int inputEnded() { return endOfInput; }

// Whatever the program printed reaches the terminal (or a pipe) before it
// waits for the user's answer.
static void flushPrompt() { fflush(stdout); }

// Bytes that stdin holds in its buffer, a pushed-back character included,
// known without a system call: glibc keeps them between _IO_read_ptr and
// _IO_read_end, and a pushed-back character in a backup area (flag
// _IO_IN_BACKUP) with the main buffer's rest between _IO_save_base and
// _IO_save_end.
static size_t bufferedInput(FILE *fp)
{
    const int inBackup = 0x0100;
    size_t n = (size_t)(fp->_IO_read_end - fp->_IO_read_ptr);
    if (fp->_flags & inBackup) n += (size_t)(fp->_IO_save_end - fp->_IO_save_base);
    return n;
}

// While signals are caught, waits until standard input has something to
// read. The noted signals are held back from the moment the note is
// checked until ppoll waits with them let through, so one that arrives in
// between still ends the wait instead of being noted too late. Returns 1
// when input can be read, 0 when a noted signal came first.
static int waitForInput()
{
    sigset_t held, outside;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, &outside);
    int ready = 0;
    for (;;) {
        if (caughtSignal()) break;
        struct pollfd p = {0, POLLIN, 0};
        int r = ppoll(&p, 1, nullptr, &outside);
        if (r > 0 || (r < 0 && errno != EINTR)) {
            ready = 1;   // readable, at its end, or an error getchar will see
            break;
        }
    }
    sigprocmask(SIG_SETMASK, &outside, nullptr);
    return ready;
}

// The next character; a read cut short by a signal that was not noted
// (none is, outside catchSignals) is tried again. Sets *interrupted when a
// noted signal cut it short.
static int nextChar(int *interrupted)
{
    for (;;) {
        if (catchingSignals() && bufferedInput(stdin) == 0 && !waitForInput()) {
            *interrupted = 1;
            return EOF;
        }
        errno = 0;
        int c = getchar();
        if (c != EOF || !ferror(stdin) || errno != EINTR) return c;
        clearerr(stdin);
        if (caughtSignal()) {
            *interrupted = 1;
            return EOF;
        }
    }
}

int readWord(char *buf, int size)
{
    if (size < 1) return 0;
    buf[0] = '\0';
    flushPrompt();
    int interrupted = 0;
    int c = nextChar(&interrupted);
    while (c != EOF && isspace(c)) c = nextChar(&interrupted);
    if (c == EOF) {
        // A hang-up closes the terminal: its end of input is the signal's.
        if (!interrupted && !caughtSignal()) endOfInput = 1;
        return 0;
    }
    int n = 0;
    int cut = 0;
    while (c != EOF && !isspace(c)) {
        if (n < size - 1) buf[n++] = (char)c;
        else cut = 1;
        c = nextChar(&interrupted);
    }
    buf[n] = '\0';
    // The whitespace that ended the word is left in the stream, as "%s" does.
    if (c != EOF) ungetc(c, stdin);
    return cut ? kWordTooLong : 1;
}

int readInt(int *value)
{
    int v = 0;
    flushPrompt();
    int r = scanf("%i", &v);
    if (r == EOF) {
        endOfInput = 1;
        return -1;
    }
    if (r != 1) return 0;
    *value = v;
    return 1;
}

int readFloat(float *value)
{
    float v = 0.0f;
    flushPrompt();
    int r = scanf("%f", &v);
    if (r == EOF) {
        endOfInput = 1;
        return -1;
    }
    if (r != 1) return 0;
    *value = v;
    return 1;
}
