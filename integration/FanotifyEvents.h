// The removals one read of a fanotify descriptor reports, taken out of its bytes. The
// descriptor reports folder handles and names (FAN_REPORT_DIR_FID | FAN_REPORT_NAME) and,
// on kernels that can, the removed entry's own handle (FAN_REPORT_TARGET_FID).
//
// Threads: any; pure functions (besides closing the events' descriptors).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// A T copied out of a kernel event record, whose fields need not be aligned in the buffer.
template <typename T>
T readAt(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Largest file handle kept: larger ones are from file systems the monitor cannot reopen.
constexpr int kMaxHandleBytes = 128;

// One removed or moved-away entry: its folder's handle and its name in that folder.
struct FanotifyRecord {
    uint64_t fsid = 0;
    std::string handle;
    int32_t handleType = 0;
    std::string name;
    bool folder = false;
    std::string target;  // the entry's own identity (handleIdentity), when the kernel gave it
};

// An object's identity under fanotify: "h", the handle type and the handle bytes.
std::string handleIdentity(int32_t type, std::string_view handle);

enum class FanotifyRead { Read, UnknownVersion };

// Appends the named removals (FAN_DELETE, FAN_MOVED_FROM) among the events in
// [data, data + size) to `into` while it holds fewer than `limit`, and closes the events'
// descriptors. Reads nothing outside that range and nothing outside each event or info
// record, whatever lengths they claim; a record without a name ending inside it, or named
// ".", is skipped. Stops at an event of another metadata version: the rest cannot be read.
FanotifyRead readFanotifyRemovals(const char* data, size_t size, std::vector<FanotifyRecord>& into, size_t limit);
