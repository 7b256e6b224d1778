#include "platform/console/console.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// ---- Standard input from a pipe: each case in a fresh process, as the console's state
// is the process's own.

// Makes standard input a pipe holding `bytes`; closes its writing end when `ended`.
void inputFromPipe(const std::string& bytes, bool ended) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(90);
    if (write(fds[1], bytes.data(), bytes.size()) != ssize_t(bytes.size())) std::exit(91);
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    if (ended) close(fds[1]); // else the writing end stays open and unused
}

class PipedConsole : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PipedConsole, NoKeyWaitsOnAnOpenEmptyPipe) {
    EXPECT_EXIT(
        {
            inputFromPipe("", false);
            std::exit(keyWaiting() || keyWaiting() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(PipedConsole, KeysAreTheBytesInOrderAllByteValuesIncluded) {
    EXPECT_EXIT(
        {
            const std::string bytes = "a\xff\x80.\x1b\n";
            inputFromPipe(bytes, false);
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                if (i % 2 == 0 && !keyWaiting()) std::exit(10 + int(i)); // read ahead
                if (readKey() != static_cast<unsigned char>(bytes[i])) std::exit(30 + int(i));
            }
            std::exit(keyWaiting() ? 2 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(PipedConsole, EndOfInputWaitsForNoKeyAndEndsAReadWithZero) {
    EXPECT_EXIT(
        {
            inputFromPipe("k", true);
            if (!keyWaiting() || readKey() != 'k') std::exit(1);
            for (int i = 0; i < 3; ++i)
                if (keyWaiting()) std::exit(2);
            readKey();
            std::exit(3); // not reached: the read ends the process
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            inputFromPipe("", true);
            readKey(); // a start-up menu waiting at the end of input
            std::exit(3);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- Standard input on a pseudo-terminal, watched from the master side. The child is
// the terminal's foreground job below a session leader that waits for it, as under a
// shell, so that a suspension really stops it.

struct TerminalChild {
    pid_t leader = -1; // the session leader: ends with the job's exit code, or 128 + signal
    pid_t job = -1;
    int master = -1;
    int report = -1; // the job's messages: its pid, 'R' once keys are on, each key read
    termios found{}; // the terminal before the job touched it
};

[[noreturn]] void runJob(int slave, int report) {
    const rlimit noCore{0, 0}; // SIGQUIT ends the job without a core file
    setrlimit(RLIMIT_CORE, &noCore);
    setpgid(0, 0);
    signal(SIGTTOU, SIG_IGN);
    tcsetpgrp(slave, getpid());
    signal(SIGTTOU, SIG_DFL);
    dup2(slave, STDIN_FILENO);
    close(slave);
    const pid_t self = getpid();
    if (write(report, &self, sizeof self) != sizeof self) _exit(90);
    keyWaiting();
    const char ready = 'R';
    if (write(report, &ready, 1) != 1) _exit(91);
    for (;;) {
        while (!keyWaiting()) // as the program's loop: it never waits in a read
            usleep(1000);
        const char key = char(readKey());
        if (write(report, &key, 1) != 1) _exit(92);
        if (key == 'q') std::exit(0);
    }
}

TerminalChild startTerminalChild() {
    TerminalChild child;
    int slave = -1;
    if (openpty(&child.master, &slave, nullptr, nullptr, nullptr) != 0) return child;
    tcgetattr(slave, &child.found);
    int fds[2];
    if (pipe(fds) != 0) return child;
    child.leader = fork();
    if (child.leader == 0) {
        close(child.master);
        close(fds[0]);
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        const pid_t job = fork();
        if (job == 0) runJob(slave, fds[1]);
        setpgid(job, job);
        int status = 0;
        waitpid(job, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    close(slave);
    close(fds[1]);
    child.report = fds[0];
    if (read(child.report, &child.job, sizeof child.job) != sizeof child.job) child.job = -1;
    return child;
}

char nextReport(const TerminalChild& child) {
    char c = 0;
    return read(child.report, &c, 1) == 1 ? c : 0;
}

termios terminalMode(const TerminalChild& child) {
    termios mode{};
    tcgetattr(child.master, &mode);
    return mode;
}

bool sameMode(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_cc[VMIN] == b.c_cc[VMIN] &&
           a.c_cc[VTIME] == b.c_cc[VTIME] && a.c_cc[VINTR] == b.c_cc[VINTR];
}

bool keyModeIsOn(const TerminalChild& child) {
    const termios mode = terminalMode(child);
    return (mode.c_lflag & (ICANON | ECHO)) == 0;
}

// Waits (a long while at most) for a signal handler of the child to change the mode.
bool waitForKeyMode(const TerminalChild& child, bool on) {
    for (int i = 0; i < 20000; ++i) {
        if (keyModeIsOn(child) == on) return true;
        usleep(1000);
    }
    return false;
}

bool echoed(const TerminalChild& child) {
    pollfd output{child.master, POLLIN, 0};
    return poll(&output, 1, 0) > 0;
}

void sendKeys(const TerminalChild& child, const std::string& keys) {
    ASSERT_EQ(write(child.master, keys.data(), keys.size()), ssize_t(keys.size()));
}

// The job's exit code, or 128 + the signal that ended it.
int waitForEnd(const TerminalChild& child) {
    int status = 0;
    waitpid(child.leader, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool isStopped(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE* stat = std::fopen(path, "r");
    if (stat == nullptr) return false;
    char state = 0;
    const bool read = std::fscanf(stat, "%*d (%*[^)]) %c", &state) == 1;
    std::fclose(stat);
    return read && state == 'T';
}

bool waitUntilStopped(pid_t pid) {
    for (int i = 0; i < 20000; ++i) {
        if (isStopped(pid)) return true;
        usleep(1000);
    }
    return false;
}

void closeChild(TerminalChild& child) {
    close(child.master);
    close(child.report);
}

TEST(TerminalConsole, SingleKeysWithoutEchoOrEnterThenTheModeAsFoundAtExit) {
    TerminalChild child = startTerminalChild();
    ASSERT_GT(child.job, 0);
    ASSERT_EQ(nextReport(child), 'R');

    const termios mode = terminalMode(child);
    EXPECT_EQ(mode.c_lflag & ICANON, 0u);
    EXPECT_EQ(mode.c_lflag & ECHO, 0u);
    EXPECT_NE(mode.c_lflag & ISIG, 0u); // Ctrl-C still ends the program
    EXPECT_EQ(mode.c_cc[VMIN], 1);
    EXPECT_EQ(mode.c_cc[VTIME], 0);
    termios expected = child.found;
    expected.c_lflag &= ~tcflag_t(ICANON | ECHO);
    expected.c_cc[VMIN] = 1;
    expected.c_cc[VTIME] = 0;
    EXPECT_TRUE(sameMode(mode, expected)) << "only line mode and echo are turned off";

    sendKeys(child, "x");
    EXPECT_EQ(nextReport(child), 'x');
    sendKeys(child, "\x7f\x04");
    EXPECT_EQ(nextReport(child), '\x7f'); // no line editing either
    EXPECT_EQ(nextReport(child), '\x04');
    EXPECT_FALSE(echoed(child));

    sendKeys(child, "q");
    EXPECT_EQ(waitForEnd(child), 0);
    EXPECT_TRUE(sameMode(terminalMode(child), child.found));
    closeChild(child);
}

TEST(TerminalConsole, EndingSignalsGiveTheTerminalBackAndEndBySameSignal) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(signal));
        TerminalChild child = startTerminalChild();
        ASSERT_GT(child.job, 0);
        ASSERT_EQ(nextReport(child), 'R');
        ASSERT_TRUE(keyModeIsOn(child));
        if (signal == SIGINT)
            sendKeys(child, "\x03"); // Ctrl-C on the terminal
        else
            kill(child.job, signal);
        EXPECT_EQ(waitForEnd(child), 128 + signal);
        EXPECT_TRUE(sameMode(terminalMode(child), child.found));
        closeChild(child);
    }
}

TEST(TerminalConsole, SuspensionGivesTheTerminalBackAndContinuationTakesItAgain) {
    TerminalChild child = startTerminalChild();
    ASSERT_GT(child.job, 0);
    ASSERT_EQ(nextReport(child), 'R');
    for (int round = 0; round < 3; ++round) {
        sendKeys(child, "\x1a"); // Ctrl-Z on the terminal
        ASSERT_TRUE(waitUntilStopped(child.job));
        EXPECT_TRUE(sameMode(terminalMode(child), child.found));
        kill(child.job, SIGCONT);
        ASSERT_TRUE(waitForKeyMode(child, true));
    }
    sendKeys(child, "yq"); // keys still arrive one by one
    EXPECT_EQ(nextReport(child), 'y');
    EXPECT_EQ(nextReport(child), 'q');
    waitForEnd(child);
    EXPECT_TRUE(sameMode(terminalMode(child), child.found));
    closeChild(child);
}

} // namespace
