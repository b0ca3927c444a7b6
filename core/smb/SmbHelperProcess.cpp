#include "core/smb/SmbHelperProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace svl {

namespace {

// What one non-blocking send or recv result means: bytes moved, interrupted (try again),
// nothing possible now (try later), or the peer is gone.
enum class Step { Moved, Again, Later, Gone };

Step stepOf(ssize_t n) {
    if (n > 0)
        return Step::Moved;
    if (n < 0 && errno == EINTR)
        return Step::Again;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return Step::Later;
    return Step::Gone;
}

}  // namespace

SmbHelperProcess::~SmbHelperProcess() { stop(); }

bool SmbHelperProcess::start(const std::string& program, std::string& error) {
    stop();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 4);
    // The caller's thread may block or ignore signals; the helper starts clean.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {const_cast<char*>("hollowmere-smb-helper"), nullptr};
    const int rc = posix_spawn(&m_pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pair[1]);
    if (rc != 0) {
        m_pid = -1;
        close(pair[0]);
        error = program + ": " + std::strerror(rc);
        return false;
    }
    m_fd = pair[0];
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    return true;
}

void SmbHelperProcess::stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_out.clear();
    m_sent = 0;
    m_in.clear();
}

bool SmbHelperProcess::flush() {
    while (m_fd >= 0 && m_sent < m_out.size()) {
        const ssize_t n = send(m_fd, m_out.data() + m_sent, m_out.size() - m_sent, MSG_NOSIGNAL);
        const Step step = stepOf(n);
        if (step != Step::Moved) {
            if (step == Step::Again)
                continue;
            return step == Step::Later;
        }
        m_sent += size_t(n);
    }
    if (m_sent == m_out.size()) {
        m_out.clear();
        m_sent = 0;
    }
    return m_fd >= 0;
}

bool SmbHelperProcess::receive() {
    char chunk[65536];
    // Bounded per call, so a helper that never pauses cannot keep the caller here.
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
        const Step step = stepOf(n);
        if (step != Step::Moved) {
            if (step == Step::Again)
                continue;
            return step == Step::Later;
        }
        m_in.append(chunk, size_t(n));
        if (size_t(n) < sizeof chunk)
            return true;
    }
    return true;
}

std::string defaultSmbHelperPath() {
    if (const char* path = std::getenv("SVL_SMB_HELPER"); path && *path)
        return path;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string();
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
    return dir + "/hollowmere-smb-helper";
}

}  // namespace svl
