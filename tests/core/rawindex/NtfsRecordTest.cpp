// The bounds-checked NTFS readers: update sequences, run lists, the attribute walk, UTF-16 names.
#include "core/rawindex/NtfsRecord.h"

#include "tests/core/rawindex/SyntheticMft.h"

#include <gtest/gtest.h>

#include <memory>

using namespace svl;
using hmtest::Bytes;
using hmtest::put16;
using hmtest::put32;

namespace {

Bytes sampleRecord(uint32_t size = 1024) {
    hmtest::MftRecord r;
    r.standardInfo(1700000000, 0x20).fileName(5, u"a file").residentData(600);
    return r.build(size, 40, 0x1234);
}

// A copy in a heap block of exactly `n` bytes, so that ASan sees any read past it.
std::unique_ptr<uint8_t[]> exact(const Bytes& b, size_t n) {
    auto p = std::make_unique<uint8_t[]>(n);
    std::memcpy(p.get(), b.data(), std::min(n, b.size()));
    return p;
}

}  // namespace

TEST(NtfsRecordUpdateSequence, StrictRestoresSectorEndsAndRejectsMismatch) {
    Bytes r = sampleRecord();
    // The residentData value covers the first sector's end: the helper saved the 'x' bytes there.
    EXPECT_EQ(ntfsLe16(r.data() + 510), 0x1234);
    Bytes fixed = r;
    ASSERT_TRUE(applyUpdateSequence(fixed.data(), fixed.size(), false));
    EXPECT_EQ(fixed[510], 'x');
    EXPECT_EQ(fixed[511], 'x');

    Bytes torn = r;
    put16(torn, 1022, 0x9999);  // the second sector was written by another update
    EXPECT_FALSE(applyUpdateSequence(torn.data(), torn.size(), false));
    Bytes lenient = torn;
    EXPECT_TRUE(applyUpdateSequence(lenient.data(), lenient.size(), true));
    EXPECT_EQ(lenient[510], 'x');
}

TEST(NtfsRecordUpdateSequence, OddArraysAndTruncations) {
    Bytes r = sampleRecord();
    Bytes none = r;
    put16(none, 6, 0);
    EXPECT_FALSE(applyUpdateSequence(none.data(), none.size(), false));
    EXPECT_TRUE(applyUpdateSequence(none.data(), none.size(), true));
    Bytes one = r;
    put16(one, 6, 1);
    EXPECT_FALSE(applyUpdateSequence(one.data(), one.size(), true));
    Bytes outside = r;
    put16(outside, 4, 1020);  // the array would end past the record
    EXPECT_FALSE(applyUpdateSequence(outside.data(), outside.size(), true));
    Bytes many = r;
    put16(many, 6, 9);  // claims 8 sectors in a 1024-byte record
    EXPECT_FALSE(applyUpdateSequence(many.data(), many.size(), false));
    // Every truncation: never a read or write past the given size.
    for (size_t n = 0; n <= r.size(); n += (n < 64 ? 1 : 61)) {
        for (bool lenient : {false, true}) {
            auto p = exact(r, n);
            (void)applyUpdateSequence(p.get(), n, lenient);
        }
    }
}

TEST(NtfsRecordRuns, DecodesDeltasSparseRunsAndEnd) {
    const Bytes list = hmtest::encodeRuns({{1000, 16}, {-1, 5}, {200, 3}, {70000, 300}});
    NtfsRunReader reader(list.data(), list.data() + list.size());
    NtfsRun run;
    std::vector<std::pair<int64_t, uint64_t>> got;
    NtfsRunReader::Step step;
    while ((step = reader.next(&run)) == NtfsRunReader::Step::Run)
        got.push_back({run.start, run.count});
    EXPECT_EQ(step, NtfsRunReader::Step::End);
    const std::vector<std::pair<int64_t, uint64_t>> want{{1000, 16}, {-1, 5}, {200, 3}, {70000, 300}};
    EXPECT_EQ(got, want);

    // A one-byte delta of 0xF0 is -16; an eight-byte delta is taken as it stands.
    const Bytes negative{0x11, 0x04, 0x20, 0x11, 0x02, 0xF0, 0x00};
    NtfsRunReader r2(negative.data(), negative.data() + negative.size());
    ASSERT_EQ(r2.next(&run), NtfsRunReader::Step::Run);
    EXPECT_EQ(run.start, 32);
    ASSERT_EQ(r2.next(&run), NtfsRunReader::Step::Run);
    EXPECT_EQ(run.start, 16);
    EXPECT_EQ(r2.next(&run), NtfsRunReader::Step::End);
}

TEST(NtfsRecordRuns, BadHeadersAndTruncatedRuns) {
    for (uint8_t header : {uint8_t(0x10), uint8_t(0x09), uint8_t(0x91), uint8_t(0x0F)}) {
        const Bytes list{header, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
        NtfsRunReader reader(list.data(), list.data() + list.size());
        NtfsRun run;
        EXPECT_EQ(reader.next(&run), NtfsRunReader::Step::Bad) << int(header);
    }
    const Bytes list = hmtest::encodeRuns({{123456, 70000}});
    for (size_t n = 1; n + 1 < list.size(); ++n) {
        auto p = exact(list, n);
        NtfsRunReader reader(p.get(), p.get() + n);
        NtfsRun run;
        EXPECT_EQ(reader.next(&run), NtfsRunReader::Step::Bad) << n;
    }
    // Wrapping deltas stay defined.
    const Bytes wrap{0x81, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x81, 1, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 0x7F, 0};
    NtfsRunReader reader(wrap.data(), wrap.data() + wrap.size());
    NtfsRun run;
    EXPECT_EQ(reader.next(&run), NtfsRunReader::Step::Run);
    EXPECT_EQ(reader.next(&run), NtfsRunReader::Step::Run);
}

TEST(NtfsRecordAttributes, WalkStopsAtDamageAndBytesInUse) {
    Bytes r = sampleRecord();
    ASSERT_TRUE(applyUpdateSequence(r.data(), r.size(), false));
    std::vector<uint32_t> types;
    NtfsAttributeWalker walker(r.data(), r.size());
    NtfsAttribute a;
    while (walker.next(&a)) {
        types.push_back(a.type);
        const uint8_t* value;
        uint32_t length;
        EXPECT_TRUE(a.residentValue(&value, &length));
    }
    EXPECT_EQ(types, (std::vector<uint32_t>{0x10, 0x30, 0x80}));

    // A length that is no multiple of 8 ends the walk at that attribute.
    Bytes bad = r;
    const size_t second = walker.firstOffset() + ntfsLe32(r.data() + walker.firstOffset() + 4);
    put32(bad, second + 4, 90);
    NtfsAttributeWalker w2(bad.data(), bad.size());
    types.clear();
    while (w2.next(&a))
        types.push_back(a.type);
    EXPECT_EQ(types, (std::vector<uint32_t>{0x10}));

    // Bytes in use beyond the buffer are capped; a value past its attribute is refused.
    Bytes big = r;
    put32(big, 24, 0xFFFFFFF0);
    put32(big, second + 16, 5000);
    NtfsAttributeWalker w3(big.data(), big.size());
    ASSERT_TRUE(w3.next(&a));
    ASSERT_TRUE(w3.next(&a));
    const uint8_t* value;
    uint32_t length;
    EXPECT_FALSE(a.residentValue(&value, &length));

    for (size_t n = 0; n <= r.size(); n += (n < 64 ? 1 : 37)) {
        auto p = exact(r, n);
        NtfsAttributeWalker w(p.get(), n);
        while (w.next(&a)) {
            if (!a.nonResident)
                (void)a.residentValue(&value, &length);
        }
    }
}

TEST(NtfsRecordNames, Utf16ToUtf8HandlesSurrogates) {
    auto convert = [](const std::u16string& s) {
        const Bytes b = hmtest::utf16le(s);
        std::string out(3 * s.size(), '\0');
        out.resize(utf16ToUtf8(b.data(), s.size(), out.data()));
        EXPECT_EQ(utf16ToUtf8(b.data(), s.size(), nullptr), out.size());
        return out;
    };
    EXPECT_EQ(convert(u"plain"), "plain");
    EXPECT_EQ(convert(u"gr\u00fc\u00dfe \u6587"), "gr\xc3\xbc\xc3\x9f" "e \xe6\x96\x87");
    EXPECT_EQ(convert(u"\U0001F600"), "\xf0\x9f\x98\x80");
    const std::u16string lone{char16_t(0xD83D), u'a', char16_t(0xDC00)};
    EXPECT_EQ(convert(lone), "\xef\xbf\xbd" "a\xef\xbf\xbd");
    const std::u16string highAtEnd{u'b', char16_t(0xD800)};
    EXPECT_EQ(convert(highAtEnd), "b\xef\xbf\xbd");
}
