#include "tests/support/FuseServer.h"

#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace hmtest {

namespace {

constexpr std::uint32_t kMaxWrite = 128 * 1024;
constexpr std::uint64_t kTime = 1700000000;  // every node's times: 2023-11-14
constexpr int kStatx = 52;                    // FUSE_STATX, newer than this header

FuseOp opOf(std::uint32_t opcode) {
    switch (opcode) {
    case FUSE_LOOKUP: return FuseOp::Lookup;
    case FUSE_GETATTR:
    case kStatx: return FuseOp::Getattr;
    case FUSE_OPENDIR: return FuseOp::Opendir;
    case FUSE_READDIR:
    case FUSE_READDIRPLUS: return FuseOp::Readdir;
    case FUSE_OPEN: return FuseOp::Open;
    case FUSE_READ: return FuseOp::Read;
    case FUSE_STATFS: return FuseOp::Statfs;
    case FUSE_READLINK: return FuseOp::Readlink;
    default: return FuseOp::Any;
    }
}

template <typename T>
T bodyAs(const char* body, std::size_t size) {
    T value{};
    std::memcpy(&value, body, std::min(size, sizeof value));
    return value;
}

std::vector<char> reply(std::uint64_t unique, int error, const void* data = nullptr, std::size_t size = 0) {
    std::vector<char> out(sizeof(fuse_out_header) + size);
    const fuse_out_header header{static_cast<std::uint32_t>(out.size()), -error, unique};
    std::memcpy(out.data(), &header, sizeof header);
    if (size)
        std::memcpy(out.data() + sizeof header, data, size);
    return out;
}

template <typename T>
std::vector<char> replyWith(std::uint64_t unique, const T& value) {
    return reply(unique, 0, &value, sizeof value);
}

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string unescapeMountinfo(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The number of the fuse connection mounted at `point` (its device's minor), read from the mount
// table so that nothing asks the mount itself; 0 when not found.
unsigned connectionOf(const std::string& point) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    unsigned found = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        fields >> id >> parent >> device >> root >> mountPoint;
        const std::size_t colon = device.find(':');
        if (colon != std::string::npos && unescapeMountinfo(mountPoint) == point &&
            line.find(" - fuse.hmfuse ") != std::string::npos)
            found = static_cast<unsigned>(std::strtoul(device.c_str() + colon + 1, nullptr, 10));
    }
    return found;  // the last one: mounts stacked on the same point come later
}

bool writeAbort(const std::string& controlDir, unsigned connection) {
    const int fd = ::open((controlDir + "/" + std::to_string(connection) + "/abort").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, "1", 1) == 1;
    ::close(fd);
    return ok;
}

}  // namespace

struct FuseServer::Request {
    fuse_in_header header;
    const char* body;
    std::size_t size;
};

FuseServer::FuseServer(std::vector<FuseEntry> tree) {
    Node root;
    root.mode = 0755;
    m_nodes.push_back(root);
    for (const FuseEntry& entry : tree) {
        std::uint64_t at = FUSE_ROOT_ID;
        std::string path;
        std::istringstream parts(entry.path);
        std::string name;
        while (std::getline(parts, name, '/')) {
            if (name.empty())
                continue;
            path += (path.empty() ? "" : "/") + name;
            const auto it = m_nodes[at - 1].byName.find(name);
            if (it != m_nodes[at - 1].byName.end()) {
                at = it->second;
                continue;
            }
            Node child;
            child.path = path;
            child.name = name;
            child.mode = 0755;
            child.parent = at;
            m_nodes.push_back(child);
            const std::uint64_t id = m_nodes.size();
            m_nodes[at - 1].byName[name] = id;
            m_nodes[at - 1].children.push_back(id);
            at = id;
        }
        Node& n = m_nodes[at - 1];
        if (at != FUSE_ROOT_ID)
            n.kind = entry.kind;
        n.size = entry.size;
        n.target = entry.target;
        n.mode = entry.mode ? entry.mode
                            : (n.kind == FuseEntry::Kind::Folder ? 0755 : n.kind == FuseEntry::Kind::File ? 0644 : 0777);
    }
}

FuseServer::~FuseServer() {
    abort();
    if (m_mounted)
        ::umount2(m_point.c_str(), MNT_DETACH);
    if (m_wake >= 0)
        ::close(m_wake);
}

void FuseServer::setAllowOther(bool allow) { m_allowOther = allow; }

bool FuseServer::mount(const std::string& point) {
    if (m_fd >= 0 || m_aborted) {
        m_error = "the server was mounted already";
        return false;
    }
    m_point = point;
    if (::geteuid() != 0) {
        m_error = "needs root to mount a FUSE file system";
        return false;
    }
    if (::mkdir(point.c_str(), 0755) != 0 && errno != EEXIST) {
        m_error = "cannot create " + point + ": " + std::strerror(errno);
        return false;
    }
    char real[PATH_MAX];
    if (!::realpath(point.c_str(), real)) {
        m_error = "cannot resolve " + point + ": " + std::strerror(errno);
        return false;
    }
    // Non-blocking: the reader polls, so that stopReading() and teardown never wait for a request.
    m_fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fd < 0 || m_wake < 0) {
        m_error = std::string("cannot open /dev/fuse: ") + std::strerror(errno);
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return false;
    }
    const std::string options = "fd=" + std::to_string(m_fd) + ",rootmode=40000,user_id=0,group_id=0" +
                                (m_allowOther ? ",allow_other" : "") + ",default_permissions";
    if (::mount("hmfuse", real, "fuse.hmfuse", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        m_error = std::string("cannot mount a FUSE file system: ") + std::strerror(errno);
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_mounted = true;
    m_connection = connectionOf(real);
    m_reader = std::thread([this] { readLoop(); });
    m_timer = std::thread([this] { timerLoop(); });
    return true;
}

void FuseServer::addRule(FuseRule rule) {
    std::lock_guard lock(m_mutex);
    m_rules.push_back(std::move(rule));
}

void FuseServer::setAnswerDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(m_mutex);
    m_delay = delay;
}

void FuseServer::setReaddirChunk(int entries) {
    std::lock_guard lock(m_mutex);
    m_chunk = entries;
}

void FuseServer::stopReading() {
    std::lock_guard lock(m_mutex);  // the reader reads under it: once this returns, no read happens
    m_stopped = true;
}

void FuseServer::resumeReading() {
    {
        std::lock_guard lock(m_mutex);
        m_stopped = false;
    }
    wake();
}

void FuseServer::failWithheld(int error) { answerWithheld(error, false); }

void FuseServer::failWithheldAfter(std::chrono::milliseconds delay, int error) {
    schedule(delay, [this, error] { answerWithheld(error, false); });
}

void FuseServer::releaseWithheld() { answerWithheld(0, true); }

int FuseServer::withheldCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_held.size());
}

int FuseServer::requestsSeen(FuseOp op) const { return m_seen[static_cast<int>(op)].load(); }

void FuseServer::abort() {
    std::lock_guard guard(m_abortMutex);
    if (m_aborted)
        return;
    m_aborted = true;
    // The control file ends the connection even while a forked child holds a copy of the device.
    if (m_mounted)
        abortConnection();
    stopThreads();
    {
        std::unique_lock lock(m_fdMutex);
        if (m_fd >= 0)
            ::close(m_fd);  // the last handle of the device: this too aborts the connection
        m_fd = -1;
    }
    std::lock_guard lock(m_mutex);
    m_held.clear();
    m_timed.clear();
}

bool FuseServer::abortConnection() {
    if (m_connection == 0)
        return false;
    if (writeAbort("/sys/fs/fuse/connections", m_connection))
        return true;
    // The control file system is not mounted there: mount it for a moment where nobody else looks.
    char dir[] = "/tmp/hmfusectl-XXXXXX";
    if (!::mkdtemp(dir))
        return false;
    bool ok = false;
    if (::mount("fusectl", dir, "fusectl", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0) {
        ok = writeAbort(dir, m_connection);
        ::umount2(dir, MNT_DETACH);
    }
    ::rmdir(dir);
    return ok;
}

void FuseServer::stopThreads() {
    {
        std::lock_guard lock(m_mutex);
        m_ending = true;
    }
    m_timerWake.notify_all();
    wake();
    if (m_reader.joinable())
        m_reader.join();
    if (m_timer.joinable())
        m_timer.join();
}

void FuseServer::wake() {
    if (m_wake >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(m_wake, &one, sizeof one);
    }
}

void FuseServer::readLoop() {
    // Room for the largest request the kernel may send (a write of max_write bytes).
    std::vector<char> buffer(kMaxWrite + 64 * 1024);
    bool gone = false;  // the connection ended: only a wake-up matters now
    for (;;) {
        bool stopped;
        {
            std::lock_guard lock(m_mutex);
            if (m_ending)
                return;
            stopped = m_stopped;
        }
        pollfd fds[2] = {{m_wake, POLLIN, 0}, {m_fd, POLLIN, 0}};
        if (::poll(fds, stopped || gone ? 1 : 2, -1) < 0)
            continue;
        if (fds[0].revents) {
            std::uint64_t count;
            (void)!::read(m_wake, &count, sizeof count);
        }
        if (stopped || gone || !fds[1].revents)
            continue;
        ssize_t got;
        {
            std::lock_guard lock(m_mutex);
            if (m_ending)
                return;
            if (m_stopped)
                continue;
            got = ::read(m_fd, buffer.data(), buffer.size());
        }
        if (got < 0) {
            gone = errno == ENODEV;  // otherwise EAGAIN (another took it), EINTR or ENOENT (interrupted)
            continue;
        }
        handle(buffer.data(), static_cast<std::size_t>(got));
    }
}

void FuseServer::timerLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_ending)
            return;
        if (m_timed.empty()) {
            m_timerWake.wait(lock);
            continue;
        }
        const auto due = m_timed.front().due;
        if (std::chrono::steady_clock::now() < due) {
            m_timerWake.wait_until(lock, due);
            continue;
        }
        std::pop_heap(m_timed.begin(), m_timed.end(), std::greater<>());
        std::function<void()> task = std::move(m_timed.back().task);
        m_timed.pop_back();
        lock.unlock();
        task();
        lock.lock();
    }
}

void FuseServer::schedule(std::chrono::steady_clock::duration after, std::function<void()> task) {
    {
        std::lock_guard lock(m_mutex);
        if (m_ending)
            return;
        m_timed.push_back({std::chrono::steady_clock::now() + after, m_timedOrder++, std::move(task)});
        std::push_heap(m_timed.begin(), m_timed.end(), std::greater<>());
    }
    m_timerWake.notify_all();
}

void FuseServer::write(const std::vector<char>& reply) {
    std::shared_lock lock(m_fdMutex);
    if (m_fd >= 0)
        (void)!::write(m_fd, reply.data(), reply.size());  // fails only when the caller or the connection is gone
}

void FuseServer::answerWithheld(int error, bool asIfAnswered) {
    std::vector<Held> held;
    {
        std::lock_guard lock(m_mutex);
        held.swap(m_held);
    }
    for (const Held& h : held)
        write(asIfAnswered ? h.answer : reply(h.unique, error));
}

const FuseServer::Node* FuseServer::node(std::uint64_t id) const {
    return id >= 1 && id <= m_nodes.size() ? &m_nodes[id - 1] : nullptr;
}

void FuseServer::handle(const char* data, std::size_t size) {
    if (size < sizeof(fuse_in_header))
        return;
    Request request{bodyAs<fuse_in_header>(data, size), data + sizeof(fuse_in_header), size - sizeof(fuse_in_header)};
    const std::uint32_t opcode = request.header.opcode;
    if (opcode == FUSE_INIT) {
        const auto in = bodyAs<fuse_init_in>(request.body, request.size);
        fuse_init_out out{};
        out.major = FUSE_KERNEL_VERSION;
        out.minor = std::min<std::uint32_t>(in.minor, FUSE_KERNEL_MINOR_VERSION);
        out.max_readahead = in.max_readahead;
        // Lookups and listings of one folder may run at once (else the kernel serialises them).
        out.flags = in.flags & FUSE_PARALLEL_DIROPS;
        out.max_write = kMaxWrite;
        out.time_gran = 1;
        write(in.major == FUSE_KERNEL_VERSION ? replyWith(request.header.unique, out)
                                              : reply(request.header.unique, EPROTO));
        return;
    }
    m_seen[static_cast<int>(FuseOp::Any)]++;
    if (opcode == FUSE_FORGET || opcode == FUSE_BATCH_FORGET || opcode == FUSE_INTERRUPT)
        return;  // no answer; an interrupted request is answered (or held) as it would have been
    const FuseOp op = opOf(opcode);
    if (op != FuseOp::Any)
        m_seen[static_cast<int>(op)]++;

    std::string path = "\n";  // of an unknown node: only "*" matches
    if (const Node* n = node(request.header.nodeid))
        path = n->path;
    if (opcode == FUSE_LOOKUP && path != "\n") {
        const std::string name(request.body, strnlen(request.body, request.size));
        path = path.empty() ? name : path + "/" + name;
    }
    FuseAction action = FuseAction::Answer;
    int error = 0;
    std::chrono::milliseconds delay;
    {
        std::lock_guard lock(m_mutex);
        for (const FuseRule& rule : m_rules)
            if ((rule.op == op || rule.op == FuseOp::Any) && (rule.path == "*" || rule.path == path)) {
                action = rule.action;
                error = rule.error;
                break;
            }
        delay = m_delay;
    }
    std::vector<char> answer =
        action == FuseAction::Fail ? reply(request.header.unique, error) : answerFor(request);
    if (action == FuseAction::Withhold) {
        std::lock_guard lock(m_mutex);
        m_held.push_back({request.header.unique, std::move(answer)});
    } else if (delay.count() > 0) {
        schedule(delay, [this, answer = std::move(answer)] { write(answer); });
    } else {
        write(answer);
    }
}

std::vector<char> FuseServer::answerFor(const Request& request) {
    const std::uint64_t unique = request.header.unique;
    const Node* n = node(request.header.nodeid);
    const auto attrOf = [this](const Node& node) {
        fuse_attr attr{};
        attr.ino = static_cast<std::uint64_t>(&node - m_nodes.data()) + 1;
        attr.mode = node.mode & 07777;
        if (node.kind == FuseEntry::Kind::Folder) {
            attr.mode |= S_IFDIR;
            attr.size = 4096;
            attr.nlink = 2 + static_cast<std::uint32_t>(std::count_if(
                                 node.children.begin(), node.children.end(),
                                 [this](std::uint64_t c) { return m_nodes[c - 1].kind == FuseEntry::Kind::Folder; }));
        } else if (node.kind == FuseEntry::Kind::File) {
            attr.mode |= S_IFREG;
            attr.size = node.size;
            attr.nlink = 1;
        } else {
            attr.mode |= S_IFLNK;
            attr.size = node.target.size();
            attr.nlink = 1;
        }
        attr.blocks = node.kind == FuseEntry::Kind::Link ? 0 : (attr.size + 4095) / 4096 * 8;
        attr.atime = attr.mtime = attr.ctime = kTime;
        attr.blksize = 4096;
        return attr;
    };
    switch (request.header.opcode) {
    case FUSE_LOOKUP: {
        if (!n)
            return reply(unique, ENOENT);
        if (n->kind != FuseEntry::Kind::Folder)
            return reply(unique, ENOTDIR);
        const auto it = n->byName.find(std::string(request.body, strnlen(request.body, request.size)));
        if (it == n->byName.end())
            return reply(unique, ENOENT);
        fuse_entry_out out{};  // timeouts 0: the kernel asks again at every touch
        out.nodeid = it->second;
        out.attr = attrOf(m_nodes[it->second - 1]);
        return replyWith(unique, out);
    }
    case FUSE_GETATTR: {
        if (!n)
            return reply(unique, ENOENT);
        fuse_attr_out out{};
        out.attr = attrOf(*n);
        return replyWith(unique, out);
    }
    case kStatx:
        return reply(unique, ENOSYS);  // the kernel falls back to GETATTR
    case FUSE_OPENDIR:
    case FUSE_OPEN: {
        if (!n)
            return reply(unique, ENOENT);
        const auto in = bodyAs<fuse_open_in>(request.body, request.size);
        if (request.header.opcode == FUSE_OPEN && (in.flags & O_ACCMODE) != O_RDONLY)
            return reply(unique, EROFS);
        fuse_open_out out{};
        out.fh = request.header.nodeid;
        return replyWith(unique, out);
    }
    case FUSE_READDIR: {
        if (!n || n->kind != FuseEntry::Kind::Folder)
            return reply(unique, ENOTDIR);
        const auto in = bodyAs<fuse_read_in>(request.body, request.size);
        int chunk;
        {
            std::lock_guard lock(m_mutex);
            chunk = m_chunk;
        }
        std::vector<char> out;
        int entries = 0;
        for (std::uint64_t i = in.offset; i < n->children.size() + 2 && (chunk <= 0 || entries < chunk); ++i) {
            const std::uint64_t id = i == 0 ? request.header.nodeid : i == 1 ? n->parent : n->children[i - 2];
            const std::string name = i == 0 ? "." : i == 1 ? ".." : m_nodes[id - 1].name;
            const std::size_t record = FUSE_REC_ALIGN(FUSE_NAME_OFFSET + name.size());
            if (out.size() + record > in.size)
                break;
            fuse_dirent dirent{};
            dirent.ino = id;
            dirent.off = i + 1;
            dirent.namelen = static_cast<std::uint32_t>(name.size());
            dirent.type = (attrOf(m_nodes[id - 1]).mode & S_IFMT) >> 12;
            const std::size_t at = out.size();
            out.resize(at + record, 0);
            std::memcpy(out.data() + at, &dirent, FUSE_NAME_OFFSET);
            std::memcpy(out.data() + at + FUSE_NAME_OFFSET, name.data(), name.size());
            ++entries;
        }
        return reply(unique, 0, out.data(), out.size());
    }
    case FUSE_READ: {
        if (!n || n->kind != FuseEntry::Kind::File)
            return reply(unique, EISDIR);
        const auto in = bodyAs<fuse_read_in>(request.body, request.size);
        const std::uint64_t left = in.offset < n->size ? n->size - in.offset : 0;
        const std::vector<char> zeros(std::min<std::uint64_t>(left, in.size), 0);
        return reply(unique, 0, zeros.data(), zeros.size());
    }
    case FUSE_READLINK:
        if (!n || n->kind != FuseEntry::Kind::Link)
            return reply(unique, EINVAL);
        return reply(unique, 0, n->target.data(), n->target.size());
    case FUSE_STATFS: {
        fuse_statfs_out out{};
        out.st.blocks = 1 << 20;
        out.st.bfree = out.st.bavail = 1 << 19;
        out.st.files = 1 << 16;
        out.st.ffree = 1 << 15;
        out.st.bsize = out.st.frsize = 4096;
        out.st.namelen = 255;
        return replyWith(unique, out);
    }
    case FUSE_RELEASE:
    case FUSE_RELEASEDIR:
    case FUSE_FLUSH:
    case FUSE_FSYNC:
    case FUSE_FSYNCDIR:
    case FUSE_ACCESS:
        return reply(unique, 0);
    case FUSE_SETATTR:
    case FUSE_MKNOD:
    case FUSE_MKDIR:
    case FUSE_UNLINK:
    case FUSE_RMDIR:
    case FUSE_RENAME:
    case FUSE_RENAME2:
    case FUSE_LINK:
    case FUSE_SYMLINK:
    case FUSE_CREATE:
    case FUSE_WRITE:
    case FUSE_FALLOCATE:
    case FUSE_SETXATTR:
    case FUSE_REMOVEXATTR:
    case FUSE_TMPFILE:
    case FUSE_COPY_FILE_RANGE:
        return reply(unique, EROFS);
    default:
        return reply(unique, ENOSYS);  // xattrs, locks, ioctl, poll...: the kernel stops asking
    }
}

}  // namespace hmtest
