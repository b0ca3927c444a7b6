// A FUSE file system served by the test itself (root only): the kernel's FUSE protocol spoken
// over /dev/fuse, no library. It serves an in-memory tree and can withhold chosen requests,
// answer them late or with an error, or stop reading altogether, as a slow, half-dead or dead
// network server would.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

namespace hmtest {

// One node below the mount point; parents are created implicitly (as folders).
struct FuseEntry {
    std::string path{};  // relative, e.g. "a/b.txt"; "" is the root
    enum class Kind { File, Folder, Link } kind = Kind::File;
    std::uint64_t size = 0;  // files: bytes (the content reads as zero bytes)
    std::string target{};    // links (initialised, so that {path, kind, size} warns of nothing)
    mode_t mode = 0;         // permission bits; 0: 0644 files, 0755 folders, 0777 links
};

// The requests a rule can name. Getattr also covers STATX, Readdir also READDIRPLUS; Any is
// every request that gets an answer (not INIT, FORGET, INTERRUPT).
enum class FuseOp { Lookup, Getattr, Opendir, Readdir, Open, Read, Statfs, Readlink, Any };

enum class FuseAction {
    Answer,    // the default
    Withhold,  // read the request and never answer it (until failWithheld, releaseWithheld or teardown)
    Fail,      // answer with the rule's error at once
};

// `path` "" is the root, "*" any path; for Lookup it is the path looked up (which need not exist).
struct FuseRule {
    FuseOp op = FuseOp::Any;
    std::string path{};
    FuseAction action = FuseAction::Answer;
    int error = EIO;
};

class FuseServer {
public:
    explicit FuseServer(std::vector<FuseEntry> tree);
    // Aborts the connection (every held caller gets an error at once), detaches the mount and
    // joins the server's threads.
    ~FuseServer();
    FuseServer(const FuseServer&) = delete;
    FuseServer& operator=(const FuseServer&) = delete;

    // Only before mount(): without it only root may enter the mount; others get EACCES from
    // the kernel without a request. On by default.
    void setAllowOther(bool allow);
    // Creates `point` if missing; false and error() on failure. One mount per server.
    bool mount(const std::string& point);
    const std::string& error() const { return m_error; }
    const std::string& mountPoint() const { return m_point; }

    // Rules apply to requests read from now on; the first match wins.
    void addRule(FuseRule rule);
    // Every answer (all requests but INIT) is written `delay` after its request was read: a
    // slow but live server. Other requests are read and answered meanwhile.
    void setAnswerDelay(std::chrono::milliseconds delay);
    // At most this many entries per READDIR answer (0: as many as fit, the default).
    void setReaddirChunk(int entries);
    // Like a stopped server process: no further request is read at all (answers already due
    // are still written). Before mount() it holds even the INIT request.
    void stopReading();
    void resumeReading();
    // Answers every withheld request with -error now.
    void failWithheld(int error);
    // The same later, on a thread of the server's own; cancelled by teardown.
    void failWithheldAfter(std::chrono::milliseconds delay, int error);
    // Answers every withheld request as if it had never been held.
    void releaseWithheld();
    int withheldCount() const;
    // Requests read so far (Any: all of them but INIT).
    int requestsSeen(FuseOp op) const;
    // The destructor's first step: ends every wait on the mount with an error, stops the
    // server's threads; the mount stays (every later request fails with ENOTCONN).
    void abort();

private:
    struct Node {
        std::string path, name;
        FuseEntry::Kind kind = FuseEntry::Kind::Folder;
        std::uint64_t size = 0;
        std::string target;
        mode_t mode = 0;
        std::uint64_t parent = 1;  // node id
        std::vector<std::uint64_t> children;
        std::map<std::string, std::uint64_t> byName;
    };
    struct Request;
    struct Held {
        std::uint64_t unique;
        std::vector<char> answer;  // the whole reply, header included
    };
    struct Timed {
        std::chrono::steady_clock::time_point due;
        std::uint64_t order;
        std::function<void()> task;
        bool operator>(const Timed& o) const { return due != o.due ? due > o.due : order > o.order; }
    };

    void readLoop();
    void timerLoop();
    void handle(const char* data, std::size_t size);
    std::vector<char> answerFor(const Request& request);
    void write(const std::vector<char>& reply);
    void schedule(std::chrono::steady_clock::duration after, std::function<void()> task);
    void wake();
    void answerWithheld(int error, bool asIfAnswered);
    void stopThreads();
    bool abortConnection();
    const Node* node(std::uint64_t id) const;

    std::vector<Node> m_nodes;  // node id = index + 1 (the root is 1)
    std::string m_point, m_error;
    bool m_allowOther = true;
    bool m_mounted = false;
    unsigned m_connection = 0;  // the fuse connection's number (the mount's device minor)

    int m_fd = -1;
    int m_wake = -1;  // an eventfd: stops the reader's wait on the device
    std::shared_mutex m_fdMutex;  // writers share it; closing the device takes it alone

    mutable std::mutex m_mutex;
    std::vector<FuseRule> m_rules;
    std::chrono::milliseconds m_delay{0};
    int m_chunk = 0;
    bool m_stopped = false;
    bool m_ending = false;
    bool m_aborted = false;
    std::vector<Held> m_held;
    std::vector<Timed> m_timed;  // a heap ordered by due time
    std::uint64_t m_timedOrder = 0;
    std::condition_variable m_timerWake;
    std::atomic<int> m_seen[static_cast<int>(FuseOp::Any) + 1] = {};

    std::mutex m_abortMutex;
    std::thread m_reader, m_timer;
};

}  // namespace hmtest
