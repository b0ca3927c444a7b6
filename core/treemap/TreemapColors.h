// Treemap colours in the core: the 13-slot palette (12 extension groups and one for
// every other file), the extension-to-slot map, the HSL lightness helper and the
// colour map by size. Plain values; any thread.
#pragma once

#include <array>
#include <string>
#include <unordered_map>
#include <vector>

namespace svl {

struct ExtensionStat;

struct TreemapColor {
    float r = 0, g = 0, b = 0;  // 0..255, not necessarily whole
};

constexpr int kTreemapSlots = 13;
constexpr int kTreemapOtherSlot = 12;

// Slots 0..11 belong to the colour groups, slot 12 to every other file.
using TreemapPalette = std::array<TreemapColor, kTreemapSlots>;

// Lower-case extension (UTF-8, no dot, empty for none) -> palette slot 0..12.
using ExtensionColorMap = std::unordered_map<std::string, int>;

// The colour's HSL lightness multiplied by factor; channels min(1, c) x 255.
TreemapColor scaleLightness(int r, int g, int b, double factor);

// The treemap background: lightness of (72, 72, 72) scaled by 0.8.
TreemapColor treemapBackgroundColor();

void defaultTreemapColors(TreemapPalette& out);

// The twelve extensions with the largest total size, mapped to slots 0..11 in that order.
ExtensionColorMap indexExtensionStats(const std::vector<ExtensionStat>& stats);

}  // namespace svl
