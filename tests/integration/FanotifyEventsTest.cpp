// Removals read out of fanotify event bytes, including records the kernel should never
// send: each buffer is copied into an allocation of exactly its size, so a read past it
// fails under AddressSanitizer.
#include "integration/FanotifyEvents.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace std::string_literals;

namespace {

template <typename T>
void append(std::string& bytes, T value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// An info record: header, fsid 7, then handle_bytes (as claimed), handle type 1, the handle
// and the name bytes as given; `length` 0 means the record's true length.
std::string info(uint8_t type, const std::string& handle, const std::string& name, uint16_t length = 0,
                 uint32_t claimedHandleBytes = UINT32_MAX) {
    std::string body;
    append(body, uint64_t(7));
    append(body, claimedHandleBytes == UINT32_MAX ? uint32_t(handle.size()) : claimedHandleBytes);
    append(body, int32_t(1));
    body += handle + name;
    std::string record;
    append(record, type);
    append(record, uint8_t(0));
    append(record, length ? length : uint16_t(4 + body.size()));
    return record + body;
}

// A folder handle and name record; its name bytes as given.
std::string dfid(const std::string& handle, const std::string& name, uint16_t length = 0,
                 uint32_t claimedHandleBytes = UINT32_MAX) {
    return info(FAN_EVENT_INFO_TYPE_DFID_NAME, handle, name, length, claimedHandleBytes);
}

std::string named(const std::string& name) { return dfid("HNDL", name + '\0'); }

std::string event(uint64_t mask, const std::string& infos, uint32_t extraLength = 0,
                  uint8_t version = FANOTIFY_METADATA_VERSION) {
    fanotify_event_metadata meta{};
    meta.event_len = uint32_t(sizeof meta + infos.size()) + extraLength;
    meta.vers = version;
    meta.metadata_len = sizeof meta;
    meta.mask = mask;
    meta.fd = FAN_NOFD;
    std::string bytes;
    append(bytes, meta);
    return bytes + infos;
}

std::vector<FanotifyRecord> recordsRead(const std::string& bytes, FanotifyRead expected = FanotifyRead::Read,
                                        size_t limit = 100) {
    const std::unique_ptr<char[]> exact(new char[bytes.size()]);
    std::memcpy(exact.get(), bytes.data(), bytes.size());
    std::vector<FanotifyRecord> records;
    EXPECT_EQ(readFanotifyRemovals(exact.get(), bytes.size(), records, limit), expected);
    return records;
}

std::vector<std::string> namesRead(const std::string& bytes, FanotifyRead expected = FanotifyRead::Read,
                                   size_t limit = 100) {
    std::vector<std::string> names;
    for (const FanotifyRecord& record : recordsRead(bytes, expected, limit))
        names.push_back(record.name);
    return names;
}

}  // namespace

TEST(FanotifyEvents, ANamedRemovalKeepsItsFolderHandleAndItsOwnHandle) {
    const auto moved =
        recordsRead(event(FAN_MOVED_FROM | FAN_ONDIR, named("photos") + info(FAN_EVENT_INFO_TYPE_FID, "SELF", "")));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].name, "photos");
    EXPECT_EQ(moved[0].fsid, 7u);
    EXPECT_EQ(moved[0].handle, "HNDL");
    EXPECT_EQ(moved[0].handleType, 1);
    EXPECT_TRUE(moved[0].folder);
    EXPECT_EQ(moved[0].target, handleIdentity(1, "SELF"));
    EXPECT_NE(handleIdentity(1, "SELF"), handleIdentity(2, "SELF"));
    EXPECT_FALSE(recordsRead(event(FAN_DELETE, named("a.txt"))).at(0).folder);

    // The entry's own handle is taken from a record of just the header's size, but not
    // when the handle it claims lies past the record.
    EXPECT_EQ(recordsRead(event(FAN_DELETE, named("b") + info(FAN_EVENT_INFO_TYPE_FID, "", ""))).at(0).target,
              handleIdentity(1, ""));
    EXPECT_EQ(recordsRead(event(FAN_DELETE, named("b") + info(FAN_EVENT_INFO_TYPE_FID, "", "", 20, 4))).at(0).target, "");
}

TEST(FanotifyEvents, OnlyWellFormedNamedRemovalsInsideTheirBoundsAreRead) {
    const std::string ok = event(FAN_DELETE, named("ok"));
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::string> names;
    } cases[] = {
        {"two removals", event(FAN_DELETE, named("a")) + event(FAN_MOVED_FROM, named("b")), {"a", "b"}},
        {"not a removal", event(FAN_CREATE, named("new")) + ok, {"ok"}},
        {"no records", event(FAN_DELETE, "") + ok, {"ok"}},
        {"the folder itself", event(FAN_DELETE, named(".")) + ok, {"ok"}},
        {"dotted names", event(FAN_DELETE, named(".a")) + event(FAN_DELETE, named("..")), {".a", ".."}},
        {"empty name", event(FAN_DELETE, named("")) + ok, {"ok"}},
        {"name without its end", event(FAN_DELETE, dfid("HNDL", "abc")) + ok, {"ok"}},
        {"largest handle", event(FAN_DELETE, dfid(std::string(kMaxHandleBytes, 'x'), "a\0"s)), {"a"}},
        {"handle too large", event(FAN_DELETE, dfid(std::string(kMaxHandleBytes + 1, 'x'), "a\0"s)) + ok, {"ok"}},
        {"handle past its record", event(FAN_DELETE, dfid("HNDL", "a\0"s, 0, 9)) + ok, {"ok"}},
        {"record shorter than a handle", event(FAN_DELETE, dfid("", "", 16)) + ok, {"ok"}},
        {"record past its event", event(FAN_DELETE, dfid("HNDL", "a\0"s, 200)) + ok, {"ok"}},
        // After a record shorter than its header no other can be found: here an unknown one
        // would start inside the header, and a named one behind it.
        {"record shorter than its header",
         event(FAN_DELETE, "\x02\x00\x03\x00\x00\x05\x00\x00"s + named("hidden")) + ok, {"ok"}},
        {"unknown record type", event(FAN_DELETE, info(FAN_EVENT_INFO_TYPE_DFID, "HNDL", "a\0"s)) + ok, {"ok"}},
        {"event past the read", ok + event(FAN_DELETE, named("cut"), 64), {"ok"}},
        {"event shorter than its header", event(FAN_DELETE, "", 0).substr(0, 20), {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(namesRead(c.bytes), c.names) << c.what;

    std::string shortEvent = event(FAN_DELETE, named("x"));
    shortEvent[0] = 8;  // event_len below the metadata's own size
    EXPECT_EQ(namesRead(shortEvent + ok), std::vector<std::string>{}) << "event shorter than its metadata";
    // Each event's descriptor is closed, the last one's too.
    const int fds[2] = {::open("/dev/null", O_RDONLY | O_CLOEXEC), ::open("/dev/null", O_RDONLY | O_CLOEXEC)};
    std::string withDescriptors = ok + event(FAN_CREATE, "");
    for (int k = 0; k < 2; ++k)
        std::memcpy(&withDescriptors[(k ? ok.size() : 0) + offsetof(fanotify_event_metadata, fd)], &fds[k], sizeof(int));
    EXPECT_EQ(namesRead(withDescriptors), std::vector<std::string>{"ok"});
    for (int fd : fds)
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "descriptor " << fd << " left open";

    EXPECT_EQ(namesRead(ok + ok + ok, FanotifyRead::Read, 2), (std::vector<std::string>{"ok", "ok"}))
        << "no more than the limit";
    EXPECT_EQ(namesRead(ok + event(FAN_DELETE, named("later"), 0, FANOTIFY_METADATA_VERSION + 1) + ok,
                        FanotifyRead::UnknownVersion),
              std::vector<std::string>{"ok"})
        << "another version";
}
