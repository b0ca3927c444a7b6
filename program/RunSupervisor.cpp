#include "program/RunSupervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "program/CliAutomation.h"

namespace {

// How long a child has to end after its report or after a passed-on signal; a run that ends
// normally is gone within milliseconds, so only a held child costs this.
constexpr int kGraceMs = 2000;

int g_reportFd = -1;
volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_passedOn = 0;

void passOn(int signal) {
    g_passedOn = signal;
    if (g_child > 0)
        ::kill(pid_t(g_child), signal);
}

// Waits for the child's end, at most `ms` milliseconds (no limit when negative).
bool waitForChild(pid_t child, int ms, int* status) {
    for (int waited = 0;; waited += 10) {
        const pid_t done = ::waitpid(child, status, ms < 0 ? 0 : WNOHANG);
        if (done == child)
            return true;
        if (done < 0 && errno != EINTR)
            return false;
        if (ms >= 0 && waited >= ms)
            return false;
        if (ms >= 0)
            ::usleep(10000);
    }
}

[[noreturn]] void endBy(int signal) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    std::_Exit(128 + signal);
}

}  // namespace

int superviseWindowlessRun() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    // Held back until the parent passes them on: one that came between the fork and the
    // handlers would end the parent alone and leave the child running.
    sigset_t passed, before;
    sigemptyset(&passed);
    sigaddset(&passed, SIGINT);
    sigaddset(&passed, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &passed, &before);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child <= 0) {
        ::sigprocmask(SIG_SETMASK, &before, nullptr);
        ::close(fds[0]);
        if (child == 0) {
            g_reportFd = fds[1];
        } else {
            ::close(fds[1]);
        }
        return -1;
    }
    ::close(fds[1]);
    g_child = child;
    struct sigaction action {};
    action.sa_handler = passOn;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigprocmask(SIG_SETMASK, &before, nullptr);

    // The report: one byte with the code, or the end of the pipe when the child ended without one.
    int reported = -1;
    for (;;) {
        pollfd ready{fds[0], POLLIN, 0};
        const int n = ::poll(&ready, 1, g_passedOn ? kGraceMs : -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // signalled, and the child did not end within the grace
        unsigned char code = 0;
        const ssize_t got = ::read(fds[0], &code, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 1)
            reported = code;
        break;
    }
    ::close(fds[0]);

    int status = 0;
    const bool ended = waitForChild(child, reported >= 0 || g_passedOn ? kGraceMs : -1, &status);
    if (ended && WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (signal == g_passedOn)
            endBy(signal);
        cliautomation::printError("the run ended on signal " + std::to_string(signal) + " (" +
                                  std::string(strsignal(signal)) + ").");
        return 1;
    }
    if (g_passedOn)
        endBy(g_passedOn);
    if (ended && WIFEXITED(status))
        return WEXITSTATUS(status);
    return reported >= 0 ? reported : 1;
}

int reportRunCode(int code) {
    if (g_reportFd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(code);
        while (::write(g_reportFd, &byte, 1) < 0 && errno == EINTR) {
        }
        ::close(g_reportFd);
        g_reportFd = -1;
    }
    return code;
}
