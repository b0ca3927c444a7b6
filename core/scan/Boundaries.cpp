#include "core/scan/Boundaries.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>

namespace svl {

namespace {

constexpr int kChainRewrites = 16;

std::optional<unsigned long> statDevice(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return static_cast<unsigned long>(st.st_dev);
}

// `base` + the rest of `path` after `prefix`, with exactly one "/" where they meet.
std::string replacePrefix(const std::string& path, const std::string& prefix, const std::string& base) {
    std::string_view rest = std::string_view(path).substr(prefix.size());
    std::string out = base;
    if (rest.empty())
        return out;
    const bool baseSlash = !out.empty() && out.back() == '/';
    if (baseSlash && rest.front() == '/')
        rest.remove_prefix(1);
    else if (!baseSlash && rest.front() != '/')
        out += '/';
    out.append(rest);
    return out;
}

// The path inside `m`'s file system that `path` (below m's mount point) shows.
std::string pathInFilesystem(const MountEntry& m, const std::string& path) {
    std::string rest = m.mountPoint == "/" ? path : path.substr(m.mountPoint.size());
    if (rest == "/")
        rest.clear();
    if (m.root == "/")
        return rest.empty() ? "/" : rest;
    return m.root + rest;
}

// Asks the walker's questions about a path: which root's walk would reach it, does it
// show the expected folder of a file system, and is every folder on the way entered?
class Reach {
public:
    Reach(const std::vector<MountEntry>& mounts, const std::vector<std::string>& realRoots, bool oneFileSystem,
          const DeviceLookup& deviceOf, const std::unordered_map<uint64_t, uint64_t>& groups)
        : m_mounts(mounts), m_roots(realRoots), m_oneFileSystem(oneFileSystem), m_deviceOf(deviceOf), m_groups(groups) {}

    const std::string* rootOf(const std::string& path) const {
        for (const std::string& r : m_roots)
            if (isPathWithin(path, r))
                return &r;
        return nullptr;
    }

    std::optional<uint64_t> group(const std::string& path) const {
        const std::optional<unsigned long> d = m_deviceOf(path);
        if (!d)
            return std::nullopt;
        const auto g = m_groups.find(*d);
        return g == m_groups.end() ? uint64_t(*d) : g->second;
    }

    // In one-file-system mode the walker stops at any folder whose device group differs
    // from its root's. It goes by st_dev, not by the mount table's major:minor, which every
    // Btrfs subvolume shares while ZFS datasets of one pool each have their own.
    bool sameFileSystemAsRoot(const MountEntry& p, const std::string& root) const {
        if (!checkDevices(root))
            return true;
        const std::optional<uint64_t> rootGroup = group(root);
        const std::optional<uint64_t> g = group(p.mountPoint);
        return rootGroup && g && *rootGroup == *g;
    }

    // True when the walk enters `path` and finds there the folder `fsPath` of the file
    // system with device major:minor.
    bool reaches(const std::string& path, uint32_t major, uint32_t minor, const std::string& fsPath) const {
        const std::string* root = rootOf(path);
        if (!root)
            return false;
        const MountEntry* cover = mountContaining(m_mounts, path);
        if (!cover || cover->major != major || cover->minor != minor || pathInFilesystem(*cover, path) != fsPath)
            return false;  // another mount hides the source there
        if (!m_deviceOf(path))
            return false;  // gone
        if (!checkDevices(*root))
            return true;
        const std::optional<uint64_t> rootGroup = group(*root);
        if (!rootGroup)
            return false;
        // Every folder on the way down from the root must be entered.
        for (size_t at = root->size(); at <= path.size(); ++at) {
            if (at < path.size() && path[at] != '/')
                continue;
            if (at == 0)
                continue;
            const std::optional<uint64_t> g = group(path.substr(0, at));
            if (!g || *g != *rootGroup)
                return false;
        }
        return true;
    }

private:
    // Device checks need the root's own mount; without it every device counts as one.
    bool checkDevices(const std::string& root) const {
        return m_oneFileSystem && mountContaining(m_mounts, root);
    }

    const std::vector<MountEntry>& m_mounts;
    const std::vector<std::string>& m_roots;
    bool m_oneFileSystem;
    const DeviceLookup& m_deviceOf;
    const std::unordered_map<uint64_t, uint64_t>& m_groups;
};

struct Target {
    std::string source;
    const MountEntry* mount;  // the bind mount itself
};

}  // namespace

std::unordered_map<std::string, std::string> bindTargets(const std::vector<MountEntry>& mounts,
                                                         const std::vector<std::string>& realRoots,
                                                         bool oneFileSystem, const DeviceLookup& deviceOf,
                                                         const std::unordered_map<uint64_t, uint64_t>& deviceGroups) {
    const DeviceLookup lookup = deviceOf ? deviceOf : DeviceLookup(statDevice);
    // Sorted, so that chains resolve the same way on every run.
    std::map<std::string, Target> targets;
    const Reach reach(mounts, realRoots, oneFileSystem, lookup, deviceGroups);

    for (const MountEntry& p : mounts) {
        const std::string* root = nullptr;
        for (const std::string& r : realRoots) {
            if (isPathWithin(p.mountPoint, r)) {
                root = &r;
                break;
            }
        }
        if (!root || p.mountPoint == *root || targets.count(p.mountPoint))
            continue;
        // Another file system by the table: the walker stops at P without asking it (it may
        // never answer), and so does this.
        if (oneFileSystem) {
            const MountEntry* own = mountContaining(mounts, *root);
            if (own && !sameFilesystem(p, *own))
                continue;
        }
        // The walker stops at P as another file system anyway.
        if (!reach.sameFileSystemAsRoot(p, *root))
            continue;
        for (const MountEntry& s : mounts) {
            if (&s == &p || s.major != p.major || s.minor != p.minor)
                continue;
            const bool shows = p.root == s.root ? s.mountId < p.mountId : isPathWithin(p.root, s.root);
            if (!shows)
                continue;
            std::string rel = s.root == "/" ? p.root : p.root.substr(s.root.size());
            if (rel == "/")
                rel.clear();
            std::string src = s.mountPoint != "/" ? s.mountPoint + rel : (rel.empty() ? "/" : rel);
            if (src == p.mountPoint)
                continue;
            // The source must be counted by this walk, with P's contents, or P is counted nowhere.
            if (!reach.reaches(src, p.major, p.minor, p.root))
                continue;
            targets.emplace(p.mountPoint, Target{std::move(src), &p});
            break;
        }
    }

    // A folder showing a folder that contains itself is counted only by walking it.
    for (auto it = targets.begin(); it != targets.end();)
        it = isPathWithin(it->second.source, it->first) ? targets.erase(it) : std::next(it);

    // Follow chains, then drop the first target whose source the walk would not reach (inside a
    // target, missing, or behind another file system) and start over: dropping lets the walk
    // enter that folder, and sources chained through it must be found again.
    std::map<std::string, std::string> resolved;
    for (;;) {
        resolved.clear();
        for (const auto& [key, target] : targets)
            resolved.emplace(key, target.source);
        for (auto& [key, source] : resolved) {
            int budget = kChainRewrites;
            bool rewritten = true;
            while (rewritten && budget > 0) {
                rewritten = false;
                for (const auto& [key2, target2] : targets) {
                    if (key2 == key || !isPathWithin(source, key2))
                        continue;
                    std::string next = replacePrefix(source, key2, target2.source);
                    if (next == source || next == key)
                        continue;
                    source = std::move(next);
                    --budget;
                    rewritten = true;
                    break;
                }
            }
        }
        auto bad = targets.end();
        for (auto it = targets.begin(); it != targets.end() && bad == targets.end(); ++it) {
            const std::string& source = resolved.at(it->first);
            bool blocked = false;
            for (const auto& entry : targets)
                blocked = blocked || isPathWithin(source, entry.first);
            const MountEntry& p = *it->second.mount;
            if (blocked || !reach.reaches(source, p.major, p.minor, p.root))
                bad = it;
        }
        if (bad == targets.end())
            break;
        targets.erase(bad);
    }

    std::unordered_map<std::string, std::string> result;
    result.max_load_factor(1.0);
    for (auto& [key, source] : resolved)
        result.emplace(key, std::move(source));
    return result;
}

bool isMountPointIn(int dirfd, const char* name) {
    // Resolving the name without crossing into a mount stops at its mount point with EXDEV
    // before the mounted file system is asked anything.
    struct open_how how {};
    how.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_XDEV;
    const long fd = ::syscall(SYS_openat2, dirfd, name, &how, sizeof how);
    if (fd >= 0) {
        ::close(int(fd));
        return false;
    }
    return errno != ENOENT;
}

std::unordered_map<std::string, std::unordered_set<std::string>> foreignMountPoints(
    const std::vector<MountEntry>& mounts, const std::vector<std::string>& realRoots) {
    std::unordered_map<std::string, std::unordered_set<std::string>> found;
    for (const std::string& root : realRoots) {
        const MountEntry* own = mountContaining(mounts, root);
        if (!own)
            continue;
        // From the end of the table: the first mount met at a point is the one on top.
        std::unordered_set<std::string_view> seen;
        for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
            const std::string& point = it->mountPoint;
            if (point == root || !isPathWithin(point, root) || !seen.insert(point).second)
                continue;
            if (sameFilesystem(*it, *own))
                continue;
            const size_t slash = point.rfind('/');
            found[slash == 0 ? std::string("/") : point.substr(0, slash)].insert(point.substr(slash + 1));
        }
    }
    return found;
}

void Boundaries::prepare(const std::vector<std::string>& roots, bool oneFileSystem, bool detectBindMounts) {
    std::vector<MountEntry> mounts;
    if (oneFileSystem || detectBindMounts)
        mounts = readMountInfo();
    prepare(roots, oneFileSystem, detectBindMounts, mounts, {});
}

void Boundaries::prepare(const std::vector<std::string>& roots, bool oneFileSystem, bool detectBindMounts,
                         const std::vector<MountEntry>& mounts, const DeviceLookup& deviceOf) {
    m_oneFileSystem = oneFileSystem;
    m_deviceGroups.clear();
    m_rewritePairs.clear();
    m_bindTargets.clear();
    m_foreignMounts.clear();
    if (oneFileSystem)
        m_deviceGroups = sameFilesystemGroups(mounts, deviceOf);
    if (!oneFileSystem && !detectBindMounts)
        return;
    std::vector<std::string> realRoots;
    for (const std::string& root : roots) {
        char* real = ::realpath(root.c_str(), nullptr);
        if (!real)
            continue;
        realRoots.emplace_back(real);
        std::free(real);
        m_rewritePairs.emplace_back(root, realRoots.back());
    }
    if (oneFileSystem)
        m_foreignMounts = foreignMountPoints(mounts, realRoots);
    if (detectBindMounts && !realRoots.empty())
        m_bindTargets = bindTargets(mounts, realRoots, oneFileSystem, deviceOf, m_deviceGroups);
}

std::string Boundaries::canonical(const std::string& path) const {
    for (const auto& [from, to] : m_rewritePairs)
        if (isPathWithin(path, from))
            return from == to ? path : replacePrefix(path, from, to);
    return path;
}

const std::unordered_set<std::string>* Boundaries::foreignMountsIn(const std::string& folderPath) const {
    if (m_foreignMounts.empty())
        return nullptr;
    std::string path = canonical(folderPath);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const auto found = m_foreignMounts.find(path);
    return found == m_foreignMounts.end() ? nullptr : &found->second;
}

bool Boundaries::onOtherFileSystem(uint64_t entryDevice, uint64_t rootDevice) const {
    if (!m_oneFileSystem || entryDevice == rootDevice)
        return false;
    const auto e = m_deviceGroups.find(entryDevice);
    const auto r = m_deviceGroups.find(rootDevice);
    return (e == m_deviceGroups.end() ? entryDevice : e->second) != (r == m_deviceGroups.end() ? rootDevice : r->second);
}

std::optional<std::string> Boundaries::bindSource(const std::string& folderPath, std::string_view name) const {
    if (m_bindTargets.empty())
        return std::nullopt;
    std::string path = folderPath;
    for (const auto& [from, to] : m_rewritePairs) {
        if (from != to && isPathWithin(folderPath, from)) {
            path = replacePrefix(folderPath, from, to);
            break;
        }
    }
    if (path.empty() || path.back() != '/')
        path += '/';
    path.append(name);
    const auto found = m_bindTargets.find(path);
    if (found == m_bindTargets.end())
        return std::nullopt;
    const std::string& source = found->second;
    for (const auto& [from, to] : m_rewritePairs)
        if (from != to && isPathWithin(source, to))
            return replacePrefix(source, to, from);
    return source;
}

}  // namespace svl
