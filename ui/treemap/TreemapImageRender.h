// Off-screen treemap pictures for the image export, shared by the window and the
// headless run: a TreemapWidget that is never shown lays out, rasterises and paints
// the tree at the requested size, synchronously and without an event loop.
// GUI thread only; a QApplication must exist (the offscreen platform is enough).
#pragma once

#include <QImage>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

class QIODevice;

namespace svl {
class ScanTree;
}

// What to draw. Sizes are in pixels of the saved picture.
struct TreemapImageRequest {
    int width = 1920;        // at least 1 is used
    int height = 1080;       // at least 1 is used
    uint64_t capacity = 0;   // the volume's size for the free-space strip; 0: no strip
    uint64_t freeBytes = 0;
    bool allocated = true;   // weigh by allocated size instead of size
    bool freeSpace = false;  // draw the free-space strip (only at the root, with capacity > 0)
    bool gray = false;       // every file in the colour of the "other files" slot
    uint32_t zoomRoot = 0;   // the folder drawn instead of the root; 0 is the root
};

// The treemap of `tree` as the widget paints it (cushions, folder names, free-space
// caption and, when showTreemapFilenames is set, file names), exactly width x height
// pixels with device pixel ratio 1 whatever the screen's ratio. A null tree or one
// without nodes gives the background colour only. A null image when the picture
// cannot be made (memory for the layout, the raster or the painting ran out).
[[nodiscard]] QImage renderTreemapImage(const std::shared_ptr<svl::ScanTree>& tree,
                                        const TreemapImageRequest& request);

// Writes `image` as PNG to `path`: a regular file is replaced whole through a temporary
// file beside it, so a failed save leaves the old file as it was; anything else (a
// device) is written in place. False with the reason in *error (may be null) when the
// image is null or any write, flush or rename fails.
[[nodiscard]] bool saveTreemapPng(const QImage& image, const QString& path, QString* error);

// Encodes `image` as PNG into `device`. Once `cancel` is set the encoder's next write
// fails and the call returns false. False with the reason in *error (may be null). Any thread.
[[nodiscard]] bool writeTreemapPng(const QImage& image, QIODevice& device, const std::atomic<bool>& cancel,
                                   QString* error);
