#include "tests/support/TestSupport.h"

#include "tests/support/FuseServer.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace hmtest {

TempDir::TempDir(const std::string& tag) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + tag + "-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
    chmod(m_path.c_str(), 0755);
}

TempDir::~TempDir() {
    // Unmount anything a failed test left below, then remove.
    sh("grep -o ' " + m_path + "[^ ]*' /proc/self/mountinfo | sort -r | xargs -r -n1 umount -l 2>/dev/null; chmod -R u+rwx " +
       shQuote(m_path) + " 2>/dev/null; rm -rf " + shQuote(m_path));
}

int sh(const std::string& command) {
    int st = std::system(command.c_str());
    if (st == -1)
        return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string shOutput(const std::string& command, int* status) {
    std::string out;
    FILE* f = popen(command.c_str(), "r");
    if (!f) {
        if (status)
            *status = -1;
        return out;
    }
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), f)) > 0)
        out.append(buf.data(), n);
    int st = pclose(f);
    if (status)
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::string shQuote(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\'')
            r += "'\\''";
        else
            r += c;
    }
    return r + "'";
}

bool isRoot() { return geteuid() == 0; }

bool haveTool(const std::string& name) { return sh("command -v " + shQuote(name) + " >/dev/null 2>&1") == 0; }

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

SystemLock::SystemLock(const std::string& name) {
    m_fd = ::open(("/tmp/" + name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (m_fd >= 0)
        while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
}

SystemLock::~SystemLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::vector<pid_t> processesWhere(const std::function<bool(pid_t, const std::vector<std::string>&)>& match) {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    while (dirent* entry = proc ? ::readdir(proc) : nullptr) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0)
            continue;
        std::vector<std::string> args;
        std::stringstream split(readText("/proc/" + std::to_string(pid) + "/cmdline"));
        for (std::string arg; std::getline(split, arg, '\0');)
            args.push_back(arg);
        if (match(pid, args))
            found.push_back(pid);
    }
    if (proc)
        ::closedir(proc);
    return found;
}

uid_t processUid(pid_t pid, int which) {
    std::istringstream status(readText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Uid:", 0) == 0) {
            std::istringstream ids(line.substr(4));
            uid_t id[2] = {uid_t(-1), uid_t(-1)};
            ids >> id[0] >> id[1];
            return id[which];
        }
    }
    return uid_t(-1);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary);
    f << content;
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

void setMtime(const std::string& path, long long seconds) {
    struct timespec ts[2];
    ts[0].tv_sec = seconds;
    ts[0].tv_nsec = 0;
    ts[1] = ts[0];
    utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

LoopMount::LoopMount(const std::string& workDir, const std::string& mkfsCommand, long long sizeMiB,
                     const std::string& mountType, const std::string& mountOptions) {
    static int counter = 0;
    const std::string tag = std::to_string(getpid()) + "-" + std::to_string(counter++);
    m_image = workDir + "/image-" + tag + ".img";
    m_mountPoint = workDir + "/mnt-" + tag;
    if (!isRoot()) {
        m_error = "needs root for loop devices";
        return;
    }
    if (sh("truncate -s " + std::to_string(sizeMiB) + "M " + shQuote(m_image)) != 0 ||
        sh(mkfsCommand + " " + shQuote(m_image) + " >/dev/null 2>&1") != 0) {
        m_error = "mkfs failed: " + mkfsCommand;
        return;
    }
    int st = 0;
    m_device = shOutput("losetup -f --show " + shQuote(m_image), &st);
    while (!m_device.empty() && (m_device.back() == '\n' || m_device.back() == ' '))
        m_device.pop_back();
    if (st != 0 || m_device.empty()) {
        m_error = "losetup failed";
        m_device.clear();
        return;
    }
    mkdir(m_mountPoint.c_str(), 0755);
    std::string cmd = "mount";
    if (!mountType.empty())
        cmd += " -t " + mountType;
    if (!mountOptions.empty())
        cmd += " -o " + mountOptions;
    if (sh(cmd + " " + shQuote(m_device) + " " + shQuote(m_mountPoint)) != 0) {
        m_error = "mount failed";
        return;
    }
    m_mounted = true;
    m_ok = true;
}

void LoopMount::unmount() {
    if (m_mounted) {
        sh("umount " + shQuote(m_mountPoint) + " || umount -l " + shQuote(m_mountPoint));
        m_mounted = false;
    }
}

LoopMount::~LoopMount() {
    unmount();
    if (!m_device.empty())
        sh("losetup -d " + shQuote(m_device));
    if (!m_image.empty())
        unlink(m_image.c_str());
    rmdir(m_mountPoint.c_str());
}

Mounts::~Mounts() {
    for (auto it = m_points.rbegin(); it != m_points.rend(); ++it)
        sh("umount " + shQuote(*it) + " 2>/dev/null || umount -l " + shQuote(*it));
}

bool Mounts::mount(const std::string& args, const std::string& point) {
    if (sh("mount " + args + " " + shQuote(point)) != 0)
        return false;
    m_points.push_back(point);
    return true;
}

DeadFuseMount::DeadFuseMount(const std::string& point, bool allowOther)
    : m_server(std::make_unique<FuseServer>(std::vector<FuseEntry>{})) {
    // Nothing is read, not even the kernel's first request (INIT): every call waits.
    m_server->stopReading();
    m_server->setAllowOther(allowOther);
    m_ok = m_server->mount(point);
    m_error = m_server->error();
}

void DelayedAction::start(std::chrono::milliseconds delay, std::function<void()> action) {
    if (m_thread.joinable())
        return;
    m_thread = std::thread([this, delay, action = std::move(action)] {
        std::unique_lock lock(m_mutex);
        if (!m_ending.wait_for(lock, delay, [this] { return m_ended; }))
            action();
    });
}

void DelayedAction::cancel() {
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
    }
    m_ending.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void DeadFuseMount::abortAfter(std::chrono::milliseconds delay) {
    m_abort.start(delay, [this] { m_server->abort(); });
}

DeadFuseMount::~DeadFuseMount() {
    m_abort.cancel();
    m_server.reset();  // aborts the connection, then detaches the mount
}

StoppedFuseMount::StoppedFuseMount(const std::string& workDir)
    : m_volume(workDir, "mkntfs -F -Q -q", 16, "ntfs-3g") {
    if (!m_volume.ok()) {
        m_error = haveTool("ntfs-3g") ? "ntfs-3g mount: " + m_volume.error() : "needs ntfs-3g";
        return;
    }
    const std::string device = m_volume.device();
    const std::vector<pid_t> daemons = processesWhere([&](pid_t, const std::vector<std::string>& args) {
        return !args.empty() && args[0].find("ntfs-3g") != std::string::npos &&
               std::find(args.begin(), args.end(), device) != args.end();
    });
    if (daemons.size() != 1) {
        m_error = "the ntfs-3g daemon of " + device + " was not found";
        return;
    }
    m_daemon = daemons[0];
    m_ok = true;
}

void StoppedFuseMount::stop(std::chrono::milliseconds resumeAfter) {
    if (!m_ok || m_resume.started())
        return;
    ::kill(m_daemon, SIGSTOP);
    m_resume.start(resumeAfter, [this] { ::kill(m_daemon, SIGCONT); });
}

StoppedFuseMount::~StoppedFuseMount() {
    m_resume.cancel();
    if (m_daemon > 0)
        ::kill(m_daemon, SIGCONT);
}

// The account's group is its own, numbered apart from its user id, so that a test that mixes
// the two ids up fails. An account an older run made with uid = gid is made again.
static bool ensureTestUser() {
    const auto apart = [] {
        const passwd* pw = getpwnam("hmtest");
        return pw && pw->pw_uid != pw->pw_gid;
    };
    if (apart() || !isRoot())
        return getpwnam("hmtest") != nullptr;
    SystemLock lock("hmtest-account");
    if (!apart())
        sh("{ userdel -f hmtest; groupdel hmtest; useradd -M -N -s /bin/sh hmtest && g=$(($(id -u hmtest) + 1)) && "
           "while getent group $g; do g=$((g + 1)); done && groupadd -g $g hmtest && usermod -g hmtest hmtest; "
           "} >/dev/null 2>&1");
    return apart();
}

uid_t testUserUid() {
    if (!ensureTestUser())
        return uid_t(-1);
    return getpwnam("hmtest")->pw_uid;
}

gid_t testUserGid() {
    if (!ensureTestUser())
        return gid_t(-1);
    return getpwnam("hmtest")->pw_gid;
}

int runAsTestUser(const std::function<int()>& fn) {
    const uid_t uid = testUserUid();
    const gid_t gid = testUserGid();
    if (uid == uid_t(-1) || !isRoot())
        return -1;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(255);
        int rc = fn();
        fflush(nullptr);
        _exit(rc & 0xff);
    }
    int st = 0;
    if (waitpid(pid, &st, 0) != pid)
        return -1;
    if (!WIFEXITED(st) || WEXITSTATUS(st) == 255)
        return -1;
    return WEXITSTATUS(st);
}

std::string sanitizerOptions(bool leakCheck) {
    std::string options;
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        const char* value = std::getenv(name);
        std::string text = value ? value : "";
        if (!leakCheck && std::strcmp(name, "ASAN_OPTIONS") == 0)
            text += text.empty() ? "detect_leaks=0" : ":detect_leaks=0";
        if (!text.empty())
            options += std::string(name) + "=" + shQuote(text) + " ";
    }
    return options;
}

std::string builtProgram() {
    const char* dir = std::getenv("HM_BINARY_DIR");
    if (!dir)
        return {};
    const std::string program = std::string(dir) + "/hollowmere";
    return access(program.c_str(), X_OK) == 0 ? program : std::string();
}

bool limitAddressSpaceTo(unsigned long long extraMiB) {
    std::ifstream status("/proc/self/status");
    std::string line;
    unsigned long long vmKiB = 0;
    while (std::getline(status, line))
        if (line.rfind("VmSize:", 0) == 0)
            vmKiB = std::stoull(line.substr(7));
    const rlim_t bytes = rlim_t(vmKiB + extraMiB * 1024) * 1024;
    const rlimit limit{bytes, bytes};
    return vmKiB != 0 && setrlimit(RLIMIT_AS, &limit) == 0;
}

}  // namespace hmtest
