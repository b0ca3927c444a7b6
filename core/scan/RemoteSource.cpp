#include "core/scan/RemoteSource.h"

#include <cmath>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "core/analysis/FilterMatch.h"
#include "core/scan/MountTable.h"
#include "core/scan/ScanDriver.h"
#include "core/smb/SmbMount.h"
#include "core/tree/Attributes.h"
#include "core/tree/ScanTree.h"
#include "core/tree/Saturating.h"

namespace svl {

namespace {

constexpr uint32_t kKnownAttributes = 0x867;
constexpr int kAccessDenied = 13;
constexpr int kNotPermitted = 1;

// Seconds truncated toward zero; values a 64-bit count cannot hold become 0 or the limit.
int64_t wholeSeconds(double t) {
    if (!std::isfinite(t))
        return 0;
    if (t >= 9.2e18)
        return INT64_MAX;
    if (t <= -9.2e18)
        return INT64_MIN;
    return static_cast<int64_t>(t);
}

// A folder the walk expects to be listed.
struct Pending {
    uint32_t node;
    std::string localPath;  // for the exclusion filter only
    double weight;
    int32_t listing;  // index of the parent's listing in Walk::listings, -1 for the start
};

// A folder already listed, by the fingerprint of its entries, for finding listings that
// repeat an ancestor's (a server that follows a symbolic link back up the tree).
struct Listing {
    uint64_t fingerprint;
    int32_t parent;
};

uint64_t mix(uint64_t h, uint64_t v) {
    h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h * 0xff51afd7ed558ccdull;
}

uint64_t fingerprint(const RemoteEntry* entries, int count) {
    uint64_t h = uint64_t(count);
    for (int i = 0; i < count; ++i) {
        const RemoteEntry& e = entries[i];
        uint64_t nameHash = 0xcbf29ce484222325ull;
        for (const char* p = e.name; p && *p; ++p)
            nameHash = (nameHash ^ uint8_t(*p)) * 0x100000001b3ull;
        uint64_t bits = 0;
        std::memcpy(&bits, &e.mtime, sizeof bits);
        h = mix(h, nameHash);
        h = mix(h, (uint64_t(e.isDir) << 1) | uint64_t(e.isLink) | (uint64_t(e.attributes) << 2));
        h = mix(h, e.size);
        h = mix(h, bits);
    }
    return h;
}

bool usableName(const char* name) {
    return name && name[0] && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

class Walk {
public:
    Walk(ScanTree& tree, const ScanOptions& options, ScanProgress* progress, std::atomic<unsigned long>& errors)
        : m_tree(tree), m_options(options), m_progress(progress), m_errors(errors) {}

    void expect(std::string remotePath, Pending pending) { m_pending.emplace(std::move(remotePath), std::move(pending)); }

    void visit(const std::string& folder, const RemoteEntry* entries, int count, unsigned char* descend, int error) {
        if (count < 0 || !entries)
            count = 0;
        const auto found = m_pending.find(folder);
        if (found == m_pending.end()) {
            clearAll(descend, count);
            return;
        }
        const Pending p = std::move(found->second);
        m_pending.erase(found);

        if (error != 0) {
            ScanNode& f = m_tree.nodes[p.node];
            f.flags |= NodeFlag::Unreadable;
            if (error == kAccessDenied || error == kNotPermitted)
                f.flags |= NodeFlag::AccessDenied;
            ++m_errors;
            if (m_progress) {
                ++m_progress->errorCount;
                m_progress->addFraction(p.weight);
            }
            clearAll(descend, count);
            return;
        }
        if (count == 0) {
            done(p.weight);
            return;
        }
        const uint64_t print = fingerprint(entries, count);
        for (int32_t at = p.listing; at >= 0; at = m_listings[size_t(at)].parent) {
            if (m_listings[size_t(at)].fingerprint == print) {
                // The same folder seen again through a link: counted once, not entered again.
                clearAll(descend, count);
                done(p.weight);
                return;
            }
        }
        const int32_t listing = int32_t(m_listings.size());
        m_listings.push_back({print, p.listing});

        m_kept.clear();
        uint64_t nameBytes = 0;
        for (int i = 0; i < count; ++i) {
            const RemoteEntry& e = entries[i];
            if (!usableName(e.name) || excluded(e, p.localPath)) {
                if (descend)
                    descend[i] = 0;
                continue;
            }
            m_kept.push_back(i);
            nameBytes += std::strlen(e.name) + 1;
        }
        if (m_kept.empty()) {
            done(p.weight);
            return;
        }

        const uint32_t k = uint32_t(m_kept.size());
        char* names = m_tree.allocateNames(nameBytes);
        const uint32_t first = m_tree.allocateNodes(k);
        uint64_t files = 0, folders = 0, allocated = 0;
        m_descend.clear();
        for (uint32_t j = 0; j < k; ++j) {
            const RemoteEntry& e = entries[m_kept[j]];
            const size_t length = std::strlen(e.name);
            std::memcpy(names, e.name, length + 1);
            ScanNode& n = m_tree.nodes[first + j];
            n = ScanNode{};
            n.name = names;
            names += length + 1;
            n.parent = p.node;
            n.nameLength = uint16_t(std::min<size_t>(length, kMaxNameLength));
            n.modified = wholeSeconds(e.mtime);
            n.flags = flagsFromAttributes(e.attributes & kKnownAttributes);
            if (e.isDir) {
                n.flags |= NodeFlag::Folder;
                ++folders;
                if (descend && descend[m_kept[j]])
                    m_descend.push_back(j);
            } else {
                n.size = e.size;
                n.allocated = e.allocated;
                if (e.isLink)
                    n.flags |= NodeFlag::Symlink;
                ++files;
                allocated = saturatingAdd(allocated, e.allocated);
            }
        }
        if (descend)
            for (int i = 0; i < count; ++i)
                if (!entries[i].isDir)
                    descend[i] = 0;
        ScanNode& f = m_tree.nodes[p.node];
        f.firstChild = first;
        f.childCount = k;

        if (m_descend.empty()) {
            done(p.weight);
        } else {
            const double share = p.weight / double(m_descend.size());
            for (const uint32_t j : m_descend) {
                const std::string_view name = m_tree.nodes[first + j].name;
                std::string remote = folder.empty() ? std::string(name) : folder + "/" + std::string(name);
                std::string local = p.localPath;
                if (local.empty() || local.back() != '/')
                    local += '/';
                local.append(name);
                expect(std::move(remote), Pending{first + j, std::move(local), share, listing});
            }
        }
        if (m_progress) {
            m_progress->files += files;
            m_progress->folders += folders;
            m_progress->allocatedBytes += allocated;
        }
    }

private:
    static void clearAll(unsigned char* descend, int count) {
        if (descend)
            std::memset(descend, 0, size_t(count));
    }

    void done(double weight) {
        if (m_progress)
            m_progress->addFraction(weight);
    }

    bool excluded(const RemoteEntry& e, const std::string& folderPath) const {
        if (!m_options.exclude)
            return false;
        FilterEntry fe;
        fe.name = e.name;
        fe.folderPath = folderPath;
        fe.isFolder = e.isDir;
        fe.size = e.isDir ? 0 : e.size;
        fe.allocated = e.isDir ? 0 : e.allocated;
        fe.modified = wholeSeconds(e.mtime);
        return filterMatchesEntry(fe, *m_options.exclude);
    }

    ScanTree& m_tree;
    const ScanOptions& m_options;
    ScanProgress* m_progress;
    std::atomic<unsigned long>& m_errors;
    std::unordered_map<std::string, Pending> m_pending;
    std::vector<Listing> m_listings;
    std::vector<int> m_kept;
    std::vector<uint32_t> m_descend;
};

}  // namespace

std::optional<SmbMountInfo> RemoteProvider::findSmbMount(const std::string& path) {
    return smbMountFor(readMountInfo(), path);
}

int scanRemoteInto(ScanTree& tree, uint32_t parentId, const std::string& localPath, const std::string& start,
                   RemoteSource& source, const ScanOptions& options, ScanProgress* progress, double weight,
                   std::atomic<unsigned long>& errorCounter) {
    Walk walk(tree, options, progress, errorCounter);
    walk.expect(start, Pending{parentId, localPath, weight, -1});
    const std::function<bool()> cancelled = [progress] { return progress && progress->cancel.load(); };
    std::string error;
    const int result = source.walk(
        start,
        [&walk](const std::string& folder, const RemoteEntry* entries, int count, unsigned char* descend, int code) {
            walk.visit(folder, entries, count, descend, code);
        },
        cancelled, error);
    if (const unsigned long dropped = source.droppedEntries()) {
        errorCounter += dropped;
        if (progress)
            progress->errorCount += dropped;
    }
    return result;
}

}  // namespace svl
