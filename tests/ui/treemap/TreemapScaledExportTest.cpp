// Runs with a screen ratio of 2: the variable must be set before the application exists.
#include "ui/treemap/TreemapImageRender.h"
#include "ui/treemap/TreemapWidget.h"

#include "tests/ui/treemap/TreemapTestSupport.h"

#include <cstdlib>

namespace {

const bool g_scaled = [] {
    setenv("QT_SCALE_FACTOR", "2", 1);
    return true;
}();

std::shared_ptr<svl::ScanTree> twoFiles() {
    treemaptest::TreeBuilder b("/scaled");
    b.file(0, "a.iso", 3000);
    b.file(0, "b.deb", 1000);
    return b.finish();
}

}  // namespace

TEST(TreemapScaledExport, PicturesKeepTheChosenSizeOnADoubleRatioScreen) {
    ASSERT_TRUE(g_scaled);
    treemaptest::clearSettings();
    TreemapWidget widget;
    widget.resize(300, 200);
    widget.setTree(twoFiles());
    if (widget.devicePixelRatioF() != 2.0)
        GTEST_SKIP() << "the platform ignored QT_SCALE_FACTOR (ratio " << widget.devicePixelRatioF() << ")";
    // On screen the raster has device pixels: twice the logical size.
    EXPECT_EQ(widget.image().size(), QSize(600, 400));
    EXPECT_EQ(widget.idAt(QPointF(299.7, 199.7)), widget.idAt(QPointF(299, 199)));

    for (const QSize size : {QSize(1024, 768), QSize(17, 16), QSize(333, 1)}) {
        TreemapImageRequest request;
        request.width = size.width();
        request.height = size.height();
        const QImage image = renderTreemapImage(twoFiles(), request);
        ASSERT_EQ(image.size(), size);
        EXPECT_EQ(image.devicePixelRatio(), 1.0);
    }
}
