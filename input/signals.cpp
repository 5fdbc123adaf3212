// The handlers behind catchSignals: they note the signal and nothing else;
// the loops that record and play look at the note between periods.
#include "input/input.h"

#include <cstring>

static volatile sig_atomic_t caught = 0;
// How many catchSignals calls are in force.
static int catching = 0;

static void noteSignal(int sig)
{
    // SIGTERM and SIGHUP end the program: a later Ctrl-C must not turn
    // that into a mere stop.
    if (sig != SIGINT || caught == 0) caught = sig;
}

void catchSignals(SignalCatch *saved, int endSignals)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = noteSignal;
    sigemptyset(&sa.sa_mask);
    // A device read or write that the signal meets goes on (SA_RESTART):
    // cut short, some sound plugins pass the gap on as silence. The loops
    // look at the note between periods, and waits (snd_pcm_wait, ppoll)
    // end at once, as they are never restarted.
    sa.sa_flags = SA_RESTART;
    saved->endSignals = endSignals;
    ++catching;
    sigaction(SIGINT, &sa, &saved->interrupt);
    if (endSignals) {
        sigaction(SIGTERM, &sa, &saved->terminate);
        sigaction(SIGHUP, &sa, &saved->hangUp);
    }
}

void releaseSignals(SignalCatch *saved)
{
    --catching;
    sigaction(SIGINT, &saved->interrupt, nullptr);
    if (saved->endSignals) {
        sigaction(SIGTERM, &saved->terminate, nullptr);
        sigaction(SIGHUP, &saved->hangUp, nullptr);
    }
}

int catchingSignals() { return catching > 0; }

int caughtSignal() { return caught; }

int endRequested() { return caught == SIGTERM || caught == SIGHUP; }

void forgetStop()
{
    if (caught == SIGINT) caught = 0;
}

void holdSignals(sigset_t *saved)
{
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, saved);
}

void restoreSignals(const sigset_t *saved)
{
    sigprocmask(SIG_SETMASK, saved, nullptr);
}
