#include "app/LayoutKeys.h"

#include "app/AppSettings.h"

#include "tests/app/ShellTestEnv.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>

using namespace shelltest;

namespace {

class LayoutKeys : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::make_unique<hmtest::TempDir>("hm-layout");
        useFreshConfigFolder(*m_dir);
        store()->clear();
        AppSettings::instance()->setSaveEnabled(true);
    }
    void TearDown() override {
        unsetenv("ZRT_SCREEN_SHAPE");
        AppSettings::instance()->setSaveEnabled(true);
    }
    static QSettings* store() { return AppSettings::instance()->settings(); }
    static void onScreen(const char* suffix) { setenv("ZRT_SCREEN_SHAPE", suffix, 1); }
    std::unique_ptr<hmtest::TempDir> m_dir;
};

}  // namespace

TEST_F(LayoutKeys, SuffixFromThePrimaryScreenOrTheEnvironment) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    if (screen->devicePixelRatio() == 1.0) {
        EXPECT_EQ(screenShapeSuffix(),
                  QStringLiteral("@%1x%2@1").arg(screen->size().width()).arg(screen->size().height()));
    }
    EXPECT_EQ(shapedKey("mainSplit"), QByteArray("mainSplit") + screenShapeSuffix().toUtf8());

    onScreen("@1x1@7");
    EXPECT_EQ(screenShapeSuffix(), QStringLiteral("@1x1@7"));
    EXPECT_EQ(shapedKey("windowGeometry"), QByteArray("windowGeometry@1x1@7"));
}

TEST_F(LayoutKeys, PlainValueIsAdoptedByTheFirstShapeOnly) {
    store()->setValue("windowGeometry", QByteArray("old"));
    onScreen("@1920x1080@1");
    EXPECT_EQ(loadShapedValue("windowGeometry", "default").toByteArray(), QByteArray("old"));
    EXPECT_EQ(store()->value("layoutFirstShape").toString(), QStringLiteral("@1920x1080@1"));

    onScreen("@2560x1440@1.5");
    EXPECT_EQ(loadShapedValue("windowGeometry", "default").toString(), QStringLiteral("default"));
    saveShapedValue("windowGeometry", QByteArray("wide"));
    EXPECT_EQ(loadShapedValue("windowGeometry", "default").toByteArray(), QByteArray("wide"));
    EXPECT_EQ(store()->value("windowGeometry@2560x1440@1.5").toByteArray(), QByteArray("wide"));

    onScreen("@1920x1080@1");
    EXPECT_EQ(loadShapedValue("windowGeometry", "default").toByteArray(), QByteArray("old"));
    EXPECT_EQ(store()->value("windowGeometry").toByteArray(), QByteArray("old"));
    EXPECT_EQ(loadShapedValue("mainSplit", 42).toInt(), 42);
}

TEST_F(LayoutKeys, NoRecordWhileSavingIsOffAndNoSignalForEqualSaves) {
    store()->setValue("mainSplit", QByteArray("plain"));
    AppSettings::instance()->setSaveEnabled(false);
    onScreen("@800x600@1");
    EXPECT_EQ(loadShapedValue("mainSplit", QVariant()).toByteArray(), QByteArray("plain"));
    EXPECT_FALSE(store()->contains("layoutFirstShape"));
    AppSettings::instance()->setSaveEnabled(true);

    QSignalSpy spy(AppSettings::instance(), &AppSettings::changed);
    saveShapedValue("mainSplit", QByteArray("s"));
    saveShapedValue("mainSplit", QByteArray("s"));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), QStringLiteral("mainSplit@800x600@1"));
}
