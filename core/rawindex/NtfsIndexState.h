// The in-memory state of an NtfsIndex: geometry, the MFT's run list, one entry per record,
// one name per kept file name and the per-folder child lists. Shared by the index's reader
// (NtfsIndex.cpp) and its dump writer and dump opener (MftDump.cpp); nothing else includes it.
//
// Threads: written only by open and load on one thread; read-only afterwards.
#pragma once

#include "core/rawindex/DeviceReader.h"
#include "core/rawindex/NtfsIndex.h"
#include "core/rawindex/NtfsRecord.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace svl {

namespace NtfsEntryFlag {
constexpr uint8_t InUse = 0x1;
constexpr uint8_t Folder = 0x2;
constexpr uint8_t SizeTaken = 0x4;
constexpr uint8_t HasLongName = 0x8;  // a name outside the DOS namespace was seen
}  // namespace NtfsEntryFlag

constexpr uint32_t kNtfsNoFolder = 0xFFFFFFFF;

// One per MFT record number.
struct NtfsEntry {
    uint64_t size = 0;
    uint64_t allocated = 0;  // bytes
    int64_t mtime = 0;
    uint32_t folderOrdinal = kNtfsNoFolder;
    uint32_t attributes = 0;
    uint32_t reparseTag = 0;
    uint16_t links = 0;
    uint8_t flags = 0;
};

// One per kept file name.
struct NtfsName {
    const char* name = nullptr;  // UTF-8, NUL-terminated, in the name pool
    uint32_t id = 0;             // base record of the entry
    uint32_t parent = 0;
    uint32_t foundIn = 0;  // record that held the name
    uint16_t length = 0;
    uint8_t dosName = 0;
    uint8_t primary = 0;
};

// A piece of the MFT read in one go: whole records at a device offset.
struct MftChunk {
    uint64_t offset = 0;
    uint32_t length = 0;
    uint32_t firstRecord = 0;
    uint32_t zero = 0;
};

struct NtfsIndex::State {
    DeviceReader device;  // the volume or dump; counts bytesRead
    uint32_t bytesPerSector = 0;
    uint32_t clusterSize = 0;  // for a dump: the record size
    uint32_t recordSize = 0;
    uint64_t mftStartCluster = 0;
    uint64_t mftBytes = 0;
    uint64_t recordCount = 0;
    std::vector<NtfsRun> runs;
    std::vector<NtfsEntry> entries;
    std::vector<NtfsName> names;
    std::vector<uint32_t> nameOrder;
    std::vector<uint32_t> folderStart;
    std::atomic<uint32_t> folderCount{0};
    bool partial = false;
    bool loaded = false;
    std::vector<std::unique_ptr<char[]>> nameBlocks;
    uint64_t blockRemaining = 0;
    char* blockCursor = nullptr;
    std::atomic<uint64_t> entriesRead{0};
    uint64_t serialNumber = 0;
    uint64_t totalSectors = 0;
    uint64_t mirrorStartCluster = 0;
    uint64_t mftValidBytes = 0;
    bool isDump = false;
    bool hasVolumeData = false;
    char driveLetter = 0;
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
    uint64_t trailerSerial = 0;
    uint32_t trailerClusterSize = 0;
    uint32_t dumpRecordSize = 0;
    bool lenientFixups = false;
};

}  // namespace svl
