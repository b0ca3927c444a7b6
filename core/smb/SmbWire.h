// Messages between the share crawler and its SMB helper processes over one stream socket.
// A frame is a 32-bit little-endian length of what follows (1 .. kMaxFrame), one type byte
// and the payload. Readers check every field against the end of the frame before reading,
// so a damaged or hostile peer yields a failed read, never an overrun.
//
// Threads: plain values and functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace svl::smbwire {

inline constexpr uint32_t kMaxFrame = 1u << 20;
// A helper sends a listing's entries in frames of about this many bytes.
inline constexpr size_t kEntriesBatch = 60 * 1024;

enum class Message : uint8_t {
    Login = 'L',          // to the helper: host, port, share, user, password, domain
    List = 'D',           // to the helper: request id, path inside the share
    Connected = 'C',      // from the helper: allocation unit of the share (0: unknown)
    ConnectFailed = 'F',  // from the helper: errno-style code
    Entries = 'E',        // from the helper: request id, then entries to the frame's end
    ListEnd = 'Z',        // from the helper: request id, errno-style code (0: listed)
};

struct Login {
    std::string host;
    uint32_t port = 0;  // 0: the client's default
    std::string share, user, password, domain;
};

// One listing entry as sent by a helper; `name` points into the received frame.
struct WireEntry {
    std::string_view name;
    bool isDir = false;
    bool isLink = false;
    uint32_t attributes = 0;
    uint64_t size = 0;
    int64_t mtimeSeconds = 0;
    uint32_t mtimeNanoseconds = 0;
    uint64_t fileId = 0;  // 0: the server gave none
};

// Appends one frame to `out`: begin, fields, finish.
class FrameWriter {
public:
    FrameWriter(std::string& out, Message type);
    FrameWriter& u8(uint8_t v);
    FrameWriter& u32(uint32_t v);
    FrameWriter& u64(uint64_t v);
    FrameWriter& bytes(std::string_view s);  // length (32-bit) and the bytes
    FrameWriter& entry(const WireEntry& e);
    // Writes the length; false (and the frame removed again) when it passes kMaxFrame.
    bool finish();
    size_t frameSize() const { return m_out.size() - m_start; }

private:
    std::string& m_out;
    size_t m_start;
};

// Reads fields from [p, end) of one payload; after a short read every further read fails.
class FrameReader {
public:
    explicit FrameReader(std::string_view payload)
        : m_p(payload.data()), m_end(payload.data() + payload.size()) {}
    bool u8(uint8_t& v);
    bool u32(uint32_t& v);
    bool u64(uint64_t& v);
    bool bytes(std::string_view& s);
    bool entry(WireEntry& e);
    bool atEnd() const { return m_ok && m_p == m_end; }
    bool ok() const { return m_ok; }

private:
    bool take(size_t n, const char*& at);
    const char* m_p;
    const char* m_end;
    bool m_ok = true;
};

enum class FrameStatus { Complete, NeedMore, Damaged };

// Looks for one whole frame at the start of `buffer`: on Complete, `type` and `payload`
// (a view into `buffer`) are set and `consumed` is the frame's size. A length of 0 or
// above kMaxFrame is Damaged.
[[nodiscard]] FrameStatus nextFrame(std::string_view buffer, Message& type, std::string_view& payload,
                                    size_t& consumed);

// False (nothing appended) when the login does not fit in one frame.
[[nodiscard]] bool appendLogin(std::string& out, const Login& login);
[[nodiscard]] bool readLogin(std::string_view payload, Login& login);

}  // namespace svl::smbwire
