// Fixtures shared by the tests: temporary folders, shell commands, loop-mounted
// file-system images and an ordinary (non-root) test account.
// Tests that need root or a missing tool call GTEST_SKIP() with the reason.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/scan/MountWatch.h"

namespace hmtest {

class FuseServer;

// A fresh folder under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "hm");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& rel) const { return m_path + "/" + rel; }

private:
    std::string m_path;
};

// Runs a /bin/sh command; returns its exit status (or -1). Output goes to the test log.
int sh(const std::string& command);
// Runs a command and returns its standard output.
std::string shOutput(const std::string& command, int* status = nullptr);
// Quotes a string for /bin/sh.
std::string shQuote(const std::string& s);
// The sanitizer settings of the test run as "NAME=value " words for `env -i`, so that a
// sanitized program started with a clean environment reads the same suppressions.
// Without `leakCheck` the leak check at exit is off: it stops every thread first, and one
// left waiting on a stopped FUSE daemon never stops, so the program would never end.
std::string sanitizerOptions(bool leakCheck = true);
// The built hollowmere program ($HM_BINARY_DIR/hollowmere), or empty when it is not there.
std::string builtProgram();

bool isRoot();
// Limits this process's address space to what it maps now plus extraMiB, so that large
// reservations fail; false when the size could not be read or the limit not set.
bool limitAddressSpaceTo(unsigned long long extraMiB);
bool haveTool(const std::string& name);

// The whole content of a file (also of /proc files); empty when it cannot be read.
std::string readText(const std::string& path);
// The running processes whose arguments (/proc/<pid>/cmdline, split at NULs) satisfy `match`.
std::vector<pid_t> processesWhere(const std::function<bool(pid_t, const std::vector<std::string>&)>& match);
// The real (which = 0) or effective (which = 1) user id of a process; -1 when it is gone.
uid_t processUid(pid_t pid, int which);
// Writes a file of `bytes` bytes (content is a repeated pattern).
void writeFile(const std::string& path, const std::string& content);
void setMtime(const std::string& path, long long seconds);

// A file-system image attached to a loop device and mounted (root only).
// `mkfsCommand` gets the image path appended, e.g. "mkfs.ext4 -q -F -b 4096".
class LoopMount {
public:
    LoopMount(const std::string& workDir, const std::string& mkfsCommand, long long sizeMiB,
              const std::string& mountType = "", const std::string& mountOptions = "");
    ~LoopMount();
    LoopMount(const LoopMount&) = delete;
    LoopMount& operator=(const LoopMount&) = delete;
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    const std::string& mountPoint() const { return m_mountPoint; }
    const std::string& device() const { return m_device; }
    const std::string& image() const { return m_image; }
    void unmount();

private:
    std::string m_image, m_device, m_mountPoint, m_error;
    bool m_ok = false;
    bool m_mounted = false;
};

// Mounts made by a test (root only), unmounted in reverse order on destruction.
class Mounts {
public:
    Mounts() = default;
    Mounts(const Mounts&) = delete;
    Mounts& operator=(const Mounts&) = delete;
    ~Mounts();
    // `args` are mount's options and source, e.g. "-t tmpfs none" or "--bind /a".
    bool mount(const std::string& args, const std::string& point);
    bool bind(const std::string& from, const std::string& to) { return mount("--bind " + shQuote(from), to); }

private:
    std::vector<std::string> m_points;
};

// Runs an action on a thread of its own after a delay unless cancelled or destroyed first: a
// test's way out of a wait that would otherwise hang it.
class DelayedAction {
public:
    DelayedAction() = default;
    ~DelayedAction() { cancel(); }
    DelayedAction(const DelayedAction&) = delete;
    DelayedAction& operator=(const DelayedAction&) = delete;
    // One start per object; a later call is ignored.
    void start(std::chrono::milliseconds delay, std::function<void()> action);
    bool started() const { return m_thread.joinable(); }
    // Returns once the action has run or will never run.
    void cancel();

private:
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_ending;
    bool m_ended = false;
};

// A FUSE mount whose server never answers (root only): every call that reaches it waits in
// the kernel, as on a network mount whose server stopped. Destruction aborts the connection,
// which ends those waits with an error, and detaches the mount.
class DeadFuseMount {
public:
    // `allowOther`: other users reach the mount too (and wait like root), not refused at once.
    explicit DeadFuseMount(const std::string& point, bool allowOther = false);
    ~DeadFuseMount();
    DeadFuseMount(const DeadFuseMount&) = delete;
    DeadFuseMount& operator=(const DeadFuseMount&) = delete;
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    // Aborts the connection after `delay` unless destroyed first, so code that still waits
    // on the mount fails its test instead of hanging it.
    void abortAfter(std::chrono::milliseconds delay);

private:
    std::unique_ptr<FuseServer> m_server;
    std::string m_error;
    bool m_ok = false;
    DelayedAction m_abort;
};

// A FUSE mount whose server answered and was then stopped (root only): an NTFS image
// mounted through ntfs-3g whose daemon gets SIGSTOP. What the kernel kept from before may
// still come back; anything it must ask waits. Destruction lets the daemon go on (SIGCONT)
// and unmounts.
class StoppedFuseMount {
public:
    explicit StoppedFuseMount(const std::string& workDir);
    ~StoppedFuseMount();
    StoppedFuseMount(const StoppedFuseMount&) = delete;
    StoppedFuseMount& operator=(const StoppedFuseMount&) = delete;
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    const std::string& mountPoint() const { return m_volume.mountPoint(); }
    // Stops the daemon; it goes on again after `resumeAfter` unless destroyed first, so code
    // that still waits on the mount fails its test instead of hanging it.
    void stop(std::chrono::milliseconds resumeAfter);

private:
    LoopMount m_volume;
    std::string m_error;
    pid_t m_daemon = -1;
    bool m_ok = false;
    DelayedAction m_resume;
};

// Shorter answer limits for one test (network and FUSE mounts after `network`; local disks
// after `local`, or their limit in force when not given); the limits before come back at its end.
class ShortAnswerLimits {
public:
    explicit ShortAnswerLimits(std::chrono::milliseconds network, std::optional<std::chrono::milliseconds> local = {})
        : m_before(svl::answerLimits()) {
        svl::setAnswerLimits({network, local.value_or(m_before.local)});
    }
    ~ShortAnswerLimits() { svl::setAnswerLimits(m_before); }
    ShortAnswerLimits(const ShortAnswerLimits&) = delete;
    ShortAnswerLimits& operator=(const ShortAnswerLimits&) = delete;

private:
    svl::AnswerLimits m_before;
};

// Holds an exclusive lock on /tmp/<name>.lock while it lives, so that tests in other
// processes sharing a system-wide resource (an account, /run/user/<uid>) take turns.
class SystemLock {
public:
    explicit SystemLock(const std::string& name);
    ~SystemLock();
    SystemLock(const SystemLock&) = delete;
    SystemLock& operator=(const SystemLock&) = delete;

private:
    int m_fd = -1;
};

// The ordinary account "hmtest" (created on first use, root only), whose primary group's id differs
// from its user id. Returns its uid, or -1.
uid_t testUserUid();
gid_t testUserGid();
// Runs fn in a child process with the test user's ids; returns the child's exit code
// (fn's return value), or -1 when the child could not switch ids.
int runAsTestUser(const std::function<int()>& fn);

// Descriptor 0 free while it lives, as in a program started with standard input closed: the
// next descriptor opened is 0.
class StandardInputClosed {
public:
    StandardInputClosed() : m_saved(::fcntl(0, F_DUPFD_CLOEXEC, 3)) { ::close(0); }
    ~StandardInputClosed() {
        if (m_saved >= 0) {
            ::dup2(m_saved, 0);
            ::close(m_saved);
        }
    }
    StandardInputClosed(const StandardInputClosed&) = delete;
    StandardInputClosed& operator=(const StandardInputClosed&) = delete;
    // False when something opened descriptor 0 and left it open.
    static bool stillFree() { return ::fcntl(0, F_GETFD) == -1; }

private:
    int m_saved;
};

}  // namespace hmtest
