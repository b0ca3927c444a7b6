// Squarified cushion treemap of one folder of a scan tree, and its raster.
// layoutTreemap turns the zoom root into leaf rectangles with cushion coefficients,
// name bands and an optional free-space strip; TreemapLayout::render shades them into
// an RGBA buffer plus an id buffer. Pure functions of their inputs: run them on one
// thread while the tree does not change.
#pragma once

#include "core/treemap/TreemapColors.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace svl {

class ScanTree;

struct TreemapRect {
    double x = 0, y = 0, w = 0, h = 0;
};

struct CushionCoefficients {
    double s1x = 0, s2x = 0, s1y = 0, s2y = 0;
};

struct TreemapOptions {
    bool showNames = true;
    bool useAllocated = false;
    int fileGroupMinSize = 0;  // 0 turns file groups off
    const ExtensionColorMap* colorMap = nullptr;
    uint64_t capacity = 0;  // 0: no free-space strip
    uint64_t freeBytes = 0;
};

// One folder's layout unit; an id at or above the node count is the file group of folder (id - node count).
struct TreemapEntry {
    uint32_t id;
    uint64_t size;
};

struct TreemapLeaf {
    uint32_t id;
    TreemapRect rect;
    CushionCoefficients coefficients;
    uint8_t slot;
};

struct TreemapLabelBand {
    uint32_t id;
    TreemapRect band;
    TreemapRect folderRect;
};

struct TreemapFreeSpace {
    TreemapRect rect;
    CushionCoefficients coefficients;
    uint64_t freeBytes;
};

// Device-pixel buffers of one render; ids: 0 background, 0xFFFFFFFF free space, v = node v - 1.
struct TreemapPixels {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;
    std::vector<uint32_t> ids;
};

constexpr uint32_t kTreemapFreeSpaceId = 0xFFFFFFFFu;

struct TreemapLayout {
    std::vector<TreemapLeaf> leaves;
    std::vector<TreemapLabelBand> labelBands;
    std::unordered_map<uint32_t, TreemapRect> rects;
    std::vector<TreemapFreeSpace> freeSpace;

    // All-zero rectangle for ids that are not in the map.
    TreemapRect rectOf(uint32_t id) const;
    void clear();

    // Fills out (resized and cleared) with the shaded picture; ratio = device pixels per layout unit.
    // Without hitIds, out.ids stays empty (a picture that is only saved needs no hit test).
    // Throws std::bad_alloc when the buffers cannot be made.
    void render(const TreemapPalette& palette, int width, int height, TreemapPixels& out, bool gradients,
                double ratio, bool hitIds = true) const;
};

// One layout pass. Folders are laid out from an explicit stack, children in order, so a
// tree of any depth lays out without deep recursion.
class TreemapLayouter {
public:
    TreemapLayouter(const ScanTree& tree, const TreemapOptions& options, TreemapLayout& layout);
    void run(uint32_t rootId, const TreemapRect& rect, double height);

private:
    // A folder or node to lay out; group: the file group of folder id.
    struct Work {
        uint32_t id;
        bool group;
        bool isRoot;
        TreemapRect rect;
        CushionCoefficients coefficients;
        double height;
    };

    void layoutNode(const Work& work);
    void layoutGroup(const Work& work);
    void placeChildren(std::vector<TreemapEntry>& entries, const TreemapRect& rect,
                       const CushionCoefficients& coefficients, double height);
    uint64_t weightOf(uint32_t id) const;
    uint8_t slotOf(uint32_t id) const;

    const ScanTree& m_tree;
    const TreemapOptions& m_options;
    TreemapLayout& m_layout;
    std::vector<Work> m_stack;
};

// Lays out folder rootId inside area. An id outside the tree gives an empty layout.
// Throws std::bad_alloc (with nothing kept) when memory runs out.
TreemapLayout layoutTreemap(const ScanTree& tree, uint32_t rootId, const TreemapRect& area,
                            const TreemapOptions& options);

// One rectangle per size, same order; sizes that get no room keep an all-zero rectangle.
std::vector<TreemapRect> squarify(const std::vector<double>& sizes, const TreemapRect& area);

// Adds one parabolic ridge of the given height over rect to c.
void addCushionRidge(CushionCoefficients& c, const TreemapRect& rect, double height);

struct PixelBounds {
    int x0, y0, x1, y1;  // inclusive
    bool empty() const { return x1 < x0 || y1 < y0; }
};

PixelBounds pixelBounds(const TreemapRect& rect, double ratio, int width, int height);

// Shades the pixels inside bounds with the cushion surface in the given colour.
void shadeCushion(const TreemapColor& color, const PixelBounds& bounds, bool gradients, TreemapPixels& out,
                  double ratio, const CushionCoefficients& c);

}  // namespace svl
