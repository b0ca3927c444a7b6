// The window-mode start: reading the options, and the built program under Xvfb (window
// size per screen, the picture saved by --grab, the title).
#include "tests/app/ShellTestEnv.h"

#include <QApplication>
#include <QImage>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "app/AppSettings.h"
#include "app/ColorScheme.h"
#include "app/PathText.h"
#include "app/SortArrowStyle.h"
#include "program/WindowStartup.h"

using hmtest::shQuote;

TEST(WindowStartOptions, ColourSchemeFromTheCommandLineOrTheSettingsComesWithTheArrowStyle) {
    AppSettings::instance()->settings()->setValue("appearance", 2);
    EXPECT_EQ(startupColorScheme({"hollowmere", "--dark", "--light"}), 1);
    EXPECT_EQ(startupColorScheme({"hollowmere", "--dark"}), 2);
    EXPECT_EQ(startupColorScheme({"hollowmere", "/folder"}), 2);
    AppSettings::instance()->settings()->setValue("appearance", 7);
    EXPECT_EQ(startupColorScheme({"hollowmere"}), 0);
    for (const int scheme : {2, 0}) {
        applyColorScheme(scheme);
        EXPECT_NE(qobject_cast<SortArrowStyle*>(QApplication::style()), nullptr) << scheme;
    }
}

TEST(WindowStartOptions, ReadsTheWindowOptions) {
    WindowStartOptions o = parseWindowOptions({"--grab", "/some/folder"});
    EXPECT_TRUE(o.grab);
    EXPECT_EQ(o.grabImagePath, "/some/folder");
    EXPECT_TRUE(o.path.isEmpty());

    o = parseWindowOptions({"/a", "--grab"});
    EXPECT_TRUE(o.grab);
    EXPECT_TRUE(o.grabImagePath.isEmpty());
    EXPECT_EQ(o.path, "/a");

    o = parseWindowOptions({"/first", "--multi", "a::b:", "/second", "--unknown", "--dump-mft"});
    EXPECT_EQ(o.roots, (QStringList{"a", "b"}));
    EXPECT_EQ(o.path, "/second");
    EXPECT_TRUE(o.dumpMft);

    // Bytes that are not UTF-8 survive from the command line to the scan request.
    char program[] = "hollowmere", multi[] = "--multi", roots[] = "/a\xff:/b", path[] = "/some/bad\xffname";
    char* argv[] = {program, multi, roots, path};
    o = parseWindowOptions(windowArguments(4, argv).mid(1));
    EXPECT_EQ(pathBytes(o.path), "/some/bad\xffname");
    ASSERT_EQ(o.roots.size(), 2);
    EXPECT_EQ(pathBytes(o.roots[0]), "/a\xff");

    o = parseWindowOptions({"--include", "*.iso", "--exclude", "tmp", "--filter", "needle", "--tab", "fileview",
                            "--elevation-token", "tok", "--dark", "--light"});
    EXPECT_EQ(o.includeText, "*.iso");
    EXPECT_EQ(o.excludeText, "tmp");
    EXPECT_EQ(o.searchText, "needle");
    EXPECT_EQ(o.tab, "fileview");
    EXPECT_EQ(o.elevationToken, "tok");
    EXPECT_TRUE(o.path.isEmpty());

    struct SizeCase {
        const char* value;
        std::optional<QSize> size;
    };
    for (const SizeCase& c : {SizeCase{"800x600", QSize(800, 600)}, SizeCase{"800x", QSize(800, 0)},
                              SizeCase{"800x600x1", std::nullopt}, SizeCase{"axb", QSize(0, 0)},
                              SizeCase{"800", std::nullopt}}) {
        EXPECT_EQ(parseWindowOptions({"--size", c.value}).size, c.size) << c.value;
    }
    // An option given last without its value is ignored.
    o = parseWindowOptions({"/p", "--size"});
    EXPECT_FALSE(o.size);
    EXPECT_EQ(o.path, "/p");

    EXPECT_EQ(dialogCaptureIndex({"prog", "--grab-dialog", "tweaks", "out.png"}), 1);
    EXPECT_EQ(dialogCaptureIndex({"prog", "--grab-dialog", "tweaks"}), -1);
}

namespace {

class WindowUnderXvfb : public ::testing::Test {
protected:
    void SetUp() override {
        m_binary = hmtest::builtProgram();
        if (m_binary.empty())
            GTEST_SKIP() << "the hollowmere program is not built (HM_BINARY_DIR/hollowmere)";
        if (!hmtest::haveTool("Xvfb") || !hmtest::haveTool("xdotool"))
            GTEST_SKIP() << "Xvfb and xdotool are needed (scripts/setup.sh installs them)";
        m_root = m_dir.path();
        for (const char* sub : {"home", "config", "runtime", "data", "data/sub"})
            ASSERT_EQ(hmtest::sh("mkdir -p " + shQuote(m_root + "/" + sub)), 0);
        hmtest::sh("chmod 700 " + shQuote(m_root + "/runtime"));
        hmtest::writeFile(m_root + "/data/big.bin", std::string(300000, 'x'));
        hmtest::writeFile(m_root + "/data/sub/small.txt", std::string(40000, 'y'));
    }

    // Runs the program on a screen of the given size inside `script`, where hm is a
    // function running the program with a clean environment plus the assignments in `env`;
    // the script's exit status.
    // A display server that could not start is tried again.
    int runOnScreen(const std::string& screen, const std::string& script, const std::string& env = "") {
        const std::string hm = "env -i PATH=/usr/bin:/bin TZ=UTC LANG=C.UTF-8 DISPLAY=$DISPLAY XAUTHORITY=$XAUTHORITY HOME=" +
                               shQuote(m_root + "/home") + " XDG_CONFIG_HOME=" + shQuote(m_root + "/config") +
                               " XDG_RUNTIME_DIR=" + shQuote(m_root + "/runtime") + " ZRT_NO_UPDATE_CHECK=1 " +
                               hmtest::sanitizerOptions() + env + " " +
                               shQuote(m_binary);
        const std::string status = m_root + "/status.txt";
        const std::string inner = "hm() { " + hm + " \"$@\"; }; " + script + "; echo $? > " + shQuote(status);
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::remove(status.c_str());
            // The server picks its own free display number (-displayfd), so suites running
            // at once never meet on one display, as they could with xvfb-run -a.
            const std::string display = m_root + "/display.txt";
            std::remove(display.c_str());
            const std::string withServer =
                "Xvfb -displayfd 3 -screen 0 " + screen + "x24 -nolisten tcp 3>" + shQuote(display) +
                " 2>/dev/null & xp=$!; for i in $(seq 200); do [ -s " + shQuote(display) +
                " ] && break; sleep 0.05; done; DISPLAY=:$(cat " + shQuote(display) + "); XAUTHORITY=; export DISPLAY; " +
                // On a busy machine the number can come before the server takes clients.
                "for i in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.05; done; " +
                inner + "; kill $xp; wait $xp";
            hmtest::sh("cd " + shQuote(m_root) + " && timeout 60 sh -c " + shQuote(withServer));
            std::ifstream in(status);
            int code = -1;
            if (in >> code)
                return code;
        }
        return -1;
    }

    // The first window title naming a folder while `args` run (the program started from the
    // test's folder), or empty when none shows within ten seconds.
    std::string firstFolderTitle(const std::string& args) {
        const std::string title = m_root + "/title.txt";
        std::remove(title.c_str());
        const std::string script =
            "hm " + args + " & pid=$!; for i in $(seq 200); do for w in $(xdotool search --name Hollowmere"
            " 2>/dev/null); do t=$(xdotool getwindowname $w); case \"$t\" in *Folder*) printf %s \"$t\" > title.txt;;"
            " esac; done; [ -s title.txt ] && break; sleep 0.05; done; pkill -P $pid; kill $pid; wait $pid; true";
        if (runOnScreen("1600x1000", script) != 0)
            return std::string();
        std::ifstream in(title);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    hmtest::TempDir m_dir{"hm-xvfb"};
    std::string m_root;
    std::string m_binary;
};

TEST_F(WindowUnderXvfb, WindowSizeFollowsTheScreen) {
    struct Case {
        const char* screen;
        QSize window;
    };
    for (const Case& c : {Case{"1024x768", QSize(984, 678)}, Case{"3840x2160", QSize(1436, 730)},
                          Case{"700x500", QSize(800, 500)}}) {
        const std::string shot = m_root + "/shot-" + c.screen + ".png";
        ASSERT_EQ(runOnScreen(c.screen, "hm --grab " + shQuote(shot)), 0) << c.screen;
        const QImage picture(QString::fromStdString(shot));
        // Exactly the rule's size: no panel asks for more width than the narrowest rule.
        EXPECT_EQ(picture.size(), c.window) << c.screen;
    }
}

TEST_F(WindowUnderXvfb, GrabAfterAScanAndTheTitle) {
    const std::string shot = m_root + "/scan.png";
    const std::string data = m_root + "/data";
    ASSERT_EQ(runOnScreen("1600x1000", "hm --grab " + shQuote(shot) + " --size 1280x800 " + shQuote(data)), 0);
    const QImage picture(QString::fromStdString(shot));
    EXPECT_EQ(picture.size(), QSize(1280, 800));
    // The title, read from a window left open until then; a relative folder is named absolutely.
    EXPECT_EQ(firstFolderTitle(shQuote(data)), "Hollowmere — <Folder> " + data);
    EXPECT_EQ(firstFolderTitle("data"), "Hollowmere — <Folder> " + data);
    // The treemap fills the lower part with more than the background.
    std::set<QRgb> colours;
    for (int x = 0; x < picture.width(); x += 7)
        colours.insert(picture.pixel(x, picture.height() - 60));
    EXPECT_GT(colours.size(), 3u);

    // A start folder whose name is not UTF-8 is scanned as given, not reported unreadable.
    const std::string bad = m_root + "/bad\xff" "name";
    ASSERT_EQ(hmtest::sh("cp -r " + shQuote(data) + " " + shQuote(bad)), 0);
    const std::string badShot = m_root + "/bad.png";
    ASSERT_EQ(runOnScreen("1600x1000", "hm --grab " + shQuote(badShot) + " --size 1280x800 " + shQuote(bad)), 0);
    const QImage badPicture(QString::fromStdString(badShot));
    ASSERT_EQ(badPicture.size(), QSize(1280, 800));
    colours.clear();
    for (int x = 0; x < badPicture.width(); x += 7)
        colours.insert(badPicture.pixel(x, badPicture.height() - 60));
    EXPECT_GT(colours.size(), 3u);
}

TEST_F(WindowUnderXvfb, AStartPathOnADeadMountStillShowsTheWindow) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    const std::string point = m_root + "/dead";
    ASSERT_EQ(::mkdir(point.c_str(), 0755), 0);
    hmtest::DeadFuseMount dead(point);
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    EXPECT_EQ(firstFolderTitle(shQuote(point)), "Hollowmere — <Folder> " + point);
    EXPECT_EQ(firstFolderTitle(shQuote(point + "/dump.MFT")), "Hollowmere — <Folder> " + point + "/dump.MFT");
}

TEST_F(WindowUnderXvfb, TranslatedWindowsAreGrabbedAndArabicStartsOnTheRight) {
    const std::string data = m_root + "/data";
    for (const std::string tag : {"de", "ja", "ar"}) {
        const std::string shot = m_root + "/lang-" + tag + ".png";
        ASSERT_EQ(runOnScreen("1600x1000", "hm --grab " + shQuote(shot) + " --size 1280x800 " + shQuote(data),
                              "ZRT_LANG=" + tag),
                  0)
            << tag;
        const QImage picture(QString::fromStdString(shot));
        ASSERT_EQ(picture.size(), QSize(1280, 800)) << tag;
        // The accent blue of the scan button and its progress bar sits where reading starts.
        long long sum = 0, count = 0;
        for (int y = 0; y < 110; ++y)
            for (int x = 0; x < picture.width(); ++x) {
                const QRgb p = picture.pixel(x, y);
                if (qRed(p) < 12 && std::abs(qGreen(p) - 0x6f) < 12 && qBlue(p) > 0xf3) {
                    sum += x;
                    ++count;
                }
            }
        ASSERT_GT(count, 200) << tag;
        EXPECT_EQ(sum / count > picture.width() / 2, tag == "ar") << tag;
    }
}

TEST_F(WindowUnderXvfb, DialogCaptureSavesOnePictureOrRefusesAnUnknownName) {
    for (const std::string name : {"tweaks", "chooser"}) {
        const std::string shot = m_root + "/" + name + ".png";
        EXPECT_EQ(runOnScreen("1024x768", "hm --grab-dialog " + name + " " + shQuote(shot)), 0) << name;
        EXPECT_GT(QImage(QString::fromStdString(shot)).width(), 200) << name;
    }
    EXPECT_EQ(runOnScreen("1024x768", "hm --grab-dialog nosuchdialog " + shQuote(m_root + "/x.png")), 2);
    EXPECT_NE(access((m_root + "/x.png").c_str(), F_OK), 0);
    EXPECT_EQ(runOnScreen("1024x768", "hm --grab-dialog denied /nonexistent-folder/denied.png"), 1);
}

}  // namespace
