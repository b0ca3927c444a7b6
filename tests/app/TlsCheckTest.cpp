#include "app/TlsCheck.h"

#include "tests/app/ShellTestEnv.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QMessageBox>
#include <QPushButton>
#include <QSslSocket>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

using namespace shelltest;

namespace {

// Captures what is written to standard error while it lives.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& file) : m_file(file) {
        fflush(stderr);
        m_saved = dup(2);
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    std::string finish() {
        fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
        return hmtest::shOutput("cat " + hmtest::shQuote(m_file));
    }

private:
    std::string m_file;
    int m_saved = -1;
};

QString idsCommand(const hmtest::TempDir& dir, const std::string& osRelease) {
    hmtest::writeFile(dir / "os-release", osRelease);
    ScopedEnv env("ZRT_OS_RELEASE", dir / "os-release");
    return installCommandFor(distributionIds());
}

}  // namespace

TEST(TlsCheckDistribution, OsReleaseIdsPickTheInstallCommand) {
    hmtest::TempDir dir("hm-tls");
    hmtest::writeFile(dir / "os-release", "NAME=\"Pop!_OS\"\nID=pop\nID_LIKE=\"ubuntu debian\"\nVERSION_ID=22.04\n");
    {
        ScopedEnv env("ZRT_OS_RELEASE", dir / "os-release");
        EXPECT_EQ(distributionIds(), (QStringList{"pop", "ubuntu", "debian"}));
    }
    EXPECT_EQ(idsCommand(dir, "ID=pop\nID_LIKE=\"ubuntu debian\"\n"), QStringLiteral("sudo apt install libssl3"));
    EXPECT_EQ(idsCommand(dir, "ID=\"opensuse-tumbleweed\"\nID_LIKE='opensuse suse'\n"),
              QStringLiteral("sudo zypper install libopenssl3"));
    EXPECT_EQ(idsCommand(dir, "ID=Fedora\n"), QStringLiteral("sudo dnf install openssl-libs"));
    EXPECT_EQ(idsCommand(dir, "id=arch\nVERSION_ID=1\n ID=void\n"), QString());
    EXPECT_EQ(idsCommand(dir, "ID=artix\r\n"), QStringLiteral("sudo pacman -S openssl"));
    EXPECT_EQ(idsCommand(dir, "ID=nixos\n"), QString());

    EXPECT_EQ(installCommandFor({"fedora", "ubuntu"}), QStringLiteral("sudo apt install libssl3"));
    EXPECT_EQ(installCommandFor({"void", "gentoo"}), QStringLiteral("sudo emerge --ask dev-libs/openssl"));
    EXPECT_EQ(installCommandFor({"Ubuntu"}), QString());

    ScopedEnv missing("ZRT_OS_RELEASE", dir / "missing");
    EXPECT_TRUE(distributionIds().isEmpty());
}

TEST(TlsCheckDistribution, MessageWithAndWithoutCommand) {
    const QString with = tlsPrerequisiteMessage("sudo apt install libssl3");
    EXPECT_TRUE(with.startsWith(
        "Hollowmere needs the OpenSSL 3 library, which wasn't found on this computer."));
    EXPECT_TRUE(with.endsWith("\n\nTo install it, run this in a terminal:\n\nsudo apt install libssl3\n\n"
                              "Then start Hollowmere again."));
    EXPECT_EQ(with.count("\n\n"), 3);
    EXPECT_TRUE(tlsPrerequisiteMessage(QString()).endsWith(
        "\n\nInstall the OpenSSL 3 package of your Linux distribution (the one that provides libssl.so.3), then "
        "start Hollowmere again."));
}

TEST(TlsCheckBackend, PretendSwitchAndTheRealBackend) {
    const bool real = QSslSocket::supportsSsl();
    EXPECT_EQ(tlsAvailable(), real);
    for (const char* value : {"1", "01", "0x1"}) {
        ScopedEnv pretend("ZRT_PRETEND_NO_OPENSSL", value);
        EXPECT_FALSE(tlsAvailable()) << value;
    }
    for (const char* value : {"0", "2", "true", "yes", ""}) {
        ScopedEnv pretend("ZRT_PRETEND_NO_OPENSSL", value);
        EXPECT_EQ(tlsAvailable(), real) << value;
    }
}

TEST(TlsCheckBackend, HeadlessFailureGoesToStandardErrorOnly) {
    if (!QSslSocket::supportsSsl())
        GTEST_SKIP() << "no TLS backend on this machine";
    EXPECT_TRUE(checkTlsPrerequisite());

    hmtest::TempDir dir("hm-tls");
    hmtest::writeFile(dir / "os-release", "ID=ubuntu\n");
    ScopedEnv os("ZRT_OS_RELEASE", dir / "os-release");
    ScopedEnv pretend("ZRT_PRETEND_NO_OPENSSL", "1");
    StderrCapture capture(dir / "stderr");
    const bool passed = checkTlsPrerequisite();  // offscreen: no box may block here
    const std::string err = capture.finish();
    EXPECT_FALSE(passed);
    EXPECT_EQ(err, (tlsPrerequisiteMessage("sudo apt install libssl3") + "\n").toStdString());
}

TEST(TlsCheckBox, CopyCommandFillsTheClipboard) {
    QGuiApplication::clipboard()->clear();
    QStringList buttons;
    QString title;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        for (QAbstractButton* button : box->buttons())
            buttons << button->text();
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == QLatin1String("Copy Command"))
                button->click();
        }
    });
    EXPECT_TRUE(showTlsPrerequisiteBox("message", "sudo dnf install openssl-libs"));
    EXPECT_EQ(title, QStringLiteral("OpenSSL 3 Is Needed"));
    EXPECT_EQ(buttons.size(), 2);
    EXPECT_TRUE(buttons.contains("Copy Command"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("sudo dnf install openssl-libs"));

    // Without a command the box has only Close.
    QGuiApplication::clipboard()->clear();
    buttons.clear();
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        for (QAbstractButton* button : box->buttons())
            buttons << button->text();
        box->button(QMessageBox::Close)->click();
    });
    EXPECT_FALSE(showTlsPrerequisiteBox("message", QString()));
    EXPECT_EQ(buttons.size(), 1);
    EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
}
