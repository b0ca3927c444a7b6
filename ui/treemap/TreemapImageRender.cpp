#include "ui/treemap/TreemapImageRender.h"

#include "app/DescriptorDevice.h"
#include "core/tree/ScanTree.h"
#include "ui/treemap/TreemapWidget.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QPixmap>
#include <QSaveFile>

#include <algorithm>

QImage renderTreemapImage(const std::shared_ptr<svl::ScanTree>& tree, const TreemapImageRequest& request) {
    const int width = std::max(1, request.width);
    const int height = std::max(1, request.height);

    TreemapWidget widget;
    // The on-screen minimum height must not bend small exports.
    widget.setMinimumSize(0, 0);
    widget.resize(width, height);
    // Options and space first, so only the tree (and a zoom) lays out and rasterises.
    widget.setExportOptions(request.allocated, request.freeSpace, request.gray);
    widget.setDiskSpace(request.capacity, request.freeBytes);
    widget.setTree(tree);
    if (request.zoomRoot != 0)
        widget.zoomTo(request.zoomRoot);
    if (tree && tree->nodeCount > 0 && widget.image().isNull())
        return QImage();

    QImage image = widget.grab().toImage();
    if (image.isNull())
        return QImage();
    if (image.width() != width || image.height() != height) {
        // A screen ratio other than 1 grabs more pixels than asked for.
        image.setDevicePixelRatio(1.0);
        image = image.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (image.isNull())
            return QImage();
    }
    image.setDevicePixelRatio(1.0);
    return image;
}

namespace {

// Passes writes on to another device until the cancel flag is set.
class CancellableDevice final : public QIODevice {
public:
    CancellableDevice(QIODevice& target, const std::atomic<bool>& cancel) : m_target(target), m_cancel(cancel) {
        open(QIODevice::WriteOnly);
    }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 length) override {
        if (m_cancel.load()) {
            setErrorString(QStringLiteral("cancelled"));
            return -1;
        }
        const qint64 written = m_target.write(data, length);
        if (written != length)
            setErrorString(m_target.errorString());
        return written;
    }

private:
    QIODevice& m_target;
    const std::atomic<bool>& m_cancel;
};

QString writeFailure(const DescriptorDevice& out, const QImageWriter& writer) {
    return out.failure() != 0 ? out.errorString() : writer.errorString();
}

}  // namespace

bool saveTreemapPng(const QImage& image, const QString& path, QString* error) {
    auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (image.isNull())
        return fail(QCoreApplication::translate("TreemapImage", "There is no picture to save."));

    // The encoder writes to the descriptor itself, so a failed write keeps its cause.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        // A device or pipe cannot be replaced; write into it and check every step.
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return fail(file.errorString());
        DescriptorDevice out(file.handle());
        QImageWriter writer(&out, "PNG");
        if (!writer.write(image))
            return fail(writeFailure(out, writer));
        file.close();
        if (file.error() != QFileDevice::NoError)
            return fail(file.errorString());
        return true;
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(file.errorString());
    DescriptorDevice out(file.handle());
    QImageWriter writer(&out, "PNG");
    if (!writer.write(image)) {
        const QString reason = writeFailure(out, writer);
        file.cancelWriting();
        return fail(reason);
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

bool writeTreemapPng(const QImage& image, QIODevice& device, const std::atomic<bool>& cancel, QString* error) {
    if (image.isNull()) {
        if (error)
            *error = QCoreApplication::translate("TreemapImage", "There is no picture to save.");
        return false;
    }
    CancellableDevice guarded(device, cancel);
    QImageWriter writer(&guarded, "PNG");
    if (writer.write(image))
        return true;
    if (error)
        *error = guarded.errorString().isEmpty() ? writer.errorString() : guarded.errorString();
    return false;
}
