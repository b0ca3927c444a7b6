#include "app/UpdateChecker.h"

#include "app/AppSettings.h"
#include "app/VersionInfo.h"

#include <QDate>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrlQuery>

namespace {

// The maker's web server; a build may set HM_MAKER_HOST to another host name.
#ifdef HM_MAKER_HOST
constexpr char kMakerHost[] = HM_MAKER_HOST;
#else
constexpr char kMakerHost[] = "www.tessaril.com";
#endif

constexpr int kTransferTimeoutMs = 10000;

QUrl& makerServerStorage() {
    static QUrl base = [] {
        QUrl url;
        url.setScheme(QStringLiteral("https"));
        url.setHost(QLatin1String(kMakerHost));
        return url;
    }();
    return base;
}

QNetworkAccessManager* network() {
    // Kept until exit: destroying it after the application object is unsafe.
    static QNetworkAccessManager* manager = new QNetworkAccessManager;
    return manager;
}

QUrl makerUrl(const QString& path, const QUrlQuery& query) {
    QUrl url = makerServer();
    url.setPath(path);
    url.setQuery(query);
    return url;
}

// A plain decimal number with optional surrounding blanks ("1.02", " 2 ").
bool parseVersionNumber(const QString& text, double* value) {
    static const QRegularExpression decimal(QStringLiteral("^\\s*\\d+(?:\\.\\d+)?\\s*$"));
    if (!decimal.match(text).hasMatch())
        return false;
    bool ok = false;
    *value = text.trimmed().toDouble(&ok);
    return ok;
}

}  // namespace

QUrl makerServer() {
    return makerServerStorage();
}

void setMakerServer(const QUrl& base) {
    makerServerStorage() = base;
}

void httpGet(const QUrl& url, std::function<void(const QByteArray&, const QString&)> callback) {
    QNetworkRequest request(url);
    request.setTransferTimeout(kTransferTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = network()->get(request);
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, callback = std::move(callback)] {
        const QByteArray body = reply->readAll();
        const QString errorText = reply->error() != QNetworkReply::NoError ? reply->errorString() : QString();
        reply->deleteLater();
        callback(body, errorText);
    });
}

QUrl updateInfoUrl(const QString& version, bool newInstall) {
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("ver"), version);
    query.addQueryItem(QStringLiteral("platform"), QStringLiteral("linux"));
    if (newInstall)
        query.addQueryItem(QStringLiteral("newinstall"), QStringLiteral("1"));
    return makerUrl(QStringLiteral("/files/hollowmereversion.php"), query);
}

QUrl donatePageUrl() {
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("platform"), QStringLiteral("linux"));
    return makerUrl(QStringLiteral("/sorvaledonate.php"), query);
}

tessaril::UpdateResult parseUpdateReply(const QByteArray& body, const QString& localVersion) {
    static const QRegularExpression lineBreaks(QStringLiteral("[\\r\\n]+"));
    QString version, infoUrl;
    const QStringList lines = QString::fromUtf8(body).split(lineBreaks);
    for (const QString& line : lines) {
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        const QStringView key = QStringView(line).left(equals);
        if (key == QLatin1String("VERSION"))
            version = line.mid(equals + 1);
        else if (key == QLatin1String("INFOURL"))
            infoUrl = line.mid(equals + 1);
    }

    tessaril::UpdateResult result;
    double remote = 0, local = 0;
    const QUrl url(infoUrl);
    // Only an https page is offered: the banner opens it in the user's browser.
    if (parseVersionNumber(version, &remote) && parseVersionNumber(localVersion, &local) && remote > local &&
        url.isValid() && url.scheme() == QLatin1String("https")) {
        result.status = tessaril::UpdateResult::Newer;
        result.version = version;
        result.infoUrl = infoUrl;
    }
    return result;
}

void tessaril::checkForUpdate(const QString& version, bool newInstall,
                              std::function<void(const UpdateResult&)> callback) {
    httpGet(updateInfoUrl(version, newInstall),
            [version, callback = std::move(callback)](const QByteArray& body, const QString& errorText) {
                if (!errorText.isEmpty()) {
                    UpdateResult failed;
                    failed.status = UpdateResult::Failed;
                    failed.errorText = errorText;
                    callback(failed);
                    return;
                }
                callback(parseUpdateReply(body, version));
            });
}

UpdateChecker* UpdateChecker::instance() {
    static UpdateChecker checker;
    return &checker;
}

bool UpdateChecker::isEnabled() const {
    return AppSettings::instance()->settings()->value(QStringLiteral("checkForUpdatesEnabled"), true).toBool();
}

void UpdateChecker::check(bool force, bool interactive) {
    if (!force && !isEnabled())
        return;
    AppSettings* settings = AppSettings::instance();
    const QString lastDate = settings->settings()->value(QStringLiteral("lastUpdateCheckDate")).toString();
    const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    if (!force && lastDate == today)
        return;
    const bool newInstall = lastDate.isEmpty();
    // Recorded before sending, so a failed check also counts as today's.
    settings->setValue("lastUpdateCheckDate", today);
    settings->sync();
    tessaril::checkForUpdate(appVersion(), newInstall,
                             [this, interactive](const tessaril::UpdateResult& result) { apply(result, interactive); });
}

void UpdateChecker::apply(const tessaril::UpdateResult& result, bool interactive) {
    switch (result.status) {
    case tessaril::UpdateResult::Newer:
        m_version = result.version;
        m_infoUrl = result.infoUrl;
        emit changed();
        break;
    case tessaril::UpdateResult::NotNewer:
        clear();
        if (interactive)
            emit noUpdateFound();
        break;
    default:
        if (interactive)
            emit checkFailed(result.errorText);
        break;
    }
}

void UpdateChecker::clear() {
    if (m_version.isEmpty() && m_infoUrl.isEmpty())
        return;
    m_version.clear();
    m_infoUrl.clear();
    emit changed();
}
