#include "core/exchange/WriteAll.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fuse.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

void onSignal(int) {}

// A FUSE file system of one regular file (root only) whose server takes none of the bytes of
// a write; with direct I/O the kernel hands that on: write() returns 0.
class FileTakingNothing {
public:
    explicit FileTakingNothing(const std::string& point) : m_point(point) {
        m_fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        const std::string options = "fd=" + std::to_string(m_fd) + ",rootmode=100000,user_id=0,group_id=0";
        m_ok = m_fd >= 0 && ::mount("hmfile", point.c_str(), "fuse.hmfile", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
        if (m_ok)
            m_server = std::thread([this] { serve(); });
    }
    ~FileTakingNothing() {
        if (m_ok)
            ::umount2(m_point.c_str(), MNT_DETACH);  // ends the connection: the server's read fails
        if (m_server.joinable())
            m_server.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool ok() const { return m_ok; }

private:
    void reply(const fuse_in_header& in, int error, const void* data = nullptr, size_t size = 0) {
        fuse_out_header out{uint32_t(sizeof out + size), -error, in.unique};
        iovec parts[] = {{&out, sizeof out}, {const_cast<void*>(data), size}};
        (void)::writev(m_fd, parts, size ? 2 : 1);
    }
    void serve() {
        std::vector<char> buffer(size_t(1) << 20);
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer.data(), buffer.size());
            if (n < 0 && (errno == EINTR || errno == ENOENT))
                continue;
            if (n < ssize_t(sizeof(fuse_in_header)))
                return;
            const auto& in = *reinterpret_cast<const fuse_in_header*>(buffer.data());
            switch (in.opcode) {
            case FUSE_INIT: {
                fuse_init_out out{};
                out.major = FUSE_KERNEL_VERSION;
                out.minor = FUSE_KERNEL_MINOR_VERSION;
                out.max_write = 65536;
                reply(in, 0, &out, sizeof out);
                break;
            }
            case FUSE_GETATTR:
            case FUSE_SETATTR: {
                fuse_attr_out out{};
                out.attr.ino = FUSE_ROOT_ID;
                out.attr.mode = S_IFREG | 0666;
                out.attr.nlink = 1;
                reply(in, 0, &out, sizeof out);
                break;
            }
            case FUSE_OPEN: {
                fuse_open_out out{};
                out.open_flags = FOPEN_DIRECT_IO;
                reply(in, 0, &out, sizeof out);
                break;
            }
            case FUSE_WRITE: {
                fuse_write_out out{};  // size 0: nothing taken
                reply(in, 0, &out, sizeof out);
                break;
            }
            case FUSE_FLUSH:
            case FUSE_RELEASE:
                reply(in, 0);
                break;
            case FUSE_FORGET:
            case FUSE_BATCH_FORGET:
            case FUSE_INTERRUPT:
                break;
            default:
                reply(in, ENOSYS);
            }
        }
    }

    std::string m_point;
    int m_fd = -1;
    bool m_ok = false;
    std::thread m_server;
};

// A writer held up by a full pipe and interrupted by signals gets partial writes and EINTR.
TEST(WriteAll, SignalsWhileAPipeIsFullLoseAndRepeatNothing) {
    struct sigaction action {}, previous {};
    action.sa_handler = onSignal;  // no SA_RESTART: write() returns early
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 % 251);
    bool ok = false;
    std::thread writer([&] {
        ok = svl::writeAll(p[1], data.data(), data.size());
        ::close(p[1]);
    });
    // Each signal lands while the pipe is full: first after part of a write, then on one
    // that has written nothing yet.
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(writer.native_handle(), SIGUSR1);
    }
    std::string read;
    char buffer[65536];
    for (ssize_t n; (n = ::read(p[0], buffer, sizeof buffer)) != 0;)
        if (n > 0)
            read.append(buffer, size_t(n));
    writer.join();
    ::close(p[0]);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(read == data) << read.size() << " bytes of " << data.size();
}

TEST(WriteAll, AFailedWriteIsFalseWithItsOwnError) {
    const sighandler_t previous = signal(SIGPIPE, SIG_IGN);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ::close(p[0]);
    errno = 0;
    EXPECT_FALSE(svl::writeAll(p[1], "x", 1));
    EXPECT_EQ(errno, EPIPE);
    EXPECT_TRUE(svl::writeAll(p[1], "", 0));
    ::close(p[1]);
    signal(SIGPIPE, previous);
}

TEST(WriteAll, AWriteThatTakesNothingIsAnError) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    hmtest::TempDir dir;
    const std::string path = dir / "file";
    ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    FileTakingNothing file(path);
    if (!file.ok())
        GTEST_SKIP() << "cannot mount a FUSE file system: " << std::strerror(errno);
    // In a child, so that a writer that tries again for ever is stopped after 3 s.
    const pid_t child = fork();
    if (child == 0) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        errno = EINTR;  // left from an earlier call: it must not make the writer try again
        _exit(fd < 0 ? 3 : svl::writeAll(fd, "abc", 3) ? 1 : errno == EIO ? 0 : 2);
    }
    int status = 0;
    for (int i = 0; i < 300 && ::waitpid(child, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (::waitpid(child, &status, WNOHANG) == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
