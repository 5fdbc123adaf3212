// The handlers behind catchSignals: they note the signal and nothing else;
// the loops that record, play and wait for input look at the notes.
#include "input/input.h"

#include <cstring>

// One note per signal, each written by its handler and read (or, for
// SIGINT, cleared) by the program: a SIGTERM that comes while a Ctrl-C is
// still noted is never lost. The notes are atomics: the handler runs on
// the console's thread, and a recording's reading thread reads them too.
// (Lock-free atomic ints are safe to touch in a handler.)
static int gotInterrupt = 0;
static int gotTerminate = 0;
static int gotHangUp = 0;
// How many times the program was continued after a stop (Ctrl-Z, then fg).
static unsigned resumed = 0;
// How many catchSignals calls are in force.
static int catching = 0;

static int loadNote(const int *note) { return __atomic_load_n(note, __ATOMIC_SEQ_CST); }
static void storeNote(int *note, int v) { __atomic_store_n(note, v, __ATOMIC_SEQ_CST); }

static void noteSignal(int sig)
{
    if (sig == SIGINT) storeNote(&gotInterrupt, 1);
    else if (sig == SIGTERM) storeNote(&gotTerminate, 1);
    else if (sig == SIGHUP) storeNote(&gotHangUp, 1);
    else if (sig == SIGCONT) __atomic_add_fetch(&resumed, 1u, __ATOMIC_SEQ_CST);
}

// Installs the note for sig unless sig is ignored (as nohup leaves
// SIGHUP): an ignored signal stays ignored. Returns 1 when installed, with
// what it replaced in *old.
static int catchOne(int sig, struct sigaction *old)
{
    if (sigaction(sig, nullptr, old) != 0 || old->sa_handler == SIG_IGN) return 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = noteSignal;
    // The three wait for each other's handlers.
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGTERM);
    sigaddset(&sa.sa_mask, SIGHUP);
    // A system call that the signal meets is restarted (SA_RESTART): a
    // device read or write cut short would make some sound plugins pass
    // the gap on as silence. So nothing may count on a signal ending a
    // blocking call: libasound's snd_pcm_wait, for one, polls again after
    // a signal. The loops look at the notes between periods, and the
    // waits that must end at once are made to (ppoll with the signals let
    // through, nanosleep, which a handled signal always cuts short).
    sa.sa_flags = SA_RESTART;
    return sigaction(sig, &sa, nullptr) == 0;
}

void catchSignals(SignalCatch *saved, int endSignals)
{
    memset(saved->caught, 0, sizeof saved->caught);
    ++catching;
    saved->caught[0] = catchOne(SIGINT, &saved->interrupt);
    if (endSignals) {
        saved->caught[1] = catchOne(SIGTERM, &saved->terminate);
        saved->caught[2] = catchOne(SIGHUP, &saved->hangUp);
        // Counted only: the program goes on after a stop whatever a
        // handler does.
        saved->caught[3] = catchOne(SIGCONT, &saved->resume);
    }
}

void releaseSignals(SignalCatch *saved)
{
    --catching;
    if (saved->caught[0]) sigaction(SIGINT, &saved->interrupt, nullptr);
    if (saved->caught[1]) sigaction(SIGTERM, &saved->terminate, nullptr);
    if (saved->caught[2]) sigaction(SIGHUP, &saved->hangUp, nullptr);
    if (saved->caught[3]) sigaction(SIGCONT, &saved->resume, nullptr);
}

int catchingSignals() { return catching > 0; }

int caughtSignal()
{
    if (loadNote(&gotTerminate)) return SIGTERM;
    if (loadNote(&gotHangUp)) return SIGHUP;
    if (loadNote(&gotInterrupt)) return SIGINT;
    return 0;
}

int endRequested() { return loadNote(&gotTerminate) || loadNote(&gotHangUp); }

void forgetStop() { storeNote(&gotInterrupt, 0); }

unsigned resumedCount() { return __atomic_load_n(&resumed, __ATOMIC_SEQ_CST); }
