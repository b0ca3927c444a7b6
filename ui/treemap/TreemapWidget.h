// The interactive treemap: lays out and rasterises the displayed tree (or one folder
// of it, the zoom root) at its own size and device pixel ratio, paints it with folder
// and file names, follows the mouse with an outline and an information label, selects
// on click, zooms on double click with an animated transition, and rebuilds when its
// settings change or after a debounced resize. The export renders with one that is
// never shown. GUI thread only. With background builds on, layout, picture and the
// extension statistics are made on a worker thread that reads the tree: call
// waitForBuild() before the tree changes in place, then refresh().
#pragma once

#include "core/analysis/ExtensionStats.h"
#include "core/treemap/TreemapLayout.h"

#include <QImage>
#include <QFont>
#include <QPoint>
#include <QRectF>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QLabel;
class QThread;
class QTimer;
class QVariantAnimation;

namespace svl {
class ScanTree;
}

struct TreemapImageRequest;

class TreemapWidget : public QWidget {
    Q_OBJECT

public:
    // Hover and hit id of the free-space strip; -1 is nothing, anything else a node id.
    static constexpr int64_t kFreeSpaceHit = 0xFFFFFFFE;

    explicit TreemapWidget(QWidget* parent = nullptr);
    ~TreemapWidget() override;

    QSize sizeHint() const override;

    // Takes the tree (may be empty); resets zoom, selection and hover, emits nothing.
    void setTree(std::shared_ptr<svl::ScanTree> tree);
    // The volume's figures for the free-space strip (capacity 0: no strip).
    void setDiskSpace(uint64_t capacity, uint64_t freeBytes);
    // Rebuilds after the tree changed in place (a rename, removed nodes); the extension
    // statistics are counted again but keep their colours.
    void refresh();
    // Off by default: every rebuild then finishes before the call returns.
    void setBackgroundBuilds(bool on);
    // A worker is building (or a build is due); the last picture stays until it is done.
    bool buildPending() const { return m_buildThread != nullptr; }
    // Blocks until no worker reads the tree; a result still current is installed.
    void waitForBuild();
    // Zooms to a folder (a file zooms to its folder, a file-group id to the group's folder).
    void zoomTo(uint32_t id);
    void zoomOut();
    void setSelection(const std::vector<uint32_t>& ids);
    // Export mode: these values replace showTreemapAllocated and showTreemapFreeSpace,
    // and gray draws every file in the "other files" slot.
    void setExportOptions(bool allocated, bool freeSpace, bool gray);
    // The name and size drawn on a leaf or, with asFolder, on a folder's band.
    QString labelText(uint32_t id, bool asFolder) const;

    // A picture made away from the GUI thread (the image export). The settings, palette and
    // font are read now, on the GUI thread; the function returned may then run once on any
    // thread while the tree is not changed in place. It gives the picture of `request` as a
    // widget of that size paints it (ratio 1, no hover or selection), or a null image when
    // memory runs out or `cancel` was set (looked at between the steps). No hit ids are
    // made, so the picture's own pixels are the only buffer of its size.
    static std::function<QImage(const std::atomic<bool>& cancel)> exportPainter(
        std::shared_ptr<svl::ScanTree> tree, const TreemapImageRequest& request);

    // The rasterised picture without names; null when there is none (no tree, no
    // size, or memory ran out while building it). It wraps the widget's own pixels:
    // copies must not be kept past the next rebuild.
    const QImage& image() const { return m_image; }
    // Per-extension statistics of the tree and the colours they chose; valid after
    // statisticsReady (or at once without background builds).
    const std::vector<svl::ExtensionStat>& stats() const { return m_stats; }
    const svl::ExtensionColorMap& colorMap() const { return m_colorMap; }
    uint32_t zoomRoot() const { return m_zoomRoot; }
    // The outlined ids, ascending, each once.
    const std::vector<uint32_t>& selection() const { return m_selection; }
    bool isSelected(uint32_t id) const;
    int64_t hoverId() const { return m_hoverId; }
    bool resizePending() const { return m_resizePending; }
    bool zoomAnimationRunning() const;
    // Id under a point in logical pixels: -1, a node id or kFreeSpaceHit.
    int64_t idAt(const QPointF& point) const;
    // The layout's rectangle of an id; all zero when it has none.
    QRectF rectOf(int64_t id) const;

signals:
    void nodeClicked(uint32_t id);
    void nodeContextRequested(uint32_t id, QPoint globalPos);
    void hoverChanged(int64_t id);
    void zoomRootChanged(uint32_t folder);
    // New statistics are in stats(); recoloured: a new tree chose colorMap() anew.
    void statisticsReady(bool recoloured);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    struct BuildInput;
    struct BuildOutput;

    // wait: finish before returning even with background builds (a zoom's transition needs the picture).
    void rebuild(bool wait = false);
    void rebuildNow();
    static void runBuild(const BuildInput& in, BuildOutput& out);
    BuildInput buildInput() const;
    void installBuild(const BuildInput& input, BuildOutput&& output);
    void requestBuild();
    void startBuild();
    void buildFinished(uint64_t serial);
    void joinBuildThread();
    void resizeTimerFired();
    void settingChanged(const QString& key);
    void drawLabels(QPainter& painter, const QRect* exposed) const;
    // Folder bands, the free-space caption and, with showNames, file names over a picture
    // laid out as `layout`; only boxes meeting `cull` when it is given. Any thread.
    static void paintNames(QPainter& painter, const svl::TreemapLayout& layout, const svl::ScanTree& tree,
                           const QFont& font, Qt::LayoutDirection direction, bool showNames, bool useAllocated,
                           const QRectF* cull);
    static QString labelTextOf(const svl::ScanTree& tree, uint32_t id, bool asFolder, bool useAllocated,
                               Qt::LayoutDirection direction);
    void drawOutline(QPainter& painter, int64_t id, const QColor& color, int width) const;
    QImage composedImage() const;
    void showInfo();
    void hideInfo();
    void startZoomAnimation(bool zoomingOut, const QImage& snapshot, const QRectF& rect);
    void stopZoomAnimation();
    void paintZoomFrame(QPainter& painter) const;
    bool isAncestor(uint32_t ancestor, uint32_t id) const;

    // Tree
    std::shared_ptr<svl::ScanTree> m_tree;
    std::vector<svl::ExtensionStat> m_stats;
    svl::ExtensionColorMap m_colorMap;
    svl::TreemapPalette m_palette;

    // Picture
    svl::TreemapLayout m_layout;
    svl::TreemapPixels m_pixels;
    QImage m_image;  // wraps m_pixels
    double m_ratio = 1.0;
    int m_builtWidth = -1;
    int m_builtHeight = -1;

    // Effective options of the last rebuild
    bool m_useAllocated = true;
    bool m_showFreeSpace = false;
    bool m_showNames = true;

    // Export options
    bool m_exportFixed = false;
    bool m_exportAllocated = false;
    bool m_exportFreeSpace = false;
    bool m_exportGray = false;

    uint64_t m_capacity = 0;
    uint64_t m_freeBytes = 0;

    // Statistics owed by the next build; recolour: for a new tree, choosing colours.
    bool m_statsWanted = false;
    bool m_recolourWanted = false;

    // Background builds: one worker at a time; a request while it runs is served after it.
    bool m_background = false;
    QThread* m_buildThread = nullptr;
    bool m_buildWanted = false;
    uint64_t m_buildSerial = 0;
    std::shared_ptr<BuildInput> m_buildInput;
    std::shared_ptr<BuildOutput> m_buildOutput;

    // Resize debounce
    bool m_resizePending = false;
    int m_resizeRetries = 0;
    QTimer* m_resizeTimer = nullptr;

    // Interaction
    // Ascending, so that a selection of millions is taken in one pass and looked up without a hash.
    std::vector<uint32_t> m_selection;
    int64_t m_hoverId = -1;
    QLabel* m_info = nullptr;
    QTimer* m_infoTimer = nullptr;
    QPoint m_cursorPos;
    int64_t m_infoShownFor = -1;

    // Zoom
    uint32_t m_zoomRoot = 0;
    QVariantAnimation* m_zoomAnimation = nullptr;
    QImage m_oldImage;
    QImage m_newImage;
    QRectF m_zoomRect;
    bool m_zoomingOut = false;
    double m_progress = 0;
};
