#include "ui/treemap/TreemapWidget.h"

#include "app/AppSettings.h"
#include "app/ValueFormat.h"
#include "core/tree/ScanTree.h"
#include "ui/treemap/TreemapColorSettings.h"

#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QTextOption>
#include <QTimer>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>
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

TreemapWidget::~TreemapWidget() = default;

QSize TreemapWidget::sizeHint() const { return QSize(900, 360); }

void TreemapWidget::setTree(std::shared_ptr<svl::ScanTree> tree) {
    m_tree = std::move(tree);
    m_selection.clear();
    m_hoverId = -1;
    hideInfo();
    m_zoomRoot = 0;
    m_stats.clear();
    m_colorMap.clear();
    if (m_tree && m_tree->nodeCount > 0) {
        try {
            m_stats = svl::computeExtensionStats(*m_tree);
        } catch (const std::bad_alloc&) {
            // Without statistics every file takes the "other files" colour.
            m_stats.clear();
        }
        m_colorMap = loadExtensionColorMap(m_stats);
    }
    rebuild();
}

void TreemapWidget::setDiskSpace(uint64_t capacity, uint64_t freeBytes) {
    m_capacity = capacity;
    m_freeBytes = freeBytes;
    rebuild();
}

void TreemapWidget::refresh() { rebuild(); }

void TreemapWidget::setExportOptions(bool allocated, bool freeSpace, bool gray) {
    m_exportFixed = true;
    m_exportAllocated = allocated;
    m_exportFreeSpace = freeSpace;
    m_exportGray = gray;
    rebuild();
}

void TreemapWidget::setSelection(const std::vector<uint32_t>& ids) {
    std::unordered_set<uint32_t> next(ids.begin(), ids.end());
    if (next == m_selection)
        return;
    m_selection = std::move(next);
    update();
}

bool TreemapWidget::zoomAnimationRunning() const {
    return m_zoomAnimation && m_zoomAnimation->state() == QAbstractAnimation::Running;
}

void TreemapWidget::rebuild() {
    stopZoomAnimation();
    m_resizeTimer->stop();
    hideInfo();
    m_resizePending = false;
    m_resizeRetries = 0;
    m_builtWidth = width();
    m_builtHeight = height();

    // The pixel buffers keep their memory: the next picture usually has the same size,
    // and first-touched pages cost more than shading them.
    m_image = QImage();
    m_layout = svl::TreemapLayout();

    if (!m_tree || m_tree->nodeCount == 0 || width() <= 0 || height() <= 0) {
        m_pixels = svl::TreemapPixels();
        update();
        return;
    }

    m_useAllocated = m_exportFixed ? m_exportAllocated : storedBool("showTreemapAllocated", true);
    m_showNames = storedBool("showTreemapFilenames", true);
    m_showFreeSpace = (m_exportFixed ? m_exportFreeSpace : storedBool("showTreemapFreeSpace", false)) &&
                      m_zoomRoot == 0 && m_capacity != 0;
    m_ratio = devicePixelRatioF();

    svl::TreemapOptions options;
    options.showNames = m_showNames;
    options.useAllocated = m_useAllocated;
    options.fileGroupMinSize = std::max(0, stored("fileGroupMinSize", 4).toInt());
    options.colorMap = (m_exportFixed && m_exportGray) ? nullptr : &m_colorMap;
    if (m_showFreeSpace) {
        options.capacity = m_capacity;
        options.freeBytes = m_freeBytes;
    }

    const int deviceWidth = int(std::ceil(width() * m_ratio));
    const int deviceHeight = int(std::ceil(height() * m_ratio));
    if (m_pixels.ids.capacity() / 2 > size_t(deviceWidth) * size_t(deviceHeight))
        m_pixels = svl::TreemapPixels();  // much smaller now: give the memory back
    bool built = false;
    try {
        if (!pixelsCouldFit(deviceWidth, deviceHeight))
            throw std::bad_alloc();
        m_layout = svl::layoutTreemap(*m_tree, m_zoomRoot, {0, 0, double(width()), double(height())}, options);
        m_layout.render(m_palette, deviceWidth, deviceHeight, m_pixels, storedBool("gradientEnabled", true), m_ratio);
        built = true;
    } catch (const std::bad_alloc&) {
        // Too large a picture or tree: show nothing rather than end the program.
        m_layout = svl::TreemapLayout();
        m_pixels = svl::TreemapPixels();
    } catch (const std::length_error&) {
        m_layout = svl::TreemapLayout();
        m_pixels = svl::TreemapPixels();
    }
    if (built && !m_pixels.rgba.empty()) {
        m_image = QImage(m_pixels.rgba.data(), m_pixels.width, m_pixels.height, qsizetype(m_pixels.width) * 4,
                         QImage::Format_RGBA8888);
        m_image.setDevicePixelRatio(m_ratio);
    }
    update();
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
    if (m_image.isNull() || m_resizePending || zoomAnimationRunning())
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

QString TreemapWidget::labelText(uint32_t id, bool asFolder) const {
    const svl::ScanNode& node = m_tree->node(id);
    QString name = QString::fromUtf8(node.name ? node.name : "", node.nameLength);
    if (asFolder && !name.endsWith(QLatin1Char('/')))
        name += QLatin1Char('/');
    uint64_t size = node.size;
    if (m_useAllocated)
        size = (node.flags & svl::NodeFlag::ExtraHardLink) ? 0 : node.allocated;
    return QStringLiteral("%1 (%2)").arg(name, formatSize(size));
}

void TreemapWidget::drawLabels(QPainter& painter, const QRect* exposed) const {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (m_resizePending && m_builtWidth > 0 && m_builtHeight > 0)
        painter.scale(double(width()) / m_builtWidth, double(height()) / m_builtHeight);
    painter.drawImage(QPointF(0, 0), m_image);
    if (!m_tree)
        return;
    const bool cull = exposed && !m_resizePending;
    auto skip = [&](const QRectF& r) { return cull && !r.intersects(QRectF(*exposed)); };

    QFont font = this->font();
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
    for (const svl::TreemapLabelBand& band : m_layout.labelBands)
        drawBandText(band.folderRect, labelText(band.id, true));
    for (const svl::TreemapFreeSpace& free : m_layout.freeSpace) {
        if (free.rect.h > 14 && free.rect.w >= 80)
            drawBandText(free.rect, tr("Space Free: %1").arg(formatSize(free.freeBytes)));
    }

    if (!m_showNames)
        return;
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    for (const svl::TreemapLeaf& leaf : m_layout.leaves) {
        if (leaf.rect.w < 70 || leaf.rect.h < 14)
            continue;
        const QRectF box(leaf.rect.x + 3, leaf.rect.y + 1, leaf.rect.w - 6, leaf.rect.h - 2);
        if (skip(box))
            continue;
        painter.save();
        painter.setClipRect(box);
        painter.drawText(box, labelText(leaf.id, false), option);
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
    if (m_hoverId >= 0 && !m_selection.count(uint32_t(m_hoverId)))
        drawOutline(painter, m_hoverId, QColor(176, 176, 176), 1);
    for (uint32_t id : m_selection) {
        if (m_zoomRoot != 0 && id == m_zoomRoot)
            continue;
        drawOutline(painter, id, Qt::white, 2);
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
        text = tr("Space Free: %1").arg(formatSize(m_freeBytes));
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
        text = metrics.elidedText(path, Qt::ElideMiddle, std::max(100, width() - 30)) + QLatin1Char('\n') +
               tr("Size: %1\nAllocated: %2 (%3% of total)")
                   .arg(formatSize(node.size), formatSize(node.allocated), QLocale().toString(percent, 'f', 1));
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
    std::unordered_set<uint32_t> next;
    if (event->modifiers() & Qt::ControlModifier) {
        next = m_selection;
        if (!next.erase(node))
            next.insert(node);
    } else {
        next.insert(node);
    }
    setSelection(std::vector<uint32_t>(next.begin(), next.end()));
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
        if (!m_selection.count(node)) {
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
    const bool canAnimate = animate && !m_exportFixed && isVisible() && !m_image.isNull() && !m_resizePending &&
                            m_builtWidth == width() && m_builtHeight == height();
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
    rebuild();

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
