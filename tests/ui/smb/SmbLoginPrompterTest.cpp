// The login prompter's road from a mounted share to a source or the mount: settings, the
// session cache, the real keyring (gnome-keyring on a private bus), asking again after a
// refusal, and giving up when the window goes away. The server's answers come from a stand-in
// tester here; the real server is tried by the window's SMB test.
#include "ui/smb/SmbLoginPrompter.h"

#include "app/AppSettings.h"
#include "ui/smb/SecretStore.h"

#include "tests/app/ShellTestEnv.h"
#include "tests/ui/smb/PrivateSessionBus.h"

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const QString kService = QStringLiteral("org.freedesktop.secrets");

using Answer = SmbLoginPrompter::Answer;
using Question = SmbLoginPrompter::Question;

svl::SmbMountInfo nasMount(const std::string& share) {
    svl::SmbMountInfo m;
    m.server = "NAS";
    m.address = "192.0.2.7";
    m.share = share;
    m.path = "docs";
    m.mountPoint = "/mnt/" + share;
    m.user = "mountuser";
    m.domain = "HOME";
    return m;
}

Answer typed(const std::string& user, const std::string& password, bool remember = false) {
    Answer a;
    a.scanDirectly = true;
    a.user = user;
    a.password = password;
    a.remember = remember;
    return a;
}

// A prompter whose questions and server answers are scripted and recorded.
struct Scripted {
    explicit Scripted(GuiCallGate gate = GuiCallGate()) : prompter(nullptr, std::move(gate)) {
        prompter.askLogin = [this](const Question& q) {
            std::lock_guard lock(mutex);
            questions.push_back(q);
            if (answers.empty())
                return Answer();
            Answer a = answers.front();
            answers.erase(answers.begin());
            return a;
        };
        prompter.testLogin = [this](const svl::SmbLogin& login, std::string& error) {
            std::lock_guard lock(mutex);
            tested.push_back(login);
            if (login.password == goodPassword)
                return true;
            error = refusal;
            return false;
        };
    }
    SmbLoginPrompter prompter;
    std::mutex mutex;
    std::vector<Answer> answers;
    std::vector<Question> questions;
    std::vector<svl::SmbLogin> tested;
    std::string goodPassword = "right";
    std::string refusal = "access denied";
};

QStringList mountServers() {
    return AppSettings::instance()->settings()->value("smbUseMountServers").toStringList();
}

class SmbLoginPrompterTest : public ::testing::Test {
protected:
    void SetUp() override {
        bustest::sharedKeyringBus();
        AppSettings::instance()->setValue("scanSMBDirectly", true);
        // Empties the session cache, the server list and the keyring of earlier tests.
        forgetSavedSmbLogins();
    }
    static bool haveKeyring() { return bustest::sharedKeyringBus() != nullptr; }
};

}  // namespace

TEST_F(SmbLoginPrompterTest, SettingsSendSharesToTheMountWithoutAsking) {
    Scripted s;
    s.answers = {typed("u", "right")};
    AppSettings::instance()->setValue("scanSMBDirectly", false);
    EXPECT_EQ(s.prompter.open(nasMount("a")), nullptr);
    AppSettings::instance()->setValue("scanSMBDirectly", true);
    AppSettings::instance()->setValue("smbUseMountServers", QStringList{"files", "nas"});
    EXPECT_EQ(s.prompter.open(nasMount("a")), nullptr);
    EXPECT_TRUE(s.questions.empty());
    EXPECT_TRUE(s.tested.empty());
}

TEST_F(SmbLoginPrompterTest, RefusedLoginsAskAgainWithTheReasonAndTheAcceptedOneIsCachedForTheSession) {
    Scripted s;
    s.prompter.store = std::make_shared<SecretStore>(QStringLiteral("org.freedesktop.secrets.hm_absent"));
    s.answers = {typed("alice", "wrong"), typed("bob", ""), typed("bob", "right", true)};
    s.refusal = "";
    // The scanner calls from its own thread; the questions go through the GUI thread.
    std::unique_ptr<svl::RemoteSource> source;
    std::atomic<bool> done{false};
    std::thread scan([&] {
        source = s.prompter.open(nasMount("media"));
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    scan.join();
    EXPECT_NE(source, nullptr);

    ASSERT_EQ(s.questions.size(), 3u);
    EXPECT_EQ(s.questions[0].mount, nasMount("media"));
    EXPECT_EQ(s.questions[0].error, "");
    EXPECT_FALSE(s.questions[0].keyringAvailable);
    EXPECT_EQ(s.questions[1].mount.user, "alice");
    EXPECT_EQ(s.questions[1].error, "could not log in");
    EXPECT_EQ(s.questions[2].mount.user, "bob");
    // The connection goes to the mount's address, with its domain; an empty password is tried too.
    ASSERT_EQ(s.tested.size(), 3u);
    EXPECT_EQ(s.tested[1].password, "");
    const svl::SmbLogin& used = s.tested[2];
    EXPECT_EQ(used.server, "192.0.2.7");
    EXPECT_EQ(used.share, "media");
    EXPECT_EQ(used.user, "bob");
    EXPECT_EQ(used.domain, "HOME");

    // The same share again, from another prompter: neither asked nor tested.
    Scripted again;
    EXPECT_NE(again.prompter.open(nasMount("media")), nullptr);
    EXPECT_TRUE(again.questions.empty());
    EXPECT_TRUE(again.tested.empty());
    // Forgetting empties the session's logins.
    forgetSavedSmbLogins();
    EXPECT_EQ(again.prompter.open(nasMount("media")), nullptr);
    EXPECT_EQ(again.questions.size(), 1u);
}

TEST_F(SmbLoginPrompterTest, UseTheMountAndTwentyRefusalsGiveNoSource) {
    Scripted s;
    s.answers.assign(25, typed("u", "wrong"));
    EXPECT_EQ(s.prompter.open(nasMount("a")), nullptr);
    EXPECT_EQ(s.questions.size(), 20u);
    EXPECT_EQ(s.questions.back().error, "access denied");
    EXPECT_TRUE(mountServers().isEmpty());

    // "Use the Mount" once leaves the list alone; "always" adds the server by its name.
    s.questions.clear();
    s.answers = {Answer()};
    EXPECT_EQ(s.prompter.open(nasMount("a")), nullptr);
    EXPECT_TRUE(mountServers().isEmpty());
    Answer always;
    always.alwaysUseMount = true;
    s.answers = {always, typed("u", "right")};
    EXPECT_EQ(s.prompter.open(nasMount("a")), nullptr);
    EXPECT_EQ(mountServers(), QStringList{"NAS"});
    EXPECT_EQ(s.prompter.open(nasMount("b")), nullptr);
    EXPECT_EQ(s.questions.size(), 2u) << "a server read through its mount is not asked about again";
}

TEST_F(SmbLoginPrompterTest, KeyringLoginsAreUsedTestedAndStoredOnlyWhenAcceptedAndWanted) {
    if (!haveKeyring())
        GTEST_SKIP() << "needs dbus-daemon and gnome-keyring-daemon (scripts/setup.sh)";
    SecretStore keyring(kService);
    ASSERT_TRUE(keyring.store("nas", "saved", "carol", "right"));
    ASSERT_TRUE(keyring.store("nas", "stale", "dave", "old"));

    Scripted s;
    EXPECT_NE(s.prompter.open(nasMount("saved")), nullptr);
    EXPECT_TRUE(s.questions.empty());
    ASSERT_EQ(s.tested.size(), 1u);
    EXPECT_EQ(s.tested[0].user, "carol");

    // A saved login the server refuses: asked with its user name and the server's reason; the
    // item stays until a new login is remembered.
    s.refusal = "NT_STATUS_LOGON_FAILURE";
    s.answers = {typed("erin", "right", false)};
    EXPECT_NE(s.prompter.open(nasMount("stale")), nullptr);
    ASSERT_EQ(s.questions.size(), 1u);
    EXPECT_TRUE(s.questions[0].keyringAvailable);
    EXPECT_EQ(s.questions[0].mount.user, "dave");
    EXPECT_EQ(s.questions[0].error, "the saved login no longer works: NT_STATUS_LOGON_FAILURE");
    EXPECT_EQ(keyring.lookup("nas", "stale"), std::make_optional(std::make_pair(QString("dave"), QString("old"))));

    // Remembered only after the server accepted it.
    s.answers = {typed("frank", "wrong", true), typed("frank", "right", true)};
    EXPECT_NE(s.prompter.open(nasMount("fresh")), nullptr);
    EXPECT_EQ(keyring.lookup("NAS", "fresh"), std::make_optional(std::make_pair(QString("frank"), QString("right"))));
    s.answers = {typed("gina", "wrong", true)};
    EXPECT_EQ(s.prompter.open(nasMount("never")), nullptr);
    EXPECT_EQ(keyring.lookup("nas", "never"), std::nullopt);
}

TEST_F(SmbLoginPrompterTest, ClosedGateEndsAWaitingQuestionAtOnce) {
    GuiCallGate gate;
    SmbLoginPrompter prompter(nullptr, gate);
    prompter.testLogin = [](const svl::SmbLogin&, std::string&) { return true; };
    std::unique_ptr<svl::RemoteSource> source;
    std::atomic<bool> done{false};
    // The GUI thread never turns its loop, as when the window waits for its job at quit.
    std::thread scan([&] {
        source = prompter.open(nasMount("closing"));
        done = true;
    });
    QThread::msleep(100);
    EXPECT_FALSE(done.load());
    QElapsedTimer clock;
    clock.start();
    gate.close();
    scan.join();
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_EQ(source, nullptr);
    // The queued settings read is dropped, and no question appears later.
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}
