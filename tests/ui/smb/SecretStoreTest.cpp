#include "ui/smb/SecretStore.h"

#include "app/AppSettings.h"
#include "ui/dialogs/TweaksDialog.h"

#include "tests/app/ShellTestEnv.h"
#include "tests/ui/smb/PrivateSessionBus.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QElapsedTimer>

#include <utility>

namespace {

const QString kService = QStringLiteral("org.freedesktop.secrets");

// One bus with a real, unlocked gnome-keyring for the whole program: the session bus
// connection of a process is made once, from DBUS_SESSION_BUS_ADDRESS. The bus is started on
// first use and stopped before the application object goes.
class SecretStoreTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static bool tried = false;
        if (std::exchange(tried, true))
            return;
        if (!hmtest::haveTool("dbus-daemon") || !hmtest::haveTool("gnome-keyring-daemon") ||
            !hmtest::haveTool("secret-tool"))
            return;
        s_bus = std::make_unique<bustest::PrivateSessionBus>();
        if (s_bus->address().isEmpty() || !s_bus->startKeyring()) {
            s_bus.reset();
            return;
        }
        setenv("DBUS_SESSION_BUS_ADDRESS", s_bus->address().constData(), 1);
    }
    void SetUp() override {
        if (!s_bus)
            GTEST_SKIP() << "needs dbus-daemon, gnome-keyring-daemon and secret-tool (scripts/setup.sh)";
        SecretStore cleaner(kService);
        cleaner.removeAll();
    }

    // Runs secret-tool against the private keyring; returns what it printed (it lists the
    // attributes on standard error).
    static QString secretTool(const QStringList& arguments, const QByteArray& input = {}) {
        QProcess tool;
        QProcessEnvironment env = s_bus->environment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        tool.setProcessEnvironment(env);
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(QStringLiteral("secret-tool"), arguments);
        tool.write(input);
        tool.closeWriteChannel();
        tool.waitForBytesWritten(3000);
        tool.waitForFinished(10000);
        return QString::fromUtf8(tool.readAllStandardOutput());
    }

    static std::unique_ptr<bustest::PrivateSessionBus> s_bus;

public:
    static void stopBus() { s_bus.reset(); }
};

std::unique_ptr<bustest::PrivateSessionBus> SecretStoreTest::s_bus;

struct StopBus : ::testing::Environment {
    void TearDown() override { SecretStoreTest::stopBus(); }
};
::testing::Environment* const stopBus = ::testing::AddGlobalTestEnvironment(new StopBus);

using Login = std::optional<std::pair<QString, QString>>;

}  // namespace

TEST_F(SecretStoreTest, StoredLoginIsFoundCaseBlindAndReplacedNotDuplicated) {
    SecretStore store(kService);
    ASSERT_TRUE(store.available());
    EXPECT_EQ(store.lookup("NAS", "Media"), Login());
    ASSERT_TRUE(store.store("NAS", "Media", "Alice", "pw 1"));
    EXPECT_EQ(store.lookup("nas", "MEDIA"), Login({"Alice", "pw 1"}));
    EXPECT_EQ(store.lookup("nas", "other"), Login());

    ASSERT_TRUE(store.store("nAs", "MEDIA", QString::fromUtf8("Jörg"), QString::fromUtf8("line\nfeed ünï")));
    EXPECT_EQ(store.lookup("NAS", "Media"), Login({QString::fromUtf8("Jörg"), QString::fromUtf8("line\nfeed ünï")}));
    const QString listed = secretTool({"search", "--all", "application", "Hollowmere"});
    EXPECT_EQ(listed.count(QStringLiteral("label = ")), 1) << listed.toStdString();
    EXPECT_TRUE(listed.contains(QString::fromUtf8("label = Hollowmere: Jörg@nAs/MEDIA"))) << listed.toStdString();
    EXPECT_TRUE(listed.contains("attribute.server = nas") && listed.contains("attribute.share = media"))
        << listed.toStdString();

    // A second store object (as the window makes for forgetting) sees the same item.
    SecretStore other(kService);
    EXPECT_EQ(other.lookup("Nas", "MeDia"), Login({QString::fromUtf8("Jörg"), QString::fromUtf8("line\nfeed ünï")}));
}

TEST_F(SecretStoreTest, SecretsWithoutAUserBeforeTheLineFeedGiveNoLogin) {
    struct Case {
        const char* share;
        QByteArray secret;
        Login expected;
    };
    const Case cases[] = {
        {"nolinefeed", "justapassword", Login()},
        {"leadinglf", "\nsecret", Login()},
        {"emptypw", "user\n", Login({"user", ""})},
        {"twolf", "user\npass\nmore", Login({"user", "pass\nmore"})},
    };
    SecretStore store(kService);
    for (const Case& c : cases) {
        // Written by another program with our attributes; secret-tool stores stdin as it is.
        secretTool({"store", "--label=foreign", "application", "Hollowmere", "server", "srv", "share", c.share},
                   c.secret);
        EXPECT_EQ(store.lookup("srv", c.share), c.expected) << c.share;
    }
}

TEST_F(SecretStoreTest, RemoveTakesOneShareAndRemoveAllEveryShareOfTheProgramOnly) {
    SecretStore store(kService);
    ASSERT_TRUE(store.store("nas", "a", "u1", "p1"));
    ASSERT_TRUE(store.store("nas", "b", "u2", "p2"));
    ASSERT_TRUE(store.store("files", "a", "u3", "p3"));
    secretTool({"store", "--label=other program", "application", "Other", "server", "nas", "share", "a"}, "keep-me");

    EXPECT_TRUE(store.remove("NAS", "B"));
    EXPECT_EQ(store.lookup("nas", "b"), Login());
    EXPECT_EQ(store.lookup("nas", "a"), Login({"u1", "p1"}));
    EXPECT_TRUE(store.remove("nas", "b")) << "nothing left to delete is no failure";

    EXPECT_EQ(store.removeAll(), 2);
    EXPECT_EQ(store.lookup("nas", "a"), Login());
    EXPECT_EQ(store.lookup("files", "a"), Login());
    EXPECT_EQ(secretTool({"lookup", "application", "Other", "server", "nas", "share", "a"}), "keep-me");
    EXPECT_EQ(store.removeAll(), 0);
}

TEST_F(SecretStoreTest, ForgettingFromTheTweaksDialogDeletesTheSavedLogins) {
    SecretStore store(kService);
    ASSERT_TRUE(store.store("nas", "a", "u1", "p1"));
    ASSERT_TRUE(store.store("files", "b", "u2", "p2"));
    AppSettings::instance()->setValue("smbUseMountServers", QStringList{"nas"});
    TweaksDialog::forgetSmbLoginsHook()();
    EXPECT_EQ(store.lookup("nas", "a"), Login());
    EXPECT_EQ(store.lookup("files", "b"), Login());
    EXPECT_TRUE(AppSettings::instance()->settings()->value("smbUseMountServers").toStringList().isEmpty());
}

TEST_F(SecretStoreTest, AbsentServiceFailsPromptlyAndForGood) {
    const QString absent = QStringLiteral("org.freedesktop.secrets.hm_absent");
    SecretStore store(absent);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(store.available());
    EXPECT_EQ(store.lookup("nas", "a"), Login());
    EXPECT_FALSE(store.store("nas", "a", "u", "p"));
    EXPECT_FALSE(store.remove("nas", "a"));
    EXPECT_EQ(store.removeAll(), 0);
    EXPECT_LT(clock.elapsed(), 1000);

    // The name appearing later does not revive a store that failed once.
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.registerService(absent));
    EXPECT_FALSE(store.available());
    bus.unregisterService(absent);
}

TEST_F(SecretStoreTest, LockedKeyringWhoseUnlockPromptIsNotAnsweredHidesItsItems) {
    SecretStore store(kService);
    ASSERT_TRUE(store.store("nas", "locked", "u", "p"));
    QDBusMessage lock = QDBusMessage::createMethodCall(kService, "/org/freedesktop/secrets",
                                                       "org.freedesktop.Secret.Service", "Lock");
    lock << QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath("/org/freedesktop/secrets/collection/login")});
    ASSERT_EQ(QDBusConnection::sessionBus().call(lock, QDBus::Block, 8000).type(), QDBusMessage::ReplyMessage);

    // No prompter can be shown on this bus, so the unlock prompt ends dismissed.
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(store.lookup("nas", "locked"), Login());
    EXPECT_FALSE(store.store("nas", "other", "u", "p"));
    EXPECT_LT(clock.elapsed(), 20000);
    ASSERT_TRUE(s_bus->startKeyring()) << "restarting unlocks the keyring for the other tests";
    EXPECT_EQ(SecretStore(kService).lookup("nas", "locked"), Login({"u", "p"}));
}
