#include "core/rawindex/NtfsIndex.h"

#include "core/rawindex/NtfsIndexState.h"
#include "core/tree/Saturating.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace svl {

namespace {

constexpr uint64_t kChunkBytes = 0x400000;     // one chunk: up to 4 MiB of whole records
constexpr uint64_t kJoinGap = 0x100000;        // chunks this close are read together, gap included
constexpr uint64_t kSpanBytes = 0x800000;      // one read: at most 8 MiB
constexpr uint64_t kNameBlockBytes = 0x800000;  // name pool block
constexpr size_t kNamesPerRecord = 16;
constexpr uint64_t kMaxRecords = 0xFFFFFFFE;
constexpr int64_t kEpochDelta = 11644473600;  // seconds from 1601-01-01 to 1970-01-01

bool isPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The cluster size a non-resident stream starting at VCN 0 implies: its allocated bytes over its
// cluster count; 0 when they do not divide into a power of two.
uint64_t clusterSizeOf(const NtfsAttribute& a) {
    const uint64_t clusters = a.lastVcn() + 1;
    if (a.lastVcn() == UINT64_MAX || a.allocatedSize() % clusters != 0)
        return 0;
    const uint64_t size = a.allocatedSize() / clusters;
    return size >= 512 && isPowerOfTwo(size) ? size : 0;
}

void setError(std::string* error, const std::string& text) {
    if (error)
        *error = text;
}

// A file name as the record holds it, before conversion.
struct RawName {
    const uint8_t* units;
    uint32_t parent;
    uint8_t length;
    uint8_t nameSpace;
};

}  // namespace

NtfsIndex::NtfsIndex(std::unique_ptr<State> state) : m_state(std::move(state)) {}

NtfsIndex::~NtfsIndex() = default;

std::unique_ptr<NtfsIndex> NtfsIndex::open(const std::string& path, std::string* error) {
    auto state = std::make_unique<State>();
    State& s = *state;
    // Only files and block devices: opening a FIFO would wait for a writer forever.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        setError(error, path + " doesn't hold an NTFS filesystem");
        return nullptr;
    }
    if (!s.device.open(path)) {
        setError(error, "can't read " + path + ": " + std::strerror(errno));
        return nullptr;
    }
    uint8_t boot[512] = {};
    if (!s.device.read(0, boot, sizeof boot)) {
        setError(error, "can't read the boot sector of " + path);
        return nullptr;
    }
    if (ntfsLe32(boot) == kNtfsRecordMagic) {
        if (!openDump(s, path, boot, error))
            return nullptr;
        return std::unique_ptr<NtfsIndex>(new NtfsIndex(std::move(state)));
    }
    if (std::memcmp(boot + 3, "NTFS    ", 8) != 0) {
        setError(error, path + " doesn't hold an NTFS filesystem");
        return nullptr;
    }

    const uint32_t bytesPerSector = ntfsLe16(boot + 11);
    const uint32_t sectorsByte = boot[13];
    if (bytesPerSector < 512 || bytesPerSector > 4096 || !isPowerOfTwo(bytesPerSector) || sectorsByte == 0) {
        setError(error, "odd NTFS geometry");
        return nullptr;
    }
    uint64_t clusterSize;
    if (sectorsByte <= 128) {
        clusterSize = uint64_t(bytesPerSector) * sectorsByte;
    } else {
        clusterSize = uint64_t(bytesPerSector) << ((256 - sectorsByte) % 32);
        if (clusterSize > 0x200000) {
            setError(error, "odd NTFS geometry");
            return nullptr;
        }
    }
    s.bytesPerSector = bytesPerSector;
    s.clusterSize = uint32_t(clusterSize);
    s.totalSectors = ntfsLe64(boot + 40);
    s.mftStartCluster = ntfsLe64(boot + 48);
    s.mirrorStartCluster = ntfsLe64(boot + 56);
    s.serialNumber = ntfsLe64(boot + 72);

    const int8_t perRecord = int8_t(boot[64]);
    uint64_t recordSize = 0;
    if (perRecord >= 1)
        recordSize = clusterSize * uint64_t(perRecord);
    else if (perRecord >= -31)
        recordSize = uint64_t(1) << (-perRecord);
    if (recordSize < 512 || recordSize > 65536 || !isPowerOfTwo(recordSize)) {
        setError(error, "odd MFT record size");
        return nullptr;
    }
    s.recordSize = uint32_t(recordSize);

    std::vector<uint8_t> record(s.recordSize, 0);
    if (!s.device.read(s.mftStartCluster * clusterSize, record.data(), record.size())) {
        setError(error, "can't read the MFT");
        return nullptr;
    }
    if (ntfsLe32(record.data()) != kNtfsRecordMagic || !applyUpdateSequence(record.data(), record.size(), false)) {
        setError(error, "the MFT's first record is damaged");
        return nullptr;
    }

    NtfsAttributeWalker walker(record.data(), record.size());
    if (walker.used() < walker.firstOffset() + 16) {
        setError(error, "couldn't find the MFT's data");
        return nullptr;
    }
    bool found = false;
    NtfsAttribute a;
    while (!found && walker.next(&a)) {
        if (a.type != NtfsAttributeType::Data || !a.nonResident || a.nameLength != 0 || a.length < 64 ||
            a.firstVcn() != 0)
            continue;
        found = true;
        s.mftBytes = a.dataSize();
        s.mftValidBytes = a.initializedSize();
        if (a.runListOffset() >= a.length) {
            setError(error, "the MFT's run list is damaged");
            return nullptr;
        }
        NtfsRunReader runs(a.p + a.runListOffset(), a.p + a.length);
        NtfsRun run;
        for (;;) {
            const auto step = runs.next(&run);
            if (step == NtfsRunReader::Step::End)
                break;
            if (step == NtfsRunReader::Step::Bad) {
                setError(error, "the MFT's run list is damaged");
                return nullptr;
            }
            s.runs.push_back(run);
        }
    }
    if (!found || s.mftBytes < s.recordSize) {
        setError(error, "couldn't find the MFT's data");
        return nullptr;
    }
    uint64_t covered = 0;
    for (const NtfsRun& run : s.runs) {
        if (run.start < 0) {
            setError(error, "the MFT has a hole in it");
            return nullptr;
        }
        covered = saturatingAdd(covered, saturatingMul(run.count, clusterSize));
    }
    if (covered < s.mftBytes) {
        setError(error, "the MFT is described by more than its own record (too fragmented)");
        return nullptr;
    }
    s.recordCount = s.mftBytes / s.recordSize;
    if (s.recordCount > kMaxRecords) {
        setError(error, "too many MFT records");
        return nullptr;
    }
    return std::unique_ptr<NtfsIndex>(new NtfsIndex(std::move(state)));
}

bool NtfsIndex::load(const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                     std::string* error) {
    if (error)
        error->clear();
    State& s = *m_state;
    if (s.loaded) {
        setError(error, "the MFT is loaded already");
        return false;
    }
    s.loaded = true;
    try {
        return readAll(cancel, progress, error);
    } catch (const std::bad_alloc&) {
        // Leave a consistent, empty index behind: nothing is listed after a failed load.
        s.entries = {};
        s.names = {};
        s.nameOrder = {};
        s.folderStart = {};
        s.nameBlocks.clear();
        s.folderCount = 0;
        setError(error, "Out of memory.");
        return false;
    }
}

bool NtfsIndex::readAll(const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
                        std::string* error) {
    State& s = *m_state;
    const uint64_t recordSize = s.recordSize;

    // The tables first: a hostile record count fails here, before anything else is built.
    s.entries.assign(s.recordCount, NtfsEntry{});
    s.names.reserve(s.recordCount + 1024);

    // Chunks of whole records in device order. A run that does not end on a record boundary
    // (clusters smaller than records) would split a record; its pieces are skipped rather than
    // parsed out of line.
    std::vector<MftChunk> chunks;
    const uint64_t pieceBytes = kChunkBytes - kChunkBytes % recordSize;
    uint64_t position = 0;
    for (const NtfsRun& run : s.runs) {
        if (position >= s.mftBytes)
            break;
        const uint64_t runBytes = saturatingMul(run.count, s.clusterSize);
        uint64_t used = std::min(runBytes, s.mftBytes - position);
        const uint64_t skip = (recordSize - position % recordSize) % recordSize;
        used = used > skip ? used - skip : 0;
        used -= used % recordSize;
        const uint64_t runOffset = uint64_t(run.start) * s.clusterSize;
        for (uint64_t off = 0; off < used; off += pieceBytes) {
            MftChunk chunk;
            chunk.offset = runOffset + skip + off;
            chunk.length = uint32_t(std::min(pieceBytes, used - off));
            chunk.firstRecord = uint32_t((position + skip + off) / recordSize);
            chunks.push_back(chunk);
        }
        position = saturatingAdd(position, runBytes);
    }
    std::sort(chunks.begin(), chunks.end(), [](const MftChunk& a, const MftChunk& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.firstRecord < b.firstRecord;
    });

    uint64_t total = 0;
    for (const MftChunk& c : chunks)
        total += c.length;
    uint64_t done = 0;
    std::vector<uint8_t> buffer;
    for (size_t i = 0; i < chunks.size();) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            s.partial = true;
            break;
        }
        const uint64_t spanStart = chunks[i].offset;
        if (spanStart > uint64_t(INT64_MAX) - kSpanBytes) {
            setError(error, "a read from the device failed (offset " + std::to_string(spanStart) + ")");
            return false;
        }
        uint64_t spanEnd = spanStart + chunks[i].length;
        size_t j = i + 1;
        while (j < chunks.size() && chunks[j].offset >= spanEnd && chunks[j].offset - spanEnd <= kJoinGap &&
               chunks[j].offset + chunks[j].length - spanStart <= kSpanBytes) {
            spanEnd = chunks[j].offset + chunks[j].length;
            ++j;
        }
        const uint64_t spanBytes = spanEnd - spanStart;
        if (buffer.size() < spanBytes)
            buffer.resize(spanBytes, 0);
        if (!s.device.read(spanStart, buffer.data(), spanBytes)) {
            setError(error, "a read from the device failed (offset " + std::to_string(spanStart) + ")");
            return false;
        }
        for (size_t k = i; k < j; ++k) {
            uint8_t* base = buffer.data() + (chunks[k].offset - spanStart);
            const uint32_t records = uint32_t(chunks[k].length / recordSize);
            for (uint32_t r = 0; r < records; ++r)
                parseRecord(base + uint64_t(r) * recordSize, chunks[k].firstRecord + r);
            done += chunks[k].length;
        }
        if (progress && total != 0)
            progress(double(done) * 0.95 / double(total));
        i = j;
    }
    finishNames();
    if (progress)
        progress(1.0);
    return true;
}

void NtfsIndex::parseRecord(uint8_t* record, uint32_t number) {
    State& s = *m_state;
    const size_t size = s.recordSize;
    if (ntfsLe32(record) != kNtfsRecordMagic)
        return;
    const uint16_t recordFlags = ntfsLe16(record + 22);
    if (!(recordFlags & 0x1) || !applyUpdateSequence(record, size, s.lenientFixups))
        return;
    const uint64_t base = ntfsLe64(record + 32) & 0xFFFFFFFFFFFFull;
    uint32_t id;
    if (base != 0) {
        if (base >= s.recordCount)
            return;
        id = uint32_t(base);
    } else {
        if (number >= s.recordCount)
            return;
        id = number;
    }
    NtfsEntry& e = s.entries[id];
    if (base == 0) {
        e.flags |= NtfsEntryFlag::InUse;
        if (recordFlags & 0x2) {
            e.flags |= NtfsEntryFlag::Folder;
            e.folderOrdinal = s.folderCount.load(std::memory_order_relaxed);
            s.folderCount.fetch_add(1, std::memory_order_relaxed);
        }
        if (number > 15)
            s.entriesRead.fetch_add(1, std::memory_order_relaxed);
    }

    RawName found[kNamesPerRecord];
    size_t foundCount = 0;
    NtfsAttributeWalker walker(record, size);
    NtfsAttribute a;
    while (walker.next(&a)) {
        const uint8_t* value = nullptr;
        uint32_t valueLength = 0;
        switch (a.type) {
        case NtfsAttributeType::StandardInformation:
            if (!a.nonResident && base == 0 && a.residentValue(&value, &valueLength) && valueLength >= 36) {
                e.mtime = int64_t(ntfsLe64(value + 8) / 10000000) - kEpochDelta;
                e.attributes = ntfsLe32(value + 32);
            }
            break;
        case NtfsAttributeType::FileName:
            if (!a.nonResident && a.residentValue(&value, &valueLength) && valueLength >= 66 &&
                valueLength >= 66u + 2u * value[64] && foundCount < kNamesPerRecord)
                found[foundCount++] = RawName{value + 66, ntfsLe32(value), value[64], value[65]};
            break;
        case NtfsAttributeType::Data:
            if (!a.nonResident) {
                if (a.nameLength == 0 && !(e.flags & NtfsEntryFlag::SizeTaken) &&
                    a.residentValue(&value, &valueLength)) {
                    e.size = valueLength;
                    e.flags |= NtfsEntryFlag::SizeTaken;
                }
            } else if (a.length >= 64 && a.firstVcn() == 0) {
                // Sparse and compressed streams own only their total-allocated clusters, whatever
                // their compression unit (Windows writes sparse files with unit 0).
                uint64_t allocated = a.allocatedSize();
                if ((a.flags & 0x8001) && a.length >= 72)
                    allocated = a.totalAllocated();
                if (a.nameLength == 0) {
                    if (!(e.flags & NtfsEntryFlag::SizeTaken)) {
                        e.size = a.dataSize();
                        e.allocated = saturatingAdd(e.allocated, allocated);
                        e.flags |= NtfsEntryFlag::SizeTaken;
                    }
                } else {
                    // An alternate data stream: no size of its own, only its clusters. A dump
                    // without a trailer gives no cluster size; the stream's own extent does.
                    uint64_t cluster = s.isDump ? s.trailerClusterSize : s.clusterSize;
                    if (cluster == 0)
                        cluster = clusterSizeOf(a);
                    if (cluster == 0 || a.runListOffset() >= a.length) {
                        e.allocated = saturatingAdd(e.allocated, allocated);
                        break;
                    }
                    NtfsRunReader runs(a.p + a.runListOffset(), a.p + a.length);
                    NtfsRun run;
                    uint64_t clusters = 0;
                    NtfsRunReader::Step step;
                    while ((step = runs.next(&run)) == NtfsRunReader::Step::Run) {
                        if (run.start >= 0)
                            clusters = saturatingAdd(clusters, run.count);
                    }
                    e.allocated = saturatingAdd(
                        e.allocated, step == NtfsRunReader::Step::Bad ? allocated : saturatingMul(clusters, cluster));
                }
            }
            break;
        case NtfsAttributeType::IndexAllocation:
            if (a.nonResident && (recordFlags & 0x2) && a.length >= 64 && a.firstVcn() == 0 &&
                !(e.flags & NtfsEntryFlag::SizeTaken)) {
                e.size = a.dataSize();
                e.allocated = saturatingAdd(e.allocated, a.allocatedSize());
            }
            break;
        case NtfsAttributeType::ReparsePoint:
            if (!a.nonResident && a.residentValue(&value, &valueLength) && valueLength >= 8) {
                e.reparseTag = ntfsLe32(value);
                uint32_t pathBuffer = 0;
                if (e.reparseTag == NtfsReparseTag::Symlink)
                    pathBuffer = 20;
                else if (e.reparseTag == NtfsReparseTag::MountPoint)
                    pathBuffer = 16;
                if (pathBuffer == 0 || valueLength < 12)
                    break;
                const uint32_t nameOffset = ntfsLe16(value + 8);
                uint32_t nameBytes = ntfsLe16(value + 10);
                if (uint64_t(pathBuffer) + nameOffset + nameBytes > valueLength)
                    break;
                const uint8_t* target = value + pathBuffer + nameOffset;
                if (nameBytes >= 8 && ntfsLe16(target) == 0x5C && ntfsLe16(target + 2) == 0x3F &&
                    ntfsLe16(target + 4) == 0x3F && ntfsLe16(target + 6) == 0x5C) {
                    target += 8;
                    nameBytes -= 8;
                }
                e.size = utf16ToUtf8(target, nameBytes / 2, nullptr);
                e.allocated = 0;
                e.flags |= NtfsEntryFlag::SizeTaken;
            }
            break;
        default:
            break;
        }
    }

    bool anyLong = false;
    for (size_t i = 0; i < foundCount; ++i)
        anyLong |= found[i].nameSpace != 2;
    if (anyLong)
        e.flags |= NtfsEntryFlag::HasLongName;
    char converted[3 * 255 + 1];
    for (size_t i = 0; i < foundCount; ++i) {
        const RawName& n = found[i];
        const bool dos = n.nameSpace == 2;
        if (dos && (anyLong || base != 0))
            continue;
        const size_t length = utf16ToUtf8(n.units, n.length, converted);
        if (e.links < UINT16_MAX)
            ++e.links;
        if (length == 0 || std::memchr(converted, '/', length))
            continue;
        if (s.blockRemaining < length + 1) {
            // 8 MiB blocks; a small MFT starts with a smaller one.
            const uint64_t bytes = s.nameBlocks.empty()
                                       ? std::clamp<uint64_t>(s.recordCount * 32, 0x10000, kNameBlockBytes)
                                       : kNameBlockBytes;
            s.nameBlocks.emplace_back(new char[bytes]);  // left uninitialised: only written bytes are read
            s.blockCursor = s.nameBlocks.back().get();
            s.blockRemaining = bytes;
        }
        char* stored = s.blockCursor;
        std::memcpy(stored, converted, length);
        stored[length] = '\0';
        s.blockCursor += length + 1;
        s.blockRemaining -= length + 1;
        NtfsName name;
        name.name = stored;
        name.id = id;
        name.parent = n.parent;
        name.foundIn = number;
        name.length = uint16_t(length);
        name.dosName = dos ? 1 : 0;
        s.names.push_back(name);
    }
}

void NtfsIndex::finishNames() {
    State& s = *m_state;
    const uint64_t count = s.recordCount;
    bool seenSystem[16] = {};
    size_t kept = 0;
    for (size_t i = 0; i < s.names.size(); ++i) {
        const NtfsName n = s.names[i];
        NtfsEntry& e = s.entries[n.id];
        if (n.dosName) {
            const bool hasLong = e.flags & NtfsEntryFlag::HasLongName;
            if (hasLong && e.links > 0)
                --e.links;
            if (hasLong || s.partial)
                continue;
        }
        if (n.id == 5 || n.parent >= count || !(e.flags & NtfsEntryFlag::InUse) ||
            s.entries[n.parent].folderOrdinal == kNtfsNoFolder)
            continue;
        if (n.id < 16 && !seenSystem[n.id]) {
            seenSystem[n.id] = true;
            s.entriesRead.fetch_add(1, std::memory_order_relaxed);
        }
        s.names[kept++] = n;
    }
    s.names.resize(kept);
    s.names.shrink_to_fit();
    if (s.names.size() > UINT32_MAX)
        throw std::bad_alloc();

    // The name from the base record wins over one from an extension record; else the first.
    std::vector<uint32_t> best(count, UINT32_MAX);
    auto key = [&](const NtfsName& n) { return (uint64_t(n.foundIn != n.id) << 32) + n.foundIn; };
    for (uint32_t i = 0; i < s.names.size(); ++i) {
        uint32_t& b = best[s.names[i].id];
        if (b == UINT32_MAX || key(s.names[i]) < key(s.names[b]))
            b = i;
    }
    for (uint32_t b : best) {
        if (b != UINT32_MAX)
            s.names[b].primary = 1;
    }
    best = {};

    // A folder has one name on a sound volume. A further one (a damaged or crafted MFT) would
    // list its subtree twice, or inside itself; only the counted name is kept.
    kept = 0;
    for (size_t i = 0; i < s.names.size(); ++i) {
        const NtfsName& n = s.names[i];
        if (n.primary || !(s.entries[n.id].flags & NtfsEntryFlag::Folder))
            s.names[kept++] = n;
    }
    s.names.resize(kept);

    // Child lists: a stable counting sort of the names by their parent's folder ordinal.
    const uint32_t folders = s.folderCount.load(std::memory_order_relaxed);
    s.folderStart.assign(size_t(folders) + 1, 0);
    for (const NtfsName& n : s.names)
        ++s.folderStart[s.entries[n.parent].folderOrdinal + 1];
    for (uint32_t k = 0; k < folders; ++k)
        s.folderStart[k + 1] += s.folderStart[k];
    std::vector<uint32_t> next(s.folderStart.begin(), s.folderStart.end() - 1);
    s.nameOrder.assign(s.names.size(), 0);
    for (uint32_t i = 0; i < s.names.size(); ++i)
        s.nameOrder[next[s.entries[s.names[i].parent].folderOrdinal]++] = i;
}

bool NtfsIndex::stat(uint64_t id, RawStat* out) const {
    const State& s = *m_state;
    if (id >= s.entries.size() || !(s.entries[id].flags & NtfsEntryFlag::InUse))
        return false;
    const NtfsEntry& e = s.entries[id];
    const bool readOnly = e.attributes & 0x1;
    out->size = e.size;
    out->mtime = e.mtime;
    out->links = e.links;
    // Symbolic links and junctions are links even where their record is a folder's: their
    // target is counted where it lies, never below them.
    const bool link = e.reparseTag == NtfsReparseTag::Symlink || e.reparseTag == NtfsReparseTag::MountPoint;
    if (link) {
        out->allocated = e.allocated / 512 + (e.allocated % 512 != 0);
        out->mode = readOnly ? 0120555 : 0120777;
    } else if (e.flags & NtfsEntryFlag::Folder) {
        out->allocated = 0;
        out->mode = readOnly ? 040555 : 040777;
        out->folderIndex = e.folderOrdinal;
    } else {
        out->allocated = e.allocated / 512 + (e.allocated % 512 != 0);
        out->mode = readOnly ? 0100555 : 0100777;
    }
    return true;
}

bool NtfsIndex::children(uint64_t id, std::vector<RawChild>* out) const {
    out->clear();
    const State& s = *m_state;
    if (id >= s.entries.size())
        return false;
    const NtfsEntry& e = s.entries[id];
    if (!(e.flags & NtfsEntryFlag::Folder) || e.folderOrdinal + uint64_t(1) >= s.folderStart.size())
        return false;
    const uint32_t begin = s.folderStart[e.folderOrdinal];
    const uint32_t end = s.folderStart[e.folderOrdinal + 1];
    for (uint32_t k = begin; k < end; ++k) {
        const NtfsName& n = s.names[s.nameOrder[k]];
        RawChild c;
        c.id = n.id;
        c.name = n.name;
        c.nameLength = n.length;
        c.type = 0;
        c.linkRole = n.primary ? 1 : 2;
        out->push_back(c);
    }
    return true;
}

uint64_t NtfsIndex::entriesRead() const { return m_state->entriesRead.load(std::memory_order_relaxed); }

bool NtfsIndex::isPartial() const { return m_state->partial; }

uint64_t NtfsIndex::foldersRead() const { return m_state->folderCount.load(std::memory_order_relaxed); }

uint64_t NtfsIndex::bytesRead() const { return m_state->device.bytesRead(); }

bool NtfsIndex::attributes(uint64_t id, NtfsEntryAttributes* out) const {
    const State& s = *m_state;
    if (id >= s.entries.size() || !(s.entries[id].flags & NtfsEntryFlag::InUse))
        return false;
    out->attributes = s.entries[id].attributes;
    out->reparseTag = s.entries[id].reparseTag;
    return true;
}

NtfsVolumeInfo NtfsIndex::volumeInfo() const {
    const State& s = *m_state;
    NtfsVolumeInfo info;
    info.isDump = s.isDump;
    info.hasVolumeData = s.hasVolumeData;
    info.driveLetter = s.driveLetter;
    info.totalBytes = s.totalBytes;
    info.freeBytes = s.freeBytes;
    info.serialNumber = s.trailerSerial;
    info.clusterSize = s.trailerClusterSize;
    info.recordSize = s.dumpRecordSize;
    return info;
}

uint64_t NtfsIndex::mftBytes() const { return m_state->mftBytes; }

}  // namespace svl
