#include "ui/treemap/TreemapWidget.h"

#include "app/AppSettings.h"
#include "app/DirectionalText.h"
#include "app/ValueFormat.h"
#include "core/tree/ScanTree.h"
#include "ui/treemap/TreemapColorSettings.h"
#include "ui/treemap/TreemapImageRender.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QTextOption>
#include <QThread>
#include <QTimer>
#include <QVariantAnimation>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

#include <unistd.h>

namespace {

constexpr int kResizeDebounceMs = 150;
constexpr int kResizeRetryMs = 50;
constexpr int kResizeMaxRetries = 99;
constexpr int kInfoDelayMs = 120;
constexpr int kMaxZoomMs = 5000;
constexpr double kBandHeight = 12.0;

QVariant stored(const char* key, const QVariant& fallback) {
    return AppSettings::instance()->settings()->value(QLatin1String(key), fallback);
}

bool storedBool(const char* key, bool fallback) { return stored(key, fallback).toBool(); }

QColor backgroundColor() {
    const svl::TreemapColor c = svl::treemapBackgroundColor();
    return QColor(int(c.r + 0.5f), int(c.g + 0.5f), int(c.b + 0.5f));
}

QRectF toQRect(const svl::TreemapRect& r) { return QRectF(r.x, r.y, r.w, r.h); }

bool usable(const QRectF& r) { return r.width() > 0 && r.height() > 0; }

// Pixel buffers larger than the machine's memory are refused before they are made: with
// overcommit the allocation itself may succeed and the process be killed while filling it.
bool pixelsCouldFit(int deviceWidth, int deviceHeight) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0)
        return true;
    const double bytes = double(deviceWidth) * double(deviceHeight) * (4 + sizeof(uint32_t));
    return bytes <= double(pages) * double(pageSize);
}

int zoomDurationMs() {
    return std::clamp(stored("treemapZoomMs", 333).toInt(), 0, kMaxZoomMs);
}

}  // namespace

TreemapWidget::TreemapWidget(QWidget* parent) : QWidget(parent) {
    m_palette = loadTreemapPalette();
    setMouseTracking(true);
    setMinimumHeight(60);

    m_info = new QLabel(this);
    m_info->setTextFormat(Qt::PlainText);
    m_info->setFrameShape(QFrame::Box);
    m_info->setMargin(4);
    m_info->setAutoFillBackground(true);
    m_info->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_info->hide();

    m_infoTimer = new QTimer(this);
    m_infoTimer->setSingleShot(true);
    m_infoTimer->setInterval(kInfoDelayMs);
    connect(m_infoTimer, &QTimer::timeout, this, &TreemapWidget::showInfo);

    m_resizeTimer = new QTimer(this);
    m_resizeTimer->setSingleShot(true);
    connect(m_resizeTimer, &QTimer::timeout, this, &TreemapWidget::resizeTimerFired);

    connect(AppSettings::instance(), &AppSettings::changed, this, &TreemapWidget::settingChanged);
}

TreemapWidget::~TreemapWidget() {
    if (m_buildThread)
        joinBuildThread();
}

QSize TreemapWidget::sizeHint() const { return QSize(900, 360); }

// Everything one build reads, copied on the GUI thread so that a worker can run it.
struct TreemapWidget::BuildInput {
    std::shared_ptr<svl::ScanTree> tree;
    uint32_t zoomRoot = 0;
    int width = 0;
    int height = 0;
    double ratio = 1.0;
    bool useAllocated = true;
    bool showNames = true;
    bool showFreeSpace = false;
    bool gray = false;
    bool gradient = true;
    svl::TreemapOptions options;  // colorMap is pointed at the map in use when it runs
    svl::TreemapPalette palette;
    bool countStats = false;
    bool recolour = false;
    bool colorBySize = true;
    QStringList extensionLists;
    svl::ExtensionColorMap colorMap;  // the colours when the build does not choose them
    bool hitIds = true;               // false for a picture that is only saved
};

struct TreemapWidget::BuildOutput {
    svl::TreemapLayout layout;
    svl::TreemapPixels pixels;
    bool built = false;
    bool statsCounted = false;
    std::vector<svl::ExtensionStat> stats;
    svl::ExtensionColorMap colorMap;  // chosen by the statistics when the input asked to recolour
};

// The build itself: statistics when asked, then layout and picture. Runs on any thread.
void TreemapWidget::runBuild(const BuildInput& in, BuildOutput& out) {
    const bool hasTree = in.tree && in.tree->nodeCount > 0;
    if (in.countStats) {
        out.statsCounted = true;
        if (hasTree) {
            try {
                out.stats = svl::computeExtensionStats(*in.tree);
            } catch (const std::bad_alloc&) {
                // Without statistics every file takes the "other files" colour.
                out.stats.clear();
            }
            if (in.recolour)
                out.colorMap = in.colorBySize ? svl::indexExtensionStats(out.stats)
                                              : buildExtensionColorMap(in.extensionLists);
        }
    }
    if (!hasTree || in.width <= 0 || in.height <= 0) {
        out.pixels = svl::TreemapPixels();
        return;
    }
    const int deviceWidth = int(std::ceil(in.width * in.ratio));
    const int deviceHeight = int(std::ceil(in.height * in.ratio));
    if (out.pixels.ids.capacity() / 2 > size_t(deviceWidth) * size_t(deviceHeight))
        out.pixels = svl::TreemapPixels();  // much smaller now: give the memory back
    svl::TreemapOptions options = in.options;
    const svl::ExtensionColorMap& colours = in.countStats && in.recolour ? out.colorMap : in.colorMap;
    options.colorMap = in.gray ? nullptr : &colours;
    try {
        if (!pixelsCouldFit(deviceWidth, deviceHeight))
            throw std::bad_alloc();
        out.layout = svl::layoutTreemap(*in.tree, in.zoomRoot, {0, 0, double(in.width), double(in.height)}, options);
        out.layout.render(in.palette, deviceWidth, deviceHeight, out.pixels, in.gradient, in.ratio, in.hitIds);
        out.built = true;
    } catch (const std::bad_alloc&) {
        // Too large a picture or tree: show nothing rather than end the program.
        out.layout = svl::TreemapLayout();
        out.pixels = svl::TreemapPixels();
    } catch (const std::length_error&) {
        out.layout = svl::TreemapLayout();
        out.pixels = svl::TreemapPixels();
    }
}

std::function<QImage(const std::atomic<bool>&)> TreemapWidget::exportPainter(std::shared_ptr<svl::ScanTree> tree,
                                                                              const TreemapImageRequest& request) {
    auto in = std::make_shared<BuildInput>();
    in->tree = std::move(tree);
    const uint32_t count = in->tree ? in->tree->nodeCount : 0;
    // The zoom root as zoomTo takes it: a file-group row stands for its folder, a file for its parent.
    uint32_t zoom = request.zoomRoot;
    if (zoom >= count && zoom - count < count)
        zoom -= count;
    if (zoom >= count)
        zoom = 0;
    if (zoom != 0 && !in->tree->node(zoom).isFolder())
        zoom = in->tree->node(zoom).parent;
    in->zoomRoot = zoom;
    in->width = std::max(1, request.width);
    in->height = std::max(1, request.height);
    in->useAllocated = request.allocated;
    in->showNames = storedBool("showTreemapFilenames", true);
    in->showFreeSpace = request.freeSpace && zoom == 0 && request.capacity != 0;
    in->gray = request.gray;
    in->gradient = storedBool("gradientEnabled", true);
    in->options.showNames = in->showNames;
    in->options.useAllocated = in->useAllocated;
    in->options.fileGroupMinSize = std::max(0, stored("fileGroupMinSize", 4).toInt());
    if (in->showFreeSpace) {
        in->options.capacity = request.capacity;
        in->options.freeBytes = request.freeBytes;
    }
    in->palette = loadTreemapPalette();
    // A new tree chooses its colours, as setTree makes the widget do.
    in->countStats = true;
    in->recolour = true;
    in->colorBySize = loadTreemapColorBySize();
    if (!in->colorBySize)
        in->extensionLists = loadTreemapExtensionLists();
    in->hitIds = false;
    const QFont font = QApplication::font("TreemapWidget");
    const Qt::LayoutDirection direction = QGuiApplication::layoutDirection();
    return [in, font, direction](const std::atomic<bool>& cancel) -> QImage {
        if (cancel.load())
            return QImage();
        const bool hasTree = in->tree && in->tree->nodeCount > 0;
        if (!hasTree) {
            QImage empty(in->width, in->height, QImage::Format_RGB32);
            if (!empty.isNull())
                empty.fill(backgroundColor());
            return empty;
        }
        BuildOutput out;
        runBuild(*in, out);
        if (!out.built || cancel.load())
            return QImage();
        // The shaded bytes become the picture in place: R, G, B, A to 0xffRRGGBB words.
        auto* pixels = new std::vector<uint8_t>(std::move(out.pixels.rgba));
        uint8_t* p = pixels->data();
        for (size_t i = 0, n = pixels->size() / 4; i < n; ++i, p += 4) {
            const uint32_t word = 0xFF000000u | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
            std::memcpy(p, &word, 4);
        }
        QImage image(
            pixels->data(), out.pixels.width, out.pixels.height, qsizetype(out.pixels.width) * 4,
            QImage::Format_RGB32, [](void* buffer) { delete static_cast<std::vector<uint8_t>*>(buffer); }, pixels);
        if (cancel.load())
            return QImage();
        QPainter painter(&image);
        paintNames(painter, out.layout, *in->tree, font, direction, in->showNames, in->useAllocated, nullptr);
        painter.end();
        return image;
    };
}

void TreemapWidget::setTree(std::shared_ptr<svl::ScanTree> tree) {
    m_tree = std::move(tree);
    m_selection.clear();
    m_hoverId = -1;
    hideInfo();
    m_zoomRoot = 0;
    m_stats.clear();
    m_colorMap.clear();
    // The old picture and layout name nodes of the old tree: never show them over this one.
    m_image = QImage();
    m_layout = svl::TreemapLayout();
    m_statsWanted = true;
    m_recolourWanted = true;
    rebuild();
}

void TreemapWidget::setDiskSpace(uint64_t capacity, uint64_t freeBytes) {
    m_capacity = capacity;
    m_freeBytes = freeBytes;
    rebuild();
}

void TreemapWidget::refresh() {
    m_statsWanted = true;
    rebuild();
}

void TreemapWidget::setBackgroundBuilds(bool on) {
    if (!on)
        waitForBuild();
    m_background = on;
}

void TreemapWidget::setExportOptions(bool allocated, bool freeSpace, bool gray) {
    m_exportFixed = true;
    m_exportAllocated = allocated;
    m_exportFreeSpace = freeSpace;
    m_exportGray = gray;
    rebuild();
}

void TreemapWidget::setSelection(const std::vector<uint32_t>& ids) {
    std::vector<uint32_t> next;
    const uint32_t largest = ids.empty() ? 0 : *std::max_element(ids.begin(), ids.end());
    if (largest / 64 <= ids.size()) {
        // Dense ids (Select All over millions of rows) are put in order through a bit per id.
        std::vector<uint64_t> bits(largest / 64 + 1);
        for (uint32_t id : ids)
            bits[id / 64] |= uint64_t(1) << (id % 64);
        next.reserve(ids.size());
        for (size_t word = 0; word < bits.size(); ++word)
            for (uint64_t rest = bits[word]; rest != 0; rest &= rest - 1)
                next.push_back(uint32_t(word * 64 + size_t(std::countr_zero(rest))));
    } else {
        next = ids;
        std::sort(next.begin(), next.end());
        next.erase(std::unique(next.begin(), next.end()), next.end());
    }
    if (next == m_selection)
        return;
    m_selection = std::move(next);
    update();
}

bool TreemapWidget::isSelected(uint32_t id) const {
    return std::binary_search(m_selection.begin(), m_selection.end(), id);
}

bool TreemapWidget::zoomAnimationRunning() const {
    return m_zoomAnimation && m_zoomAnimation->state() == QAbstractAnimation::Running;
}

void TreemapWidget::rebuild(bool wait) {
    stopZoomAnimation();
    m_resizeTimer->stop();
    hideInfo();
    m_resizePending = false;
    m_resizeRetries = 0;
    if (m_background && !wait)
        requestBuild();
    else
        rebuildNow();
}

TreemapWidget::BuildInput TreemapWidget::buildInput() const {
    BuildInput in;
    in.tree = m_tree;
    in.zoomRoot = m_zoomRoot;
    in.width = width();
    in.height = height();
    in.ratio = devicePixelRatioF();
    in.useAllocated = m_exportFixed ? m_exportAllocated : storedBool("showTreemapAllocated", true);
    in.showNames = storedBool("showTreemapFilenames", true);
    in.showFreeSpace = (m_exportFixed ? m_exportFreeSpace : storedBool("showTreemapFreeSpace", false)) &&
                       m_zoomRoot == 0 && m_capacity != 0;
    in.gray = m_exportFixed && m_exportGray;
    in.gradient = storedBool("gradientEnabled", true);
    in.options.showNames = in.showNames;
    in.options.useAllocated = in.useAllocated;
    in.options.fileGroupMinSize = std::max(0, stored("fileGroupMinSize", 4).toInt());
    if (in.showFreeSpace) {
        in.options.capacity = m_capacity;
        in.options.freeBytes = m_freeBytes;
    }
    in.palette = m_palette;
    in.countStats = m_statsWanted;
    in.recolour = m_statsWanted && m_recolourWanted;
    if (in.recolour) {
        in.colorBySize = loadTreemapColorBySize();
        if (!in.colorBySize)
            in.extensionLists = loadTreemapExtensionLists();
    } else {
        in.colorMap = m_colorMap;
    }
    return in;
}

void TreemapWidget::rebuildNow() {
    m_buildWanted = false;  // this build serves any that was due
    const BuildInput in = buildInput();
    BuildOutput out;
    // The pixel buffers keep their memory: the next picture usually has the same size,
    // and first-touched pages cost more than shading them.
    m_image = QImage();
    m_layout = svl::TreemapLayout();
    out.pixels = std::move(m_pixels);
    runBuild(in, out);
    installBuild(in, std::move(out));
}

void TreemapWidget::installBuild(const BuildInput& in, BuildOutput&& out) {
    m_builtWidth = in.width;
    m_builtHeight = in.height;
    m_ratio = in.ratio;
    m_useAllocated = in.useAllocated;
    m_showNames = in.showNames;
    m_showFreeSpace = in.showFreeSpace;
    m_layout = std::move(out.layout);
    m_pixels = std::move(out.pixels);
    m_image = QImage();
    if (out.built && !m_pixels.rgba.empty()) {
        m_image = QImage(m_pixels.rgba.data(), m_pixels.width, m_pixels.height, qsizetype(m_pixels.width) * 4,
                         QImage::Format_RGBA8888);
        m_image.setDevicePixelRatio(m_ratio);
    }
    update();
    if (out.statsCounted) {
        m_stats = std::move(out.stats);
        if (in.recolour)
            m_colorMap = std::move(out.colorMap);
        m_statsWanted = false;
        m_recolourWanted = m_recolourWanted && !in.recolour;
        emit statisticsReady(in.recolour);
    }
}

void TreemapWidget::requestBuild() {
    if (m_buildThread) {
        m_buildWanted = true;  // the running build's result is stale: serve this after it
        return;
    }
    if (!m_tree || m_tree->nodeCount == 0 || width() <= 0 || height() <= 0) {
        if (!m_statsWanted || !m_tree || m_tree->nodeCount == 0) {
            rebuildNow();  // nothing to lay out or count: no thread needed
            return;
        }
    }
    startBuild();
}

void TreemapWidget::startBuild() {
    m_buildWanted = false;
    const uint64_t serial = ++m_buildSerial;
    m_buildInput = std::make_shared<BuildInput>(buildInput());
    m_buildOutput = std::make_shared<BuildOutput>();
    m_buildThread = QThread::create([this, serial, in = m_buildInput, out = m_buildOutput] {
        runBuild(*in, *out);
        // The destructor waits for this thread, so the widget still exists here.
        QMetaObject::invokeMethod(this, [this, serial] { buildFinished(serial); }, Qt::QueuedConnection);
    });
    m_buildThread->start();
}

void TreemapWidget::joinBuildThread() {
    m_buildThread->wait();
    delete m_buildThread;
    m_buildThread = nullptr;
}

void TreemapWidget::buildFinished(uint64_t serial) {
    if (!m_buildThread || serial != m_buildSerial)
        return;  // already taken by waitForBuild
    joinBuildThread();
    const std::shared_ptr<BuildInput> in = std::move(m_buildInput);
    const std::shared_ptr<BuildOutput> out = std::move(m_buildOutput);
    if (m_buildWanted) {
        requestBuild();  // the inputs changed while it ran
        return;
    }
    installBuild(*in, std::move(*out));
}

void TreemapWidget::waitForBuild() {
    if (!m_buildThread)
        return;
    joinBuildThread();
    const std::shared_ptr<BuildInput> in = std::move(m_buildInput);
    const std::shared_ptr<BuildOutput> out = std::move(m_buildOutput);
    if (!m_buildWanted) {
        installBuild(*in, std::move(*out));
        return;
    }
    // The caller may be about to change the tree: the due build starts from the event loop.
    QTimer::singleShot(0, this, [this] {
        if (m_buildWanted && !m_buildThread)
            requestBuild();
    });
}

void TreemapWidget::settingChanged(const QString& key) {
    // An empty key follows a reset: any setting may have changed.
    if (key == QLatin1String("treemapColorsRevision") || key.isEmpty()) {
        m_palette = loadTreemapPalette();
        m_colorMap.clear();
        if (m_tree && m_tree->nodeCount > 0)
            m_colorMap = loadExtensionColorMap(m_stats);
        rebuild();
        return;
    }
    if (key.startsWith(QLatin1String("showTreemap")) || key == QLatin1String("displayMode") ||
        key == QLatin1String("unitBase") || key == QLatin1String("decimalPlaces") ||
        key == QLatin1String("fileGroupMinSize") || key == QLatin1String("gradientEnabled"))
        rebuild();
}

void TreemapWidget::resizeEvent(QResizeEvent*) {
    if (m_image.isNull() || m_builtWidth <= 0 || m_builtHeight <= 0) {
        rebuild();
        return;
    }
    if (width() == m_builtWidth && height() == m_builtHeight) {
        m_resizePending = false;
        m_resizeTimer->stop();
    } else {
        m_resizePending = true;
        m_resizeRetries = 0;
        m_resizeTimer->start(kResizeDebounceMs);
    }
    update();
}

void TreemapWidget::resizeTimerFired() {
    // A held button means a splitter or window edge is still being dragged.
    if (QGuiApplication::mouseButtons() != Qt::NoButton) {
        ++m_resizeRetries;
        if (m_resizeRetries <= kResizeMaxRetries) {
            m_resizeTimer->start(kResizeRetryMs);
            return;
        }
    }
    rebuild();
}

int64_t TreemapWidget::idAt(const QPointF& point) const {
    if (m_image.isNull() || m_resizePending || m_buildThread || zoomAnimationRunning())
        return -1;
    if (point.x() < 0 || point.y() < 0)
        return -1;
    const double px = point.x() * m_ratio, py = point.y() * m_ratio;
    if (px >= m_pixels.width || py >= m_pixels.height)
        return -1;
    const size_t index = size_t(int(py)) * size_t(m_pixels.width) + size_t(int(px));
    return int64_t(m_pixels.ids[index]) - 1;
}

QRectF TreemapWidget::rectOf(int64_t id) const {
    if (id < 0 || id > int64_t(UINT32_MAX))
        return QRectF();
    return toQRect(m_layout.rectOf(uint32_t(id)));
}

QString TreemapWidget::labelTextOf(const svl::ScanTree& tree, uint32_t id, bool asFolder, bool useAllocated,
                                   Qt::LayoutDirection direction) {
    const svl::ScanNode& node = tree.node(id);
    QString name = QString::fromUtf8(node.name ? node.name : "", node.nameLength);
    if (asFolder && !name.endsWith(QLatin1Char('/')))
        name += QLatin1Char('/');
    uint64_t size = node.size;
    if (useAllocated)
        size = (node.flags & svl::NodeFlag::ExtraHardLink) ? 0 : node.allocated;
    // A folder's label ends in a slash like a path: the name is isolated on its own, so a
    // direction control in it cannot carry the slash to the other side.
    const QString shown = asFolder ? isolatePath(name, direction) : isolateText(name, direction);
    return QStringLiteral("%1 (%2)").arg(shown, isolateText(formatSize(size), direction));
}

QString TreemapWidget::labelText(uint32_t id, bool asFolder) const {
    return labelTextOf(*m_tree, id, asFolder, m_useAllocated, layoutDirection());
}

void TreemapWidget::drawLabels(QPainter& painter, const QRect* exposed) const {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (m_builtWidth > 0 && m_builtHeight > 0 && (m_builtWidth != width() || m_builtHeight != height()))
        painter.scale(double(width()) / m_builtWidth, double(height()) / m_builtHeight);
    painter.drawImage(QPointF(0, 0), m_image);
    if (!m_tree)
        return;
    const bool cull = exposed && m_builtWidth == width() && m_builtHeight == height();
    const QRectF area = cull ? QRectF(*exposed) : QRectF();
    paintNames(painter, m_layout, *m_tree, font(), layoutDirection(), m_showNames, m_useAllocated,
               cull ? &area : nullptr);
}

void TreemapWidget::paintNames(QPainter& painter, const svl::TreemapLayout& layout, const svl::ScanTree& tree,
                               const QFont& baseFont, Qt::LayoutDirection direction, bool showNames,
                               bool useAllocated, const QRectF* cull) {
    auto skip = [&](const QRectF& r) { return cull && !r.intersects(*cull); };

    QFont font = baseFont;
    font.setPointSizeF(std::max(font.pointSizeF() - 1.5, 7.0));
    painter.setFont(font);
    painter.setPen(QColor(255, 255, 255, 217));
    const QFontMetrics metrics(font);

    auto drawBandText = [&](const svl::TreemapRect& r, const QString& text) {
        const QRectF box(r.x + 4, r.y, r.w - 8, kBandHeight);
        if (skip(box))
            return;
        painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter,
                         metrics.elidedText(text, Qt::ElideRight, int(r.w - 8)));
    };
    for (const svl::TreemapLabelBand& band : layout.labelBands)
        drawBandText(band.folderRect, labelTextOf(tree, band.id, true, useAllocated, direction));
    for (const svl::TreemapFreeSpace& free : layout.freeSpace) {
        if (free.rect.h > 14 && free.rect.w >= 80)
            drawBandText(free.rect, tr("Space Free: %1").arg(isolateText(formatSize(free.freeBytes))));
    }

    if (!showNames)
        return;
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    for (const svl::TreemapLeaf& leaf : layout.leaves) {
        if (leaf.rect.w < 70 || leaf.rect.h < 14)
            continue;
        const QRectF box(leaf.rect.x + 3, leaf.rect.y + 1, leaf.rect.w - 6, leaf.rect.h - 2);
        if (skip(box))
            continue;
        painter.save();
        painter.setClipRect(box);
        painter.drawText(box, labelTextOf(tree, leaf.id, false, useAllocated, direction), option);
        painter.restore();
    }
}

void TreemapWidget::drawOutline(QPainter& painter, int64_t id, const QColor& color, int width) const {
    const QRectF r = rectOf(id);
    if (!usable(r))
        return;
    painter.setPen(QPen(color, width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(Qt::NoBrush);
    const double half = width / 2.0;
    painter.drawRect(QRectF(r.x() + half, r.y() + half, r.width() - width, r.height() - width));
}

void TreemapWidget::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    if (m_image.isNull()) {
        painter.fillRect(rect(), backgroundColor());
        return;
    }
    if (zoomAnimationRunning() && !m_newImage.isNull()) {
        paintZoomFrame(painter);
        return;
    }
    const QRect exposed = event->rect();
    drawLabels(painter, &exposed);
    if (m_hoverId >= 0 && !isSelected(uint32_t(m_hoverId)))
        drawOutline(painter, m_hoverId, QColor(176, 176, 176), 1);
    // Only ids with a rectangle get an outline, and only those the paint reaches are drawn:
    // with everything selected there is one per rectangle of the layout, and a selection
    // larger than the layout is matched from the layout's side.
    // The 2-pixel border inside each rectangle is filled as four bars, which the painter does
    // many times faster than stroking a rectangle with a wide pen.
    constexpr double kWidth = 2;
    const QRectF reach = QRectF(exposed).adjusted(-kWidth, -kWidth, kWidth, kWidth);
    const auto outline = [&](uint32_t id, const svl::TreemapRect& placed) {
        const QRectF r = toQRect(placed);
        if ((m_zoomRoot != 0 && id == m_zoomRoot) || !usable(r) || !r.intersects(reach))
            return;
        if (r.width() <= 2 * kWidth || r.height() <= 2 * kWidth) {
            painter.fillRect(r, Qt::white);
            return;
        }
        painter.fillRect(QRectF(r.x(), r.y(), r.width(), kWidth), Qt::white);
        painter.fillRect(QRectF(r.x(), r.bottom() - kWidth, r.width(), kWidth), Qt::white);
        painter.fillRect(QRectF(r.x(), r.y() + kWidth, kWidth, r.height() - 2 * kWidth), Qt::white);
        painter.fillRect(QRectF(r.right() - kWidth, r.y() + kWidth, kWidth, r.height() - 2 * kWidth), Qt::white);
    };
    if (m_selection.size() > m_layout.rects.size()) {
        for (const auto& [id, placed] : m_layout.rects)
            if (isSelected(id))
                outline(id, placed);
    } else {
        for (uint32_t id : m_selection)
            if (const auto placed = m_layout.rects.find(id); placed != m_layout.rects.end())
                outline(id, placed->second);
    }
}

QImage TreemapWidget::composedImage() const {
    if (m_image.isNull())
        return QImage();
    QImage composed(int(std::ceil(width() * m_ratio)), int(std::ceil(height() * m_ratio)),
                    QImage::Format_ARGB32_Premultiplied);
    if (composed.isNull())
        return QImage();
    composed.setDevicePixelRatio(m_ratio);
    QPainter painter(&composed);
    drawLabels(painter, nullptr);
    return composed;
}

void TreemapWidget::mouseMoveEvent(QMouseEvent* event) {
    m_cursorPos = event->position().toPoint();
    const int64_t id = idAt(event->position());
    if (id != m_hoverId) {
        const QRectF before = rectOf(m_hoverId);
        const QRectF after = rectOf(id);
        m_hoverId = id;
        if (m_resizePending || !usable(before) || !usable(after)) {
            update();
        } else {
            update(before.adjusted(-2, -2, 2, 2).toAlignedRect());
            update(after.adjusted(-2, -2, 2, 2).toAlignedRect());
        }
        emit hoverChanged(id);
        hideInfo();
    }
    if (id < 0 || !m_tree)
        m_infoTimer->stop();
    else if (!(m_infoShownFor == id && m_info->isVisible()))
        m_infoTimer->start();
}

void TreemapWidget::leaveEvent(QEvent*) {
    m_hoverId = -1;
    hideInfo();
    update();
    emit hoverChanged(-1);
}

void TreemapWidget::showInfo() {
    if (m_hoverId < 0 || !m_tree || !rect().contains(m_cursorPos))
        return;
    QString text;
    if (m_hoverId == kFreeSpaceHit) {
        text = tr("Space Free: %1").arg(isolateText(formatSize(m_freeBytes)));
    } else {
        if (m_hoverId >= int64_t(m_tree->nodeCount))
            return;
        const uint32_t id = uint32_t(m_hoverId);
        const svl::ScanNode& node = m_tree->node(id);
        const QString path = QString::fromUtf8(m_tree->fullPath(id));
        const QFontMetrics metrics(m_info->font());
        const uint64_t rootAllocated =
            m_zoomRoot < m_tree->nodeCount ? m_tree->node(m_zoomRoot).allocated : 0;
        const double percent = rootAllocated ? double(node.allocated) * 100.0 / double(rootAllocated) : 0.0;
        text = isolatePath(metrics.elidedText(path, Qt::ElideMiddle, std::max(100, width() - 30))) + QLatin1Char('\n') +
               tr("Size: %1\nAllocated: %2 (%3% of total)")
                   .arg(isolateText(formatSize(node.size)), isolateText(formatSize(node.allocated)),
                        formatDecimal(percent, 1));
        if (node.isFolder())
            text += tr("\nFiles: %1   Folders: %2").arg(formatNumber(node.filesBelow), formatNumber(node.foldersBelow));
    }
    m_infoShownFor = m_hoverId;
    QPalette palette = this->palette();
    palette.setBrush(QPalette::Window, palette.toolTipBase());
    palette.setBrush(QPalette::WindowText, palette.toolTipText());
    m_info->setPalette(palette);
    m_info->setText(text);
    m_info->adjustSize();

    const int w = m_info->width(), h = m_info->height();
    int x = m_cursorPos.x() + 14;
    if (m_cursorPos.x() + w + 14 > width())
        x = std::max(0, width() - w);
    int y = m_cursorPos.y() + 18;
    if (m_cursorPos.y() + 18 + h > height())
        y = std::max(0, m_cursorPos.y() - h - 6);
    m_info->move(x, y);
    m_info->raise();
    m_info->show();
}

void TreemapWidget::hideInfo() {
    m_infoTimer->stop();
    m_infoShownFor = -1;
    m_info->hide();
}

void TreemapWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const int64_t id = idAt(event->position());
    if (id < 0 || id == kFreeSpaceHit)
        return;
    const uint32_t node = uint32_t(id);
    std::vector<uint32_t> next{node};
    if (event->modifiers() & Qt::ControlModifier) {
        next = m_selection;
        const auto at = std::lower_bound(next.begin(), next.end(), node);
        if (at != next.end() && *at == node)
            next.erase(at);
        else
            next.insert(at, node);
    }
    setSelection(next);
    emit nodeClicked(node);
}

void TreemapWidget::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const int64_t id = idAt(event->position());
    if (id >= 0 && id != kFreeSpaceHit)
        zoomTo(uint32_t(id));
}

void TreemapWidget::contextMenuEvent(QContextMenuEvent* event) {
    const int64_t id = idAt(event->pos());
    if (id >= 0 && id != kFreeSpaceHit) {
        const uint32_t node = uint32_t(id);
        if (!isSelected(node)) {
            setSelection({node});
            emit nodeClicked(node);
        }
        emit nodeContextRequested(node, event->globalPos());
        return;
    }

    QMenu menu(this);
    if (m_zoomRoot != 0) {
        menu.addAction(tr("Unzoom Treemap"), this, &TreemapWidget::zoomOut);
        menu.addSeparator();
    }
    QAction* show = menu.addAction(tr("Show Treemap"));
    show->setCheckable(true);
    show->setChecked(true);
    connect(show, &QAction::triggered, this, [] { AppSettings::instance()->setValue("showTreemap", false); });
    auto addToggle = [&](const QString& text, const char* key, bool fallback) {
        QAction* action = menu.addAction(text);
        action->setCheckable(true);
        const bool shown = storedBool(key, fallback);
        action->setChecked(shown);
        connect(action, &QAction::triggered, this, [key, shown] { AppSettings::instance()->setValue(key, !shown); });
    };
    addToggle(tr("Show Allocated Space on Treemap"), "showTreemapAllocated", true);
    addToggle(tr("Show Free Space on Treemap"), "showTreemapFreeSpace", false);
    addToggle(tr("Show Folder and File Names on Treemap"), "showTreemapFilenames", true);
    menu.exec(event->globalPos());
}

bool TreemapWidget::isAncestor(uint32_t ancestor, uint32_t id) const {
    uint32_t current = id;
    // Parents have smaller ids, so the walk ends; the bound guards a damaged tree.
    for (uint32_t steps = 0; current != 0 && steps < m_tree->nodeCount; ++steps) {
        const uint32_t parent = m_tree->node(current).parent;
        if (parent >= current)
            return ancestor == 0;
        current = parent;
        if (current == ancestor)
            return true;
    }
    return false;
}

void TreemapWidget::zoomTo(uint32_t id) {
    if (!m_tree)
        return;
    const uint32_t count = m_tree->nodeCount;
    if (id >= count) {
        id -= count;
        if (id >= count)
            return;
    }
    if (id != 0 && !m_tree->node(id).isFolder())
        id = m_tree->node(id).parent;
    if (id == m_zoomRoot)
        return;

    stopZoomAnimation();
    const bool animate = storedBool("animateTreemapZoom", true) && stored("treemapZoomMs", 333).toInt() >= 1;
    // While a worker builds, the zoom is built after it too, without a transition.
    const bool canAnimate = animate && !m_exportFixed && isVisible() && !m_image.isNull() && !m_resizePending &&
                            !m_buildThread && m_builtWidth == width() && m_builtHeight == height();
    const uint32_t oldRoot = m_zoomRoot;
    const bool zoomingOut = isAncestor(id, oldRoot);
    auto fitsTransition = [&](const QRectF& r) {
        return r.width() >= 2 && r.height() >= 2 && (r.width() < width() - 1 || r.height() < height() - 1);
    };
    QImage snapshot;
    QRectF target;
    if (canAnimate) {
        if (zoomingOut) {
            snapshot = composedImage();
        } else {
            target = rectOf(id);
            if (fitsTransition(target))
                snapshot = composedImage();
        }
    }

    m_zoomRoot = id;
    m_hoverId = -1;
    hideInfo();
    rebuild(!snapshot.isNull());

    if (!snapshot.isNull() && !m_image.isNull()) {
        if (zoomingOut) {
            uint32_t current = oldRoot;
            QRectF r = rectOf(current);
            while (!usable(r) && current != id && current != 0) {
                current = m_tree->node(current).parent;
                r = rectOf(current);
            }
            if (fitsTransition(r))
                startZoomAnimation(true, snapshot, r);
        } else {
            startZoomAnimation(false, snapshot, target);
        }
    }
    emit zoomRootChanged(m_zoomRoot);
}

void TreemapWidget::zoomOut() {
    if (m_tree && m_zoomRoot != 0 && m_zoomRoot < m_tree->nodeCount)
        zoomTo(m_tree->node(m_zoomRoot).parent);
}

void TreemapWidget::startZoomAnimation(bool zoomingOut, const QImage& snapshot, const QRectF& rect) {
    m_oldImage = snapshot;
    m_newImage = composedImage();
    m_zoomRect = rect;
    m_zoomingOut = zoomingOut;
    m_progress = 0;
    if (!m_zoomAnimation) {
        m_zoomAnimation = new QVariantAnimation(this);
        m_zoomAnimation->setStartValue(0.0);
        m_zoomAnimation->setEndValue(1.0);
        m_zoomAnimation->setEasingCurve(QEasingCurve::InOutCubic);
        connect(m_zoomAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
            m_progress = value.toDouble();
            update();
        });
        connect(m_zoomAnimation, &QVariantAnimation::finished, this, [this] {
            m_oldImage = QImage();
            m_newImage = QImage();
            update();
        });
    }
    m_zoomAnimation->setDuration(zoomDurationMs());
    m_zoomAnimation->start();
    update();
}

void TreemapWidget::stopZoomAnimation() {
    if (m_zoomAnimation)
        m_zoomAnimation->stop();
    m_oldImage = QImage();
    m_newImage = QImage();
}

void TreemapWidget::paintZoomFrame(QPainter& painter) const {
    const double t = m_progress;
    const QRectF full(0, 0, width(), height());
    auto lerp = [t](const QRectF& a, const QRectF& b) {
        return QRectF(a.x() + (b.x() - a.x()) * t, a.y() + (b.y() - a.y()) * t,
                      a.width() + (b.width() - a.width()) * t, a.height() + (b.height() - a.height()) * t);
    };
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QRectF moving;
    if (!m_zoomingOut) {
        painter.drawImage(full, m_oldImage);
        moving = lerp(m_zoomRect, full);
        painter.drawImage(moving, m_newImage);
    } else {
        painter.drawImage(full, m_newImage);
        moving = lerp(full, m_zoomRect);
        painter.drawImage(moving, m_oldImage);
    }
    if (t < 1) {
        painter.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(moving.adjusted(1, 1, -1, -1));
    }
}
