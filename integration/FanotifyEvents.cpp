#include "integration/FanotifyEvents.h"

#include <cstring>

#include <sys/fanotify.h>
#include <unistd.h>

namespace {

// An info record's header (type, padding, length), fsid, then a file_handle's
// handle_bytes and handle_type before the handle itself.
constexpr size_t kInfoHandleStart = 20;

}  // namespace

std::string handleIdentity(int32_t type, std::string_view handle) {
    std::string identity = "h" + std::string(reinterpret_cast<const char*>(&type), sizeof type);
    identity += handle;
    return identity;
}

FanotifyRead readFanotifyRemovals(const char* data, size_t size, std::vector<FanotifyRecord>& into, size_t limit) {
    constexpr size_t kMetaSize = sizeof(struct fanotify_event_metadata);
    for (size_t offset = 0; size - offset >= kMetaSize;) {
        const auto meta = readAt<struct fanotify_event_metadata>(data + offset);
        if (meta.event_len < kMetaSize || meta.event_len > size - offset)
            break;
        if (meta.vers != FANOTIFY_METADATA_VERSION)
            return FanotifyRead::UnknownVersion;
        if (meta.fd >= 0)
            ::close(meta.fd);
        if ((meta.mask & (FAN_DELETE | FAN_MOVED_FROM)) && meta.metadata_len >= kMetaSize) {
            const char* event = data + offset;
            FanotifyRecord record;
            bool named = false;
            for (size_t pos = meta.metadata_len; pos + 4 <= meta.event_len;) {
                const uint8_t type = uint8_t(event[pos]);
                const uint16_t length = readAt<uint16_t>(event + pos + 2);
                if (length <= 3 || length > meta.event_len - pos)
                    break;
                const char* info = event + pos;
                const uint32_t handleBytes = length >= kInfoHandleStart ? readAt<uint32_t>(info + 12) : 0;
                const bool known = type == FAN_EVENT_INFO_TYPE_DFID_NAME || type == FAN_EVENT_INFO_TYPE_FID;
                if (known && length >= kInfoHandleStart && handleBytes <= kMaxHandleBytes &&
                    kInfoHandleStart + size_t(handleBytes) <= length) {
                    const std::string_view handle(info + kInfoHandleStart, handleBytes);
                    const int32_t handleType = readAt<int32_t>(info + 16);
                    const char* name = info + kInfoHandleStart + handleBytes;
                    const size_t room = length - kInfoHandleStart - handleBytes;
                    const size_t nameLength = strnlen(name, room);
                    if (type == FAN_EVENT_INFO_TYPE_FID) {
                        record.target = handleIdentity(handleType, handle);
                    } else if (nameLength > 0 && nameLength < room && !(nameLength == 1 && name[0] == '.')) {
                        record.fsid = readAt<uint64_t>(info + 4);
                        record.handle = handle;
                        record.handleType = handleType;
                        record.name.assign(name, nameLength);
                        named = true;
                    }
                }
                pos += length;
            }
            record.folder = meta.mask & FAN_ONDIR;
            if (named && into.size() < limit)
                into.push_back(std::move(record));
        }
        offset += meta.event_len;
    }
    return FanotifyRead::Read;
}
