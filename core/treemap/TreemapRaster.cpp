// Cushion shading of a finished layout into RGBA and id buffers.
#include "core/treemap/TreemapLayout.h"

#include <algorithm>
#include <cmath>

namespace svl {

namespace {

// Converts after clamping, so absurd rectangles cannot overflow the int conversion.
int toInt(double v) {
    v = std::clamp(v, -2.0e9, 2.0e9);
    return int(v);
}

uint8_t channel(float value) {
    if (value >= 255.0f)
        return 255;
    if (value <= 0.0f)
        return 0;
    return uint8_t(value);
}

void fillIds(TreemapPixels& out, const PixelBounds& b, uint32_t value) {
    if (out.ids.empty())
        return;
    for (int i = b.y0; i <= b.y1; ++i) {
        uint32_t* row = out.ids.data() + size_t(i) * size_t(out.width);
        std::fill(row + b.x0, row + b.x1 + 1, value);
    }
}

}  // namespace

PixelBounds pixelBounds(const TreemapRect& rect, double ratio, int width, int height) {
    PixelBounds b;
    b.x0 = std::max(0, toInt(rect.x * ratio + 0.5));
    b.x1 = std::min(width - 1, toInt((rect.x + rect.w) * ratio - 0.5));
    b.y0 = std::max(0, toInt(rect.y * ratio + 0.5));
    b.y1 = std::min(height - 1, toInt((rect.y + rect.h) * ratio - 0.5));
    return b;
}

void shadeCushion(const TreemapColor& color, const PixelBounds& b, bool gradients, TreemapPixels& out, double ratio,
                  const CushionCoefficients& c) {
    if (b.empty())
        return;
    const float r = float(ratio);
    const float s1x = float(c.s1x), s2x = float(c.s2x), s1y = float(c.s1y), s2y = float(c.s2y);
    const bool border = (b.x1 - b.x0) > 4 * ratio && (b.y1 - b.y0) > 4 * ratio;
    for (int i = b.y0; i <= b.y1; ++i) {
        const float py = (float(i) + 0.5f) / r;
        const float gy = 2.0f * s2y * py + s1y;
        uint8_t* p = out.rgba.data() + (size_t(i) * size_t(out.width) + size_t(b.x0)) * 4;
        for (int j = b.x0; j <= b.x1; ++j, p += 4) {
            float d;
            if (gradients) {
                const float px = (float(j) + 0.5f) / r;
                const float gx = 2.0f * s2x * px + s1x;
                const float cosine =
                    (0.09901476f * gx + 0.09901476f * gy + 0.9901476f) / std::sqrt(gx * gx + gy * gy + 1.0f);
                d = std::min(1.0f, cosine);
            } else {
                d = 0.85f;
            }
            if (border && (j == b.x1 || i == b.y1))
                d *= 0.8f;
            const float intensity = (0.87f * d + 0.13f) * 1.4666667f;
            p[0] = channel(color.r * intensity);
            p[1] = channel(color.g * intensity);
            p[2] = channel(color.b * intensity);
            p[3] = 255;
        }
    }
}

void TreemapLayout::render(const TreemapPalette& palette, int width, int height, TreemapPixels& out, bool gradients,
                           double ratio, bool hitIds) const {
    width = std::max(0, width);
    height = std::max(0, height);
    out.width = width;
    out.height = height;
    const size_t pixels = size_t(width) * size_t(height);
    out.rgba.assign(pixels * 4, 0);
    out.ids.clear();
    if (hitIds)
        out.ids.assign(pixels, 0);
    else
        out.ids.shrink_to_fit();

    const TreemapColor bg = treemapBackgroundColor();
    const uint8_t bgBytes[4] = {uint8_t(bg.r + 0.5f), uint8_t(bg.g + 0.5f), uint8_t(bg.b + 0.5f), 255};
    for (size_t i = 0; i < pixels; ++i)
        std::copy(bgBytes, bgBytes + 4, out.rgba.data() + i * 4);

    for (const TreemapLabelBand& band : labelBands) {
        const PixelBounds b = pixelBounds(band.folderRect, ratio, width, height);
        if (!b.empty())
            fillIds(out, b, band.id + 1);
    }

    const TreemapColor& other = palette[kTreemapOtherSlot];
    const TreemapColor freeColor =
        scaleLightness(int(other.r + 0.5f), int(other.g + 0.5f), int(other.b + 0.5f), 2.0);
    for (const TreemapFreeSpace& free : freeSpace) {
        const PixelBounds b = pixelBounds(free.rect, ratio, width, height);
        if (b.empty())
            continue;
        shadeCushion(freeColor, b, gradients, out, ratio, free.coefficients);
        fillIds(out, b, kTreemapFreeSpaceId);
    }

    for (const TreemapLeaf& leaf : leaves) {
        const PixelBounds b = pixelBounds(leaf.rect, ratio, width, height);
        if (b.empty())
            continue;
        shadeCushion(palette[std::min<int>(leaf.slot, kTreemapOtherSlot)], b, gradients, out, ratio,
                     leaf.coefficients);
        fillIds(out, b, leaf.id + 1);
    }
}

}  // namespace svl
