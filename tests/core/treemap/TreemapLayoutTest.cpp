#include "core/analysis/ExtensionStats.h"
#include "core/tree/ScanTree.h"
#include "core/treemap/TreemapLayout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

using namespace svl;

namespace {

// A tree built the way scanners build one: root first, each folder's children contiguous.
class TreeBuilder {
public:
    explicit TreeBuilder(const char* rootName, uint16_t flags = NodeFlag::Folder) { add(0, rootName, flags, 0); }
    uint32_t add(uint32_t parent, const std::string& name, uint16_t flags, uint64_t size, uint64_t allocated = 0) {
        const char* n = tree.storeName(name);
        const uint32_t id = tree.allocateNodes(1);
        tree.node(id) = ScanNode{n, size, allocated, 0, parent, 0, 0, 0, 0, uint16_t(name.size()), flags};
        if (id != 0) {
            ScanNode& p = tree.node(parent);
            EXPECT_TRUE(p.childCount == 0 || p.firstChild + p.childCount == id) << "children must be contiguous";
            if (p.childCount == 0)
                p.firstChild = id;
            ++p.childCount;
        }
        return id;
    }
    ScanTree& finish() {
        tree.finishNodeCount();
        tree.computeTotals();
        return tree;
    }
    ScanTree tree;
};

void expectRect(const TreemapRect& r, double x, double y, double w, double h) {
    EXPECT_NEAR(r.x, x, 1e-4);
    EXPECT_NEAR(r.y, y, 1e-4);
    EXPECT_NEAR(r.w, w, 1e-4);
    EXPECT_NEAR(r.h, h, 1e-4);
}

}  // namespace

TEST(TreemapSquarify, PlacesTheClassicExample) {
    const auto r = squarify({6, 6, 4, 3, 2, 2, 1}, {0, 0, 6, 4});
    ASSERT_EQ(r.size(), 7u);
    expectRect(r[0], 0, 0, 3, 2);
    expectRect(r[1], 0, 2, 3, 2);
    expectRect(r[2], 3, 0, 1.7143, 2.3333);
    expectRect(r[3], 4.7143, 0, 1.2857, 2.3333);
    expectRect(r[4], 3, 2.3333, 1.2, 1.6667);
    expectRect(r[5], 4.2, 2.3333, 1.2, 1.6667);
    expectRect(r[6], 5.4, 2.3333, 0.6, 1.6667);

    const auto two = squarify({3, 1}, {0, 0, 100, 10});
    expectRect(two[0], 0, 0, 75, 10);
    expectRect(two[1], 75, 0, 25, 10);
}

TEST(TreemapSquarify, ZeroNegativeAndUnsortedSizes) {
    for (const auto& r : squarify({0, 0, 0}, {0, 0, 10, 10}))
        expectRect(r, 0, 0, 0, 0);
    // Negative and NaN sizes count as 0: they take no area and the real size takes it all.
    const auto neg = squarify({-5, 4, std::nan("")}, {0, 0, 10, 10});
    EXPECT_EQ(neg[0].w * neg[0].h, 0);
    expectRect(neg[1], 0, 0, 10, 10);
    EXPECT_EQ(neg[2].w * neg[2].h, 0);
    // Unsorted input covers the whole area all the same.
    double area = 0;
    for (const auto& r : squarify({1, 5, 2, 8}, {0, 0, 40, 20}))
        area += r.w * r.h;
    EXPECT_NEAR(area, 800, 1e-6);
}

TEST(TreemapLayout, FreeSpaceStripWidths) {
    TreeBuilder b("/v");
    b.add(0, "a.bin", 0, 100);
    ScanTree& t = b.finish();
    TreemapOptions o;
    o.showNames = false;
    o.capacity = 1000;
    o.freeBytes = 250;
    TreemapLayout l = layoutTreemap(t, 0, {0, 0, 801, 100}, o);
    ASSERT_EQ(l.freeSpace.size(), 1u);
    expectRect(l.freeSpace[0].rect, 600, 0, 201, 100);
    expectRect(l.rectOf(1), 0, 0, 600, 100);
    // Twice the ridge of height 0.1638 on each axis.
    EXPECT_NEAR(l.freeSpace[0].coefficients.s2x, -2 * 0.6552 / 201, 1e-12);
    EXPECT_NEAR(l.freeSpace[0].coefficients.s1x, 2 * 0.6552 / 201 * (600 + 801), 1e-9);

    o.freeBytes = 1000;
    l = layoutTreemap(t, 0, {0, 0, 801, 100}, o);
    ASSERT_EQ(l.freeSpace.size(), 1u);
    expectRect(l.freeSpace[0].rect, 0, 0, 801, 100);
    EXPECT_TRUE(l.leaves.empty());

    o.freeBytes = 1001;
    l = layoutTreemap(t, 0, {0, 0, 801, 100}, o);
    EXPECT_TRUE(l.freeSpace.empty());
    expectRect(l.rectOf(1), 0, 0, 801, 100);
}

TEST(TreemapLayout, RootLeafTinyAreaAndOutOfRangeRoot) {
    TreeBuilder file("/f.txt", 0);
    file.tree.node(0).size = 5;
    ScanTree& t = file.finish();
    TreemapLayout l = layoutTreemap(t, 0, {0, 0, 50, 40}, {});
    ASSERT_EQ(l.leaves.size(), 1u);
    expectRect(l.leaves[0].rect, 0, 0, 50, 40);
    EXPECT_EQ(l.leaves[0].coefficients.s1x, 0);
    EXPECT_EQ(l.leaves[0].coefficients.s2y, 0);
    EXPECT_EQ(l.leaves[0].slot, kTreemapOtherSlot);

    EXPECT_TRUE(layoutTreemap(t, 0, {0, 0, 0.5, 40}, {}).leaves.empty());
    EXPECT_TRUE(layoutTreemap(t, 7, {0, 0, 50, 40}, {}).leaves.empty());
}

TEST(TreemapLayout, NameBandThresholds) {
    for (auto [w, h, band] : {std::tuple{79.0, 100.0, false}, {80.0, 15.0, true}, {80.0, 14.0, false}}) {
        TreeBuilder b("/r");
        uint32_t sub = b.add(0, "sub", NodeFlag::Folder, 0);
        b.add(sub, "x", 0, 10);
        ScanTree& t = b.finish();
        TreemapOptions o;
        TreemapLayout l = layoutTreemap(t, sub, {0, 0, w, h}, o);
        EXPECT_EQ(!l.labelBands.empty(), band) << w << "x" << h;
        if (band) {
            expectRect(l.labelBands[0].band, 0, 0, 80, 12);
            // The inner rectangle is 1 high, so the file still shows.
            ASSERT_EQ(l.leaves.size(), 1u);
            expectRect(l.leaves[0].rect, 2, 13, 76, 1);
        } else {
            EXPECT_EQ(l.rects.count(sub), 0u);
        }
    }
}

TEST(TreemapLayout, FileGroupsAndRemovedChildren) {
    TreeBuilder b("/r");
    uint32_t f1 = b.add(0, "a", 0, 30);
    b.add(0, "b", 0, 20);
    b.add(0, "c", 0, 10);
    uint32_t gone = b.add(0, "d", 0, 40);
    ScanTree& t = b.finish();
    t.node(gone).flags |= NodeFlag::Removed;
    TreemapOptions o;
    o.showNames = false;
    o.fileGroupMinSize = 4;  // four non-folder children, one of them removed
    TreemapLayout l = layoutTreemap(t, 0, {0, 0, 300, 200}, o);
    const uint32_t group = t.nodeCount + 0;
    ASSERT_EQ(l.rects.count(group), 1u);
    expectRect(l.rectOf(group), 0, 0, 300, 200);
    EXPECT_EQ(l.leaves.size(), 3u);
    EXPECT_EQ(l.rects.count(gone), 0u);
    EXPECT_EQ(l.leaves[0].id, f1);

    o.fileGroupMinSize = 0;
    l = layoutTreemap(t, 0, {0, 0, 300, 200}, o);
    EXPECT_EQ(l.rects.count(group), 0u);
    EXPECT_EQ(l.leaves.size(), 3u);
}

TEST(TreemapLayout, EqualSizesGoInIdOrderAndLargeFoldersAreCapped) {
    TreeBuilder b("/r");
    uint32_t first = b.add(0, "p", 0, 10);
    uint32_t second = b.add(0, "q", 0, 10);
    ScanTree& t = b.finish();
    TreemapOptions o;
    o.showNames = false;
    TreemapLayout l = layoutTreemap(t, 0, {0, 0, 100, 50}, o);
    ASSERT_EQ(l.leaves.size(), 2u);
    EXPECT_EQ(l.leaves[0].id, first);
    EXPECT_EQ(l.leaves[1].id, second);
    EXPECT_LT(l.leaves[0].rect.x, l.leaves[1].rect.x);

    TreeBuilder big("/big");
    for (int i = 0; i < 60000; ++i)
        big.add(0, "f" + std::to_string(i), 0, 1 + uint64_t(i));
    const ScanTree& bt = big.finish();
    // A huge area so nothing is dropped for being under one unit; only the cap limits.
    TreemapLayout bl = layoutTreemap(bt, 0, {0, 0, 1e6, 1e6}, o);
    EXPECT_LE(bl.leaves.size(), 50000u);
    EXPECT_GT(bl.leaves.size(), 40000u);
    for (const auto& leaf : bl.leaves)
        ASSERT_GT(bt.node(leaf.id).size, 10000u) << "only the 50000 largest may be placed";
}

TEST(TreemapLayout, ExtensionSlotsAndAllocatedWeights) {
    TreeBuilder b("/r");
    uint32_t photo = b.add(0, "Photo.JPG", 0, 100, 4096);
    uint32_t rc = b.add(0, ".bashrc", 0, 50, 4096);
    uint32_t readme = b.add(0, "README", 0, 50, 4096);
    uint32_t link = b.add(0, "hard", NodeFlag::ExtraHardLink, 50, 4096);
    ScanTree& t = b.finish();
    ExtensionColorMap map{{"jpg", 2}, {"bashrc", 7}, {"", 9}};
    TreemapOptions o;
    o.showNames = false;
    o.colorMap = &map;
    TreemapLayout l = layoutTreemap(t, 0, {0, 0, 400, 300}, o);
    std::unordered_map<uint32_t, int> slots;
    for (const auto& leaf : l.leaves)
        slots[leaf.id] = leaf.slot;
    EXPECT_EQ(slots[photo], 2);
    EXPECT_EQ(slots[rc], 7);
    EXPECT_EQ(slots[readme], 9);
    EXPECT_EQ(slots.count(link), 1u);

    o.useAllocated = true;
    l = layoutTreemap(t, 0, {0, 0, 400, 300}, o);
    for (const auto& leaf : l.leaves)
        EXPECT_NE(leaf.id, link) << "a further hard link has no allocated weight of its own";
}

TEST(TreemapRaster, PixelBoundsRules) {
    PixelBounds b = pixelBounds({10.2, 0, 0.5, 5}, 1, 100, 100);
    EXPECT_EQ(b.x0, 10);
    EXPECT_EQ(b.x1, 10);
    EXPECT_TRUE(pixelBounds({10.6, 0, 0.3, 5}, 1, 100, 100).empty());
    b = pixelBounds({0, 0, 100, 50}, 2, 400, 400);
    EXPECT_EQ(b.x1, 199);
    EXPECT_EQ(b.y1, 99);
    b = pixelBounds({-5, -5, 1e300, 1e300}, 1, 30, 20);
    EXPECT_EQ(b.x0, 0);
    EXPECT_EQ(b.x1, 29);
    EXPECT_EQ(b.y1, 19);
}

TEST(TreemapRaster, FlatShadesBorderAndIds) {
    TreeBuilder b("/r");
    uint32_t sub = b.add(0, "sub", NodeFlag::Folder, 0);
    uint32_t file = b.add(sub, "x.dat", 0, 10);
    b.finish();
    TreemapLayout l;
    l.labelBands.push_back({sub, {0, 0, 40, 12}, {0, 0, 40, 30}});
    l.leaves.push_back({file, {0, 13, 20, 10}, {}, 3});
    TreemapPalette pal;
    defaultTreemapColors(pal);
    pal[3] = {200, 100, 50};
    TreemapPixels px;
    l.render(pal, 50, 40, px, false, 1.0);
    ASSERT_EQ(px.rgba.size(), 50u * 40 * 4);
    auto at = [&](int x, int y) { return px.rgba.data() + (size_t(y) * 50 + x) * 4; };
    EXPECT_EQ(at(5, 15)[0], 255);
    EXPECT_EQ(at(5, 15)[1], 127);
    EXPECT_EQ(at(5, 15)[2], 63);
    EXPECT_EQ(at(19, 15)[0], 211);  // last column: the border
    EXPECT_EQ(at(19, 15)[1], 105);
    EXPECT_EQ(at(19, 15)[2], 52);
    EXPECT_EQ(at(5, 22)[2], 52);  // last row
    EXPECT_EQ(at(45, 35)[0], 58);  // background
    EXPECT_EQ(at(45, 35)[3], 255);
    EXPECT_EQ(px.ids[size_t(15) * 50 + 5], file + 1);
    EXPECT_EQ(px.ids[size_t(5) * 50 + 5], sub + 1);   // the band shows the folder
    EXPECT_EQ(px.ids[size_t(25) * 50 + 30], sub + 1);  // gap inside the folder
    EXPECT_EQ(px.ids[size_t(35) * 50 + 45], 0u);

    // With gradients a flat rectangle is lit straight from the light direction.
    l.render(pal, 50, 40, px, true, 1.0);
    EXPECT_EQ(at(5, 15)[1], uint8_t(100 * ((0.87f * 0.9901476f + 0.13f) * 1.4666667f)));
    // A picture without hit ids shades the same.
    TreemapPixels picture;
    l.render(pal, 50, 40, picture, true, 1.0, false);
    EXPECT_TRUE(picture.ids.empty());
    EXPECT_EQ(picture.rgba, px.rgba);
}

TEST(TreemapRaster, FreeSpaceColourAndSteepSlopesClamp) {
    TreemapLayout l;
    l.freeSpace.push_back({{0, 0, 10, 10}, {}, 5});
    TreemapPalette pal;
    defaultTreemapColors(pal);
    TreemapPixels px;
    l.render(pal, 10, 10, px, false, 1.0);
    // Slot 12 lightened to 144 grey, times the flat intensity 1.2752667.
    EXPECT_EQ(px.rgba[0], 183);
    EXPECT_EQ(px.ids[0], kTreemapFreeSpaceId);

    // A surface tilted away from the light falls below the ambient share and never wraps around.
    TreemapLayout steep;
    steep.leaves.push_back({0, {0, 0, 10, 10}, {-1000, 0, -1000, 0}, 0});
    steep.render(pal, 10, 10, px, true, 1.0);
    const uint8_t* p = px.rgba.data() + (5 * 10 + 5) * 4;
    EXPECT_LE(p[0], uint8_t(pal[0].r * 0.13f * 1.4666667f));
    EXPECT_LE(p[1], uint8_t(pal[0].g * 0.13f * 1.4666667f));
    EXPECT_EQ(p[3], 255);
}

TEST(TreemapColors, BuiltInPaletteAndLightness) {
    TreemapPalette pal;
    defaultTreemapColors(pal);
    auto hex = [](const TreemapColor& c) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%02X%02X%02X", int(c.r + 0.5f), int(c.g + 0.5f), int(c.b + 0.5f));
        return std::string(buf);
    };
    const char* expected[13] = {"9A500D", "8B8E04", "16761F", "6D28A5", "88274D", "1070C6", "5954FA",
                                "A21E95", "B00C0C", "4C691C", "0F9E7D", "603E15", "484848"};
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(hex(pal[i]), expected[i]) << "slot " << i;
    EXPECT_NEAR(treemapBackgroundColor().r, 57.6f, 1e-3);
}

TEST(TreemapColors, ColourMapBySizeTakesTheTwelveLargest) {
    std::vector<ExtensionStat> stats{{"png", 500, 0, 1}, {"jpg", 500, 0, 1}, {"mp4", 900, 0, 1}};
    for (int i = 0; i < 12; ++i)
        stats.push_back({"x" + std::to_string(i), 10 + uint64_t(i), 0, 1});
    const ExtensionColorMap map = indexExtensionStats(stats);
    EXPECT_EQ(map.size(), 12u);
    EXPECT_EQ(map.at("mp4"), 0);
    EXPECT_EQ(map.at("jpg"), 1);  // equal sizes: extension order
    EXPECT_EQ(map.at("png"), 2);
    EXPECT_EQ(map.count("x0"), 0u);  // the thirteenth and beyond get no slot
    EXPECT_EQ(map.at("x11"), 3);
}
