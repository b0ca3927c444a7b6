#include "core/scan/MountTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace svl {

namespace {

bool isSeparator(char c) {
    return c == ' ' || c == '\t';
}

// Splits one line into tokens separated by runs of spaces or tabs.
class TokenReader {
public:
    explicit TokenReader(std::string_view line) : m_line(line) {}

    bool next(std::string_view* token) {
        while (m_pos < m_line.size() && isSeparator(m_line[m_pos]))
            ++m_pos;
        if (m_pos >= m_line.size())
            return false;
        const size_t start = m_pos;
        while (m_pos < m_line.size() && !isSeparator(m_line[m_pos]))
            ++m_pos;
        *token = m_line.substr(start, m_pos - start);
        return true;
    }

private:
    std::string_view m_line;
    size_t m_pos = 0;
};

// Leading decimal digits of the token; 0 when there are none, saturated at INT32_MAX.
int32_t leadingNumber(std::string_view token) {
    int64_t value = 0;
    for (char c : token) {
        if (c < '0' || c > '9')
            break;
        value = std::min<int64_t>(value * 10 + (c - '0'), INT32_MAX);
    }
    return int32_t(value);
}

// Reads an unsigned decimal number at *pos (optional '+'); false when no digit follows.
bool readUnsigned(std::string_view s, size_t* pos, uint32_t* out) {
    size_t i = *pos;
    if (i < s.size() && s[i] == '+')
        ++i;
    const size_t digitsStart = i;
    uint64_t value = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        value = std::min<uint64_t>(value * 10 + uint64_t(s[i] - '0'), UINT32_MAX);
        ++i;
    }
    if (i == digitsStart)
        return false;
    *pos = i;
    *out = uint32_t(value);
    return true;
}

// "MAJ:MIN"; anything after the minor number is ignored.
bool parseDeviceNumbers(std::string_view token, uint32_t* major, uint32_t* minor) {
    size_t pos = 0;
    if (!readUnsigned(token, &pos, major))
        return false;
    if (pos >= token.size() || token[pos] != ':')
        return false;
    ++pos;
    return readUnsigned(token, &pos, minor);
}

std::string unescape(std::string_view field) {
    return unescapeMountField(field.data(), field.size());
}

bool parseLine(std::string_view line, MountEntry* entry) {
    TokenReader reader(line);
    std::string_view tokens[5];
    for (std::string_view& token : tokens) {
        if (!reader.next(&token))
            return false;
    }
    entry->mountId = leadingNumber(tokens[0]);
    if (!parseDeviceNumbers(tokens[2], &entry->major, &entry->minor))
        return false;

    std::string_view token;
    reader.next(&token);  // per-mount options
    bool separated = false;
    while (reader.next(&token)) {
        if (token == "-") {
            separated = true;
            break;
        }
    }
    entry->fsType.clear();
    entry->source.clear();
    entry->superOptions.clear();
    if (separated) {
        if (reader.next(&token)) {
            entry->fsType = std::string(token);
            if (reader.next(&token)) {
                entry->source = unescape(token);
                if (reader.next(&token))
                    entry->superOptions = unescape(token);
            }
        }
    }
    entry->root = unescape(tokens[3]);
    entry->mountPoint = unescape(tokens[4]);
    return !entry->root.empty() && entry->root[0] == '/' && !entry->mountPoint.empty() &&
           entry->mountPoint[0] == '/';
}

bool isOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

std::optional<unsigned long> statDevice(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return static_cast<unsigned long>(st.st_dev);
}

}  // namespace

std::vector<MountEntry> readMountInfo() {
    std::string text;
    const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return {};
        }
        if (got == 0)
            break;
        text.append(buffer, size_t(got));
    }
    ::close(fd);
    return parseMountInfo(text);
}

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    std::vector<MountEntry> entries;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        MountEntry entry;
        if (parseLine(text.substr(pos, end - pos), &entry))
            entries.push_back(std::move(entry));
        pos = end + 1;
    }
    return entries;
}

std::string unescapeMountField(const char* bytes, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] == '\\' && i + 3 < length && isOctalDigit(bytes[i + 1]) && isOctalDigit(bytes[i + 2]) &&
            isOctalDigit(bytes[i + 3])) {
            const unsigned value = unsigned(bytes[i + 1] - '0') * 64 + unsigned(bytes[i + 2] - '0') * 8 +
                                   unsigned(bytes[i + 3] - '0');
            out.push_back(char(value & 0xFF));
            i += 3;
        } else {
            out.push_back(bytes[i]);
        }
    }
    return out;
}

bool isPathWithin(std::string_view path, std::string_view base) {
    if (path.substr(0, base.size()) != base)
        return false;
    if (path.size() == base.size())
        return true;
    if (base.empty())
        return path[0] == '/';
    if (base == "/")
        return true;
    if (path[base.size()] == '/')
        return true;
    return base.back() == '/';
}

const MountEntry* mountContaining(const std::vector<MountEntry>& entries, std::string_view path) {
    const MountEntry* best = nullptr;
    for (const MountEntry& entry : entries) {
        if (!isPathWithin(path, entry.mountPoint))
            continue;
        if (!best || entry.mountPoint.size() >= best->mountPoint.size())
            best = &entry;
    }
    return best;
}

std::string filesystemGroupKey(const MountEntry& entry) {
    if (entry.source.empty())
        return {};
    if (entry.fsType == "btrfs")
        return "btrfs:" + entry.source;
    if (entry.fsType == "zfs")
        return "zfs:" + entry.source.substr(0, entry.source.find('/'));
    return {};
}

bool sameFilesystem(const MountEntry& a, const MountEntry& b) {
    if (a.major == b.major && a.minor == b.minor)
        return true;
    const std::string key = filesystemGroupKey(a);
    return !key.empty() && key == filesystemGroupKey(b);
}

FilesystemGroups groupMountsByFilesystem(const std::vector<MountEntry>& entries) {
    FilesystemGroups groups;
    for (const MountEntry& entry : entries) {
        std::string key = filesystemGroupKey(entry);
        if (!key.empty())
            groups[key].push_back(&entry);
    }
    for (auto& [key, members] : groups) {
        std::stable_sort(members.begin(), members.end(), [](const MountEntry* a, const MountEntry* b) {
            return a->mountPoint.size() < b->mountPoint.size();
        });
    }
    return groups;
}

std::unordered_map<uint64_t, uint64_t> sameFilesystemGroups(const std::vector<MountEntry>& entries,
                                                            const DeviceLookup& deviceOf) {
    const DeviceLookup lookup = deviceOf ? deviceOf : DeviceLookup(statDevice);
    std::unordered_map<uint64_t, uint64_t> map;
    for (const auto& [key, members] : groupMountsByFilesystem(entries)) {
        // With subvolumes or datasets mounted, a Btrfs top-level mount holds them all as
        // folders of its own device, so it is not one of the group's devices.
        const bool hasSubvolumes = std::any_of(members.begin(), members.end(),
                                               [](const MountEntry* m) { return m->root != "/"; });
        std::vector<const MountEntry*> kept;
        for (const MountEntry* member : members) {
            if (hasSubvolumes && member->root == "/" && member->fsType == "btrfs")
                continue;
            kept.push_back(member);
        }
        if (kept.size() < 2)
            continue;
        const std::optional<unsigned long> representative = lookup(kept.front()->mountPoint);
        if (!representative)
            continue;
        for (const MountEntry* member : kept) {
            if (const std::optional<unsigned long> device = lookup(member->mountPoint))
                map[*device] = *representative;
        }
    }
    return map;
}

std::unordered_set<std::string> mountPointsOfType(const std::vector<MountEntry>& entries,
                                                  const std::unordered_set<std::string>& shown) {
    std::unordered_set<std::string> result;
    for (const MountEntry& p : entries) {
        if (!shown.count(p.mountPoint) || p.fsType == "btrfs" || p.fsType == "zfs")
            continue;
        for (const MountEntry& q : entries) {
            if (&q == &p || q.mountPoint == p.mountPoint || !shown.count(q.mountPoint))
                continue;
            if (q.major != p.major || q.minor != p.minor)
                continue;
            const bool sameRootEarlier = q.root == p.root && q.mountId < p.mountId;
            const bool rootWithin = q.root != p.root && isPathWithin(p.root, q.root);
            if (sameRootEarlier || rootWithin) {
                result.insert(p.mountPoint);
                break;
            }
        }
    }
    return result;
}

std::unordered_set<std::string> groupedMountPoints(const std::vector<MountEntry>& entries) {
    std::unordered_set<std::string> result;
    for (const auto& [key, members] : groupMountsByFilesystem(entries)) {
        for (size_t i = 1; i < members.size(); ++i)
            result.insert(members[i]->mountPoint);
    }
    return result;
}

}  // namespace svl
