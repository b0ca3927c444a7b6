#include "tests/support/SambaServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

extern char** environ;

namespace hmtest {

namespace {

// Binds a listening socket to 127.0.0.1 on a port the kernel picks; returns the socket.
int listenOnFreePort(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

bool accepting(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

}  // namespace

SambaServer::SambaServer(const std::string& shareOptions, const std::string& globalOptions) {
    if (!isRoot()) {
        m_error = "the Samba server needs root (its user needs a Unix account)";
        return;
    }
    if (!haveTool("smbd") || !haveTool("smbpasswd")) {
        m_error = "smbd or smbpasswd is missing (install samba)";
        return;
    }
    const std::string& d = m_dir.path();
    m_sharePath = d + "/share";
    for (const char* sub : {"lock", "state", "cache", "private", "pid", "ncalrpc", "binddns", "share", "log"})
        mkdir((d + "/" + sub).c_str(), 0755);
    chmod((d + "/private").c_str(), 0700);
    // Tests running at once may create the account together; one of them wins.
    if (sh("for i in 1 2 3 4 5 6 7 8 9 10; do id hmsmbuser >/dev/null 2>&1 && exit 0; "
           "useradd -M -s /usr/sbin/nologin hmsmbuser >/dev/null 2>&1 || sleep 0.2; done; "
           "id hmsmbuser >/dev/null 2>&1") != 0) {
        m_error = "cannot create the Unix user hmsmbuser";
        return;
    }
    const bool withSetpriv = haveTool("setpriv");
    for (int attempt = 0; attempt < 3 && !m_ok; ++attempt) {
        const int probe = listenOnFreePort(m_port);
        if (probe < 0) {
            m_error = "no free port";
            return;
        }
        close(probe);
        writeFile(d + "/smb.conf", "[global]\n"
                                   "  server role = standalone server\n"
                                   "  smb ports = " + std::to_string(m_port) + "\n"
                                   "  interfaces = lo\n  bind interfaces only = yes\n  disable netbios = yes\n"
                                   "  lock directory = " + d + "/lock\n"
                                   "  state directory = " + d + "/state\n"
                                   "  cache directory = " + d + "/cache\n"
                                   "  private dir = " + d + "/private\n"
                                   "  pid directory = " + d + "/pid\n"
                                   "  ncalrpc dir = " + d + "/ncalrpc\n"
                                   "  binddns dir = " + d + "/binddns\n"
                                   "  log file = " + d + "/log/log.%m\n"
                                   "  passdb backend = tdbsam:" + d + "/private/passdb.tdb\n"
                                   "  map to guest = never\n  load printers = no\n  printing = bsd\n"
                                   "  printcap name = /dev/null\n  disable spoolss = yes\n  usershare path =\n" +
                                   globalOptions + "\n[share]\n  path = " + m_sharePath +
                                   "\n  read only = no\n  valid users = hmsmbuser\n" + shareOptions + "\n");
        if (attempt == 0 && sh("printf '%s\\n%s\\n' " + std::string(password()) + " " + password() +
                               " | smbpasswd -c " + shQuote(d + "/smb.conf") + " -s -a hmsmbuser >/dev/null") != 0) {
            m_error = "smbpasswd failed";
            return;
        }
        chownShare();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = d + "/smbd.out";
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const std::string conf = d + "/smb.conf";
        // Through setpriv, smbd ends with the test process even when that one dies.
        std::vector<const char*> args;
        if (withSetpriv)
            args = {"setpriv", "--pdeathsig", "SIGTERM", "--"};
        for (const char* a : {"smbd", "--foreground", "-s", conf.c_str(), "--debug-stdout", "-d1"})
            args.push_back(a);
        args.push_back(nullptr);
        const int rc =
            posix_spawnp(&m_pid, args[0], &actions, nullptr, const_cast<char* const*>(args.data()), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            m_pid = -1;
            m_error = "cannot start smbd";
            return;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < until) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                break;
            }
            if (accepting(m_port)) {
                m_ok = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!m_ok) {
            stop();
            m_error = "smbd did not start listening: " + shOutput("tail -5 " + shQuote(log));
        }
    }
    if (m_ok)
        m_error.clear();
}

SambaServer::~SambaServer() { stop(); }

void SambaServer::chownShare() const { sh("chown -R hmsmbuser " + shQuote(m_sharePath)); }

void SambaServer::stop() {
    if (m_pid <= 0)
        return;
    // smbd leads its own process group with its workers; never signal ours.
    const pid_t group = getpgid(m_pid);
    const bool ownGroup = group == m_pid;
    kill(ownGroup ? -m_pid : m_pid, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(m_pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(ownGroup ? -m_pid : m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (ownGroup)
        kill(-m_pid, SIGKILL);  // workers that outlived their parent
    m_pid = -1;
    m_ok = false;
}

SilentListener::SilentListener() { m_fd = listenOnFreePort(m_port); }

SilentListener::~SilentListener() {
    if (m_fd >= 0)
        close(m_fd);
}

int closedPort() {
    int port = 0;
    const int fd = listenOnFreePort(port);
    if (fd >= 0)
        close(fd);
    return port;
}

}  // namespace hmtest
