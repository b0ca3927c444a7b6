#include "core/treemap/TreemapLayout.h"

#include "core/analysis/ExtensionOf.h"
#include "core/tree/Saturating.h"
#include "core/tree/ScanTree.h"

#include <algorithm>
#include <cmath>

namespace svl {

namespace {

constexpr size_t kMaxEntriesPerFolder = 50000;
constexpr double kRootHeight = 0.18;
constexpr double kHeightFalloff = 0.91;
constexpr double kFreeSpaceRidge = 0.1638;
constexpr double kBandHeight = 12.0;

double worstRatio(double l, double len) {
    if (l > len && len > 1e-5)
        return l / len;
    if (l > 1e-5)
        return len / l;
    return 0;
}

}  // namespace

void addCushionRidge(CushionCoefficients& c, const TreemapRect& rect, double height) {
    // An axis narrower than one unit gets no ridge: its slope would blow up.
    if (std::trunc(rect.w) != 0) {
        const double k = 4 * height / rect.w;
        c.s1x += k * (rect.x + rect.x + rect.w);
        c.s2x -= k;
    }
    if (std::trunc(rect.h) != 0) {
        const double k = 4 * height / rect.h;
        c.s1y += k * (rect.y + rect.y + rect.h);
        c.s2y -= k;
    }
}

std::vector<TreemapRect> squarify(const std::vector<double>& input, const TreemapRect& area) {
    const size_t n = input.size();
    std::vector<TreemapRect> out(n);
    std::vector<double> sizes(n);
    double total = 0;
    bool sorted = true;
    for (size_t i = 0; i < n; ++i) {
        const double s = input[i];
        sizes[i] = (s > 0) ? s : 0;  // negative and NaN count as 0
        total += sizes[i];
        if (i > 0 && sizes[i] > sizes[i - 1])
            sorted = false;
    }
    if (!(total > 0))
        return out;

    double x = area.x, y = area.y, w = area.w, h = area.h;
    size_t index = 0;
    while (total > 0 && index < n) {
        const double longSide = std::max(w, h);
        const double shortSide = std::min(w, h);
        // Worst aspect ratio of the row index..end-1 whose size sum is m.
        auto worst = [&](size_t end, double m) {
            const double l = m / total * longSide;
            auto lenOf = [&](size_t j) { return m > 0 ? sizes[j] * shortSide / m : 0.0; };
            double r = 0;
            if (sorted) {
                r = worstRatio(l, lenOf(index));
                size_t last = end - 1;
                while (last > index && !(lenOf(last) > 1e-5))
                    --last;
                r = std::max(r, worstRatio(l, lenOf(last)));
            } else {
                for (size_t j = index; j < end; ++j)
                    r = std::max(r, worstRatio(l, lenOf(j)));
            }
            return std::max(1.0, r);
        };
        double m = sizes[index];
        size_t end = index + 1;
        double rowWorst = worst(end, m);
        while (end < n) {
            const double m2 = m + sizes[end];
            const double w2 = worst(end + 1, m2);
            if (w2 > rowWorst)
                break;
            m = m2;
            rowWorst = w2;
            ++end;
        }
        const double l = m / total * longSide;
        double run = (w >= h) ? y : x;
        for (size_t j = index; j < end; ++j) {
            const double len = m > 0 ? sizes[j] * shortSide / m : 0.0;
            out[j] = (w >= h) ? TreemapRect{x, run, l, len} : TreemapRect{run, y, len, l};
            run += len;
        }
        if (end >= n)
            break;
        const double advance = std::max(0.25, l);
        if (longSide - advance <= 0.25)
            break;
        if (w >= h) {
            x += advance;
            w -= advance;
        } else {
            y += advance;
            h -= advance;
        }
        total -= m;
        index = end;
    }
    return out;
}

TreemapRect TreemapLayout::rectOf(uint32_t id) const {
    auto it = rects.find(id);
    return it == rects.end() ? TreemapRect{} : it->second;
}

void TreemapLayout::clear() {
    leaves.clear();
    labelBands.clear();
    rects.clear();
    freeSpace.clear();
}

TreemapLayouter::TreemapLayouter(const ScanTree& tree, const TreemapOptions& options, TreemapLayout& layout)
    : m_tree(tree), m_options(options), m_layout(layout) {}

uint64_t TreemapLayouter::weightOf(uint32_t id) const {
    const ScanNode& n = m_tree.node(id);
    return m_options.useAllocated ? n.allocated : n.size;
}

uint8_t TreemapLayouter::slotOf(uint32_t id) const {
    if (!m_options.colorMap)
        return kTreemapOtherSlot;
    const ScanNode& n = m_tree.node(id);
    auto it = m_options.colorMap->find(extensionOf(n.name ? n.name : "", n.nameLength));
    if (it == m_options.colorMap->end() || it->second < 0 || it->second > kTreemapOtherSlot)
        return kTreemapOtherSlot;
    return uint8_t(it->second);
}

void TreemapLayouter::run(uint32_t rootId, const TreemapRect& rect, double height) {
    m_stack.push_back({rootId, false, true, rect, CushionCoefficients{}, height});
    while (!m_stack.empty()) {
        const Work work = m_stack.back();
        m_stack.pop_back();
        if (work.group)
            layoutGroup(work);
        else
            layoutNode(work);
    }
}

void TreemapLayouter::layoutNode(const Work& work) {
    const TreemapRect& rect = work.rect;
    if (rect.w < 1 || rect.h < 1)
        return;
    const uint32_t id = work.id;
    CushionCoefficients coefficients = work.coefficients;
    if (!work.isRoot)
        addCushionRidge(coefficients, rect, work.height);
    const ScanNode& node = m_tree.node(id);
    if (!(node.isFolder() && node.childCount > 0)) {
        m_layout.leaves.push_back({id, rect, coefficients, slotOf(id)});
        m_layout.rects[id] = rect;
        return;
    }

    TreemapRect inner = rect;
    if (m_options.showNames && !(node.flags & NodeFlag::VirtualRoot) && rect.h > 14 && rect.w >= 80) {
        m_layout.labelBands.push_back({id, {rect.x, rect.y, rect.w, kBandHeight}, rect});
        m_layout.rects[id] = rect;
        inner = {rect.x + 2, rect.y + 13, std::max(rect.w - 4, 0.0), std::max(rect.h - 14, 0.0)};
    }
    if (inner.w < 1 || inner.h < 1)
        return;

    std::vector<TreemapEntry> entries;
    std::vector<TreemapEntry> files;
    uint64_t filesTotal = 0;
    uint32_t fileCount = 0;
    const uint32_t end = node.firstChild + node.childCount;
    for (uint32_t c = node.firstChild; c < end && c < m_tree.nodeCount; ++c) {
        const ScanNode& child = m_tree.node(c);
        if (!child.isFolder())
            ++fileCount;
        if (child.flags & NodeFlag::Removed)
            continue;
        if (m_options.useAllocated && (child.flags & NodeFlag::ExtraHardLink))
            continue;
        const uint64_t weight = weightOf(c);
        if (weight == 0)
            continue;
        if (child.isFolder()) {
            entries.push_back({c, weight});
        } else {
            files.push_back({c, weight});
            filesTotal = saturatingAdd(filesTotal, weight);
        }
    }
    const int minGroup = m_options.fileGroupMinSize;
    if (minGroup <= 0 || fileCount < uint32_t(minGroup)) {
        entries.insert(entries.end(), files.begin(), files.end());
    } else if (filesTotal != 0) {
        entries.push_back({m_tree.nodeCount + id, filesTotal});
    }
    files = {};
    placeChildren(entries, inner, coefficients, work.height);
}

void TreemapLayouter::layoutGroup(const Work& work) {
    const uint32_t nodeCount = m_tree.nodeCount;
    m_layout.rects[nodeCount + work.id] = work.rect;
    const ScanNode& folder = m_tree.node(work.id);
    std::vector<TreemapEntry> files;
    const uint32_t end = folder.firstChild + folder.childCount;
    for (uint32_t c = folder.firstChild; c < end && c < nodeCount; ++c) {
        const ScanNode& f = m_tree.node(c);
        if (f.isFolder() || (f.flags & NodeFlag::Removed))
            continue;
        if (m_options.useAllocated && (f.flags & NodeFlag::ExtraHardLink))
            continue;
        const uint64_t weight = weightOf(c);
        if (weight != 0)
            files.push_back({c, weight});
    }
    placeChildren(files, work.rect, work.coefficients, work.height);
}

void TreemapLayouter::placeChildren(std::vector<TreemapEntry>& entries, const TreemapRect& rect,
                                    const CushionCoefficients& coefficients, double height) {
    if (entries.empty())
        return;
    auto bySize = [](const TreemapEntry& a, const TreemapEntry& b) {
        return a.size != b.size ? a.size > b.size : a.id < b.id;
    };
    if (entries.size() > kMaxEntriesPerFolder) {
        std::nth_element(entries.begin(), entries.begin() + kMaxEntriesPerFolder, entries.end(), bySize);
        entries.resize(kMaxEntriesPerFolder);
    }
    std::sort(entries.begin(), entries.end(), bySize);

    std::vector<double> sizes(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        sizes[i] = double(entries[i].size);
    const std::vector<TreemapRect> placed = squarify(sizes, rect);
    sizes = {};

    // Pushed last to first so the stack hands them out in order.
    const double childHeight = height * kHeightFalloff;
    const uint32_t nodeCount = m_tree.nodeCount;
    for (size_t i = entries.size(); i-- > 0;) {
        const TreemapRect& r = placed[i];
        const double x0 = std::nearbyint(r.x), x1 = std::nearbyint(r.x + r.w);
        const double y0 = std::nearbyint(r.y), y1 = std::nearbyint(r.y + r.h);
        const TreemapRect child{x0, y0, x1 - x0, y1 - y0};
        const uint32_t id = entries[i].id;
        if (id < nodeCount) {
            m_stack.push_back({id, false, false, child, coefficients, childHeight});
            continue;
        }
        if (child.w < 1 || child.h < 1)
            continue;
        CushionCoefficients group = coefficients;
        addCushionRidge(group, child, childHeight);
        m_stack.push_back({id - nodeCount, true, false, child, group, childHeight});
    }
}

TreemapLayout layoutTreemap(const ScanTree& tree, uint32_t rootId, const TreemapRect& area,
                            const TreemapOptions& options) {
    TreemapLayout layout;
    if (rootId >= tree.nodeCount)
        return layout;
    try {
        TreemapRect treeArea = area;
        if (options.capacity > 0 && options.capacity >= options.freeBytes) {
            const double share = double(options.capacity - options.freeBytes) / double(options.capacity);
            const double treeWidth = std::floor(area.w * share);
            treeArea.w = treeWidth;
            const double freeWidth = area.w - treeWidth;
            if (freeWidth >= 1) {
                TreemapFreeSpace free{{area.x + treeWidth, area.y, freeWidth, area.h}, {}, options.freeBytes};
                addCushionRidge(free.coefficients, free.rect, kFreeSpaceRidge);
                addCushionRidge(free.coefficients, free.rect, kFreeSpaceRidge);
                layout.freeSpace.push_back(free);
            }
        }
        TreemapLayouter layouter(tree, options, layout);
        layouter.run(rootId, treeArea, kRootHeight);
    } catch (...) {
        layout.clear();
        throw;
    }
    return layout;
}

}  // namespace svl
