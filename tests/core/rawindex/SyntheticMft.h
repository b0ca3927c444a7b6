// Writes synthetic NTFS structures for the NTFS and MFT dump tests: MFT records with their
// attributes and update-sequence fix-ups, data-run lists, whole MFTs, dump trailers and small
// volume images (boot sector plus MFT). Covers what ntfs-3g cannot produce (reparse points,
// junctions, folders named twice, bad runs, cycles). Header-only; no test framework needed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace hmtest {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, size_t at, uint16_t v) {
    for (int i = 0; i < 2; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}
inline void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}
inline void put64(Bytes& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

inline Bytes utf16le(const std::u16string& s) {
    Bytes b(s.size() * 2);
    for (size_t i = 0; i < s.size(); ++i)
        put16(b, 2 * i, s[i]);
    return b;
}

// NTFS time (100 ns since 1601) of a Unix time.
inline uint64_t ntfsTime(int64_t unixSeconds) { return uint64_t(unixSeconds + 11644473600LL) * 10000000ULL; }

// Encodes a run list; a start of -1 makes a sparse run. Starts are absolute clusters.
inline Bytes encodeRuns(const std::vector<std::pair<int64_t, uint64_t>>& runs) {
    Bytes out;
    int64_t previous = 0;
    for (const auto& [start, count] : runs) {
        Bytes length;
        for (uint64_t v = count; v != 0 || length.empty(); v >>= 8)
            length.push_back(uint8_t(v));
        Bytes delta;
        if (start >= 0) {
            int64_t d = start - previous;
            previous = start;
            // Shortest signed little-endian form.
            for (;;) {
                delta.push_back(uint8_t(d));
                const int64_t rest = d >> 8;
                const bool signBit = delta.back() & 0x80;
                if ((rest == 0 && !signBit) || (rest == -1 && signBit))
                    break;
                d = rest;
            }
        }
        out.push_back(uint8_t(length.size() | (delta.size() << 4)));
        out.insert(out.end(), length.begin(), length.end());
        out.insert(out.end(), delta.begin(), delta.end());
    }
    out.push_back(0);
    return out;
}

// One MFT record under construction.
class MftRecord {
public:
    explicit MftRecord(uint16_t flags = 0x1, uint64_t baseRecord = 0) : m_flags(flags), m_base(baseRecord) {}

    static MftRecord folder() { return MftRecord(0x3); }

    MftRecord& standardInfo(int64_t mtime, uint32_t attributes) {
        Bytes v(72, 0);
        put64(v, 0, ntfsTime(mtime));
        put64(v, 8, ntfsTime(mtime));
        put64(v, 16, ntfsTime(mtime));
        put64(v, 24, ntfsTime(mtime));
        put32(v, 32, attributes);
        return resident(0x10, v);
    }
    // nameSpace: 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS.
    MftRecord& fileName(uint64_t parent, const std::u16string& name, uint8_t nameSpace = 1) {
        Bytes v(66, 0);
        put64(v, 0, parent | (uint64_t(1) << 48));
        v[64] = uint8_t(name.size());
        v[65] = nameSpace;
        const Bytes n = utf16le(name);
        v.insert(v.end(), n.begin(), n.end());
        return resident(0x30, v);
    }
    MftRecord& residentData(uint32_t size, const std::u16string& stream = u"") {
        return resident(0x80, Bytes(size, 'x'), stream);
    }
    // A non-resident data stream; `totalAllocated` is written when >= 0 (72-byte header).
    MftRecord& nonResidentData(uint64_t dataSize, uint64_t allocated, const Bytes& runs, uint16_t flags = 0,
                               uint16_t compressionUnit = 0, int64_t totalAllocated = -1,
                               const std::u16string& stream = u"", uint64_t firstVcn = 0) {
        return nonResident(0x80, dataSize, allocated, runs, flags, compressionUnit, totalAllocated, stream, firstVcn);
    }
    MftRecord& indexAllocation(uint64_t dataSize, uint64_t allocated) {
        return nonResident(0xA0, dataSize, allocated, encodeRuns({{100, allocated / 4096 + 1}}), 0, 0, -1, u"$I30",
                           0);
    }
    // Symbolic link (0xA000000C) or junction (0xA0000003) to `target`, stored as the substitute name.
    MftRecord& reparse(uint32_t tag, const std::u16string& target) {
        const Bytes name = utf16le(target);
        const size_t pathBuffer = tag == 0xA000000C ? 20 : 16;
        Bytes v(pathBuffer, 0);
        put32(v, 0, tag);
        put16(v, 4, uint16_t(pathBuffer - 8 + 2 * name.size()));
        put16(v, 8, 0);
        put16(v, 10, uint16_t(name.size()));
        put16(v, 12, uint16_t(name.size()));
        put16(v, 14, uint16_t(name.size()));
        v.insert(v.end(), name.begin(), name.end());
        v.insert(v.end(), name.begin(), name.end());
        return resident(0xC0, v);
    }
    // Any attribute given whole (header included); for damaged attributes.
    MftRecord& rawAttribute(const Bytes& attribute) {
        m_attributes.push_back(attribute);
        return *this;
    }

    MftRecord& resident(uint32_t type, const Bytes& value, const std::u16string& stream = u"") {
        const Bytes name = utf16le(stream);
        const size_t valueOffset = (24 + name.size() + 7) / 8 * 8;
        Bytes a((valueOffset + value.size() + 7) / 8 * 8, 0);
        put32(a, 0, type);
        put32(a, 4, uint32_t(a.size()));
        a[8] = 0;
        a[9] = uint8_t(stream.size());
        put16(a, 10, 24);
        put32(a, 16, uint32_t(value.size()));
        put16(a, 20, uint16_t(valueOffset));
        if (!name.empty())
            std::memcpy(a.data() + 24, name.data(), name.size());
        if (!value.empty())
            std::memcpy(a.data() + valueOffset, value.data(), value.size());
        m_attributes.push_back(a);
        return *this;
    }

    MftRecord& nonResident(uint32_t type, uint64_t dataSize, uint64_t allocated, const Bytes& runs, uint16_t flags,
                           uint16_t compressionUnit, int64_t totalAllocated, const std::u16string& stream,
                           uint64_t firstVcn) {
        const Bytes name = utf16le(stream);
        const size_t header = totalAllocated >= 0 ? 72 : 64;
        const size_t runOffset = (header + name.size() + 7) / 8 * 8;
        Bytes a((runOffset + runs.size() + 7) / 8 * 8, 0);
        put32(a, 0, type);
        put32(a, 4, uint32_t(a.size()));
        a[8] = 1;
        a[9] = uint8_t(stream.size());
        put16(a, 10, uint16_t(header));
        put16(a, 12, flags);
        put64(a, 16, firstVcn);
        put64(a, 24, allocated / 4096);
        put16(a, 32, uint16_t(runOffset));
        put16(a, 34, compressionUnit);
        put64(a, 40, allocated);
        put64(a, 48, dataSize);
        put64(a, 56, dataSize);
        if (totalAllocated >= 0)
            put64(a, 64, uint64_t(totalAllocated));
        if (!name.empty())
            std::memcpy(a.data() + header, name.data(), name.size());
        if (!runs.empty())
            std::memcpy(a.data() + runOffset, runs.data(), runs.size());
        m_attributes.push_back(a);
        return *this;
    }

    // The record's bytes with the update sequence applied (sector ends hold `sequence`).
    Bytes build(uint32_t recordSize, uint32_t number, uint16_t sequence = 7) const {
        Bytes r(recordSize, 0);
        const size_t usaCount = recordSize / 512 + 1;
        const size_t first = (48 + 2 * usaCount + 7) / 8 * 8;
        std::memcpy(r.data(), "FILE", 4);
        put16(r, 4, 48);
        put16(r, 6, uint16_t(usaCount));
        put16(r, 16, 1);
        put16(r, 18, 1);
        put16(r, 20, uint16_t(first));
        put16(r, 22, m_flags);
        put32(r, 28, recordSize);
        put64(r, 32, m_base);
        put32(r, 44, number);
        size_t at = first;
        for (const Bytes& a : m_attributes) {
            if (at + a.size() + 8 > recordSize)
                throw std::length_error("attributes do not fit the record");
            if (!a.empty())
                std::memcpy(r.data() + at, a.data(), a.size());
            at += a.size();
        }
        put32(r, at, 0xFFFFFFFF);
        put32(r, 24, uint32_t(at + 8));
        put16(r, 48, sequence);
        for (size_t k = 1; k < usaCount; ++k) {
            r[48 + 2 * k] = r[512 * k - 2];
            r[48 + 2 * k + 1] = r[512 * k - 1];
            put16(r, 512 * k - 2, sequence);
        }
        return r;
    }

private:
    uint16_t m_flags;
    uint64_t m_base;
    std::vector<Bytes> m_attributes;
};

// A whole MFT: records by number, the unset ones all zero (not in use).
class MftImage {
public:
    explicit MftImage(uint32_t recordSize = 1024, uint32_t count = 24) : m_recordSize(recordSize), m_records(count) {}

    // Records 0..15 as a fresh volume has them: system files named in the root (record 5).
    static MftImage withSystemFiles(uint32_t recordSize = 1024, uint32_t count = 24, int64_t mtime = 1700000000) {
        MftImage m(recordSize, count);
        static const char16_t* names[16] = {u"$MFT", u"$MFTMirr", u"$LogFile", u"$Volume", u"$AttrDef", u".",
                                            u"$Bitmap", u"$Boot", u"$BadClus", u"$Secure", u"$UpCase", u"$Extend",
                                            nullptr, nullptr, nullptr, nullptr};
        for (uint32_t i = 0; i < 16; ++i) {
            MftRecord r(i == 5 || i == 11 ? 0x3 : 0x1);
            r.standardInfo(mtime, 0x6);
            if (names[i])
                r.fileName(5, names[i], 3);
            m.set(i, r);
        }
        return m;
    }

    void set(uint32_t number, const MftRecord& record, uint16_t sequence = 7) {
        if (number >= m_records.size())
            m_records.resize(number + 1);
        m_records[number] = record.build(m_recordSize, number, sequence);
    }
    Bytes& raw(uint32_t number) {
        if (number >= m_records.size())
            m_records.resize(number + 1);
        if (m_records[number].empty())
            m_records[number].assign(m_recordSize, 0);
        return m_records[number];
    }
    uint32_t recordSize() const { return m_recordSize; }
    size_t count() const { return m_records.size(); }

    Bytes bytes() const {
        Bytes out;
        out.reserve(m_records.size() * m_recordSize);
        for (const Bytes& r : m_records) {
            if (r.empty())
                out.insert(out.end(), m_recordSize, 0);
            else
                out.insert(out.end(), r.begin(), r.end());
        }
        return out;
    }

private:
    uint32_t m_recordSize;
    std::vector<Bytes> m_records;
};

// The 96-byte volume-data record of a dump trailer.
inline Bytes volumeData(uint64_t serial, uint64_t totalClusters, uint64_t freeClusters, uint32_t clusterSize,
                        uint32_t recordSize) {
    Bytes v(96, 0);
    put64(v, 0, serial);
    put64(v, 16, totalClusters);
    put64(v, 24, freeClusters);
    put32(v, 40, 512);
    put32(v, 44, clusterSize);
    put32(v, 48, recordSize);
    return v;
}

// MFT bytes followed by "VOLDATA" + record, or "VOLDATA2" + record + letter when `letter` is set.
inline Bytes dumpWithTrailer(const Bytes& mft, const Bytes& volume, char letter = 0) {
    Bytes out = mft;
    if (letter) {
        out.insert(out.end(), {'V', 'O', 'L', 'D', 'A', 'T', 'A', '2'});
        out.insert(out.end(), volume.begin(), volume.end());
        out.push_back(uint8_t(letter));
    } else {
        out.insert(out.end(), {'V', 'O', 'L', 'D', 'A', 'T', 'A'});
        out.insert(out.end(), volume.begin(), volume.end());
    }
    return out;
}

// A volume image: boot sector at 0, the MFT's records at the clusters its record 0 names.
struct VolumeImage {
    uint16_t bytesPerSector = 512;
    uint8_t sectorsPerCluster = 8;
    int8_t clustersPerRecord = -10;  // 1024-byte records
    uint64_t mftCluster = 4;
    uint64_t totalSectors = 8192;
    uint64_t serial = 0x1234;

    Bytes bootSector() const {
        Bytes b(512, 0);
        b[0] = 0xEB;
        b[1] = 0x52;
        b[2] = 0x90;
        std::memcpy(b.data() + 3, "NTFS    ", 8);
        put16(b, 11, bytesPerSector);
        b[13] = sectorsPerCluster;
        put64(b, 40, totalSectors);
        put64(b, 48, mftCluster);
        put64(b, 56, 2);
        b[64] = uint8_t(clustersPerRecord);
        put64(b, 72, serial);
        put16(b, 510, 0xAA55);
        return b;
    }
};

inline void writeAt(Bytes& image, size_t offset, const Bytes& bytes);

// A volume image holding `mft` laid out over `runs` (absolute clusters, no sparse runs); record 0
// of `mft` must describe the same runs.
inline Bytes volumeWithMft(const VolumeImage& geometry, const Bytes& mft,
                           const std::vector<std::pair<int64_t, uint64_t>>& runs) {
    const size_t cluster = size_t(geometry.bytesPerSector) * geometry.sectorsPerCluster;
    Bytes image = geometry.bootSector();
    size_t done = 0;
    for (const auto& [start, count] : runs) {
        const size_t n = std::min(mft.size() - done, size_t(count) * cluster);
        if (start < 0) {
            done += n;
            continue;
        }
        writeAt(image, size_t(start) * cluster, Bytes(mft.begin() + long(done), mft.begin() + long(done + n)));
        done += n;
    }
    if (image.size() < geometry.totalSectors * geometry.bytesPerSector)
        image.resize(geometry.totalSectors * geometry.bytesPerSector, 0);
    return image;
}

inline void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

inline void writeAt(Bytes& image, size_t offset, const Bytes& bytes) {
    if (image.size() < offset + bytes.size())
        image.resize(offset + bytes.size(), 0);
    std::memcpy(image.data() + offset, bytes.data(), bytes.size());
}

}  // namespace hmtest
