#include "core/smb/SmbWire.h"

namespace svl::smbwire {

namespace {

void putLittle(std::string& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(char(uint8_t(v >> (8 * i))));
}

uint64_t getLittle(const char* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= uint64_t(uint8_t(p[i])) << (8 * i);
    return v;
}

}  // namespace

FrameWriter::FrameWriter(std::string& out, Message type) : m_out(out), m_start(out.size()) {
    putLittle(m_out, 0, 4);
    m_out.push_back(char(type));
}

FrameWriter& FrameWriter::u8(uint8_t v) {
    m_out.push_back(char(v));
    return *this;
}

FrameWriter& FrameWriter::u32(uint32_t v) {
    putLittle(m_out, v, 4);
    return *this;
}

FrameWriter& FrameWriter::u64(uint64_t v) {
    putLittle(m_out, v, 8);
    return *this;
}

FrameWriter& FrameWriter::bytes(std::string_view s) {
    u32(uint32_t(s.size() > UINT32_MAX ? UINT32_MAX : s.size()));
    m_out.append(s.data(), s.size() > UINT32_MAX ? UINT32_MAX : s.size());
    return *this;
}

FrameWriter& FrameWriter::entry(const WireEntry& e) {
    u8(uint8_t((e.isDir ? 1 : 0) | (e.isLink ? 2 : 0)));
    u32(e.attributes).u64(e.size).u64(uint64_t(e.mtimeSeconds)).u32(e.mtimeNanoseconds).u64(e.fileId);
    return bytes(e.name);
}

bool FrameWriter::finish() {
    const size_t length = m_out.size() - m_start - 4;
    if (length > kMaxFrame) {
        m_out.resize(m_start);
        return false;
    }
    for (int i = 0; i < 4; ++i)
        m_out[m_start + i] = char(uint8_t(length >> (8 * i)));
    return true;
}

bool FrameReader::take(size_t n, const char*& at) {
    if (!m_ok || size_t(m_end - m_p) < n)
        return m_ok = false;
    at = m_p;
    m_p += n;
    return true;
}

bool FrameReader::u8(uint8_t& v) {
    const char* at;
    if (!take(1, at))
        return false;
    v = uint8_t(*at);
    return true;
}

bool FrameReader::u32(uint32_t& v) {
    const char* at;
    if (!take(4, at))
        return false;
    v = uint32_t(getLittle(at, 4));
    return true;
}

bool FrameReader::u64(uint64_t& v) {
    const char* at;
    if (!take(8, at))
        return false;
    v = getLittle(at, 8);
    return true;
}

bool FrameReader::bytes(std::string_view& s) {
    uint32_t n;
    const char* at;
    if (!u32(n) || !take(n, at))
        return false;
    s = std::string_view(at, n);
    return true;
}

bool FrameReader::entry(WireEntry& e) {
    uint8_t flags;
    uint64_t seconds;
    if (!u8(flags) || !u32(e.attributes) || !u64(e.size) || !u64(seconds) || !u32(e.mtimeNanoseconds) ||
        !u64(e.fileId) || !bytes(e.name))
        return false;
    e.isDir = flags & 1;
    e.isLink = flags & 2;
    e.mtimeSeconds = int64_t(seconds);
    return true;
}

FrameStatus nextFrame(std::string_view buffer, Message& type, std::string_view& payload, size_t& consumed) {
    if (buffer.size() < 4)
        return FrameStatus::NeedMore;
    const uint64_t length = getLittle(buffer.data(), 4);
    if (length == 0 || length > kMaxFrame)
        return FrameStatus::Damaged;
    if (buffer.size() - 4 < length)
        return FrameStatus::NeedMore;
    type = Message(uint8_t(buffer[4]));
    payload = buffer.substr(5, length - 1);
    consumed = 4 + length;
    return FrameStatus::Complete;
}

bool appendLogin(std::string& out, const Login& login) {
    FrameWriter w(out, Message::Login);
    w.bytes(login.host).u32(login.port).bytes(login.share).bytes(login.user).bytes(login.password).bytes(
        login.domain);
    return w.finish();
}

bool readLogin(std::string_view payload, Login& login) {
    FrameReader r(payload);
    std::string_view host, share, user, password, domain;
    if (!r.bytes(host) || !r.u32(login.port) || !r.bytes(share) || !r.bytes(user) || !r.bytes(password) ||
        !r.bytes(domain) || !r.atEnd())
        return false;
    login.host = host;
    login.share = share;
    login.user = user;
    login.password = password;
    login.domain = domain;
    return true;
}

}  // namespace svl::smbwire
