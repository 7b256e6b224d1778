#include "platform/console/console.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Standard input, raw or not. The flags are lock-free atomics: signal handlers read and
// write them, on whichever thread the signal lands.
termios foundMode;                     // the terminal as the program found it
termios keyMode;                       // no line mode, no echo, signal keys kept
std::atomic<bool> isTerminal{false};   // foundMode holds the terminal's mode
std::atomic<bool> wantKeyMode{false};  // the program reads keys
std::atomic<bool> keyModeIsSet{false}; // keyMode is in force
static_assert(std::atomic<bool>::is_always_lock_free);
bool started = false;
bool endOfInput = false;
int pendingKey = -1; // a byte that keyWaiting has read ahead, -1 for none

// Ending signals: restore the terminal, then end by the same signal.
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

bool inForeground() {
    return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

// Async-signal-safe. SIGTTOU is held off so that a process in the background can
// still give the terminal back instead of being stopped by it.
void restoreTerminal() {
    if (!isTerminal || !keyModeIsSet) return;
    sigset_t ttou, before;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &ttou, &before);
    tcsetattr(STDIN_FILENO, TCSANOW, &foundMode);
    keyModeIsSet = false;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Between Ctrl-Z and the continue: the terminal stays as found meanwhile.
std::atomic<bool> stopping{false};

// Async-signal-safe. In the background the terminal is not ours to change (and trying
// would stop the process with SIGTTOU): the next use or the next SIGCONT sets it.
void setKeyMode() {
    if (!isTerminal || !wantKeyMode || keyModeIsSet || stopping || !inForeground()) return;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &keyMode) == 0) keyModeIsSet = true;
}

void restoreAtExit() {
    restoreTerminal();
}

void onEndingSignal(int signal) {
    const int savedErrno = errno;
    restoreTerminal();
    raise(signal); // the handler was reset to the default action on entry
    errno = savedErrno;
}

// Ctrl-Z: give the terminal back as found and stop by the default action. Once the
// process is continued, onContinue catches Ctrl-Z again and only then takes the
// terminal, so a second Ctrl-Z never meets the keys on while the default action is in
// force. (The stop comes inside raise, or just after this handler where the signal
// stays blocked while it runs.)
void onStop(int signal) {
    const int savedErrno = errno;
    stopping = true;
    restoreTerminal();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);
    errno = savedErrno;
}

void onContinue(int) {
    const int savedErrno = errno;
    if (stopping) {
        struct sigaction action {};
        action.sa_handler = onStop;
        action.sa_flags = SA_NODEFER | SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTSTP, &action, nullptr);
        stopping = false;
    }
    setKeyMode();
    errno = savedErrno;
}

void catchSignal(int signal, void (*handler)(int), int flags) {
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) return;
    action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// At the first use: a terminal is switched to single keys without echo, and every way
// out (exit, ending signals, suspension) gives it back as found. A pipe is read as is.
void start() {
    if (started) return;
    started = true;
    if (tcgetattr(STDIN_FILENO, &foundMode) != 0) return; // not a terminal
    keyMode = foundMode;
    keyMode.c_lflag &= ~tcflag_t(ICANON | ECHO);
    keyMode.c_cc[VMIN] = 1;
    keyMode.c_cc[VTIME] = 0;

    // No signal may find the mode set but not yet known to be set.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    isTerminal = true;
    wantKeyMode = true;
    std::atexit(restoreAtExit);
    for (int signal : ENDING_SIGNALS)
        catchSignal(signal, onEndingSignal, SA_RESETHAND | SA_NODEFER);
    catchSignal(SIGTSTP, onStop, SA_NODEFER | SA_RESTART);
    catchSignal(SIGCONT, onContinue, SA_RESTART);
    setKeyMode();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Back from the background without a SIGCONT: take the terminal again.
void resumeKeyMode() {
    if (!isTerminal || keyModeIsSet) return;
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    setKeyMode();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// One byte from standard input, waiting for it; -1 at the end of input or on an error
// that lasts.
int readByte() {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1) return byte;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) { // input set non-blocking
            pollfd input{STDIN_FILENO, POLLIN, 0};
            poll(&input, 1, -1);
            continue;
        }
        return -1;
    }
}

} // namespace

bool keyWaiting() {
    start();
    resumeKeyMode();
    if (pendingKey >= 0) return true;
    if (endOfInput) return false;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) <= 0 || input.revents == 0) return false;
    // Readable or hung up: read the byte now, so that the end of a pipe is seen here
    // and not by a later wait.
    pendingKey = readByte();
    if (pendingKey < 0) endOfInput = true;
    return pendingKey >= 0;
}

int readKey() {
    start();
    resumeKeyMode();
    int key = pendingKey;
    pendingKey = -1;
    if (key < 0 && !endOfInput) key = readByte();
    if (key < 0) std::exit(0); // end of input ends the program as ESC does
    return key;
}
