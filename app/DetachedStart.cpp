#include "app/DetachedStart.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

std::vector<char*> pointers(const std::vector<std::string>& strings)
{
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (const std::string& s : strings)
        out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

int startDetached(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
{
    if (argv.empty())
        return EINVAL;
    // Everything the children touch is made before fork: only async-signal-safe calls after it.
    const std::vector<char*> args = pointers(argv);
    const std::vector<char*> env = pointers(environment);
    int report[2];  // the grandchild's exec errno; closed by a successful exec
    if (::pipe2(report, O_CLOEXEC) != 0)
        return errno;
    const pid_t child = ::fork();
    if (child < 0) {
        const int e = errno;
        ::close(report[0]);
        ::close(report[1]);
        return e;
    }
    if (child == 0) {
        ::close(report[0]);
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            sigset_t none;
            ::sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::signal(SIGPIPE, SIG_DFL);
            ::execve(args[0], args.data(), env.data());
            const int e = errno;
            (void)!::write(report[1], &e, sizeof e);
            ::_exit(127);
        }
        if (grandchild < 0) {
            const int e = errno;
            (void)!::write(report[1], &e, sizeof e);
        }
        ::_exit(0);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int code = 0;
    ssize_t got;
    while ((got = ::read(report[0], &code, sizeof code)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    return got == ssize_t(sizeof code) ? code : 0;
}
