#include "ui/treemap/TreemapImageDialog.h"
#include "ui/treemap/TreemapImageRender.h"

#include "core/analysis/ExtensionStats.h"
#include "core/scan/ScanDriver.h"
#include "core/treemap/TreemapLayout.h"
#include "tests/ui/treemap/TreemapTestSupport.h"
#include "ui/treemap/TreemapColorSettings.h"

#include <QCheckBox>
#include <QFile>
#include <QMenu>
#include <QSpinBox>
#include <QToolButton>

#include <cerrno>
#include <cstring>
#include <random>
#include <set>
#include <sys/stat.h>
#include <tuple>

using shelltest::qs;

namespace {

class TreemapImageExport : public ::testing::Test {
protected:
    void SetUp() override { treemaptest::clearSettings(); }
};

// A folder of several kinds and sizes of files, scanned for real.
std::shared_ptr<svl::ScanTree> scanSampleFolder(const hmtest::TempDir& dir) {
    const std::string root = dir / "sample";
    for (const char* folder : {"videos", "music", "photos", "docs"})
        EXPECT_EQ(mkdir((root + "/" + folder).c_str(), 0755) == 0 || errno == EEXIST, true);
    const std::pair<const char*, size_t> files[] = {
        {"videos/movie.mkv", 3000000}, {"videos/clip.mp4", 1500000}, {"music/song.mp3", 800000},
        {"music/other.mp3", 600000},   {"music/take.flac", 1000000}, {"photos/a.jpg", 500000},
        {"photos/b.png", 400000},      {"docs/readme.txt", 50000},   {"docs/report.pdf", 300000},
        {"archive.tar.gz", 2000000},
    };
    for (const auto& [name, size] : files)
        hmtest::writeFile(root + "/" + name, std::string(size, 'x'));
    std::unique_ptr<svl::ScanTree> tree = svl::scanSingle(root, svl::ScanOptions{}, nullptr);
    return std::shared_ptr<svl::ScanTree>(std::move(tree));
}

void makeSampleRoot(const hmtest::TempDir& dir) { mkdir((dir / "sample").c_str(), 0755); }

}  // namespace

TEST_F(TreemapImageExport, DialogLimitsStoredSizesAndAppliesPresets) {
    {
        TreemapImageDialog dialog(true);
        EXPECT_EQ(dialog.imageWidth(), 1920);
        EXPECT_EQ(dialog.imageHeight(), 1080);
        EXPECT_FALSE(dialog.shadesOfGray());
        EXPECT_TRUE(dialog.showFreeSpace());
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Save Treemap Image as .png File"));
    }
    QSettings* store = AppSettings::instance()->settings();
    store->setValue(QStringLiteral("treemapExportWidth"), 5);
    store->setValue(QStringLiteral("treemapExportHeight"), 20000);
    store->setValue(QStringLiteral("treemapExportShadesOfGray"), true);
    TreemapImageDialog dialog(false);
    EXPECT_EQ(dialog.imageWidth(), 16);
    EXPECT_EQ(dialog.imageHeight(), 16384);
    EXPECT_TRUE(dialog.shadesOfGray());
    EXPECT_FALSE(dialog.showFreeSpace()) << "free space is the caller's, never stored";

    QMenu* menu = dialog.presetButton()->menu();
    ASSERT_NE(menu, nullptr);
    QStringList titles;
    for (QAction* action : menu->actions())
        titles << action->text();
    EXPECT_EQ(titles, QStringList({"1024x768", "1280x720", "1680x1050", "1920x1080", "2560x1440", "3840x2160",
                                   "7680x4320"}));
    menu->actions().last()->trigger();
    EXPECT_EQ(dialog.imageWidth(), 7680);
    EXPECT_EQ(dialog.imageHeight(), 4320);
    dialog.findChild<QSpinBox*>(QStringLiteral("imageWidth"))->setValue(99999);
    EXPECT_EQ(dialog.imageWidth(), 16384);

    dialog.saveSettings();
    EXPECT_EQ(store->value(QStringLiteral("treemapExportWidth")).toInt(), 16384);
    EXPECT_EQ(store->value(QStringLiteral("treemapExportHeight")).toInt(), 4320);
    EXPECT_FALSE(store->contains(QStringLiteral("treemapExportShowFreeSpace")));
}

TEST_F(TreemapImageExport, ScannedFolderRendersWhereTheLayoutSays) {
    hmtest::TempDir dir("hm-treemap-export");
    makeSampleRoot(dir);
    const std::shared_ptr<svl::ScanTree> tree = scanSampleFolder(dir);
    ASSERT_EQ(tree->nodeCount, 15u);

    TreemapImageRequest request;
    request.width = 1024;
    request.height = 768;
    request.allocated = false;
    const QImage image = renderTreemapImage(tree, request);
    ASSERT_EQ(image.size(), QSize(1024, 768));
    EXPECT_EQ(image.devicePixelRatio(), 1.0);

    const QString path = qs(dir / "treemap.png");
    QString error;
    ASSERT_TRUE(saveTreemapPng(image, path, &error)) << error.toStdString();
    QImage saved(path, "PNG");
    ASSERT_EQ(saved.size(), QSize(1024, 768));
    if (const char* keep = getenv("HM_KEEP_TREEMAP_PNG"))
        QFile::copy(path, QString::fromLocal8Bit(keep));

    // The same layout and raster computed directly.
    const svl::ExtensionColorMap colors = svl::indexExtensionStats(svl::computeExtensionStats(*tree));
    svl::TreemapOptions options;
    options.useAllocated = false;
    options.fileGroupMinSize = 4;
    options.colorMap = &colors;
    const svl::TreemapLayout layout = svl::layoutTreemap(*tree, 0, {0, 0, 1024, 768}, options);
    svl::TreemapPixels pixels;
    layout.render(loadTreemapPalette(), 1024, 768, pixels, true, 1.0);
    ASSERT_EQ(layout.leaves.size(), 10u);

    std::set<std::tuple<int, int, int>> leafColours;
    std::set<int> slotSet;
    for (const svl::TreemapLeaf& leaf : layout.leaves) {
        ASSERT_GE(leaf.rect.w, 20);
        ASSERT_GE(leaf.rect.h, 20);
        // Bottom right inside the border, away from the name written at the top left.
        const int x = int(leaf.rect.x + leaf.rect.w) - 4, y = int(leaf.rect.y + leaf.rect.h) - 4;
        const uint8_t* expected = pixels.rgba.data() + (size_t(y) * 1024 + size_t(x)) * 4;
        const QColor got = saved.pixelColor(x, y);
        EXPECT_EQ(got, QColor(expected[0], expected[1], expected[2]))
            << tree->fullPath(leaf.id) << " at " << x << "," << y;
        EXPECT_EQ(pixels.ids[size_t(y) * 1024 + size_t(x)], leaf.id + 1);
        const QColor centre = saved.pixelColor(int(leaf.rect.x + leaf.rect.w / 2), int(leaf.rect.y + leaf.rect.h - 8));
        leafColours.insert({centre.red() / 8, centre.green() / 8, centre.blue() / 8});
        slotSet.insert(leaf.slot);
    }
    EXPECT_EQ(slotSet.size(), 9u);  // mkv mp4 mp3 flac jpg png txt pdf gz; two files share mp3
    EXPECT_GE(leafColours.size(), 9u) << "each extension in its own colour";

    // Folder names are written into their bands.
    const svl::TreemapLabelBand& band = layout.labelBands.front();
    bool lightText = false;
    for (int x = int(band.band.x) + 4; x < int(band.band.x + 60); ++x)
        for (int y = int(band.band.y); y < int(band.band.y + 12); ++y)
            lightText = lightText || saved.pixelColor(x, y).lightness() > 150;
    EXPECT_TRUE(lightText);
}

TEST_F(TreemapImageExport, GrayExportsAreOneColourAndSizesAreExact) {
    hmtest::TempDir dir("hm-treemap-gray");
    makeSampleRoot(dir);
    const std::shared_ptr<svl::ScanTree> tree = scanSampleFolder(dir);
    TreemapImageRequest request;
    request.width = 640;
    request.height = 480;
    request.gray = true;
    const QImage gray = renderTreemapImage(tree, request);
    ASSERT_EQ(gray.size(), QSize(640, 480));
    int shades = 0, lastLightness = -1;
    for (int y = 0; y < gray.height(); y += 3) {
        for (int x = 0; x < gray.width(); x += 3) {
            const QColor c = gray.pixelColor(x, y);
            ASSERT_TRUE(c.red() == c.green() && c.green() == c.blue()) << x << "," << y;
            if (c.lightness() != lastLightness)
                ++shades;
            lastLightness = c.lightness();
        }
    }
    EXPECT_GT(shades, 100) << "shaded cushions, not flat";

    // Sizes below the on-screen minimum height, and nonsense sizes, still come out as asked.
    request.width = 16;
    request.height = 16;
    EXPECT_EQ(renderTreemapImage(tree, request).size(), QSize(16, 16));
    request.width = 0;
    request.height = -5;
    EXPECT_EQ(renderTreemapImage(tree, request).size(), QSize(1, 1));

    // A zoomed export shows the zoomed folder's name at the top left.
    request.width = 400;
    request.height = 300;
    request.gray = false;
    const int64_t videos = tree->findPath((dir / "sample/videos").c_str(), (dir / "sample/videos").size());
    ASSERT_GT(videos, 0);
    request.zoomRoot = uint32_t(videos);
    const QImage zoomed = renderTreemapImage(tree, request);
    ASSERT_EQ(zoomed.size(), QSize(400, 300));
    EXPECT_NE(zoomed, renderTreemapImage(tree, TreemapImageRequest{400, 300}));
}

TEST_F(TreemapImageExport, EmptyTreesGiveBackgroundAndHugeOnesNoImage) {
    const QImage none = renderTreemapImage(nullptr, TreemapImageRequest{32, 20});
    ASSERT_EQ(none.size(), QSize(32, 20));
    EXPECT_EQ(none.pixelColor(0, 0), QColor(58, 58, 58));
    EXPECT_EQ(none.pixelColor(31, 19), QColor(58, 58, 58));

    auto empty = std::make_shared<svl::ScanTree>();
    EXPECT_EQ(renderTreemapImage(empty, TreemapImageRequest{8, 8}).pixelColor(4, 4), QColor(58, 58, 58));

    // More pixels than memory: a null picture rather than an abort.
    treemaptest::TreeBuilder b("/x");
    b.file(0, "f.bin", 100);
    TreemapImageRequest huge{QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    const QImage failed = renderTreemapImage(b.finish(), huge);
    EXPECT_TRUE(failed.isNull());
    QString error;
    EXPECT_FALSE(saveTreemapPng(failed, QStringLiteral("/tmp/never-written.png"), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QFile::exists(QStringLiteral("/tmp/never-written.png")));
}

TEST_F(TreemapImageExport, SavingReportsEveryFailure) {
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QString error;
    const QString noSpace = QString::fromLocal8Bit(std::strerror(ENOSPC));
    EXPECT_FALSE(saveTreemapPng(image, QStringLiteral("/dev/full"), &error));
    EXPECT_EQ(error, noSpace);
    struct stat st{};
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device is written into, never replaced";

    hmtest::TempDir dir("hm-treemap-save");
    error.clear();
    EXPECT_FALSE(saveTreemapPng(image, qs(dir / "missing/folder/t.png"), &error));
    EXPECT_TRUE(error.contains(QString::fromLocal8Bit(std::strerror(ENOENT)))) << error.toStdString();
    EXPECT_FALSE(saveTreemapPng(image, qs(dir.path()), &error));
    EXPECT_EQ(error, QString::fromLocal8Bit(std::strerror(EISDIR)));

    // A full disk names its cause for a new file too, and leaves nothing behind.
    if (hmtest::isRoot()) {
        const std::string small = dir / "small";
        ::mkdir(small.c_str(), 0755);
        hmtest::Mounts mounts;
        ASSERT_TRUE(mounts.mount("-t tmpfs -o size=64k none", small));
        QImage noise(400, 400, QImage::Format_RGB32);
        std::minstd_rand random(7);
        for (int y = 0; y < noise.height(); ++y)
            for (int x = 0; x < noise.width(); ++x)
                noise.setPixel(x, y, uint(random()));
        EXPECT_FALSE(saveTreemapPng(noise, qs(small + "/t.png"), &error));
        EXPECT_EQ(error, noSpace);
        EXPECT_EQ(hmtest::shOutput("ls -A " + hmtest::shQuote(small)), "");
    }

    // An existing picture is replaced whole.
    const QString path = qs(dir / "t.png");
    hmtest::writeFile(dir / "t.png", "old contents");
    ASSERT_TRUE(saveTreemapPng(image, path, &error)) << error.toStdString();
    QImage back(path, "PNG");
    ASSERT_EQ(back.size(), QSize(64, 48));
    EXPECT_EQ(back.pixelColor(10, 10), QColor(Qt::darkCyan));
    EXPECT_TRUE(saveTreemapPng(image, qs("/dev/null"), nullptr));
}
