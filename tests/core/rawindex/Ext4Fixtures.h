// Helpers shared by the ext4 index tests: images made with mkfs.ext4, opened from memory
// (a memfd) so that tests can patch their bytes, and a comparison of a loaded index against
// the live file system it was read from.
#pragma once

#include "core/rawindex/Ext4Index.h"
#include "core/rawindex/LittleEndian.h"
#include "tests/support/TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ext4test {

using Bytes = std::vector<unsigned char>;

// Makes an image of `sizeKiB` KiB with `mkfsOptions`, filled from `sourceDir` when not empty.
// Returns its path, or empty when mkfs failed.
inline std::string makeImage(const hmtest::TempDir& dir, const std::string& name, const std::string& mkfsOptions,
                             long sizeKiB, const std::string& sourceDir = "") {
    std::string image = dir / name;
    std::string command = "rm -f " + hmtest::shQuote(image) + " && truncate -s " + std::to_string(sizeKiB) + "K " +
                          hmtest::shQuote(image) + " && mkfs.ext4 -q -F " + mkfsOptions;
    if (!sourceDir.empty())
        command += " -d " + hmtest::shQuote(sourceDir);
    command += " " + hmtest::shQuote(image) + " >/dev/null 2>&1";
    return hmtest::sh(command) == 0 ? image : std::string();
}

inline Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Opens an index over `bytes` held in an anonymous in-memory file.
inline std::unique_ptr<svl::Ext4Index> openBytes(const Bytes& bytes, std::string* error) {
    int fd = memfd_create("ext4test", MFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            ::close(fd);
            return nullptr;
        }
        done += size_t(n);
    }
    return svl::Ext4Index::openDescriptor(fd, "image", error);
}

inline void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

// Where an image keeps things, read from its superblock and first group descriptor.
struct Layout {
    uint32_t blockSize = 0;
    uint32_t inodeSize = 0;
    uint32_t inodesPerGroup = 0;
    uint64_t inodeTable0 = 0;  // block of group 0's inode table

    explicit Layout(const Bytes& b) {
        const unsigned char* sb = b.data() + 1024;
        blockSize = 1024u << svl::le32(sb + 0x18);
        inodeSize = svl::le16(sb + 0x58);
        inodesPerGroup = svl::le32(sb + 0x28);
        uint64_t descriptors = uint64_t(svl::le32(sb + 0x14) + 1) * blockSize;
        inodeTable0 = svl::le32(b.data() + descriptors + 0x08);
    }
    // Byte offset of inode `n` (in group 0).
    size_t inodeOffset(uint32_t n) const { return size_t(inodeTable0 * blockSize + uint64_t(n - 1) * inodeSize); }
    // The first data block of inode `n` when its i_block holds a depth-0 extent tree.
    uint64_t firstExtentBlock(const Bytes& b, uint32_t n) const {
        const unsigned char* iblock = b.data() + inodeOffset(n) + 0x28;
        return svl::le32(iblock + 12 + 8);
    }
};

struct TreeCounts {
    uint64_t files = 0;
    uint64_t folders = 0;
};

// Compares folder `id` of `index` with the live folder `dir`, recursively: the same names,
// and for each entry the same inode, size, allocated blocks, modification time, mode and
// link count as lstat reports.
inline void expectSameAsLive(const svl::RawIndex& index, uint64_t id, const std::string& dir, TreeCounts& counts) {
    std::vector<svl::RawChild> children;
    ASSERT_TRUE(index.children(id, &children)) << dir;
    std::map<std::string, uint64_t> listed;
    for (const svl::RawChild& child : children) {
        std::string name(child.name, child.nameLength);
        EXPECT_EQ(std::strlen(child.name), child.nameLength);
        EXPECT_TRUE(listed.emplace(name, child.id).second) << "listed twice: " << dir << "/" << name;
    }
    std::map<std::string, ino_t> live;
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            live.emplace(name, e->d_ino);
    }
    closedir(d);
    ASSERT_EQ(listed.size(), live.size()) << dir;
    for (const auto& [name, id] : listed) {
        auto it = live.find(name);
        ASSERT_TRUE(it != live.end()) << "not on the volume: " << dir << "/" << name;
        std::string path = dir + "/" + name;
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(id, st.st_ino) << path;
        svl::RawStat record;
        ASSERT_TRUE(index.stat(id, &record)) << path;
        EXPECT_EQ(record.size, uint64_t(st.st_size)) << path;
        EXPECT_EQ(record.allocated, uint64_t(st.st_blocks)) << path;
        EXPECT_EQ(record.mtime, int64_t(st.st_mtime)) << path;
        EXPECT_EQ(record.mode, st.st_mode) << path;
        EXPECT_EQ(record.links, st.st_nlink) << path;
        if (S_ISDIR(st.st_mode)) {
            EXPECT_NE(record.folderIndex, 0xFFFFFFFFu) << path;
            ++counts.folders;
            expectSameAsLive(index, id, path, counts);
        } else {
            EXPECT_EQ(record.folderIndex, 0xFFFFFFFFu) << path;
            std::vector<svl::RawChild> none{svl::RawChild{}};
            EXPECT_FALSE(index.children(id, &none)) << path;
            EXPECT_TRUE(none.empty());
            ++counts.files;
        }
    }
}

// Creates `count` empty files named prefix1, prefix2, ... in `dir` (no shell: fast).
inline void createFiles(const std::string& dir, const std::string& prefix, int count) {
    for (int k = 1; k <= count; ++k) {
        int fd = ::open((dir + "/" + prefix + std::to_string(k)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0)
            ::close(fd);
    }
}

// Fills `dir` with a mix of entries: nested folders, an empty folder, hard links, a symbolic
// link, a sparse file, a FIFO, a long and a non-UTF-8 name.
inline void populateMixed(const std::string& dir) {
    std::string q = hmtest::shQuote(dir);
    hmtest::sh("cd " + q +
               " && mkdir -p a/b/c empty 'space name' && echo hello > a/one.txt && "
               "head -c 70000 /dev/zero > a/b/zeros && truncate -s 5M a/b/c/sparse && "
               "ln a/one.txt a/b/second-name && ln -s a/one.txt link && mkfifo a/fifo && "
               "touch \"$(printf 'n%.0s' $(seq 1 255))\" && touch \"$(printf 'bad\\377name')\" && "
               "chmod 444 a/one.txt");
}

}  // namespace ext4test
