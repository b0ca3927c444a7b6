#include "core/treemap/TreemapColors.h"

#include "core/analysis/ExtensionStats.h"

#include <algorithm>
#include <cmath>

namespace svl {

namespace {

double hueToChannel(double p, double q, double t) {
    if (t < 0)
        t += 1;
    if (t > 1)
        t -= 1;
    if (t < 1.0 / 6)
        return p + (q - p) * 6 * t;
    if (t < 0.5)
        return q;
    if (t < 2.0 / 3)
        return p + (q - p) * (2.0 / 3 - t) * 6;
    return p;
}

}  // namespace

TreemapColor scaleLightness(int r, int g, int b, double factor) {
    const double rf = r / 255.0, gf = g / 255.0, bf = b / 255.0;
    const double mx = std::max({rf, gf, bf});
    const double mn = std::min({rf, gf, bf});
    double l = (mx + mn) / 2;
    double h = 0, s = 0;
    if (mx != mn) {
        const double d = mx - mn;
        s = l <= 0.5 ? d / (mx + mn) : d / (2 - mx - mn);
        if (mx == rf)
            h = (gf - bf) / d + (gf < bf ? 6 : 0);
        else if (mx == gf)
            h = (bf - rf) / d + 2;
        else
            h = (rf - gf) / d + 4;
        h /= 6;
    }
    l *= factor;
    double ro, go, bo;
    if (s == 0) {
        ro = go = bo = l;
    } else {
        const double q = l < 0.5 ? l * (1 + s) : l + s - l * s;
        const double p = 2 * l - q;
        ro = hueToChannel(p, q, h + 1.0 / 3);
        go = hueToChannel(p, q, h);
        bo = hueToChannel(p, q, h - 1.0 / 3);
    }
    auto channel = [](double c) { return float(std::min(1.0, c) * 255.0); };
    return {channel(ro), channel(go), channel(bo)};
}

TreemapColor treemapBackgroundColor() { return scaleLightness(72, 72, 72, 0.8); }

void defaultTreemapColors(TreemapPalette& out) {
    struct Base {
        int r, g, b;
        double factor;
    };
    static constexpr Base bases[12] = {
        {220, 114, 18, 0.7}, {198, 203, 6, 0.7},  {27, 147, 39, 0.8},  {109, 40, 165, 1.0},
        {151, 43, 86, 0.9},  {18, 124, 220, 0.9}, {11, 6, 203, 1.6},   {147, 27, 135, 1.1},
        {196, 13, 13, 0.9},  {108, 150, 40, 0.7}, {22, 226, 179, 0.7}, {96, 62, 21, 1.0},
    };
    for (int i = 0; i < 12; ++i)
        out[i] = scaleLightness(bases[i].r, bases[i].g, bases[i].b, bases[i].factor);
    out[kTreemapOtherSlot] = {72, 72, 72};
}

ExtensionColorMap indexExtensionStats(const std::vector<ExtensionStat>& stats) {
    std::vector<const ExtensionStat*> rows;
    rows.reserve(stats.size());
    for (const ExtensionStat& s : stats)
        rows.push_back(&s);
    const size_t n = std::min<size_t>(12, rows.size());
    std::partial_sort(rows.begin(), rows.begin() + n, rows.end(), [](const ExtensionStat* a, const ExtensionStat* b) {
        if (a->size != b->size)
            return a->size > b->size;
        return a->extension < b->extension;
    });
    ExtensionColorMap map;
    for (size_t k = 0; k < n; ++k)
        map[rows[k]->extension] = int(k);
    return map;
}

}  // namespace svl
