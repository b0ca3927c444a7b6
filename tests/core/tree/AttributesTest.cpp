#include <gtest/gtest.h>

#include "core/tree/Attributes.h"
#include "core/tree/ScanTree.h"

using namespace svl;

TEST(AttributesTest, BitsLettersAndFlagsRoundTrip) {
    ScanNode node{};
    node.flags = NodeFlag::ReadOnly | NodeFlag::Hidden | NodeFlag::System | NodeFlag::Archive | NodeFlag::AttributeD |
                 NodeFlag::Compressed | NodeFlag::Folder;
    const uint32_t bits = attributeBits(node, false, "x");
    EXPECT_EQ(bits, 0x867u);  // no folder bit
    EXPECT_EQ(attributeLetters(uint16_t(bits)), "RHSADC");
    EXPECT_EQ(attributeLetters(0x27), "RHSA");
    EXPECT_EQ(attributeLetters(0), "");
    EXPECT_EQ(flagsFromAttributes(0xFFFFFFFF),
              NodeFlag::ReadOnly | NodeFlag::Hidden | NodeFlag::System | NodeFlag::Archive | NodeFlag::AttributeD |
                  NodeFlag::Compressed);
    EXPECT_EQ(flagsFromAttributes(0x10), 0);
}

TEST(AttributesTest, DotNamesAreHiddenOnlyWhenAskedAndWithoutVolumeAttributes) {
    ScanNode node{};
    EXPECT_EQ(attributeBits(node, false, ".profile"), 0u);
    EXPECT_EQ(attributeBits(node, true, ".profile"), 0x2u);
    EXPECT_EQ(attributeBits(node, true, "profile"), 0u);
    EXPECT_EQ(attributeBits(node, true, ""), 0u);
    node.flags = NodeFlag::VolumeAttributes;
    EXPECT_EQ(attributeBits(node, true, ".profile"), 0u);
}
