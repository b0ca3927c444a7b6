#include "ui/smb/SmbLoginPrompter.h"

#include <QStringList>

#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "app/AppSettings.h"
#include "ui/smb/SecretStore.h"
#include "ui/smb/SmbLoginDialog.h"

namespace {

const QString kSecretService = QStringLiteral("org.freedesktop.secrets");
constexpr int kMaxAttempts = 20;

// Logins the servers accepted in this process, by server (as the mount names it) + "/" +
// share. Shared by every prompter; trusted without a new test.
struct SessionCache {
    std::mutex mutex;
    std::map<std::string, svl::SmbLogin> logins;
};

SessionCache& sessionCache() {
    static SessionCache cache;
    return cache;
}

// The login for a mount: its address when it names one, so that the connection does not
// depend on name resolution; the cache, the keyring and the server list use the name.
svl::SmbLogin loginFor(const svl::SmbMountInfo& mount, std::string user, std::string password) {
    svl::SmbLogin login;
    login.server = mount.address.empty() ? mount.server : mount.address;
    login.share = mount.share;
    login.user = std::move(user);
    login.password = std::move(password);
    login.domain = mount.domain;
    return login;
}

void remember(const std::string& key, const svl::SmbLogin& login) {
    SessionCache& cache = sessionCache();
    std::lock_guard lock(cache.mutex);
    cache.logins[key] = login;
}

// What the keyring knows about a share.
struct SavedLogin {
    bool keyringAvailable = false;
    std::optional<std::pair<std::string, std::string>> login;  // user, password
};

}  // namespace

SmbLoginPrompter::SmbLoginPrompter(QWidget* parent, GuiCallGate gate)
    : store(std::make_shared<SecretStore>(kSecretService)), m_parent(parent), m_gate(std::move(gate)) {
    const QPointer<QWidget> dialogParent(parent);
    const bool hadParent = parent != nullptr;
    const GuiCallGate questions = m_gate;
    askLogin = [dialogParent, hadParent, questions](const Question& question) {
        return questions.call<Answer>(
            [dialogParent, hadParent, question] {
                // The window went away while the question was on its way: read through the mount.
                if (hadParent && !dialogParent)
                    return Answer();
                return askSmbLogin(dialogParent, question);
            },
            Answer());
    };
    // A window closing while a login is tried ends the try, so it never waits out the connect
    // deadline of a server that does not answer.
    testLogin = [questions](const svl::SmbLogin& login, std::string& error) {
        return svl::testSmbLogin(login, error, svl::SmbConnectOptions(), [questions] { return questions.isClosed(); });
    };
}

SmbLoginPrompter::~SmbLoginPrompter() = default;

std::unique_ptr<svl::RemoteSource> SmbLoginPrompter::open(const svl::SmbMountInfo& mount) {
    const QString server = QString::fromStdString(mount.server);
    const QString share = QString::fromStdString(mount.share);
    const bool direct = onGuiThread<bool>(
        [server] {
            const QSettings* settings = AppSettings::instance()->settings();
            if (!settings->value(QStringLiteral("scanSMBDirectly"), true).toBool())
                return false;
            const QStringList mountServers = settings->value(QStringLiteral("smbUseMountServers")).toStringList();
            return !mountServers.contains(server, Qt::CaseInsensitive);
        },
        false);
    if (!direct)
        return nullptr;

    const std::string key = mount.server + "/" + mount.share;
    {
        SessionCache& cache = sessionCache();
        std::lock_guard lock(cache.mutex);
        const auto found = cache.logins.find(key);
        if (found != cache.logins.end())
            return svl::makeSmbSource(found->second);
    }

    Question question{mount, std::string(), false};
    const std::shared_ptr<SecretStore> keyring = store;
    const SavedLogin saved = onGuiThread<SavedLogin>(
        [keyring, server, share] {
            SavedLogin result;
            if (!keyring || !keyring->available())
                return result;
            result.keyringAvailable = true;
            if (const auto login = keyring->lookup(server, share))
                result.login = std::make_pair(login->first.toStdString(), login->second.toStdString());
            return result;
        },
        SavedLogin());
    question.keyringAvailable = saved.keyringAvailable;

    if (saved.login) {
        const svl::SmbLogin login = loginFor(mount, saved.login->first, saved.login->second);
        std::string reason;
        if (testLogin(login, reason)) {
            remember(key, login);
            return svl::makeSmbSource(login);
        }
        question.mount.user = saved.login->first;
        question.error = reason.empty() ? std::string("the saved login no longer works")
                                        : "the saved login no longer works: " + reason;
    }

    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (m_gate.isClosed())
            return nullptr;
        const Answer answer = askLogin(question);
        if (!answer.scanDirectly) {
            if (answer.alwaysUseMount) {
                onGuiThread<bool>(
                    [server] {
                        AppSettings* settings = AppSettings::instance();
                        QStringList servers =
                            settings->settings()->value(QStringLiteral("smbUseMountServers")).toStringList();
                        servers.append(server);
                        settings->setValue("smbUseMountServers", servers);
                        return true;
                    },
                    false);
            }
            return nullptr;
        }
        const svl::SmbLogin login = loginFor(mount, answer.user, answer.password);
        std::string reason;
        if (testLogin(login, reason)) {
            if (answer.remember && question.keyringAvailable) {
                const QString user = QString::fromStdString(answer.user);
                const QString password = QString::fromStdString(answer.password);
                onGuiThread<bool>([keyring, server, share, user, password] {
                    return keyring->store(server, share, user, password);
                }, false);
            }
            remember(key, login);
            return svl::makeSmbSource(login);
        }
        question.mount.user = answer.user;
        question.error = reason.empty() ? std::string("could not log in") : reason;
    }
    return nullptr;
}

void forgetSavedSmbLogins() {
    SecretStore keyring(kSecretService);
    AppSettings::instance()->setValue("smbUseMountServers", QStringList());
    {
        SessionCache& cache = sessionCache();
        std::lock_guard lock(cache.mutex);
        cache.logins.clear();
    }
    if (keyring.available())
        keyring.removeAll();
}
