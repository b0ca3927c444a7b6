#include "core/exchange/CsvImport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/analysis/LargeArray.h"
#include "core/analysis/Parallel.h"
#include "core/exchange/CsvFormat.h"
#include "core/exchange/CsvRowParser.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/Saturating.h"
#include "core/tree/ScanTree.h"

namespace svl {

namespace {

constexpr uint32_t kNoParent = UINT32_MAX;
constexpr uint32_t kCancelStride = 65536;
const char* const kReadFailed = "Couldn't read the file.";
const char* const kNoRows = "No rows found. This doesn't look like a Sorvale CSV file.";
const char* const kOutOfMemory = "Out of memory.";
const char* const kNotATree = "The rows don't form a folder tree.";

// The whole file read into memory. Not a shared mapping: a file that another program
// truncates meanwhile would end the process with SIGBUS on the first page past its end.
class FileContents {
public:
    // False for anything but a readable regular file (a FIFO would wait for a writer
    // forever) and when the file shrinks while it is read. Throws std::bad_alloc for a file
    // larger than `limit` bytes (0: no limit) or when the buffer can't be had.
    bool read(const std::string& path, uint64_t limit) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return false;
        struct Closer {
            int fd;
            ~Closer() { close(fd); }
        } closer{fd};
        return readAll(fd, limit);
    }
    const char* data() const { return m_data ? m_data->get() : nullptr; }
    size_t size() const { return m_size; }

private:
    bool readAll(int fd, uint64_t limit) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
            return false;
        const size_t size = size_t(st.st_size);
        if (limit != 0 && size > limit)
            throw std::bad_alloc();
        m_data = std::make_unique<LargeArray<char>>(size);
        char* out = m_data->get();
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pread(fd, out + done, std::min<size_t>(size - done, size_t(1) << 30), off_t(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        m_size = size;
        return true;
    }

    std::unique_ptr<LargeArray<char>> m_data;
    size_t m_size = 0;
};

struct MemoryFigures {
    uint64_t available = 0;
    uint64_t swapFree = 0;
};

MemoryFigures readMemoryFigures() {
    MemoryFigures figures;
    FILE* f = std::fopen("/proc/meminfo", "re");
    if (!f)
        return figures;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long kb = 0;
        if (std::sscanf(line, "MemAvailable: %llu", &kb) == 1)
            figures.available = kb * 1024;
        else if (std::sscanf(line, "SwapFree: %llu", &kb) == 1)
            figures.swapFree = kb * 1024;
    }
    std::fclose(f);
    return figures;
}

void setPhase(ScanProgress* progress, int32_t phase, int32_t percent) {
    if (!progress)
        return;
    std::atomic_ref<int32_t>(progress->phase).store(phase, std::memory_order_relaxed);
    std::atomic_ref<int32_t>(progress->percent).store(percent, std::memory_order_relaxed);
}

bool cancelled(const ScanProgress* progress) {
    return progress && progress->cancel.load(std::memory_order_relaxed);
}

// Chunks are parsed ahead by the workers and merged strictly in file order.
struct ParseState {
    const char* file = nullptr;
    uint64_t base = 0;
    std::vector<uint64_t> bounds;
    uint64_t rowsPerChunk = 0;
    uint64_t readAhead = 3;
    std::mutex mutex;
    std::condition_variable wake;
    uint64_t nextChunk = 0;
    uint64_t merged = 0;
    bool stop = false;
    bool failed = false;  // a worker ran out of memory outside a chunk
    std::vector<std::unique_ptr<CsvChunk>> slots;
    // Merged chunks kept with their storage, so that parsing does not fault in fresh pages.
    std::vector<std::unique_ptr<CsvChunk>> spare;

    uint64_t chunkCount() const { return bounds.size() - 1; }

    std::unique_ptr<CsvChunk> takeSpare() {
        std::lock_guard<std::mutex> lock(mutex);
        if (spare.empty())
            return std::make_unique<CsvChunk>();
        std::unique_ptr<CsvChunk> chunk = std::move(spare.back());
        spare.pop_back();
        return chunk;
    }
    void giveBack(std::unique_ptr<CsvChunk> chunk) {
        chunk->rows.clear();
        chunk->paths.clear();
        chunk->text.clear();
        chunk->bindSources.clear();
        chunk->bytes = chunk->fileRows = chunk->folderRows = 0;
        chunk->outOfMemory = false;
        std::lock_guard<std::mutex> lock(mutex);
        spare.push_back(std::move(chunk));
    }
};

std::unique_ptr<CsvChunk> parseChunk(ParseState& state, CsvChunkParser& parser, uint64_t k) {
    std::unique_ptr<CsvChunk> chunk = state.takeSpare();
    try {
        parser.parse(state.file, state.base + state.bounds[k], state.base + state.bounds[k + 1], *chunk,
                     state.rowsPerChunk);
    } catch (const std::bad_alloc&) {
        chunk->rows = {};
        chunk->paths = {};
        chunk->text = {};
        chunk->bindSources = {};
        chunk->outOfMemory = true;
    }
    return chunk;
}

void workerLoop(ParseState& state, CsvChunkParser parser) {
    for (;;) {
        uint64_t k;
        {
            std::unique_lock<std::mutex> lock(state.mutex);
            state.wake.wait(lock, [&] {
                return state.stop || state.nextChunk >= state.chunkCount() ||
                       state.nextChunk < state.merged + state.readAhead;
            });
            if (state.stop || state.nextChunk >= state.chunkCount())
                return;
            k = state.nextChunk++;
        }
        std::unique_ptr<CsvChunk> chunk;
        try {
            chunk = parseChunk(state, parser, k);
        } catch (const std::bad_alloc&) {
            std::lock_guard<std::mutex> lock(state.mutex);
            state.failed = true;
            state.wake.notify_all();
            return;
        }
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            state.slots[k] = std::move(chunk);
        }
        state.wake.notify_all();
    }
}

// Stops and joins the workers on every way out of the import.
class Workers {
public:
    explicit Workers(ParseState& state) : m_state(state) {}
    ~Workers() { stop(); }
    void start(unsigned count, ScanTree& tree, const CsvLayout& layout, char separator, bool backslash,
               const std::atomic<bool>* cancel, CsvHourCache* hours) {
        for (unsigned i = 0; i < count; ++i) {
            try {
                m_threads.emplace_back(workerLoop, std::ref(m_state),
                                       CsvChunkParser(tree, layout, separator, backslash, cancel, hours));
            } catch (...) {
                break;  // fewer workers; with none the merging thread parses by itself
            }
        }
    }
    size_t count() const { return m_threads.size(); }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(m_state.mutex);
            m_state.stop = true;
        }
        m_state.wake.notify_all();
        for (std::thread& t : m_threads)
            t.join();
        m_threads.clear();
    }

private:
    ParseState& m_state;
    std::vector<std::thread> m_threads;
};

// Storage for folder paths that lived in a chunk's buffer, which is freed after merging.
class PathArena {
public:
    const char* copy(const char* text, size_t length) {
        if (length > kBlock) {
            m_blocks.push_back(std::make_unique<char[]>(length));
            std::memcpy(m_blocks.back().get(), text, length);
            return m_blocks.back().get();
        }
        if (m_blocks.empty() || m_used + length > kBlock) {
            m_current = std::make_unique<char[]>(kBlock);
            m_blocks.push_back(nullptr);
            m_blocks.back().swap(m_current);
            m_used = 0;
        }
        char* at = m_blocks.back().get() + m_used;
        std::memcpy(at, text, length);
        m_used += length;
        return at;
    }

private:
    static constexpr size_t kBlock = 1 << 20;
    std::vector<std::unique_ptr<char[]>> m_blocks;
    std::unique_ptr<char[]> m_current;
    size_t m_used = 0;
};

struct FolderEntry {
    const char* path;
    uint32_t length;
    uint32_t id;
};

struct UnresolvedRow {
    uint32_t id;
    std::string path;
};

class TreeMerger {
public:
    TreeMerger(ScanTree& tree, const char* file) : m_tree(tree), m_file(file) {}

    // Adds one chunk's rows as consecutive nodes; false when the node array is out of step.
    bool merge(const CsvChunk& chunk);
    // Builds the final tree; returns an error text, or null on success (or on cancel).
    const char* build(ScanProgress* progress, uint64_t declaredRows, bool& wasCancelled);

    uint32_t rowNodes() const { return m_count; }

private:
    ScanTree& m_tree;
    const char* m_file;
    uint32_t m_count = 0;
    std::vector<FolderEntry> m_folders;
    std::vector<uint32_t> m_stack;
    std::vector<UnresolvedRow> m_unresolved;
    std::unordered_map<uint32_t, std::string> m_bind;
    PathArena m_arena;
};

bool TreeMerger::merge(const CsvChunk& chunk) {
    const uint32_t count = uint32_t(chunk.rows.size());
    if (count == 0)
        return true;
    if (uint64_t(m_count) + count >= kNoParent)
        throw std::bad_alloc();
    const uint32_t first = m_tree.allocateNodes(count);
    if (first != m_count)
        return false;
    ScanNode* const nodes = m_tree.nodes;
    for (uint32_t i = 0; i < count; ++i) {
        const CsvRow& row = chunk.rows[i];
        const CsvRowPath& rp = chunk.paths[i];
        const char* text = chunk.pathText(rp, m_file);
        const uint32_t id = first + i;
        const bool folder = row.flags & NodeFlag::Folder;
        uint32_t parent = kNoParent;
        if (rp.nameStart >= 0) {
            const uint32_t want = uint32_t(rp.nameStart) - 1;
            for (size_t s = m_stack.size(); s-- > 0;) {
                const FolderEntry& f = m_folders[m_stack[s]];
                if (f.length == want && std::memcmp(f.path, text, want) == 0) {
                    m_stack.resize(s + 1);
                    parent = f.id;
                    break;
                }
            }
        }
        if (parent == kNoParent) {
            m_unresolved.push_back({id, std::string(text, rp.length)});
            if (folder)
                m_stack.clear();
        }
        if (folder) {
            const char* kept = rp.inBuffer && rp.length ? m_arena.copy(text, rp.length) : text;
            m_stack.push_back(uint32_t(m_folders.size()));
            m_folders.push_back({kept, rp.length, id});
        }
        ScanNode& n = nodes[id];
        n = ScanNode{};
        n.name = row.name;
        n.nameLength = row.nameLength;
        n.size = row.size;
        n.allocated = row.allocated;
        n.modified = row.modified;
        n.parent = parent;
        n.flags = row.flags;
    }
    for (const auto& [index, source] : chunk.bindSources)
        m_bind.emplace(first + index, source);
    m_count += count;
    return true;
}

const char* TreeMerger::build(ScanProgress* progress, uint64_t declaredRows, bool& wasCancelled) {
    ScanNode* nodes = m_tree.nodes;
    // Rows whose folder row came later, or never: find their parents by path.
    bool needMap = false;
    for (const UnresolvedRow& u : m_unresolved)
        if (!u.path.empty() && u.path.find('/') != std::string::npos)
            needMap = true;
    if (needMap) {
        std::unordered_map<std::string_view, uint32_t> byPath;
        byPath.reserve(m_folders.size());
        for (const FolderEntry& f : m_folders)
            byPath.emplace(std::string_view(f.path, f.length), f.id);
        for (const UnresolvedRow& u : m_unresolved) {
            const size_t slash = u.path.rfind('/');
            if (u.path.empty() || slash == std::string::npos)
                continue;
            const auto it = byPath.find(std::string_view(u.path).substr(0, slash));
            if (it == byPath.end() || it->second == u.id)
                continue;
            ScanNode& n = nodes[u.id];
            n.parent = it->second;
            if (!n.name)
                n.name = appendCsvName(m_tree, u.path.data() + slash + 1, u.path.size() - slash - 1, n.nameLength);
        }
    }
    m_folders = {};
    m_stack = {};

    std::vector<uint32_t> roots;
    for (const UnresolvedRow& u : m_unresolved) {
        ScanNode& n = nodes[u.id];
        if (n.parent != kNoParent)
            continue;
        std::string name = u.path;
        if (name.size() == 2 && name[1] == ':')
            name += '/';
        else if (name.empty())
            name = "/";
        n.name = appendCsvName(m_tree, name.data(), name.size(), n.nameLength);
        roots.push_back(u.id);
    }
    m_unresolved = {};
    if (roots.empty())
        return kNotATree;
    uint32_t total = m_count;
    uint32_t root = roots[0];
    if (roots.size() > 1 || !(nodes[root].flags & NodeFlag::Folder)) {
        root = m_tree.allocateNodes(1);
        if (root != m_count)
            return kOutOfMemory;
        ScanNode& v = nodes[root];
        v = ScanNode{};
        static constexpr char kVirtualName[] = "Select Multiple";
        v.name = appendCsvName(m_tree, kVirtualName, sizeof kVirtualName - 1, v.nameLength);
        v.flags = NodeFlag::Folder | NodeFlag::VirtualRoot;
        v.parent = kNoParent;
        for (uint32_t r : roots)
            nodes[r].parent = root;
        total = m_count + 1;
    }
    roots = {};

    // Breadth-first order from the root, each node's children in row order.
    setPhase(progress, 1, 0);
    std::vector<uint32_t> start(uint64_t(total) + 1, 0);
    for (uint32_t id = 0; id < total; ++id)
        if (id != root && nodes[id].parent != kNoParent)
            ++start[nodes[id].parent + 1];
    for (uint32_t id = 0; id < total; ++id)
        start[id + 1] += start[id];
    std::vector<uint32_t> children(start[total]);
    {
        std::vector<uint32_t> fill(start.begin(), start.end() - 1);
        for (uint32_t id = 0; id < total; ++id)
            if (id != root && nodes[id].parent != kNoParent)
                children[fill[nodes[id].parent]++] = id;
    }
    std::vector<uint32_t> newId(total, kNoParent);
    std::vector<uint32_t> order;
    order.reserve(total);
    order.push_back(root);
    newId[root] = 0;
    for (size_t head = 0; head < order.size(); ++head) {
        if (head % kCancelStride == 0 && progress) {
            if (cancelled(progress)) {
                wasCancelled = true;
                return nullptr;
            }
            const double inner = 0.2 * double(head) / double(total);
            progress->fraction.store(0.7 + 0.25 * inner);
            setPhase(progress, 1, int32_t(100 * inner));
        }
        const uint32_t id = order[head];
        for (uint32_t c = start[id]; c < start[id + 1]; ++c) {
            newId[children[c]] = uint32_t(order.size());
            order.push_back(children[c]);
        }
    }
    if (order.size() < total)
        return kNotATree;
    children = {};
    order = {};

    for (auto& [id, source] : m_bind)
        m_tree.bindSources.emplace(newId[id], std::move(source));
    m_bind = {};
    for (uint32_t id = 0; id < total; ++id) {
        ScanNode& n = nodes[id];
        n.childCount = start[id + 1] - start[id];
        n.parent = id == root ? 0 : newId[n.parent];
    }
    start = {};
    // Move every node to its new place by following the permutation's cycles.
    uint64_t moved = 0;
    for (uint32_t i = 0; i < total; ++i) {
        while (newId[i] != i) {
            const uint32_t j = newId[i];
            std::swap(nodes[i], nodes[j]);
            std::swap(newId[i], newId[j]);
            if (++moved % kCancelStride == 0 && progress) {
                if (cancelled(progress)) {
                    wasCancelled = true;
                    return nullptr;
                }
                const double inner = 0.2 + 0.8 * double(moved) / double(total);
                progress->fraction.store(0.7 + 0.25 * inner);
                setPhase(progress, 1, int32_t(100 * inner));
            }
        }
    }
    newId = {};
    uint32_t next = 1;
    for (uint32_t id = 0; id < total; ++id) {
        ScanNode& n = nodes[id];
        n.firstChild = n.childCount ? next : 0;
        next += n.childCount;
    }

    // A folder keeps what its row declares beyond its listed children (its own allocation,
    // or everything below it that the file leaves out), so the totals come back as written.
    setPhase(progress, 2, 0);
    for (uint32_t id = 0; id < total; ++id) {
        ScanNode& n = nodes[id];
        if (!n.isFolder())
            continue;
        uint64_t size = 0, allocated = 0;
        for (uint32_t c = n.firstChild; c < n.firstChild + n.childCount; ++c) {
            size = saturatingAdd(size, nodes[c].size);
            if (!(nodes[c].flags & NodeFlag::ExtraHardLink))
                allocated = saturatingAdd(allocated, nodes[c].allocated);
        }
        n.size = n.size > size ? n.size - size : 0;
        n.allocated = n.allocated > allocated ? n.allocated - allocated : 0;
    }

    const uint64_t rows = m_count;
    const uint64_t difference = rows > declaredRows ? rows - declaredRows : declaredRows - rows;
    m_tree.importMismatch = double(difference) / double(rows) >= 0.01 || difference > 4;
    m_tree.nodeCount = total;
    m_tree.computeTotals();
    return nullptr;
}

CsvImportResult importInto(const std::string& path, ScanProgress* progress,
                           const std::function<bool(unsigned long, unsigned long)>& memoryQuestion) {
    const auto started = std::chrono::steady_clock::now();
    CsvImportResult result;
    const MemoryFigures memory = readMemoryFigures();
    const uint64_t withSwap = memory.available + memory.swapFree;
    FileContents file;
    if (!file.read(path, withSwap)) {
        result.error = kReadFailed;
        return result;
    }
    const char* data = file.data();
    const char* end = data + file.size();
    const char* begin = data;
    if (file.size() >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0)
        begin += 3;
    const char separator = csvSeparatorForPath(path);
    const CsvLayout layout = findCsvHeader(begin, end, separator);
    const char* rowsBegin = begin + layout.rowStart;
    const std::optional<CsvFirstRow> first = findFirstCsvRow(rowsBegin, end, separator, layout);
    if (!first) {
        result.error = kNoRows;
        return result;
    }

    const uint64_t estimate = estimateCsvRows(rowsBegin, end);
    const uint64_t needed = estimate * kCsvImportBytesPerRow;
    if (withSwap != 0 && withSwap < needed) {
        result.memoryNeeded = needed;
        result.memoryAvailable = withSwap;
        char text[200];
        std::snprintf(text, sizeof text,
                      "Not enough memory to import this file: it needs about %.1f GB and this computer can offer "
                      "about %.1f GB, including swap.",
                      double(needed) / 1e9, double(withSwap) / 1e9);
        result.error = text;
        return result;
    }
    if (memory.available != 0 && memory.available < needed && memoryQuestion &&
        !memoryQuestion((unsigned long)needed, (unsigned long)memory.available)) {
        result.declined = true;
        return result;
    }

    auto tree = std::make_unique<ScanTree>();
    ParseState state;
    state.file = data;
    state.base = uint64_t(rowsBegin - data);
    state.bounds = csvChunkBounds(rowsBegin, end);
    const uint64_t remainder = std::max<uint64_t>(1, uint64_t(end - rowsBegin));
    // A row takes at least four bytes ("a,0" and a line feed), which bounds a chunk's rows.
    state.rowsPerChunk = std::min<uint64_t>(uint64_t(double(estimate) * 4194304.0 / double(remainder)),
                                            4194304 / 4) + 1024;
    const unsigned hardware = hardwareThreadCount();
    state.readAhead = 3 * uint64_t(std::max(1u, hardware));
    state.slots.resize(state.chunkCount());

    const std::atomic<bool>* cancel = progress ? &progress->cancel : nullptr;
    CsvHourCache hours;
    Workers workers(state);
    workers.start(std::max(1u, hardware) > 1 ? hardware - 1 : 1, *tree, layout, separator, first->backslash, cancel,
                  &hours);
    CsvChunkParser ownParser(*tree, layout, separator, first->backslash, cancel, &hours);

    TreeMerger merger(*tree, data);
    uint64_t mergedBytes = 0;
    auto cancelledResult = [&] {
        workers.stop();
        result.tree = std::make_unique<ScanTree>();
        return std::move(result);
    };
    for (uint64_t k = 0; k < state.chunkCount(); ++k) {
        std::unique_ptr<CsvChunk> chunk;
        if (workers.count() == 0) {
            chunk = parseChunk(state, ownParser, k);
        } else {
            std::unique_lock<std::mutex> lock(state.mutex);
            while (!state.slots[k] && !state.failed) {
                if (cancelled(progress))
                    break;
                state.wake.wait_for(lock, std::chrono::milliseconds(50));
            }
            chunk = std::move(state.slots[k]);
            if (state.failed)
                throw std::bad_alloc();
        }
        if (cancelled(progress))
            return cancelledResult();
        if (!chunk || chunk->outOfMemory)
            throw std::bad_alloc();
        if (!merger.merge(*chunk)) {
            result.error = kOutOfMemory;
            return result;
        }
        mergedBytes += chunk->bytes;
        if (progress) {
            progress->files.fetch_add(chunk->fileRows);
            progress->folders.fetch_add(chunk->folderRows);
            progress->fraction.store(double(mergedBytes) * 0.7 / double(remainder));
        }
        state.giveBack(std::move(chunk));
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            state.merged = k + 1;
        }
        state.wake.notify_all();
    }
    workers.stop();

    bool wasCancelled = false;
    const uint64_t declared = first->declaredFiles + first->declaredFolders + 1;
    if (const char* error = merger.build(progress, declared, wasCancelled)) {
        result.error = error;
        return result;
    }
    if (wasCancelled) {
        result.tree = std::make_unique<ScanTree>();
        return result;
    }
    tree->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (progress) {
        progress->fraction.store(1.0);
        setPhase(progress, 2, 100);
    }
    result.tree = std::move(tree);
    result.hasDriveInfo = first->hasDrive;
    result.driveCapacity = first->driveCapacity;
    result.driveFree = first->driveFree;
    return result;
}

}  // namespace

CsvImportResult importCsv(const std::string& path, ScanProgress* progress,
                          const std::function<bool(unsigned long, unsigned long)>& memoryQuestion) {
    try {
        return importInto(path, progress, memoryQuestion);
    } catch (const std::bad_alloc&) {
        // A hostile or huge file must end the import, not the process.
        CsvImportResult result;
        result.error = kOutOfMemory;
        return result;
    } catch (const std::system_error&) {
        CsvImportResult result;
        result.error = kOutOfMemory;
        return result;
    }
}

}  // namespace svl
