#include "core/rawindex/MftDump.h"

#include "core/analysis/FilterMatch.h"
#include "core/exchange/WriteAll.h"
#include "core/rawindex/NtfsIndex.h"
#include "core/rawindex/NtfsIndexState.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"
#include "core/tree/Saturating.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace svl {

namespace {

constexpr size_t kCopyBytes = 0x800000;  // the writer copies in 8 MiB pieces
constexpr size_t kVolumeDataBytes = 96;
constexpr size_t kShortTrailer = 7 + kVolumeDataBytes;      // "VOLDATA" + record
constexpr size_t kLongTrailer = 8 + kVolumeDataBytes + 1;   // "VOLDATA2" + record + letter
constexpr uint64_t kMaxRecords = 0xFFFFFFFE;

void setError(std::string* error, const std::string& text) {
    if (error)
        *error = text;
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

bool isPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The temporary name the dump is written under: ".zrt-<pid>" in the destination's folder.
std::string temporaryPathFor(const std::string& dumpPath) {
    const size_t slash = dumpPath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : dumpPath.substr(0, slash + 1);
    return folder + ".zrt-" + std::to_string(getpid());
}

// The output without a caller's: a new file under ".zrt-<pid>" beside `dumpPath`, renamed there.
MftDumpOutput temporaryFileBeside(const std::string& dumpPath) {
    const std::string temporary = temporaryPathFor(dumpPath);
    return {[temporary](std::string* error) { return createDumpFile(temporary, 0666, error); },
            [temporary, dumpPath](std::string* error) {
                if (std::rename(temporary.c_str(), dumpPath.c_str()) == 0)
                    return true;
                setError(error, std::strerror(errno));
                return false;
            },
            [temporary] { ::unlink(temporary.c_str()); }};
}

// Closes and removes a dump being written, keeping the errno of the call that failed.
void discard(int fd, const MftDumpOutput& output) {
    const int saved = errno;
    if (fd >= 0)
        ::close(fd);
    if (output.discard)
        output.discard();
    errno = saved;
}

// Windows attribute bits to node flags (read-only only where the caller asks for it).
uint16_t flagsFromNtfsAttributes(uint32_t a, bool withReadOnly) {
    uint16_t f = 0;
    if (withReadOnly && (a & 0x1))
        f |= NodeFlag::ReadOnly;
    if (a & 0x2)
        f |= NodeFlag::Hidden;
    if (a & 0x4)
        f |= NodeFlag::System;
    if (a & 0x20)
        f |= NodeFlag::Archive;
    if (a & 0x40)
        f |= NodeFlag::AttributeD;
    if (a & 0x800)
        f |= NodeFlag::Compressed;
    return f;
}

}  // namespace

int createDumpFile(const std::string& path, unsigned mode, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_t(mode));
    if (fd < 0)
        setError(error, std::strerror(errno));
    return fd;
}

bool NtfsIndex::openDump(State& s, const std::string& path, const uint8_t* first, std::string* error) {
    const uint64_t fileSize = s.device.size();
    if (fileSize <= 4095) {
        setError(error, path + " is too short to be an MFT dump");
        return false;
    }
    uint8_t tail[kLongTrailer] = {};
    size_t trailerBytes = 0;
    const uint8_t* volumeData = nullptr;
    if (s.device.read(fileSize - kLongTrailer, tail, kLongTrailer)) {
        if (std::memcmp(tail, "VOLDATA2", 8) == 0) {
            trailerBytes = kLongTrailer;
            volumeData = tail + 8;
            const char letter = char(tail[kLongTrailer - 1]);
            s.driveLetter = letter >= 'A' && letter <= 'z' ? letter : 0;
        } else if (std::memcmp(tail + 2, "VOLDATA", 7) == 0) {
            trailerBytes = kShortTrailer;
            volumeData = tail + 9;
        }
    }
    uint32_t trailerRecordSize = 0;
    if (volumeData) {
        s.hasVolumeData = true;
        s.trailerSerial = ntfsLe64(volumeData);
        s.trailerClusterSize = ntfsLe32(volumeData + 44);
        trailerRecordSize = ntfsLe32(volumeData + 48);
        s.totalBytes = saturatingMul(ntfsLe64(volumeData + 16), s.trailerClusterSize);
        s.freeBytes = saturatingMul(ntfsLe64(volumeData + 24), s.trailerClusterSize);
    }
    // A usable size in the first record wins over the trailer's.
    const uint32_t allocated = ntfsLe32(first + 28);
    uint32_t recordSize = 1024;
    if (allocated >= 512 && allocated <= 65536)
        recordSize = allocated;
    else if (volumeData)
        recordSize = trailerRecordSize;
    if (recordSize < 512 || recordSize > 65536 || !isPowerOfTwo(recordSize)) {
        setError(error, "odd MFT record size in the dump");
        return false;
    }
    s.isDump = true;
    s.lenientFixups = true;
    s.dumpRecordSize = recordSize;
    s.clusterSize = recordSize;
    s.recordSize = recordSize;
    s.mftBytes = (fileSize - trailerBytes) / recordSize * recordSize;
    s.recordCount = s.mftBytes / recordSize;
    if (s.recordCount > kMaxRecords) {
        setError(error, "too many MFT records");
        return false;
    }
    s.runs.assign(1, NtfsRun{0, s.recordCount});
    return true;
}

bool NtfsIndex::writeDump(const std::string& dumpPath, uint64_t freeBytes, char driveLetter,
                          const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                          std::string* error, const MftDumpOutput* output) {
    if (error)
        error->clear();
    State& s = *m_state;
    if (s.isDump) {
        setError(error, "this is a dump already, not a volume");
        return false;
    }
    const std::string cantWrite = "can't write " + dumpPath + ": ";
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(kCopyBytes);
    } catch (const std::bad_alloc&) {
        setError(error, "Out of memory.");
        return false;
    }
    const MftDumpOutput beside = output ? MftDumpOutput{} : temporaryFileBeside(dumpPath);
    const MftDumpOutput& out = output ? *output : beside;
    std::string reason;
    const int f = out.open(&reason);
    if (f < 0) {
        setError(error, cantWrite + reason);
        return false;
    }
    uint64_t written = 0;
    for (const NtfsRun& run : s.runs) {
        if (written >= s.mftBytes)
            break;
        const uint64_t runBytes = run.count > UINT64_MAX / s.clusterSize ? UINT64_MAX : run.count * s.clusterSize;
        const uint64_t n = std::min(runBytes, s.mftBytes - written);
        const uint64_t runOffset = uint64_t(run.start) * s.clusterSize;
        for (uint64_t off = 0; off < n;) {
            if (cancel && cancel->load(std::memory_order_relaxed)) {
                discard(f, out);
                return false;
            }
            const size_t piece = size_t(std::min<uint64_t>(kCopyBytes, n - off));
            if (!s.device.read(runOffset + off, buffer.data(), piece)) {
                discard(f, out);
                setError(error, "a read from the volume failed");
                return false;
            }
            if (!writeAll(f, buffer.data(), piece)) {
                discard(f, out);
                setError(error, cantWrite + std::strerror(errno));
                return false;
            }
            off += piece;
            written += piece;
            if (progress)
                progress(double(written) / double(s.mftBytes));
        }
    }
    if (written < s.mftBytes) {
        discard(f, out);
        setError(error, "the MFT is shorter than its record says");
        return false;
    }

    uint8_t trailer[kLongTrailer] = {};
    size_t trailerBytes;
    uint8_t* record;
    if (driveLetter != 0) {
        std::memcpy(trailer, "VOLDATA2", 8);
        record = trailer + 8;
        trailer[kLongTrailer - 1] = uint8_t(driveLetter);
        trailerBytes = kLongTrailer;
    } else {
        std::memcpy(trailer, "VOLDATA", 7);
        record = trailer + 7;
        trailerBytes = kShortTrailer;
    }
    const uint32_t sectorsPerCluster = std::max<uint32_t>(1, s.clusterSize / s.bytesPerSector);
    put64(record + 0, s.serialNumber);
    put64(record + 8, s.totalSectors);
    put64(record + 16, s.totalSectors / sectorsPerCluster);
    put64(record + 24, freeBytes / s.clusterSize);
    put64(record + 32, 0);
    put32(record + 40, s.bytesPerSector);
    put32(record + 44, s.clusterSize);
    put32(record + 48, s.recordSize);
    put32(record + 52, s.recordSize >= s.clusterSize ? s.recordSize / s.clusterSize : 0);
    put64(record + 56, s.mftValidBytes != 0 ? s.mftValidBytes : s.mftBytes);
    put64(record + 64, s.mftStartCluster);
    put64(record + 72, s.mirrorStartCluster);
    if (!writeAll(f, trailer, trailerBytes)) {
        discard(f, out);
        setError(error, cantWrite + std::strerror(errno));
        return false;
    }
    if (::close(f) != 0) {
        discard(-1, out);
        setError(error, cantWrite + std::strerror(errno));
        return false;
    }
    if (!out.place(&reason)) {
        discard(-1, out);
        setError(error, cantWrite + reason);
        return false;
    }
    return true;
}

MftDumpResult dumpMft(const std::string& volumePath, const std::string& dumpPath, uint64_t freeBytes,
                      const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                      const MftDumpOutput* output) {
    MftDumpResult result;
    std::string text;
    std::unique_ptr<NtfsIndex> index = NtfsIndex::open(volumePath, &text);
    if (!index) {
        result.error = text;
        return result;
    }
    if (index->writeDump(dumpPath, freeBytes, 0, cancel, progress, &text, output)) {
        result.done = true;
        result.bytesWritten = index->mftBytes() + kShortTrailer;
    } else if (!text.empty()) {
        result.error = text;
    } else {
        result.cancelled = true;
    }
    return result;
}

namespace {

struct FolderJob {
    uint32_t node;
    uint64_t record;
    double weight;  // share of the progress fraction this folder's subtree stands for
};

struct KeptChild {
    const RawChild* child;
    uint64_t size;
    uint64_t allocated;
    int64_t modified;
    uint16_t flags;
};

// The folder path of a node as the exclusion filter sees it: "" for the root, else "/a/b".
std::string folderPathOf(const ScanTree& tree, uint32_t node) {
    std::vector<uint32_t> chain;
    for (uint32_t n = node; n != 0; n = tree.node(n).parent)
        chain.push_back(n);
    std::string path;
    for (size_t i = chain.size(); i-- > 0;) {
        path += '/';
        path += tree.node(chain[i]).nameView();
    }
    return path;
}

void buildTree(NtfsIndex& index, ScanTree& tree, const std::string& rootName, const ScanOptions& options,
               ScanProgress* progress, bool* stopped) {
    auto addFraction = [progress](double share) {
        if (progress)
            progress->addFraction(share);
    };

    const char* name = tree.storeName(rootName);
    const uint32_t rootId = tree.allocateNodes(1);
    ScanNode& root = tree.node(rootId);
    root = ScanNode{};
    root.name = name;
    root.nameLength = uint16_t(std::min<size_t>(rootName.size(), kMaxNameLength));
    root.flags = NodeFlag::Folder | NodeFlag::VolumeAttributes;
    RawStat rootStat;
    NtfsEntryAttributes rootAttributes;
    if (index.stat(index.rootId(), &rootStat) && index.attributes(index.rootId(), &rootAttributes)) {
        root.modified = rootStat.mtime;
        root.flags |= flagsFromNtfsAttributes(rootAttributes.attributes, true);
    }
    tree.finishNodeCount();

    const NtfsVolumeInfo volume = index.volumeInfo();
    const uint64_t records = volume.recordSize ? index.mftBytes() / volume.recordSize : 0;
    std::vector<uint8_t> entered(records, 0);  // folder records that have a job already
    if (index.rootId() < records)
        entered[index.rootId()] = 1;

    std::vector<FolderJob> jobs{{rootId, index.rootId(), 0.15}};
    std::vector<RawChild> children;
    std::vector<KeptChild> kept;
    std::vector<FolderJob> newJobs;
    for (size_t j = 0; j < jobs.size(); ++j) {
        if (progress && progress->cancel.load()) {
            *stopped = true;
            return;
        }
        const FolderJob job = jobs[j];
        if (!index.children(job.record, &children)) {
            addFraction(job.weight);
            continue;
        }
        kept.clear();
        uint64_t nameBytes = 0;
        std::string folderPath;
        if (options.exclude)
            folderPath = folderPathOf(tree, job.node);
        for (const RawChild& c : children) {
            RawStat st;
            NtfsEntryAttributes at;
            if (!index.stat(c.id, &st) || !index.attributes(c.id, &at))
                continue;
            const uint32_t type = st.mode & 0170000;
            const bool folder = type == 0040000;
            const bool link = type == 0120000;
            KeptChild k;
            k.child = &c;
            k.size = folder ? 0 : st.size;
            k.allocated = folder ? 0 : st.allocated * 512;
            k.modified = st.mtime;
            if (options.exclude) {
                FilterEntry entry;
                entry.name = std::string_view(c.name, c.nameLength);
                entry.folderPath = folderPath;
                entry.isFolder = folder;
                entry.size = k.size;
                entry.allocated = k.allocated;
                entry.modified = k.modified;
                if (filterMatchesEntry(entry, *options.exclude))
                    continue;
            }
            k.flags = flagsFromNtfsAttributes(at.attributes, false);
            if (!(st.mode & 0222) && !link)
                k.flags |= NodeFlag::ReadOnly;
            if (folder)
                k.flags |= NodeFlag::Folder | NodeFlag::VolumeAttributes;
            else if (link)
                k.flags |= NodeFlag::Symlink | NodeFlag::VolumeAttributes;
            else if (type == 0100000 && st.links >= 2 && c.linkRole == 2)
                k.flags |= NodeFlag::ExtraHardLink | NodeFlag::VolumeAttributes;
            else
                k.flags |= NodeFlag::VolumeAttributes;
            kept.push_back(k);
            nameBytes += uint64_t(c.nameLength) + 1;
        }
        if (kept.empty()) {
            addFraction(job.weight);
            continue;
        }
        // Names first, then records written at once: a failing claim leaves nothing unwritten.
        char* names = tree.allocateNames(nameBytes);
        const uint32_t first = tree.allocateNodes(uint32_t(kept.size()));
        newJobs.clear();
        for (size_t i = 0; i < kept.size(); ++i) {
            const KeptChild& k = kept[i];
            std::memcpy(names, k.child->name, k.child->nameLength);
            names[k.child->nameLength] = '\0';
            ScanNode& n = tree.node(first + uint32_t(i));
            n = ScanNode{};
            n.name = names;
            n.nameLength = k.child->nameLength;
            n.size = k.size;
            n.allocated = k.allocated;
            n.modified = k.modified;
            n.parent = job.node;
            n.flags = k.flags;
            names += k.child->nameLength + 1;
            const uint64_t id = k.child->id;
            if ((k.flags & NodeFlag::Folder) && id < entered.size() && !entered[id]) {
                entered[id] = 1;
                newJobs.push_back({first + uint32_t(i), id, 0});
            }
        }
        ScanNode& parent = tree.node(job.node);
        parent.firstChild = first;
        parent.childCount = uint32_t(kept.size());
        tree.finishNodeCount();
        if (newJobs.empty()) {
            addFraction(job.weight);
            continue;
        }
        for (FolderJob& next : newJobs) {
            next.weight = job.weight / double(newJobs.size());
            jobs.push_back(next);
        }
    }
}

}  // namespace

std::unique_ptr<ScanTree> loadMftFile(const std::string& path, const ScanOptions& options, ScanProgress* progress,
                                      MftFileInfo* info, std::string* error) {
    const auto start = std::chrono::steady_clock::now();
    auto tree = std::make_unique<ScanTree>();
    std::string text;
    try {
        std::unique_ptr<NtfsIndex> index = NtfsIndex::open(path, &text);
        if (!index) {
            setError(error, text);
            return tree;
        }
        const NtfsVolumeInfo volume = index->volumeInfo();
        if (!volume.isDump) {
            setError(error, "this is a volume, not an MFT dump file");
            return tree;
        }
        if (info) {
            info->hasVolumeData = volume.hasVolumeData;
            info->driveLetter = volume.driveLetter;
            info->totalBytes = volume.totalBytes;
            info->freeBytes = volume.freeBytes;
        }
        std::function<void(double)> onLoad;
        if (progress) {
            NtfsIndex* raw = index.get();
            onLoad = [progress, raw](double f) {
                progress->fraction.store(0.85 * f);
                const uint64_t entries = raw->entriesRead();
                const uint64_t folders = raw->foldersRead();
                progress->folders.store(folders);
                progress->files.store(entries > folders ? entries - folders : 0);
            };
        }
        if (!index->load(progress ? &progress->cancel : nullptr, onLoad, &text)) {
            if (!text.empty())
                setError(error, text);
            return tree;
        }
        const bool partial = index->isPartial();
        // Without its root folder a dump is not an MFT at all (or only its signatures are).
        RawStat rootStat;
        if (!partial && (!index->stat(index->rootId(), &rootStat) || (rootStat.mode & 0170000) != 0040000)) {
            setError(error, "the MFT holds no root folder record");
            return tree;
        }
        if (partial && progress)
            progress->cancel.exchange(false);

        std::string rootName = path.substr(path.rfind('/') + 1);
        const size_t dot = rootName.rfind('.');
        if (dot != std::string::npos && dot != 0)
            rootName.resize(dot);
        if (volume.driveLetter != 0)
            rootName = std::string(1, volume.driveLetter) + ":";

        bool stopped = false;
        buildTree(*index, *tree, rootName, options, progress, &stopped);
        tree->incomplete = stopped || partial;
        if (partial && progress)
            progress->cancel.store(true);
        if (progress && !tree->incomplete) {
            progress->reachedFraction = progress->fraction.load();
            progress->fraction.store(1.0);
        }
        tree->computeTotals();
    } catch (const std::bad_alloc&) {
        // A hostile or huge dump: report it instead of handing out a half-built tree.
        tree->nodeCount = 0;
        tree->newestTimes.clear();
        setError(error, "Out of memory.");
        return tree;
    }
    tree->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return tree;
}

}  // namespace svl
