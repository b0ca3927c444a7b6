// A remote source serving a folder tree from memory, for the remote-scan tests. Lists
// breadth-first, calling the visitor on the walking thread, as the SMB source does.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/scan/RemoteSource.h"

namespace remotetest {

struct Entry {
    std::string name;
    bool isDir = false;
    bool isLink = false;
    uint32_t attributes = 0;
    uint64_t size = 0;
    uint64_t allocated = 0;
    double mtime = 0;
};

inline Entry file(std::string name, uint64_t size, uint64_t allocated, double mtime = 0, uint32_t attributes = 0) {
    return Entry{std::move(name), false, false, attributes, size, allocated, mtime};
}
inline Entry folder(std::string name, double mtime = 0, uint64_t size = 0) {
    return Entry{std::move(name), true, false, 0, size, 0, mtime};
}

struct Folder {
    std::vector<Entry> entries;
    int error = 0;  // listing fails with this code
};

class MemoryRemoteSource : public svl::RemoteSource {
public:
    std::map<std::string, Folder> folders;  // by remote path
    // Maps a requested path to the folder served (a server following links); identity by default.
    std::function<std::string(const std::string&)> resolve = [](const std::string& p) { return p; };
    int result = 0;               // what walk returns when it runs
    std::string failure;          // non-empty: walk fails at once with this reason
    std::vector<std::string> extraReports;  // folders reported again after the walk
    std::function<void(int listed)> beforeListing;  // called before each folder is listed
    int listed = 0;
    int maxListings = 10000;  // a safety net for tests of loops

    int walk(const std::string& start, const svl::RemoteVisitor& visitor, const std::function<bool()>& cancelled,
             std::string& error) override {
        if (!failure.empty()) {
            error = failure;
            return -1;
        }
        std::deque<std::string> queue{start};
        while (!queue.empty() && listed < maxListings) {
            if (cancelled())
                return result;
            if (beforeListing)
                beforeListing(listed);
            const std::string path = queue.front();
            queue.pop_front();
            ++listed;
            const auto found = folders.find(resolve(path));
            if (found == folders.end() || found->second.error) {
                visitor(path, nullptr, 0, nullptr, found == folders.end() ? 2 : found->second.error);
                continue;
            }
            const std::vector<Entry>& list = found->second.entries;
            std::vector<svl::RemoteEntry> entries(list.size());
            std::vector<unsigned char> descend(list.size());
            for (size_t i = 0; i < list.size(); ++i) {
                entries[i] = svl::RemoteEntry{list[i].name.c_str(), list[i].isDir, list[i].isLink, list[i].attributes,
                                              list[i].size, list[i].allocated, list[i].mtime};
                descend[i] = list[i].isDir ? 1 : 0;
            }
            visitor(path, entries.data(), int(entries.size()), descend.data(), 0);
            for (size_t i = 0; i < list.size(); ++i)
                if (descend[i] && list[i].isDir)
                    queue.push_back(path.empty() ? list[i].name : path + "/" + list[i].name);
        }
        for (const std::string& again : extraReports) {
            const Folder& f = folders.at(again);
            std::vector<svl::RemoteEntry> entries(f.entries.size());
            std::vector<unsigned char> descend(f.entries.size(), 1);
            for (size_t i = 0; i < f.entries.size(); ++i)
                entries[i] = svl::RemoteEntry{f.entries[i].name.c_str(), f.entries[i].isDir, false, 0, 0, 0, 0};
            visitor(again, entries.data(), int(entries.size()), descend.data(), 0);
            for (unsigned char d : descend)
                if (d)
                    ++uncleared;
        }
        return result;
    }
    int uncleared = 0;  // descend flags left set by the visitor on the extra reports
};

}  // namespace remotetest
