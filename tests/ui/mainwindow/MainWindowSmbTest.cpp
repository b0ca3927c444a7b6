// Scans of a folder whose SMB mount the mount table describes: read over SMB from a real Samba
// server with a cached, a saved (gnome-keyring on a private bus) or an asked-for login, the
// question answered in-process; refusals ask again, "Use the Mount" reads the local folder,
// and closing the window while it asks ends the job.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <climits>
#include <cstdlib>
#include <optional>

#include <sys/stat.h>

#include "core/scan/MountTable.h"
#include "core/smb/SmbMount.h"
#include "core/tree/ScanTree.h"
#include "tests/support/SambaServer.h"
#include "tests/ui/smb/PrivateSessionBus.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/smb/SecretStore.h"
#include "ui/smb/SmbLoginDialog.h"
#include "ui/smb/SmbLoginPrompter.h"

using windowtest::waitUntil;

namespace {

// The built-in prompter, reading a described mount table instead of this machine's.
class DescribedMountPrompter : public SmbLoginPrompter {
public:
    DescribedMountPrompter(QWidget* parent, const GuiCallGate& gate, std::string table)
        : SmbLoginPrompter(parent, gate), m_table(std::move(table)) {}
    std::optional<svl::SmbMountInfo> findSmbMount(const std::string& path) override {
        return svl::smbMountFor(svl::parseMountInfo(m_table), path);
    }

private:
    std::string m_table;
};

// One answer to the login question: the fields to fill and the button to press.
struct Reply {
    QString user, password;
    bool remember = true;
    bool useMount = false;
};

// Answers login questions in turn, keeping the red line each one showed ("" for none).
class QuestionAnswerer {
public:
    // `unanswered` runs (inside the question's own loop) for a question beyond the replies.
    explicit QuestionAnswerer(QList<Reply> replies, std::function<void()> unanswered = {})
        : m_replies(std::move(replies)), m_unanswered(std::move(unanswered)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { answer(); });
        m_timer.start(10);
    }
    QStringList shown;  // refusal line of every question seen
    QStringList users;  // pre-filled user name of every question seen

private:
    void answer() {
        auto* dialog = qobject_cast<SmbLoginDialog*>(QApplication::activeModalWidget());
        if (!dialog || dialog == m_answered)
            return;
        m_answered = dialog;
        const auto* refused = dialog->findChild<QLabel*>("refusedLabel");
        shown << (refused ? refused->text() : QString());
        auto* user = dialog->findChild<QLineEdit*>("userEdit");
        users << user->text();
        if (m_replies.isEmpty()) {
            if (m_unanswered)
                m_unanswered();
            return;
        }
        const Reply r = m_replies.takeFirst();
        if (r.useMount) {
            dialog->findChild<QPushButton*>("useMountButton")->click();
            return;
        }
        user->setText(r.user);
        dialog->findChild<QLineEdit*>("passwordEdit")->setText(r.password);
        if (auto* remember = dialog->findChild<QCheckBox*>("rememberBox"))
            remember->setChecked(r.remember);
        dialog->findChild<QPushButton*>("scanDirectlyButton")->click();
    }

    QList<Reply> m_replies;
    std::function<void()> m_unanswered;
    QPointer<SmbLoginDialog> m_answered;
    QTimer m_timer;
};

class MainWindowSmb : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server = new hmtest::SambaServer(); }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }

    void SetUp() override {
        if (!s_server->ok())
            GTEST_SKIP() << s_server->error();
        if (!bustest::sharedKeyringBus())
            GTEST_SKIP() << "needs dbus-daemon and gnome-keyring-daemon (scripts/setup.sh)";
        windowtest::clearSettings();
        AppSettings::instance()->setSaveEnabled(false);
        forgetSavedSmbLogins();
        const std::string share = s_server->sharePath();
        hmtest::sh("rm -rf " + hmtest::shQuote(share) + "/*");
        hmtest::sh("mkdir -p " + hmtest::shQuote(share + "/sub dir/a%b #c"));
        hmtest::writeFile(share + "/sub dir/a%b #c/remote.txt", std::string(5000, 'r'));
        hmtest::writeFile(share + "/top file.txt", "top");
        s_server->chownShare();
        // The mount point holds other files, so a scan tells which road it took.
        char real[PATH_MAX];
        ASSERT_NE(realpath(m_mountDir.path().c_str(), real), nullptr);
        m_mountPoint = real;
        hmtest::writeFile(m_mountPoint + "/local-only.txt", "local");
        ::mkdir((m_mountPoint + "/sub dir").c_str(), 0755);
        hmtest::writeFile(m_mountPoint + "/sub dir/local-only.txt", "local");
        m_table = "36 25 0:50 / " + m_mountPoint + " rw,relatime shared:1 - cifs //" + s_server->address() + "/" +
                  s_server->shareName() + " rw,vers=3.1.1,username=" + hmtest::SambaServer::user() + "\n";
    }

    std::unique_ptr<MainWindow> newWindow() {
        auto window = std::make_unique<MainWindow>();
        const std::string table = m_table;
        window->makeSmbPrompterHook = [table](QWidget* parent, const GuiCallGate& gate) {
            return std::make_shared<DescribedMountPrompter>(parent, gate, table);
        };
        return window;
    }

    // Scans the mount point and says which road the tree came from.
    enum Road { Smb, Mount, Failed };
    Road scan(MainWindow& window) {
        window.scanFolder(QString::fromStdString(m_mountPoint));
        if (!waitUntil([&] { return !window.isJobRunning(); }, 60000))
            return Failed;
        const auto& tree = window.currentTree();
        if (!tree || !window.statusText().startsWith("Scan complete in "))
            return Failed;
        const std::string remote = m_mountPoint + "/sub dir/a%b #c/remote.txt";
        const std::string local = m_mountPoint + "/local-only.txt";
        if (tree->findPath(remote.data(), remote.size()) >= 0 && tree->remote && tree->node(0).filesBelow == 2)
            return Smb;
        if (tree->findPath(local.data(), local.size()) >= 0)
            return Mount;
        return Failed;
    }

    static std::optional<std::pair<QString, QString>> saved() {
        return SecretStore(QStringLiteral("org.freedesktop.secrets"))
            .lookup(QString::fromStdString(s_server->address()), "share");
    }

    static hmtest::SambaServer* s_server;
    hmtest::TempDir m_mountDir{"hm-smb-mnt"};
    std::string m_mountPoint, m_table;
};

hmtest::SambaServer* MainWindowSmb::s_server = nullptr;

const QString kUser = QString::fromLatin1(hmtest::SambaServer::user());
const QString kPassword = QString::fromLatin1(hmtest::SambaServer::password());

}  // namespace

TEST_F(MainWindowSmb, AskedLoginIsRetriedAfterARefusalThenCachedAndSaved) {
    auto window = newWindow();
    {
        QuestionAnswerer answerer({Reply{kUser, "wrong", true}, Reply{kUser, kPassword, true}});
        EXPECT_EQ(scan(*window), Smb);
        ASSERT_EQ(answerer.shown.size(), 2);
        EXPECT_EQ(answerer.shown[0], "");
        EXPECT_EQ(answerer.users[0], kUser) << "the mount's user name is filled in";
        EXPECT_TRUE(answerer.shown[1].startsWith("The server did not accept it: ")) << answerer.shown[1].toStdString();
        EXPECT_GT(answerer.shown[1].size(), QString("The server did not accept it: ").size());
    }
    const auto& tree = *window->currentTree();
    const std::string file = m_mountPoint + "/sub dir/a%b #c/remote.txt";
    EXPECT_EQ(tree.node(uint32_t(tree.findPath(file.data(), file.size()))).size, 5000u);

    // The same share again, in a new window: neither asked nor tested against the keyring.
    auto second = newWindow();
    QuestionAnswerer none({});
    EXPECT_EQ(scan(*second), Smb);
    EXPECT_TRUE(none.shown.isEmpty());
    // Kept in the keyring under the server's name as the mount gives it.
    EXPECT_EQ(saved(), std::make_optional(std::make_pair(kUser, kPassword)));
}

TEST_F(MainWindowSmb, SavedLoginServesScansRescansAndSeveralFolders) {
    SecretStore keyring(QStringLiteral("org.freedesktop.secrets"));
    ASSERT_TRUE(keyring.store(QString::fromStdString(s_server->address()), "share", kUser, kPassword));
    auto window = newWindow();
    QuestionAnswerer none({});
    EXPECT_EQ(scan(*window), Smb);

    // A rescan of a folder of the share reads it over SMB too: the file is not in the local folder.
    const std::string sub = m_mountPoint + "/sub dir";
    hmtest::writeFile(s_server->sharePath() + "/sub dir/fresh.txt", "fresh");
    s_server->chownShare();
    const int64_t subId = window->currentTree()->findPath(sub.data(), sub.size());
    ASSERT_GE(subId, 0);
    window->setSelection({uint32_t(subId)}, MainWindow::FromBoth);
    ASSERT_TRUE(window->canRescanSelection());
    window->rescanSelectedFolders();
    ASSERT_TRUE(waitUntil([&] { return !window->isJobRunning(); }, 60000));
    const std::string fresh = sub + "/fresh.txt";
    EXPECT_GE(window->currentTree()->findPath(fresh.data(), fresh.size()), 0) << window->statusText().toStdString();

    // The share as one of several folders.
    hmtest::TempDir local("hm-smb-local");
    hmtest::writeFile(local / "here.txt", "here");
    window->scanMultiple({QString::fromStdString(m_mountPoint), QString::fromStdString(local.path())});
    ASSERT_TRUE(waitUntil([&] { return !window->isJobRunning(); }, 60000));
    const auto& tree = *window->currentTree();
    EXPECT_EQ(tree.node(0).filesBelow, 4u) << "three files of the share and one local file";
    EXPECT_TRUE(tree.remote);
    EXPECT_TRUE(none.shown.isEmpty());
}

TEST_F(MainWindowSmb, UseTheMountReadsTheLocalFolderAndAlwaysSkipsTheQuestionLater) {
    auto window = newWindow();
    {
        QuestionAnswerer answerer({Reply{"", "", false, true}});
        EXPECT_EQ(scan(*window), Mount);
        EXPECT_EQ(answerer.shown.size(), 1);
    }
    AppSettings::instance()->setValue("smbUseMountServers", QStringList{QString::fromStdString(s_server->address())});
    QuestionAnswerer none({});
    EXPECT_EQ(scan(*window), Mount);
    EXPECT_TRUE(none.shown.isEmpty());
}

TEST_F(MainWindowSmb, ClosingOrDestroyingTheWindowWhileAskingEndsTheJob) {
    for (const bool destroy : {false, true}) {
        auto window = newWindow();
        window->show();
        QElapsedTimer clock;
        QuestionAnswerer closeInstead({}, [&] {
            clock.start();
            if (destroy)
                window.reset();  // waits for the job, which must not wait for the question
            else
                window->close();
        });
        window->scanFolder(QString::fromStdString(m_mountPoint));
        EXPECT_TRUE(waitUntil([&] { return !window || !window->isJobRunning(); }, 20000)) << destroy;
        EXPECT_EQ(closeInstead.shown.size(), 1) << destroy;
        EXPECT_LT(clock.elapsed(), 5000) << destroy;
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the question closes with its window";
        EXPECT_FALSE(saved()) << "nothing was remembered";
    }
}

TEST_F(MainWindowSmb, ClosingTheWindowWhileASavedLoginIsTriedOnASilentServerEndsTheJob) {
    hmtest::SilentListener silent;
    const std::string server = "127.0.0.1:" + std::to_string(silent.port());
    m_table = "36 25 0:50 / " + m_mountPoint + " rw,relatime shared:1 - cifs //" + server + "/share rw,vers=3.1.1\n";
    SecretStore keyring(QStringLiteral("org.freedesktop.secrets"));
    ASSERT_TRUE(keyring.store(QString::fromStdString(server), "share", kUser, kPassword));
    auto window = newWindow();
    window->show();
    window->scanFolder(QString::fromStdString(m_mountPoint));
    waitUntil([] { return false; }, 500);  // the login is being tried and would wait 30 s for an answer
    ASSERT_TRUE(window->isJobRunning());
    QElapsedTimer clock;
    clock.start();
    window->close();
    EXPECT_TRUE(waitUntil([&] { return !window->isJobRunning(); }, 20000));
    EXPECT_LT(clock.elapsed(), 3000);
}
