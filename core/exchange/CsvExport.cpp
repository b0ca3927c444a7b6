#include "core/exchange/CsvExport.h"

#include "core/exchange/WriteAll.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "core/analysis/Parallel.h"
#include "core/exchange/CsvFormat.h"
#include "core/tree/Attributes.h"
#include "core/tree/ScanTree.h"

namespace svl {

namespace {

constexpr uint32_t kRowsPerBlock = 8192;
// A block's text stays near this size whatever the path lengths, so the buffers of a batch
// of blocks take a few MiB each instead of growing with the paths.
constexpr uint64_t kBlockBytes = uint64_t(1) << 20;
// Bytes of a row besides its path, for sizing blocks; a guess on the large side.
constexpr uint64_t kRowBytesBesidesPath = 256;
constexpr uint32_t kFoldersPerSortTask = 256;
constexpr uint32_t kOwnSortChildren = 100000;

// Sibling order: the chosen key (largest or newest first), then the name without regard
// to ASCII case, then the shorter name, then the lower id: a strict total order.
class RowOrder {
public:
    RowOrder(const ScanTree& tree, int32_t sortBy) : m_nodes(tree.nodes), m_sortBy(sortBy) {}

    bool operator()(uint32_t a, uint32_t b) const {
        const ScanNode& x = m_nodes[a];
        const ScanNode& y = m_nodes[b];
        switch (m_sortBy) {
        case 1:
            if (x.size != y.size)
                return x.size > y.size;
            break;
        case 2:
            if (x.allocated != y.allocated)
                return x.allocated > y.allocated;
            break;
        case 3:
            if (x.modified != y.modified)
                return x.modified > y.modified;
            break;
        default:
            break;
        }
        const unsigned char* p = reinterpret_cast<const unsigned char*>(x.name);
        const unsigned char* q = reinterpret_cast<const unsigned char*>(y.name);
        const size_t n = std::min(x.nameLength, y.nameLength);
        for (size_t i = 0; i < n; ++i) {
            unsigned c = p[i], d = q[i];
            if (c >= 'A' && c <= 'Z')
                c += 'a' - 'A';
            if (d >= 'A' && d <= 'Z')
                d += 'a' - 'A';
            if (c != d)
                return c < d;
        }
        if (x.nameLength != y.nameLength)
            return x.nameLength < y.nameLength;
        return a < b;
    }

private:
    const ScanNode* m_nodes;
    int32_t m_sortBy;
};

struct StackEntry {
    uint32_t id;
    int32_t level;
};

bool skipped(const ScanTree& tree, const StackEntry& e, int32_t maxDepth) {
    if (e.id >= tree.nodeCount)
        return true;
    if (tree.nodes[e.id].flags & NodeFlag::Removed)
        return true;
    return maxDepth > 0 && e.level > maxDepth;
}

// Fills perm[firstChild .. firstChild + childCount) of every folder reached from `ids`
// that has two or more children with its children in row order.
void sortChildren(const ScanTree& tree, const std::vector<uint32_t>& ids, int32_t maxDepth, int32_t sortBy,
                  std::vector<uint32_t>& perm) {
    std::vector<uint32_t> small, large;
    std::vector<StackEntry> stack;
    for (uint32_t id : ids)
        stack.push_back({id, 0});
    while (!stack.empty()) {
        const StackEntry e = stack.back();
        stack.pop_back();
        if (skipped(tree, e, maxDepth))
            continue;
        const ScanNode& n = tree.nodes[e.id];
        if (!n.isFolder() || n.childCount == 0)
            continue;
        const bool virtualRoot = n.flags & NodeFlag::VirtualRoot;
        const int32_t level = virtualRoot ? e.level : e.level + 1;
        if (maxDepth > 0 && level > maxDepth)
            continue;
        if (!virtualRoot && n.childCount >= 2)
            (n.childCount >= kOwnSortChildren ? large : small).push_back(e.id);
        for (uint32_t i = 0; i < n.childCount; ++i)
            stack.push_back({n.firstChild + i, level});
    }
    const RowOrder less(tree, sortBy);
    auto fill = [&](uint32_t folder) {
        const ScanNode& n = tree.nodes[folder];
        uint32_t* slots = perm.data() + n.firstChild;
        for (uint32_t i = 0; i < n.childCount; ++i)
            slots[i] = n.firstChild + i;
        return slots;
    };
    for (uint32_t folder : large) {
        uint32_t* slots = fill(folder);
        parallelMergeSort(slots, tree.nodes[folder].childCount, less);
    }
    const uint64_t tasks = (small.size() + kFoldersPerSortTask - 1) / kFoldersPerSortTask;
    parallelFor(tasks, [&](uint64_t task) {
        const size_t end = std::min<size_t>(small.size(), (task + 1) * kFoldersPerSortTask);
        for (size_t i = task * kFoldersPerSortTask; i < end; ++i) {
            uint32_t* slots = fill(small[i]);
            std::sort(slots, slots + tree.nodes[small[i]].childCount, less);
        }
    });
}

// A root the scan could not reach (missing, denied, not answering) holds nothing it read.
bool unreachedRoot(const ScanTree& tree, uint32_t id) {
    return std::any_of(tree.unreachedRoots.begin(), tree.unreachedRoots.end(),
                       [id](const auto& root) { return root.first == id; });
}

std::vector<uint32_t> listRows(const ScanTree& tree, const std::vector<uint32_t>& ids, bool listedOnly,
                               const CsvExportOptions& options, const std::vector<uint32_t>& perm) {
    std::vector<uint32_t> rows;
    std::vector<StackEntry> stack;
    for (size_t i = ids.size(); i-- > 0;)
        stack.push_back({ids[i], 0});
    while (!stack.empty()) {
        const StackEntry e = stack.back();
        stack.pop_back();
        if (skipped(tree, e, options.maxDepth) || (e.level == 0 && unreachedRoot(tree, e.id)))
            continue;
        const ScanNode& n = tree.nodes[e.id];
        if (n.flags & NodeFlag::VirtualRoot) {
            for (uint32_t i = n.childCount; i-- > 0;)
                stack.push_back({n.firstChild + i, e.level});
            continue;
        }
        if (!n.isFolder()) {
            if (options.exportFiles)
                rows.push_back(e.id);
            continue;
        }
        if (options.exportFolders)
            rows.push_back(e.id);
        if (listedOnly || n.childCount == 0)
            continue;
        if (n.childCount == 1) {
            stack.push_back({n.firstChild, e.level + 1});
            continue;
        }
        for (uint32_t i = n.childCount; i-- > 0;)
            stack.push_back({perm[n.firstChild + i], e.level + 1});
    }
    return rows;
}

// Where each block of rows starts, and rows.size() at the end: a block ends at kRowsPerBlock
// rows or once its text is likely past kBlockBytes, judged by the lengths of its paths.
std::vector<uint64_t> blockStarts(const ScanTree& tree, const std::vector<uint32_t>& rows) {
    // Path length of every node in one pass: a parent's id is below its children's.
    std::vector<uint32_t> pathLength(tree.nodeCount);
    for (uint32_t id = 0; id < tree.nodeCount; ++id) {
        const ScanNode& n = tree.nodes[id];
        const uint64_t own = n.nameLength + (id == 0 ? 0 : uint64_t(pathLength[n.parent]) + 1);
        pathLength[id] = uint32_t(std::min<uint64_t>(own, UINT32_MAX));
    }
    std::vector<uint64_t> starts{0};
    uint64_t bytes = 0;
    for (uint64_t r = 0; r < rows.size(); ++r) {
        if (r - starts.back() == kRowsPerBlock || bytes >= kBlockBytes) {
            starts.push_back(r);
            bytes = 0;
        }
        bytes += pathLength[rows[r]] + kRowBytesBesidesPath;
    }
    starts.push_back(rows.size());
    return starts;
}

bool localOffset(int64_t seconds, long& offset) {
    const time_t t = time_t(seconds);
    struct tm parts;
    if (!localtime_r(&t, &parts))
        return false;
    offset = parts.tm_gmtoff;
    return true;
}

// The local offset from UTC over a span of times, found once before the rows are built: the
// C library's conversion reads the zone file on every call and serialises the threads.
// The offset is sampled every `step` seconds and every change is searched down to its
// second; two changes less than a step apart that undo each other are not seen.
class LocalOffsets {
public:
    void build(int64_t lo, int64_t hi, int64_t step) {
        long current;
        if (!localOffset(lo, current))
            return;
        std::vector<std::pair<int64_t, long>> changes{{lo, current}};
        for (int64_t t = lo; t < hi;) {
            const int64_t next = hi - t > step ? t + step : hi;
            long offset;
            if (!localOffset(next, offset))
                return;
            if (offset != current) {
                int64_t before = t, after = next;  // offset(before) == current, offset(after) differs
                while (after - before > 1) {
                    const int64_t mid = before + (after - before) / 2;
                    long m;
                    if (!localOffset(mid, m))
                        return;
                    if (m == current)
                        before = mid;
                    else
                        after = mid;
                }
                long atChange;
                if (!localOffset(after, atChange))
                    return;
                changes.push_back({after, atChange});
                current = atChange;
                if (atChange != offset) {
                    t = after;  // another change follows within the hour: search on from here
                    continue;
                }
            }
            t = next;
        }
        m_changes = std::move(changes);
        m_lo = lo;
        m_hi = hi;
    }

    bool find(int64_t t, long& offset) const {
        if (m_changes.empty() || t < m_lo || t > m_hi)
            return false;
        auto it = std::upper_bound(m_changes.begin(), m_changes.end(), t,
                                   [](int64_t v, const std::pair<int64_t, long>& c) { return v < c.first; });
        offset = std::prev(it)->second;
        return true;
    }

private:
    std::vector<std::pair<int64_t, long>> m_changes;  // from this second on, this offset
    int64_t m_lo = 0;
    int64_t m_hi = -1;
};

// Builds the rows of one block into its text buffer; each block is built by one thread.
class RowWriter {
public:
    RowWriter(const ScanTree& tree, const CsvExportOptions& options, uint64_t driveCapacity, uint64_t driveFree,
              const LocalOffsets& offsets)
        : m_tree(tree),
          m_offsets(offsets),
          m_options(options),
          m_separator(options.tabSeparated ? '\t' : ','),
          m_virtualRoot(tree.nodeCount > 0 && (tree.nodes[0].flags & NodeFlag::VirtualRoot)),
          m_withBind(!tree.bindSources.empty()),
          m_driveCapacity(driveCapacity),
          m_driveFree(driveFree) {}

    void writeRow(uint32_t id, std::string& out);

private:
    void buildPath(uint32_t id, std::string& out);
    void appendDate(std::string& out, int64_t seconds);
    void appendLibraryDate(std::string& out, int64_t seconds);
    uint64_t parentInode(uint32_t id);

    const ScanTree& m_tree;
    const LocalOffsets& m_offsets;
    const CsvExportOptions& m_options;
    char m_separator;
    bool m_virtualRoot;
    bool m_withBind;
    uint64_t m_driveCapacity;
    uint64_t m_driveFree;
    std::vector<uint32_t> m_chain;
    std::string m_path;
    std::string m_parentPath;
    std::string m_extension;
    // The last parent whose inode was looked up.
    uint32_t m_lastParent = UINT32_MAX;
    uint64_t m_lastParentInode = 0;
};

void RowWriter::buildPath(uint32_t id, std::string& out) {
    m_chain.clear();
    for (uint32_t at = id; at != 0; at = m_tree.nodes[at].parent)
        m_chain.push_back(at);
    out.clear();
    size_t next = m_chain.size();
    if (m_virtualRoot) {
        if (m_chain.empty())
            return;
        out.assign(m_tree.nodes[m_chain.back()].nameView());
        --next;
    } else {
        out.assign(m_tree.nodes[0].nameView());
    }
    while (next > 0) {
        if (out.empty() || out.back() != '/')
            out += '/';
        out.append(m_tree.nodes[m_chain[--next]].nameView());
    }
}

void RowWriter::appendLibraryDate(std::string& out, int64_t seconds) {
    const time_t t = time_t(seconds);
    struct tm parts;
    if (!localtime_r(&t, &parts)) {
        appendCsvDate(out, seconds);
        return;
    }
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%04lld/%02d/%02d %02d:%02d:%02d", parts.tm_year + 1900LL,
                                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    out.append(text, size_t(n));
}

void RowWriter::appendDate(std::string& out, int64_t seconds) {
    if (m_options.utcTimes) {
        appendCsvDate(out, seconds);
        return;
    }
    long known;
    int64_t shifted;
    if (m_offsets.find(seconds, known) && !__builtin_add_overflow(seconds, int64_t(known), &shifted)) {
        appendCsvDate(out, shifted);
        return;
    }
    // Times too sparse for the sampled offsets: each one through the C library, which also
    // sees clock changes any distance apart.
    appendLibraryDate(out, seconds);
}

uint64_t RowWriter::parentInode(uint32_t id) {
    if (id == 0)
        return 0;
    const uint32_t parent = m_tree.nodes[id].parent;
    if (parent == 0 && m_virtualRoot)
        return 0;
    if (parent == m_lastParent)
        return m_lastParentInode;
    m_lastParent = parent;
    m_lastParentInode = 0;
    buildPath(parent, m_parentPath);
    struct statx sx;
    if (statx(AT_FDCWD, m_parentPath.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO, &sx) == 0 && (sx.stx_mask & STATX_INO))
        m_lastParentInode = sx.stx_ino;
    return m_lastParentInode;
}

void RowWriter::writeRow(uint32_t id, std::string& out) {
    const ScanNode& n = m_tree.nodes[id];
    const bool folder = n.isFolder();
    const char sep = m_separator;
    buildPath(id, m_path);
    const size_t pathLength = m_path.size();  // without a folder's trailing "/"

    // Quoted path, "/" after a folder's.
    out += '"';
    {
        size_t from = 0;
        for (;;) {
            const size_t quote = m_path.find('"', from);
            if (quote == std::string::npos) {
                out.append(m_path, from, std::string::npos);
                break;
            }
            out.append(m_path, from, quote + 1 - from);
            out += '"';
            from = quote + 1;
        }
    }
    if (folder && (m_path.empty() || m_path.back() != '/'))
        out += '/';
    out += '"';
    out += sep;
    appendCsvNumber(out, n.size);
    out += sep;
    if (n.flags & NodeFlag::ExtraHardLink)
        out += '0';
    appendCsvNumber(out, n.allocated);
    out += sep;
    int64_t modified = n.modified;
    if (folder && m_options.folderNewestModified && id < m_tree.newestTimes.size())
        modified = m_tree.newestTimes[id];
    appendDate(out, modified);
    out += sep;
    appendCsvNumber(out, attributeBits(n, true, n.nameView()));
    out += sep;
    appendCsvNumber(out, folder ? n.filesBelow : 0);
    out += sep;
    appendCsvNumber(out, folder ? n.foldersBelow : 0);

    if (m_options.exportFileId || m_options.exportDates) {
        struct statx sx;
        const char* statPath = m_path.empty() ? "/" : m_path.c_str();
        const bool ok = statx(AT_FDCWD, statPath, AT_SYMLINK_NOFOLLOW,
                              STATX_INO | STATX_ATIME | STATX_BTIME, &sx) == 0;
        if (m_options.exportFileId) {
            out += sep;
            appendCsvNumber(out, ok && (sx.stx_mask & STATX_INO) ? sx.stx_ino : 0);
            out += sep;
            appendCsvNumber(out, parentInode(id));
        }
        if (m_options.exportDates) {
            out += sep;
            appendDate(out, ok && (sx.stx_mask & STATX_ATIME) ? sx.stx_atime.tv_sec : 0);
            out += sep;
            appendDate(out, ok && (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : 0);
        }
    }
    if (m_options.exportFolderSizes) {
        uint64_t size = n.size, allocated = (n.flags & NodeFlag::ExtraHardLink) ? 0 : n.allocated;
        if (folder) {
            const DirectFilesSummary direct = m_tree.directFilesSummary(id);
            size = direct.size;
            allocated = direct.allocated;
        }
        out += sep;
        appendCsvNumber(out, size);
        out += sep;
        appendCsvNumber(out, allocated);
    }
    if (m_options.splitFileName) {
        out += sep;
        out += "\"\"";
        out += sep;
        const std::string_view path(m_path.data(), pathLength);
        appendCsvQuoted(out, id == 0 ? std::string_view() : csvFolderPart(path));
        out += sep;
        appendCsvQuoted(out, csvFileNamePart(n.nameView()));
        out += sep;
        m_extension.clear();
        appendCsvFileExtension(m_extension, n.nameView());
        appendCsvQuoted(out, m_extension);
    }
    if (m_options.exportPercentOfParent) {
        out += sep;
        if (id == 0) {
            out += "100.000";
        } else {
            const uint64_t parentSize = m_tree.nodes[n.parent].size;
            if (parentSize == 0) {
                out += "0.000";
            } else {
                char text[48];
                // A saturated parent can fall below a child once a sibling is removed.
                const double percent = std::min(100.0, double(n.size) * 100.0 / double(parentSize));
                const int len = std::snprintf(text, sizeof text, "%1.3f", percent);
                out.append(text, size_t(len));
            }
        }
    }
    if (m_options.exportDriveCapacity) {
        if (id == 0 && m_driveCapacity != 0) {
            out += sep;
            appendCsvNumber(out, m_driveCapacity);
            out += sep;
            appendCsvNumber(out, m_driveFree);
            out += sep;
            appendCsvNumber(out, m_driveFree > m_driveCapacity ? 0 : m_driveCapacity - m_driveFree);
            out += sep;
            out += '0';
        } else {
            out.append(4, sep);
        }
    }
    if (m_withBind) {
        out += sep;
        if (folder && (n.flags & NodeFlag::BindMount)) {
            const auto it = m_tree.bindSources.find(id);
            if (it != m_tree.bindSources.end() && !it->second.empty())
                appendCsvQuoted(out, it->second);
        }
    }
    out += '\n';
}

void fail(std::string* error, const char* message) {
    if (error)
        *error = message;
}

// A fixed message, a line feed and the system's text for the failed call's errno.
void failWithCause(std::string* error, const char* message, int code) {
    if (error)
        *error = std::string(message) + '\n' + std::strerror(code);
}

}  // namespace

std::string csvHeaderLine(const CsvExportOptions& options, bool withBindMounts) {
    const char sep = options.tabSeparated ? '\t' : ',';
    std::string line;
    auto add = [&](const char* name) {
        if (!line.empty())
            line += sep;
        line += name;
    };
    for (const char* name : kCsvFixedColumns)
        add(name);
    if (options.exportFileId) {
        add("FILEID");
        add("PARENTFILEID");
    }
    if (options.exportDates) {
        add("LASTACCESSDATE");
        add("CREATEDDATE");
    }
    if (options.exportFolderSizes) {
        add("FOLDERSIZE");
        add("FOLDERALLOCATED");
    }
    if (options.splitFileName) {
        add("ROOT");
        add("FOLDERNAME");
        add("FILENAME");
        add("FILEEXT");
    }
    if (options.exportPercentOfParent)
        add("PERCENTOFPARENT");
    if (options.exportDriveCapacity) {
        add("DRIVECAPACITY");
        add("FREESPACE");
        add("USEDSPACE");
        add("RESERVEDSPACE");
    }
    if (withBindMounts)
        add("BINDMOUNTOF");
    return line;
}

bool exportCsv(const ScanTree& tree, const std::vector<uint32_t>& ids, bool listedOnly,
               const CsvExportOptions& options, uint64_t driveCapacity, uint64_t driveFree, const std::string& path,
               std::string* error) {
    if (!options.exportFiles && !options.exportFolders) {
        fail(error, "Either one or both of \"Export Files\" and \"Export Folders\" must be selected.");
        return false;
    }
    if (ids.empty() || tree.nodeCount == 0 ||
        std::all_of(ids.begin(), ids.end(), [&](uint32_t id) { return unreachedRoot(tree, id); })) {
        fail(error, "There's nothing to export.");
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        failWithCause(error, "Couldn't create the file.", errno);
        return false;
    }
    // Closed on every way out; a failed close of a fully written file is a failed write.
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0)
                ::close(fd);
        }
    } closer{fd};

    std::string text = csvHeaderLine(options, !tree.bindSources.empty());
    text += '\n';
    bool ok = writeAll(fd, text.data(), text.size());
    int cause = ok ? 0 : errno;

    std::vector<uint32_t> perm;
    if (!listedOnly) {
        perm.resize(tree.nodeCount);
        sortChildren(tree, ids, options.maxDepth, options.sortBy, perm);
    }
    const std::vector<uint32_t> rows = listRows(tree, ids, listedOnly, options, perm);
    perm = std::vector<uint32_t>();

    // The span of the Modified times, when sampling it hourly costs no more than the rows. The
    // step is finer where the rows are dense (a sixteenth of a row's share of the span, at
    // least a minute), so that two clock changes within one hour are still told apart.
    LocalOffsets offsets;
    if (!options.utcTimes && !rows.empty()) {
        int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (uint32_t id : rows) {
            const ScanNode& n = tree.nodes[id];
            int64_t t = n.modified;
            if (n.isFolder() && options.folderNewestModified && id < tree.newestTimes.size())
                t = tree.newestTimes[id];
            lo = std::min(lo, t);
            hi = std::max(hi, t);
        }
        int64_t span;
        if (!__builtin_sub_overflow(hi, lo, &span) && span <= int64_t(rows.size()) * 3600)
            offsets.build(lo, hi, std::clamp<int64_t>(16 * span / int64_t(rows.size()), 60, 3600));
    }

    const std::vector<uint64_t> starts = blockStarts(tree, rows);
    const uint64_t blocks = starts.size() - 1;
    const uint64_t batch = std::max<uint64_t>(1, 2 * uint64_t(hardwareThreadCount()));
    std::vector<std::string> buffers(std::min(batch, blocks));
    for (uint64_t first = 0; ok && first < blocks; first += batch) {
        const uint64_t count = std::min(batch, blocks - first);
        parallelFor(count, [&](uint64_t j) {
            RowWriter writer(tree, options, driveCapacity, driveFree, offsets);
            std::string& out = buffers[j];
            out.clear();
            for (uint64_t r = starts[first + j]; r < starts[first + j + 1]; ++r)
                writer.writeRow(rows[r], out);
            if (out.capacity() > 2 * kBlockBytes && out.size() < kBlockBytes / 2)
                out.shrink_to_fit();
        });
        for (uint64_t j = 0; ok && j < count; ++j) {
            ok = writeAll(fd, buffers[j].data(), buffers[j].size());
            cause = ok ? 0 : errno;
        }
    }
    closer.fd = -1;
    if (::close(fd) != 0 && ok) {
        ok = false;
        cause = errno;
    }
    if (!ok) {
        failWithCause(error, "Couldn't write the file.", cause);
        return false;
    }
    return true;
}

}  // namespace svl
