// The word reader: standard input (file descriptor 0) read into a fixed
// buffer of this room's own, and words and numbers taken from it one at a
// time. Nothing here goes through the C library's stdin stream, so the
// reader knows exactly what it holds and can wait for more with ppoll
// while the user's signals are caught.
#include "input/input.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <unistd.h>

// A line dropped without waiting is read this many buffers at most at a
// time, so that a command looking at its input between its own work goes
// back to it even while a long line streams in.
static const int kDropRounds = 16;
// Bytes of standard input held at once. A word or a number longer than
// this still reads right: words are consumed as they go, and a number's
// characters too (as scanf does), so no token needs the whole buffer.
static const int kInputBytes = 4096;
// Longest number text converted; digits beyond it are consumed but only
// change the result by saturating it.
static const int kNumberBytes = 64;

static char inBuf[kInputBytes];
static int inStart = 0;   // first unread byte
static int inEnd = 0;     // one past the last byte read
static int endOfInput = 0;

int inputEnded() { return endOfInput; }

void resetInput()
{
    inStart = 0;
    inEnd = 0;
    endOfInput = 0;
}

// Whatever the program printed reaches the terminal (or a pipe) before it
// waits for the user's answer.
static void flushPrompt() { fflush(stdout); }

// Holds the user's signals back, the mask before in *outside.
static void holdUserSignals(sigset_t *outside)
{
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, outside);
}

// While signals are caught, waits until standard input has something to
// read. The user's signals are held back from the moment the notes are
// checked until ppoll waits with them let through, so one that arrives in
// between still ends the wait instead of being noted too late. Returns 1
// when input can be read, 0 when a noted signal came first.
static int waitForInput()
{
    sigset_t outside;
    holdUserSignals(&outside);
    int ready = 0;
    for (;;) {
        if (caughtSignal()) break;
        struct pollfd p = {0, POLLIN, 0};
        int r = ppoll(&p, 1, nullptr, &outside);
        if (r > 0 || (r < 0 && errno != EINTR)) {
            ready = 1;   // readable, at its end, or an error the read will see
            break;
        }
    }
    sigprocmask(SIG_SETMASK, &outside, nullptr);
    return ready;
}

// Reads more of standard input into the buffer. Returns 1 when bytes came,
// 0 at the end of input (or a read error, which ends it as well), -1 when
// a noted signal came first. A read cut short by a signal that was not
// noted (none is, outside catchSignals) is tried again.
static int fill()
{
    // Once it has ended, input stays ended, as a stream's end does.
    if (endOfInput) return 0;
    if (inStart == inEnd) {
        inStart = 0;
        inEnd = 0;
    } else if (inStart > 0) {
        memmove(inBuf, inBuf + inStart, (size_t)(inEnd - inStart));
        inEnd -= inStart;
        inStart = 0;
    }
    for (;;) {
        if (catchingSignals() && !waitForInput()) return -1;
        ssize_t n = read(0, inBuf + inEnd, (size_t)(kInputBytes - inEnd));
        if (n > 0) {
            inEnd += (int)n;
            return 1;
        }
        if (n < 0 && errno == EINTR) {
            if (caughtSignal()) return -1;
            continue;
        }
        return 0;
    }
}

// How the next character was found.
enum Next { kChar, kEnd, kSignal };

// The next character, not consumed, in *c.
static Next peekChar(int *c)
{
    while (inStart == inEnd) {
        int r = fill();
        if (r == 0) return kEnd;
        if (r < 0) return kSignal;
    }
    *c = (unsigned char)inBuf[inStart];
    return kChar;
}

// Skips whitespace. Returns how the first other character was found.
static Next skipSpace()
{
    int c = 0;
    Next n;
    while ((n = peekChar(&c)) == kChar && isspace(c)) ++inStart;
    return n;
}

// Notes the end of input, unless a signal ended the wait: a hang-up closes
// the terminal, and its end of input is the signal's.
static void noteEnd(Next n)
{
    if (n == kEnd && !caughtSignal()) endOfInput = 1;
}

int readWord(char *buf, int size)
{
    if (size < 1) return 0;
    buf[0] = '\0';
    flushPrompt();
    Next n = skipSpace();
    if (n != kChar) {
        noteEnd(n);
        return 0;
    }
    int length = 0;
    int cut = 0;
    int c = 0;
    // The whitespace that ends the word stays unread, as "%s" leaves it.
    while (peekChar(&c) == kChar && !isspace(c)) {
        if (length < size - 1) buf[length++] = (char)c;
        else cut = 1;
        ++inStart;
    }
    buf[length] = '\0';
    return cut ? kWordTooLong : 1;
}

// Consumes the next character when accept says it may continue a number.
// Keeps the text taken (up to kNumberBytes - 1 characters) in text.
struct NumberText {
    char text[kNumberBytes];
    int length;
    int extra;   // characters taken beyond what text holds
};

static int takeIf(NumberText *t, int (*accept)(int))
{
    int c = 0;
    if (peekChar(&c) != kChar || !accept(c)) return 0;
    ++inStart;
    if (t->length < kNumberBytes - 1) t->text[t->length++] = (char)c;
    else t->extra++;
    t->text[t->length] = '\0';
    return 1;
}

static int isSign(int c) { return c == '+' || c == '-'; }
static int isDigit(int c) { return c >= '0' && c <= '9'; }
static int isHexDigit(int c) { return isxdigit(c) != 0; }
static int isPoint(int c) { return c == '.'; }
static int isExponent(int c) { return c == 'e' || c == 'E'; }
static int isBinaryExponent(int c) { return c == 'p' || c == 'P'; }
static int isX(int c) { return c == 'x' || c == 'X'; }

// Takes digits (accept) greedily; returns how many.
static int takeDigits(NumberText *t, int (*accept)(int))
{
    int n = 0;
    while (takeIf(t, accept)) ++n;
    return n;
}

// Takes the letters of word (case ignored) as far as they match; returns 1
// when all of them were there.
static int takeWord(NumberText *t, const char *word)
{
    for (const char *w = word; *w; ++w) {
        int c = 0;
        if (peekChar(&c) != kChar || tolower(c) != *w) return 0;
        ++inStart;
        if (t->length < kNumberBytes - 1) t->text[t->length++] = (char)c;
        t->text[t->length] = '\0';
    }
    return 1;
}

// Starts a number: skips whitespace, reports the end of input. Returns 1
// when a character follows, -1 at end of input or when a noted signal cut
// the wait short (the prompt is given up either way).
static int startNumber(NumberText *t)
{
    t->length = 0;
    t->extra = 0;
    t->text[0] = '\0';
    flushPrompt();
    Next n = skipSpace();
    if (n == kChar) return 1;
    noteEnd(n);
    return -1;
}

int readInt(int *value)
{
    NumberText t;
    int s = startNumber(&t);
    if (s <= 0) return s;
    // Decimal only: a leading zero is just a zero, and "0x" is a zero
    // followed by a word. The characters of a failed number are consumed,
    // as scanf consumes them; the value saturates at the int range however
    // many digits come.
    int c = 0;
    int negative = 0;
    if (peekChar(&c) == kChar && isSign(c)) {
        negative = c == '-';
        ++inStart;
    }
    long long v = 0;
    int digits = 0;
    while (peekChar(&c) == kChar && isDigit(c)) {
        ++inStart;
        ++digits;
        if (v <= INT_MAX) v = v * 10 + (c - '0');
    }
    if (digits == 0) return 0;
    if (negative) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    *value = (int)v;
    return 1;
}

int readFloat(float *value)
{
    NumberText t;
    int s = startNumber(&t);
    if (s <= 0) return s;
    // The characters "%f" takes, greedily: a sign, then an infinity, a
    // not-a-number, a hexadecimal or a decimal number with its exponent.
    // What was taken converts as far as it is a number; without a digit
    // it is no number at all.
    takeIf(&t, isSign);
    int c = 0;
    if (peekChar(&c) == kChar && (c == 'i' || c == 'I')) {
        if (!takeWord(&t, "inf")) return 0;
        takeWord(&t, "inity");
    } else if (peekChar(&c) == kChar && (c == 'n' || c == 'N')) {
        if (!takeWord(&t, "nan")) return 0;
    } else {
        int hex = 0;
        int digits = 0;
        if (peekChar(&c) == kChar && c == '0') {
            takeIf(&t, isDigit);
            digits = 1;
            hex = takeIf(&t, isX);
            if (hex) digits = 0;
        }
        int (*digit)(int) = hex ? isHexDigit : isDigit;
        digits += takeDigits(&t, digit);
        if (takeIf(&t, isPoint)) digits += takeDigits(&t, digit);
        if (digits == 0) return 0;
        if (takeIf(&t, hex ? isBinaryExponent : isExponent)) {
            takeIf(&t, isSign);
            takeDigits(&t, isDigit);
        }
    }
    *value = strtof(t.text, nullptr);
    return 1;
}

// Whether standard input can be read now without waiting.
static int readyNow()
{
    struct pollfd p = {0, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

int waitForInputWithin(long long timeoutNs)
{
    if (caughtSignal()) return -1;
    if (inStart < inEnd || endOfInput) return 1;
    flushPrompt();
    // As waitForInput: the user's signals are let through only while ppoll
    // waits, so one that comes just before still ends the wait.
    sigset_t outside;
    holdUserSignals(&outside);
    int result = -1;
    if (!caughtSignal()) {
        if (timeoutNs < 0) timeoutNs = 0;
        struct timespec limit = {(time_t)(timeoutNs / 1000000000LL),
                                 (long)(timeoutNs % 1000000000LL)};
        struct pollfd p = {0, POLLIN, 0};
        int r = ppoll(&p, 1, &limit, &outside);
        if (r > 0 || (r < 0 && errno != EINTR)) result = 1;   // an error the read will see
        else result = caughtSignal() ? -1 : 0;
    }
    sigprocmask(SIG_SETMASK, &outside, nullptr);
    return result;
}

// Reads what standard input has ready now into the buffer. Returns 1 when
// bytes came, 0 when none are ready, -1 at the end of input (noted).
static int fillIfReady()
{
    if (endOfInput) return -1;
    if (!readyNow()) return 0;
    int r = fill();
    if (r > 0) return 1;
    if (r == 0) {
        noteEnd(kEnd);
        return -1;
    }
    return 0;
}

int dropLineSoFar()
{
    for (int round = 0; round < kDropRounds; ++round) {
        while (inStart < inEnd) {
            if (inBuf[inStart++] == '\n') return 1;
        }
        int r = fillIfReady();
        if (r <= 0) return r;
    }
    return 0;
}

int dropBlankLineEnd()
{
    for (int round = 0; round < kDropRounds; ++round) {
        while (inStart < inEnd) {
            char c = inBuf[inStart];
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return 0;
            ++inStart;
            if (c == '\n') return 1;
        }
        if (fillIfReady() <= 0) return 0;
    }
    return 0;
}
