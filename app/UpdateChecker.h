// The daily update check: asks the maker's web server over HTTPS whether a newer
// version exists, at most once a day automatically and whenever the user asks.
// A newer version is held by UpdateChecker and announced with changed(). All of it
// runs on the GUI thread; the request is asynchronous.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

namespace tessaril {

// The outcome of one check.
struct UpdateResult {
    enum Status { Newer = 0, NotNewer = 1, Failed = 2 };
    int status = NotNewer;
    QString version;    // the server's version, only with status 0
    QString infoUrl;    // the page about it (https only), only with status 0
    QString errorText;  // the transport's error, only with status 2
};

// Requests updateInfoUrl(version, newInstall) and reports the parsed reply, or
// status 2 with the transport's error text.
void checkForUpdate(const QString& version, bool newInstall, std::function<void(const UpdateResult&)> callback);

}  // namespace tessaril

// GET with a 10 s transfer time-out, following redirects unless they leave HTTPS.
// The callback runs once on the GUI thread with everything received and the
// error text (empty on success).
void httpGet(const QUrl& url, std::function<void(const QByteArray& body, const QString& errorText)> callback);

// https://<maker>/files/hollowmereversion.php?ver=<version>&platform=linux[&newinstall=1]
QUrl updateInfoUrl(const QString& version, bool newInstall);

// https://<maker>/sorvaledonate.php?platform=linux
QUrl donatePageUrl();

// Reads the "VERSION=" and "INFOURL=" lines of a reply. Status 0 only when both
// versions are decimal numbers, the remote one is greater, and the information URL
// is a valid https address; otherwise status 1 with empty texts.
tessaril::UpdateResult parseUpdateReply(const QByteArray& body, const QString& localVersion);

// The scheme, host and port of the maker's web server (https and the configured
// host by default). Tests point it at a local server.
QUrl makerServer();
void setMakerServer(const QUrl& base);

class UpdateChecker : public QObject {
    Q_OBJECT

public:
    static UpdateChecker* instance();

    // The setting `checkForUpdatesEnabled` (default true).
    bool isEnabled() const;

    // Unless forced: only when enabled and not yet checked today. Records today's
    // date before sending. Interactive checks also report "no update" and failures.
    void check(bool force, bool interactive);

    // Forgets a held newer version and emits changed(); nothing when none is held.
    void clear();

    QString newerVersion() const { return m_version; }
    QString infoUrl() const { return m_infoUrl; }

signals:
    void changed();
    void noUpdateFound();
    void checkFailed(const QString& reason);

private:
    UpdateChecker() = default;
    void apply(const tessaril::UpdateResult& result, bool interactive);

    QString m_version;
    QString m_infoUrl;
};
