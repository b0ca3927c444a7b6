#include "app/UpdateChecker.h"

#include "app/AppSettings.h"
#include "app/VersionInfo.h"

#include "tests/app/ShellTestEnv.h"
#include "tests/app/VersionServer.h"

#include <QDate>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUrlQuery>

using namespace shelltest;
using tessaril::UpdateResult;

namespace {

class UpdateCheck : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::make_unique<hmtest::TempDir>("hm-update");
        useFreshConfigFolder(*m_dir);
        store()->clear();
        setMakerServer(m_server.base());
        UpdateChecker::instance()->clear();
    }
    void TearDown() override { UpdateChecker::instance()->clear(); }
    static QSettings* store() { return AppSettings::instance()->settings(); }
    static QString today() { return QDate::currentDate().toString("yyyy-MM-dd"); }
    QUrlQuery lastQuery() const { return QUrlQuery(QUrl(m_server.targets.last())); }

    VersionServer m_server;
    std::unique_ptr<hmtest::TempDir> m_dir;
};

}  // namespace

TEST(UpdateCheckReply, ParsesVersionAndHttpsInformationUrl) {
    auto parse = [](const char* body) { return parseUpdateReply(body, "1.01"); };
    UpdateResult r = parse("VERSION=1.02\r\nINFOURL=https://example.org/new\r\n");
    EXPECT_EQ(r.status, UpdateResult::Newer);
    EXPECT_EQ(r.version, QStringLiteral("1.02"));
    EXPECT_EQ(r.infoUrl, QStringLiteral("https://example.org/new"));

    EXPECT_EQ(parse("VERSION=1.02\nINFOURL=example.org/new").status, UpdateResult::NotNewer);
    EXPECT_EQ(parse("VERSION=1.02\nINFOURL=http://example.org/new").status, UpdateResult::NotNewer);
    EXPECT_EQ(parse("VERSION=1.02\nINFOURL=javascript:alert(1)").status, UpdateResult::NotNewer);
    EXPECT_EQ(parse("VERSION=1.01\nINFOURL=https://example.org/").status, UpdateResult::NotNewer);
    EXPECT_EQ(parse("VERSION=abc\nINFOURL=https://example.org/").status, UpdateResult::NotNewer);
    EXPECT_EQ(parse("VERSION=1e9\nINFOURL=https://example.org/").status, UpdateResult::NotNewer);
    EXPECT_EQ(parse("version=1.5\nINFOURL=https://example.org/").status, UpdateResult::NotNewer);
    EXPECT_EQ(parse("VERSION=1.02").status, UpdateResult::NotNewer);
    EXPECT_EQ(parse("").status, UpdateResult::NotNewer);
    // Decimal comparison: 1.10 is below 1.9; a later line wins; blanks around numbers are fine.
    EXPECT_EQ(parseUpdateReply("VERSION=1.10\nINFOURL=https://e.org/", "1.9").status, UpdateResult::NotNewer);
    r = parse("VERSION=0.5\nVERSION= 2.0 \nX=Y=Z\nINFOURL=https://e.org/a=b");
    EXPECT_EQ(r.status, UpdateResult::Newer);
    EXPECT_EQ(r.version, QStringLiteral(" 2.0 "));
    EXPECT_EQ(r.infoUrl, QStringLiteral("https://e.org/a=b"));
    EXPECT_TRUE(r.errorText.isEmpty());
}

TEST(UpdateCheckReply, AddressesOfTheMakersServer) {
    const QUrl saved = makerServer();
    EXPECT_EQ(saved.scheme(), QStringLiteral("https"));
    const QUrl url = updateInfoUrl("1.01", true);
    EXPECT_EQ(url.scheme(), QStringLiteral("https"));
    EXPECT_EQ(url.path(), QStringLiteral("/files/hollowmereversion.php"));
    EXPECT_EQ(url.query(), QStringLiteral("ver=1.01&platform=linux&newinstall=1"));
    EXPECT_EQ(updateInfoUrl("1 &2", false).query(QUrl::FullyEncoded), QStringLiteral("ver=1%20%262&platform=linux"));
    EXPECT_EQ(donatePageUrl().toString(QUrl::RemoveAuthority), QStringLiteral("https:/sorvaledonate.php?platform=linux"));
    EXPECT_EQ(donatePageUrl().host(), saved.host());
}

TEST_F(UpdateCheck, OneRequestPerDayAndNewInstallOnlyOnTheFirst) {
    m_server.reply(200, "VERSION=1.00\nINFOURL=https://example.org/\n");
    UpdateChecker* checker = UpdateChecker::instance();
    QSignalSpy none(checker, &UpdateChecker::noUpdateFound);
    QSignalSpy failed(checker, &UpdateChecker::checkFailed);

    checker->check(false, false);
    EXPECT_EQ(store()->value("lastUpdateCheckDate").toString(), today());
    QTRY_COMPARE_WITH_TIMEOUT(m_server.targets.size(), 1, 5000);
    EXPECT_EQ(QUrl(m_server.targets.at(0)).path(), QStringLiteral("/files/hollowmereversion.php"));
    EXPECT_EQ(lastQuery().queryItemValue("ver"), appVersion());
    EXPECT_EQ(lastQuery().queryItemValue("platform"), QStringLiteral("linux"));
    EXPECT_EQ(lastQuery().queryItemValue("newinstall"), QStringLiteral("1"));

    checker->check(false, false);  // same day: nothing sent
    checker->check(false, true);
    QTest::qWait(300);
    EXPECT_EQ(m_server.targets.size(), 1);

    // A forced check always sends, without newinstall, and refreshes the date.
    store()->setValue("lastUpdateCheckDate", "2020-01-01");
    checker->check(true, true);
    EXPECT_EQ(store()->value("lastUpdateCheckDate").toString(), today());
    QTRY_COMPARE_WITH_TIMEOUT(none.count(), 1, 5000);
    EXPECT_EQ(m_server.targets.size(), 2);
    EXPECT_FALSE(lastQuery().hasQueryItem("newinstall"));
    EXPECT_EQ(failed.count(), 0);
}

TEST_F(UpdateCheck, DisabledAutomaticCheckSendsNothingButTheCommandDoes) {
    store()->setValue("checkForUpdatesEnabled", false);
    m_server.reply(200, "VERSION=9.5\nINFOURL=https://example.org/v9\n");
    UpdateChecker* checker = UpdateChecker::instance();
    EXPECT_FALSE(checker->isEnabled());
    QSignalSpy changed(checker, &UpdateChecker::changed);
    checker->check(false, false);
    QTest::qWait(300);
    EXPECT_TRUE(m_server.targets.isEmpty());
    EXPECT_FALSE(store()->contains("lastUpdateCheckDate"));

    checker->check(true, true);
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 5000);
    EXPECT_EQ(checker->newerVersion(), QStringLiteral("9.5"));
    EXPECT_EQ(checker->infoUrl(), QStringLiteral("https://example.org/v9"));
}

TEST_F(UpdateCheck, NoUpdateAfterAFoundOneClearsTheBannerData) {
    UpdateChecker* checker = UpdateChecker::instance();
    m_server.reply(200, "VERSION=2.0\nINFOURL=https://example.org/v2\n");
    QSignalSpy changed(checker, &UpdateChecker::changed);
    checker->check(true, false);
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 5000);

    m_server.reply(200, "VERSION=1.01\nINFOURL=https://example.org/\n");
    QStringList order;
    QObject context;
    QObject::connect(checker, &UpdateChecker::changed, &context, [&] { order << "changed"; });
    QObject::connect(checker, &UpdateChecker::noUpdateFound, &context, [&] { order << "none"; });
    checker->check(true, true);
    QTRY_COMPARE_WITH_TIMEOUT(order.size(), 2, 5000);
    EXPECT_EQ(order, (QStringList{"changed", "none"}));
    EXPECT_TRUE(checker->newerVersion().isEmpty());

    checker->clear();  // nothing held: no signal
    EXPECT_EQ(changed.count(), 2);
}

TEST_F(UpdateCheck, FailuresReachOnlyInteractiveChecksAndKeepAFoundVersion) {
    UpdateChecker* checker = UpdateChecker::instance();
    m_server.reply(200, "VERSION=3.0\nINFOURL=https://example.org/v3\n");
    QSignalSpy changed(checker, &UpdateChecker::changed);
    checker->check(true, false);
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 5000);

    m_server.reply(500, "VERSION=4.0\nINFOURL=https://example.org/v4\n");
    QSignalSpy failed(checker, &UpdateChecker::checkFailed);
    checker->check(true, false);
    QTRY_COMPARE_WITH_TIMEOUT(m_server.targets.size(), 2, 5000);
    QTest::qWait(200);
    EXPECT_EQ(failed.count(), 0);

    checker->check(true, true);
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 5000);
    EXPECT_FALSE(failed.at(0).at(0).toString().isEmpty());
    EXPECT_EQ(checker->newerVersion(), QStringLiteral("3.0"));
    EXPECT_EQ(changed.count(), 1);
}

TEST_F(UpdateCheck, RedirectsOnTheSameSchemeAreFollowed) {
    m_server.reply(200, "VERSION=5.0\nINFOURL=https://example.org/v5\n");
    m_server.redirectTo("/moved/version.txt");
    UpdateResult result;
    bool done = false;
    tessaril::checkForUpdate("1.01", false, [&](const UpdateResult& r) {
        result = r;
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
    EXPECT_EQ(result.status, UpdateResult::Newer);
    EXPECT_EQ(m_server.targets, (QStringList{"/files/hollowmereversion.php?ver=1.01&platform=linux",
                                             "/moved/version.txt"}));
}

TEST_F(UpdateCheck, TlsHandshakeFailureIsAFailedCheck) {
    // The real TLS backend talking to a plain-HTTP server.
    QUrl https = m_server.base();
    https.setScheme("https");
    setMakerServer(https);
    UpdateResult result;
    bool done = false;
    tessaril::checkForUpdate("1.01", false, [&](const UpdateResult& r) {
        result = r;
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, 12000);
    EXPECT_EQ(result.status, UpdateResult::Failed);
    EXPECT_FALSE(result.errorText.isEmpty());
    EXPECT_TRUE(result.version.isEmpty());

    // Nothing listening at all.
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const quint16 port = closed.serverPort();
    closed.close();
    setMakerServer(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port)));
    done = false;
    tessaril::checkForUpdate("1.01", false, [&](const UpdateResult& r) {
        result = r;
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, 12000);
    EXPECT_EQ(result.status, UpdateResult::Failed);
}
