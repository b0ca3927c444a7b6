#include "core/smb/SmbSource.h"

#include <poll.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <unordered_set>
#include <vector>

#include "core/smb/SmbHelperProcess.h"
#include "core/smb/SmbWire.h"

namespace svl {

namespace {

using namespace smbwire;
using Clock = std::chrono::steady_clock;

constexpr int kDefaultConnections = 4;
constexpr int kMaxConnections = 32;
constexpr int kDefaultQueued = 4;
constexpr int kIoError = 5;
constexpr int kLoop = 40;         // ELOOP
constexpr int kTimedOut = 110;    // ETIMEDOUT
constexpr int kTooLarge = 27;     // EFBIG: a listing past the limits below
constexpr int kNameTooLong = 36;  // ENAMETOOLONG: a path that does not fit in one request
constexpr size_t kMaxListingEntries = size_t(1) << 24;
constexpr size_t kMaxListingNameBytes = size_t(1) << 30;
constexpr uint64_t kMaxAllocationUnit = uint64_t(1) << 30;
constexpr int kConnectPollMs = 200;
constexpr int kWalkPollMs = 250;

struct Item {
    size_t nameOffset;
    uint32_t nameLength;
    bool isDir, isLink;
    uint32_t attributes;
    uint64_t size;
    double mtime;
    uint64_t fileId;
};

// One folder asked of a helper, with the entries received so far.
struct Listing {
    uint32_t id;
    std::string path;
    std::vector<Item> items;
    std::string names;  // each name followed by NUL
    bool overflow = false;
};

struct Slot {
    enum class State { Connecting, Connected, Failed };
    SmbHelperProcess helper;
    State state = State::Failed;
    int status = 0;  // connect result: 0 or an errno-style code
    bool timedOut = false;
    std::deque<Listing> outstanding;  // in the order the helper answers
    Clock::time_point lastHeard;      // of the last frame, or when it was last given work
};

bool usableName(std::string_view name) {
    return !name.empty() && name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

uint64_t roundUp(uint64_t size, uint64_t unit) {
    if (unit == 0 || size % unit == 0)
        return size;
    const uint64_t units = size / unit + 1;
    return units > UINT64_MAX / unit ? UINT64_MAX : units * unit;
}

// "host:port" or "[IPv6 address]:port" with a decimal port in 1..65535; anything else
// (also a bare IPv6 address) is all host.
void splitServer(const std::string& server, std::string& host, uint32_t& port) {
    host = server;
    port = 0;
    if (server.size() > 2 && server.front() == '[') {
        const size_t close = server.find(']');
        if (close == std::string::npos)
            return;
        host = server.substr(1, close - 1);
        if (close + 1 < server.size() && server[close + 1] == ':') {
            std::string ignored;
            splitServer("x" + server.substr(close + 1), ignored, port);
        }
        return;
    }
    const size_t colon = server.rfind(':');
    if (colon == std::string::npos || server.find(':') != colon || colon + 1 == server.size() ||
        server.size() - colon > 6)
        return;
    uint32_t value = 0;
    for (size_t i = colon + 1; i < server.size(); ++i) {
        if (server[i] < '0' || server[i] > '9')
            return;
        value = value * 10 + uint32_t(server[i] - '0');
    }
    if (value == 0 || value > 65535)
        return;
    host = server.substr(0, colon);
    port = value;
}

std::string connectFailureText(int status) {
    if (status == 13 || status == 1 || status == 111)
        return kSmbRefused;
    if (status <= 0)
        return kSmbCouldNotConnect;
    return std::string(kSmbCouldNotConnect) + ": " + std::strerror(status);
}

// One walk or login test: the helper processes and the folders still to list.
class Crawl {
public:
    // Entries dropped for their names are added to `dropped`.
    Crawl(const SmbLogin& login, const SmbConnectOptions& options, int connections, unsigned long& dropped)
        : m_login(login), m_options(options), m_slots(size_t(connections)), m_dropped(dropped) {
        m_queued = options.listingsPerConnection < 1 ? kDefaultQueued : options.listingsPerConnection;
    }

    // Starts the helpers and waits until each connected or failed, killing those still
    // connecting at the deadline. Returns 0 when one connected, -1 with the reason when
    // none did, 1 when `cancelled` (may be empty) asked to stop first: closing the window
    // must not wait out the deadline of a server that never answers.
    int connect(std::string& error, const std::function<bool()>& cancelled = {}) {
        Login wire;
        splitServer(m_login.server, wire.host, wire.port);
        wire.share = m_login.share;
        wire.user = m_login.user;
        wire.password = m_login.password;
        wire.domain = m_login.domain;
        std::string loginFrame;
        if (!appendLogin(loginFrame, wire)) {
            error = kSmbSetupFailed;
            return -1;
        }
        const std::string program = m_options.helperPath.empty() ? defaultSmbHelperPath() : m_options.helperPath;
        bool started = false;
        for (Slot& slot : m_slots) {
            std::string why;
            if (!slot.helper.start(program, why))
                continue;
            started = true;
            slot.state = Slot::State::Connecting;
            slot.helper.queue(loginFrame);
            if (!slot.helper.flush())
                fail(slot, kIoError);
        }
        std::fill(loginFrame.begin(), loginFrame.end(), '\0');
        std::fill(wire.password.begin(), wire.password.end(), '\0');
        if (!started) {
            error = kSmbSetupFailed;
            return -1;
        }
        const Clock::time_point deadline = Clock::now() + m_options.connectDeadline;
        while (count(Slot::State::Connecting) > 0) {
            if (cancelled && cancelled())
                return 1;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                for (Slot& slot : m_slots)
                    if (slot.state == Slot::State::Connecting) {
                        fail(slot, 0);
                        slot.timedOut = true;
                    }
                break;
            }
            pump(int(std::min<long long>(left.count(), kConnectPollMs)));
        }
        if (count(Slot::State::Connected) > 0)
            return 0;
        if (std::any_of(m_slots.begin(), m_slots.end(), [](const Slot& s) { return s.timedOut; })) {
            error = kSmbTimedOut;
            return -1;
        }
        int status = 0;
        for (const Slot& slot : m_slots)
            if (slot.status != 0) {
                status = slot.status;
                break;
            }
        error = connectFailureText(status);
        return -1;
    }

    int walk(const std::string& start, const RemoteVisitor& visitor, const std::function<bool()>& cancelled) {
        m_visitor = &visitor;
        m_stack.push_back(start);
        for (;;) {
            dispatch();
            if (m_stack.empty() && outstanding() == 0)
                return 0;
            if (cancelled && cancelled())
                return 1;
            if (count(Slot::State::Connected) == 0) {
                while (!m_stack.empty()) {
                    const std::string folder = std::move(m_stack.back());
                    m_stack.pop_back();
                    visitor(folder, nullptr, 0, nullptr, kIoError);
                }
                return 0;
            }
            pump(kWalkPollMs);
            // A helper silent for too long while it owes listings is given up.
            const Clock::time_point now = Clock::now();
            for (Slot& slot : m_slots)
                if (slot.state == Slot::State::Connected && !slot.outstanding.empty() &&
                    now - slot.lastHeard > m_options.listingDeadline)
                    fail(slot, kIoError);
        }
    }

private:
    size_t count(Slot::State state) const {
        return size_t(std::count_if(m_slots.begin(), m_slots.end(), [&](const Slot& s) { return s.state == state; }));
    }

    size_t outstanding() const {
        size_t n = 0;
        for (const Slot& slot : m_slots)
            n += slot.outstanding.size();
        return n;
    }

    // Ends a helper; its folders in flight are reported with an I/O error.
    void fail(Slot& slot, int status) {
        slot.helper.stop();
        slot.state = Slot::State::Failed;
        if (slot.status == 0)
            slot.status = status;
        std::deque<Listing> lost;
        lost.swap(slot.outstanding);
        for (const Listing& listing : lost)
            (*m_visitor)(listing.path, nullptr, 0, nullptr, kIoError);
    }

    void dispatch() {
        for (Slot& slot : m_slots) {
            if (slot.state != Slot::State::Connected)
                continue;
            if (slot.outstanding.empty())
                slot.lastHeard = Clock::now();
            while (slot.outstanding.size() < size_t(m_queued) && !m_stack.empty()) {
                std::string folder = std::move(m_stack.back());
                m_stack.pop_back();
                std::string frame;
                FrameWriter w(frame, Message::List);
                w.u32(m_nextId).bytes(folder);
                if (!w.finish()) {
                    (*m_visitor)(folder, nullptr, 0, nullptr, kNameTooLong);
                    continue;
                }
                slot.helper.queue(frame);
                slot.outstanding.push_back(Listing{m_nextId++, std::move(folder), {}, {}, false});
            }
            if (!slot.helper.flush())
                fail(slot, kIoError);
        }
    }

    // Waits up to timeoutMs for any helper and handles what arrived.
    void pump(int timeoutMs) {
        std::vector<pollfd> fds;
        std::vector<Slot*> polled;
        for (Slot& slot : m_slots) {
            if (slot.state == Slot::State::Failed)
                continue;
            fds.push_back(pollfd{slot.helper.fd(), short(POLLIN | (slot.helper.wantsToWrite() ? POLLOUT : 0)), 0});
            polled.push_back(&slot);
        }
        if (fds.empty() || poll(fds.data(), fds.size(), timeoutMs) <= 0)
            return;
        for (size_t i = 0; i < fds.size(); ++i) {
            Slot& slot = *polled[i];
            if (fds[i].revents == 0 || slot.state == Slot::State::Failed)
                continue;
            if ((fds[i].revents & POLLOUT) && !slot.helper.flush()) {
                fail(slot, kIoError);
                continue;
            }
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                const bool open = slot.helper.receive();
                if (!handleInput(slot))
                    fail(slot, kIoError);
                else if (!open)
                    fail(slot, kIoError);
            }
        }
    }

    // Handles every whole frame received from the helper; false when the stream is damaged.
    bool handleInput(Slot& slot) {
        std::string& input = slot.helper.input();
        size_t offset = 0;
        bool ok = true;
        while (ok && slot.state != Slot::State::Failed) {
            Message type;
            std::string_view payload;
            size_t consumed = 0;
            const FrameStatus status =
                nextFrame(std::string_view(input).substr(offset), type, payload, consumed);
            if (status == FrameStatus::NeedMore)
                break;
            if (status == FrameStatus::Damaged)
                return false;
            offset += consumed;
            slot.lastHeard = Clock::now();
            ok = handleFrame(slot, type, payload);
        }
        if (slot.state != Slot::State::Failed)
            input.erase(0, offset);
        return ok;
    }

    bool handleFrame(Slot& slot, Message type, std::string_view payload) {
        FrameReader r(payload);
        if (slot.state == Slot::State::Connecting) {
            uint64_t unit;
            uint32_t code;
            if (type == Message::Connected && r.u64(unit) && r.atEnd()) {
                slot.state = Slot::State::Connected;
                if (m_unit == 0 && unit <= kMaxAllocationUnit)
                    m_unit = unit;
                return true;
            }
            if (type == Message::ConnectFailed && r.u32(code) && r.atEnd()) {
                fail(slot, code > 0 && code < 4096 ? int(code) : kIoError);
                slot.timedOut = code == kTimedOut;  // the client library's own time limit
                return true;
            }
            return false;
        }
        uint32_t id;
        if (!r.u32(id) || slot.outstanding.empty() || slot.outstanding.front().id != id)
            return false;
        Listing& listing = slot.outstanding.front();
        if (type == Message::Entries) {
            while (!r.atEnd()) {
                WireEntry e;
                if (!r.entry(e))
                    return false;
                add(listing, e);
            }
            return true;
        }
        uint32_t code;
        if (type != Message::ListEnd || !r.u32(code) || !r.atEnd())
            return false;
        Listing done = std::move(listing);
        slot.outstanding.pop_front();
        deliver(done, code > INT_MAX ? kIoError : int(code));
        return true;
    }

    void add(Listing& listing, const WireEntry& e) {
        if (e.name == ".") {
            // The listed folder's own id: the start folder's is known only this way, and a
            // link back to it must count as a folder already listed.
            if (e.fileId != 0)
                m_seen.insert(e.fileId);
            return;
        }
        if (e.name == "..")
            return;
        if (!usableName(e.name)) {
            ++m_dropped;
            return;
        }
        if (listing.overflow || listing.items.size() >= kMaxListingEntries ||
            listing.names.size() + e.name.size() >= kMaxListingNameBytes) {
            listing.overflow = true;
            return;
        }
        const double mtime = double(e.mtimeSeconds) + double(std::min(e.mtimeNanoseconds, 999999999u)) / 1e9;
        listing.items.push_back(Item{listing.names.size(), uint32_t(e.name.size()), e.isDir, e.isLink, e.attributes,
                                     e.isDir ? 0 : e.size, mtime, e.fileId});
        listing.names.append(e.name);
        listing.names.push_back('\0');
    }

    void deliver(Listing& listing, int code) {
        const RemoteVisitor& visitor = *m_visitor;
        if (code == 0 && listing.overflow)
            code = kTooLarge;
        if (code != 0) {
            visitor(listing.path, nullptr, 0, nullptr, code);
            return;
        }
        const size_t n = listing.items.size();
        m_entries.resize(n);
        m_descend.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const Item& item = listing.items[i];
            RemoteEntry& e = m_entries[i];
            e.name = listing.names.data() + item.nameOffset;
            e.isDir = item.isDir;
            e.isLink = item.isLink;
            e.attributes = item.attributes;
            e.size = item.size;
            e.allocated = roundUp(item.size, m_unit);
            e.mtime = item.mtime;
            m_descend[i] = item.isDir ? 1 : 0;
        }
        visitor(listing.path, n ? m_entries.data() : nullptr, int(n), n ? m_descend.data() : nullptr, 0);
        for (size_t i = 0; i < n; ++i) {
            const Item& item = listing.items[i];
            if (!m_descend[i] || !item.isDir)
                continue;
            const char* name = listing.names.data() + item.nameOffset;
            std::string child = listing.path.empty() ? std::string(name) : listing.path + "/" + name;
            if (item.fileId != 0 && !m_seen.insert(item.fileId).second)
                visitor(child, nullptr, 0, nullptr, kLoop);
            else
                m_stack.push_back(std::move(child));
        }
    }

    const SmbLogin& m_login;
    const SmbConnectOptions& m_options;
    std::vector<Slot> m_slots;
    unsigned long& m_dropped;
    int m_queued = kDefaultQueued;
    const RemoteVisitor* m_visitor = nullptr;
    std::vector<std::string> m_stack;  // folders to list, the last pushed first
    std::unordered_set<uint64_t> m_seen;  // file ids of the folders queued or listed in this walk
    std::vector<RemoteEntry> m_entries;
    std::vector<unsigned char> m_descend;
    uint64_t m_unit = 0;
    uint32_t m_nextId = 1;
};

int connectionCount(int wanted) { return wanted < 1 ? kDefaultConnections : std::min(wanted, kMaxConnections); }

}  // namespace

SmbSource::SmbSource(SmbLogin login, SmbConnectOptions options)
    : m_login(std::move(login)), m_options(std::move(options)) {}

int SmbSource::walk(const std::string& start, const RemoteVisitor& visitor, const std::function<bool()>& cancelled,
                    std::string& error) {
    Crawl crawl(m_login, m_options, connectionCount(m_options.connections), m_dropped);
    if (const int connected = crawl.connect(error, cancelled); connected != 0)
        return connected;
    return crawl.walk(start, visitor, cancelled);
}

std::unique_ptr<RemoteSource> makeSmbSource(const SmbLogin& login) { return makeSmbSource(login, {}); }

std::unique_ptr<RemoteSource> makeSmbSource(const SmbLogin& login, const SmbConnectOptions& options) {
    return std::make_unique<SmbSource>(login, options);
}

bool testSmbLogin(const SmbLogin& login, std::string& error) { return testSmbLogin(login, error, {}); }

bool testSmbLogin(const SmbLogin& login, std::string& error, const SmbConnectOptions& options) {
    return testSmbLogin(login, error, options, {});
}

bool testSmbLogin(const SmbLogin& login, std::string& error, const SmbConnectOptions& options,
                  const std::function<bool()>& cancelled) {
    unsigned long dropped = 0;
    Crawl crawl(login, options, 1, dropped);
    return crawl.connect(error, cancelled) == 0;
}

}  // namespace svl
