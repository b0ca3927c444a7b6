// Frames between the crawler and its helpers: round trips, every truncation, damaged
// lengths and oversized logins.
#include <gtest/gtest.h>

#include "core/smb/SmbWire.h"

using namespace svl::smbwire;

TEST(SmbWireTest, FramesRoundTripAndEveryTruncationIsCaught) {
    WireEntry e;
    e.name = std::string_view("a\xff name", 7);
    e.isDir = true;
    e.attributes = 0x811;
    e.size = UINT64_MAX;
    e.mtimeSeconds = -5;
    e.mtimeNanoseconds = 999999999;
    e.fileId = 0x1234567890abcdefull;
    std::string stream;
    FrameWriter w(stream, Message::Entries);
    w.u32(7).entry(e).entry(e);
    ASSERT_TRUE(w.finish());
    const Login login{"127.0.0.1", 4455, "share", "user", std::string("p\0w", 3), "DOM"};
    ASSERT_TRUE(appendLogin(stream, login));
    const size_t firstFrame = 4 + 1 + 4 + 2 * (1 + 4 + 8 + 8 + 4 + 8 + 4 + 7);

    Message type;
    std::string_view payload;
    size_t consumed = 0;
    ASSERT_EQ(nextFrame(stream, type, payload, consumed), FrameStatus::Complete);
    ASSERT_EQ(consumed, firstFrame);
    EXPECT_EQ(type, Message::Entries);
    FrameReader r(payload);
    uint32_t id;
    WireEntry back;
    ASSERT_TRUE(r.u32(id) && r.entry(back));
    EXPECT_EQ(id, 7u);
    EXPECT_EQ(back.name, e.name);
    EXPECT_TRUE(back.isDir);
    EXPECT_FALSE(back.isLink);
    EXPECT_EQ(back.attributes, e.attributes);
    EXPECT_EQ(back.size, e.size);
    EXPECT_EQ(back.mtimeSeconds, -5);
    EXPECT_EQ(back.mtimeNanoseconds, e.mtimeNanoseconds);
    EXPECT_EQ(back.fileId, e.fileId);
    ASSERT_TRUE(r.entry(back));
    EXPECT_TRUE(r.atEnd());

    ASSERT_EQ(nextFrame(std::string_view(stream).substr(consumed), type, payload, consumed), FrameStatus::Complete);
    EXPECT_EQ(type, Message::Login);
    Login read;
    ASSERT_TRUE(readLogin(payload, read));
    EXPECT_EQ(read.host, login.host);
    EXPECT_EQ(read.port, 4455u);
    EXPECT_EQ(read.password, login.password);
    EXPECT_EQ(read.domain, "DOM");

    for (size_t n = 0; n < firstFrame; ++n)
        EXPECT_EQ(nextFrame(std::string_view(stream).substr(0, n), type, payload, consumed), FrameStatus::NeedMore);
    const std::string_view entries = std::string_view(stream).substr(9, firstFrame - 9);
    for (size_t n = 0; n < entries.size() / 2; ++n) {
        FrameReader cut(entries.substr(0, n));
        EXPECT_FALSE(cut.entry(back)) << n;
        EXPECT_FALSE(cut.ok());
    }
    const std::string_view loginPayload = std::string_view(stream).substr(firstFrame + 5);
    for (size_t n = 0; n < loginPayload.size(); ++n)
        EXPECT_FALSE(readLogin(loginPayload.substr(0, n), read)) << n;
    EXPECT_FALSE(readLogin(std::string(loginPayload) + "x", read));
}

TEST(SmbWireTest, DamagedLengthsAndOversizedFramesAreRefused) {
    Message type;
    std::string_view payload;
    size_t consumed = 0;
    EXPECT_EQ(nextFrame(std::string("\0\0\0\0C", 5), type, payload, consumed), FrameStatus::Damaged);
    EXPECT_EQ(nextFrame(std::string("\x01\x00\x10\x00", 4), type, payload, consumed), FrameStatus::Damaged);
    EXPECT_EQ(nextFrame(std::string("\x00\x00\x10\x00", 4), type, payload, consumed), FrameStatus::NeedMore);

    // A string whose length runs past the frame.
    std::string frame;
    FrameWriter(frame, Message::List).u32(1).u32(1000).finish();
    ASSERT_EQ(nextFrame(frame, type, payload, consumed), FrameStatus::Complete);
    FrameReader r(payload);
    uint32_t id;
    std::string_view path;
    EXPECT_TRUE(r.u32(id));
    EXPECT_FALSE(r.bytes(path));

    std::string out = "kept";
    Login huge;
    huge.password.assign(kMaxFrame, 'p');
    EXPECT_FALSE(appendLogin(out, huge));
    EXPECT_EQ(out, "kept");
}
