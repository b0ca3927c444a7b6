#include "core/rawindex/RawIndex.h"

#include "core/rawindex/BtrfsIndex.h"
#include "core/rawindex/Ext4Index.h"
#include "core/rawindex/NtfsIndex.h"
#include "core/rawindex/RawEligibility.h"
#include "core/scan/ScanDriver.h"
#include "core/scan/VolumeClass.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace svl {

namespace {

void setError(std::string* error, std::string text) {
    if (error)
        *error = std::move(text);
}

}  // namespace

std::unique_ptr<RawIndex> openRawIndex(const std::string& devicePath, std::string* error) {
    int fd = ::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        setError(error, "can't read " + devicePath + ": " + std::strerror(errno));
        return nullptr;
    }
    unsigned char start[2048] = {};
    ssize_t got = ::pread(fd, start, sizeof start, 0);
    ::close(fd);
    if (got < 1100) {
        setError(error, "can't read the start of " + devicePath);
        return nullptr;
    }
    if (std::memcmp(start + 3, "NTFS    ", 8) == 0 || std::memcmp(start, "FILE", 4) == 0)
        return NtfsIndex::open(devicePath, error);
    if (start[1080] == 0x53 && start[1081] == 0xEF)
        return Ext4Index::open(devicePath, error);
    setError(error, devicePath + " doesn't hold a filesystem this can read");
    return nullptr;
}

int flushVolume(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int result = ::syncfs(fd) == 0 ? 0 : -errno;
    ::close(fd);
    return result;
}

std::unique_ptr<RawIndex> loadRawIndex(const std::string& path, unsigned long dev, ScanProgress* progress,
                                       std::string& note, bool& cancelled, bool& needsAdmin, double weight,
                                       int rotationalMode) {
    cancelled = false;
    needsAdmin = false;

    std::string deviceName;
    MountEntry entry;
    const bool btrfs = isBtrfsSubvolumeRoot(path, dev);
    int threads = 0;
    if (btrfs) {
        if (::geteuid() != 0) {
            note = "reading Btrfs metadata takes administrator rights";
            needsAdmin = true;
            return nullptr;
        }
        threads = rotationalMode >= 1 ? 1 : rotationalMode == 0 ? 0 : isRotationalDisk(path) ? 1 : 0;
        deviceName = path;
    } else {
        if (!rawScanDevice(path, dev, &entry, &note))
            return nullptr;
        if (::access(entry.source.c_str(), R_OK) != 0 && (errno == EACCES || errno == EPERM)) {
            note = "reading " + entry.source + " takes administrator rights";
            needsAdmin = true;
            return nullptr;
        }
        deviceName = entry.source;
    }

    const auto started = std::chrono::steady_clock::now();
    // Files written just before the scan may exist only in memory: their sizes, even their
    // entries, reach the device (or the committed Btrfs trees) when the kernel writes them out.
    // A failed flush leaves the device as it is; the read goes on with what it holds.
    (void)flushVolume(path);
    std::string error;
    std::unique_ptr<RawIndex> index =
        btrfs ? std::unique_ptr<RawIndex>(BtrfsIndex::open(path, &error, threads)) : openRawIndex(entry.source, &error);
    if (!index) {
        note = error;
        return nullptr;
    }

    uint64_t files = 0;
    uint64_t folders = 0;
    double fraction = 0;
    if (progress) {
        files = progress->files.load();
        folders = progress->folders.load();
        fraction = progress->fraction.load();
    }
    RawIndex* loading = index.get();
    std::function<void(double)> report = [progress, fraction, weight, loading, folders, files](double f) {
        if (!progress)
            return;
        progress->fraction.store(fraction + f * weight);
        uint64_t entries = loading->entriesRead();
        uint64_t dirs = loading->foldersRead();
        progress->folders.store(folders + dirs);
        progress->files.store(files + (entries > dirs ? entries - dirs : 0));
    };
    std::string loadError;
    if (!index->load(progress ? &progress->cancel : nullptr, report, &loadError)) {
        if (progress) {
            progress->files.store(files);
            progress->folders.store(folders);
            progress->fraction.store(fraction);
        }
        if (!loadError.empty()) {
            note = loadError;
        } else {
            cancelled = progress && progress->cancel.load();
            note = "cancelled";
        }
        return nullptr;
    }

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char line[200];
    std::snprintf(line, sizeof line, "%s: read %llu files and folders from %s: %.0f MB in %.1fs", index->fsName(),
                  static_cast<unsigned long long>(index->entriesRead()), deviceName.c_str(),
                  double(index->bytesRead()) / 1000000.0, seconds);
    note = line;
    if (index->isPartial())
        note += " (cancelled: the part read so far)";
    return index;
}

}  // namespace svl
