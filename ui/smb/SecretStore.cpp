#include "ui/smb/SecretStore.h"

#include "ui/smb/PromptWatcher.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QTimer>

namespace {

// The Secret structure of the Secret Service, signature (oayays).
struct SecretValue {
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};

QDBusArgument& operator<<(QDBusArgument& arg, const SecretValue& s) {
    arg.beginStructure();
    arg << s.session << s.parameters << s.value << s.contentType;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, SecretValue& s) {
    arg.beginStructure();
    arg >> s.session >> s.parameters >> s.value >> s.contentType;
    arg.endStructure();
    return arg;
}

}  // namespace

Q_DECLARE_METATYPE(SecretValue)

namespace {

using Attributes = QMap<QString, QString>;

constexpr int kCallTimeoutMs = 8000;
constexpr int kPromptTimeoutMs = 120 * 1000;
const QString kServicePath = QStringLiteral("/org/freedesktop/secrets");
const QString kServiceInterface = QStringLiteral("org.freedesktop.Secret.Service");
const QString kItemInterface = QStringLiteral("org.freedesktop.Secret.Item");
const QString kPromptInterface = QStringLiteral("org.freedesktop.Secret.Prompt");
const QString kApplication = QStringLiteral("Hollowmere");

void registerTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<SecretValue>();
        qDBusRegisterMetaType<Attributes>();
        qDBusRegisterMetaType<QList<QDBusObjectPath>>();
        return true;
    }();
    (void)registered;
}

Attributes attributesFor(const QString& server, const QString& share) {
    return {{QStringLiteral("application"), kApplication},
            {QStringLiteral("server"), server.toLower()},
            {QStringLiteral("share"), share.toLower()}};
}

// The reply's arguments, or nothing when the call got no proper reply (error, time-out, no bus).
std::optional<QList<QVariant>> call(const QString& service, const QString& path, const QString& interface,
                                    const QString& method, const QList<QVariant>& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(message, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return std::nullopt;
    return reply.arguments();
}

QString pathOf(const QVariant& v) { return v.value<QDBusObjectPath>().path(); }

QStringList pathsOf(const QVariant& v) {
    QList<QDBusObjectPath> list;
    if (v.canConvert<QDBusArgument>())
        list = qdbus_cast<QList<QDBusObjectPath>>(v.value<QDBusArgument>());
    else
        list = v.value<QList<QDBusObjectPath>>();
    QStringList paths;
    for (const QDBusObjectPath& p : list)
        paths.append(p.path());
    return paths;
}

QVariant objectPaths(const QStringList& paths) {
    QList<QDBusObjectPath> list;
    for (const QString& p : paths)
        list.append(QDBusObjectPath(p));
    return QVariant::fromValue(list);
}

}  // namespace

SecretStore::SecretStore(QString serviceName) : m_serviceName(std::move(serviceName)) { registerTypes(); }

SecretStore::~SecretStore() = default;

bool SecretStore::open() {
    if (m_opened)
        return true;
    if (m_tried)
        return false;
    m_tried = true;
    if (!QDBusConnection::sessionBus().isConnected())
        return false;
    const auto session = call(m_serviceName, kServicePath, kServiceInterface, QStringLiteral("OpenSession"),
                              {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
    if (!session || session->size() < 2)
        return false;
    m_sessionPath = pathOf(session->at(1));
    const auto alias =
        call(m_serviceName, kServicePath, kServiceInterface, QStringLiteral("ReadAlias"), {QStringLiteral("default")});
    if (alias && !alias->isEmpty())
        m_collectionPath = pathOf(alias->at(0));
    m_opened = true;
    return true;
}

bool SecretStore::available() { return open() && m_collectionPath.size() > 1; }

bool SecretStore::runPrompt(const QString& promptPath) {
    if (promptPath.isEmpty() || promptPath == QLatin1String("/"))
        return true;
    PromptWatcher watcher;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(m_serviceName, promptPath, kPromptInterface, QStringLiteral("Completed"), &watcher,
                SLOT(completed(bool, QDBusVariant)));
    const bool answered =
        call(m_serviceName, promptPath, kPromptInterface, QStringLiteral("Prompt"), {QString()}).has_value();
    if (answered) {
        QTimer::singleShot(kPromptTimeoutMs, &watcher.loop, &QEventLoop::quit);
        watcher.loop.exec();
    }
    bus.disconnect(m_serviceName, promptPath, kPromptInterface, QStringLiteral("Completed"), &watcher,
                   SLOT(completed(bool, QDBusVariant)));
    return answered && !watcher.dismissed;
}

bool SecretStore::unlock(const QStringList& paths) {
    if (paths.isEmpty())
        return true;
    const auto reply = call(m_serviceName, kServicePath, kServiceInterface, QStringLiteral("Unlock"),
                            {objectPaths(paths)});
    if (!reply || reply->size() < 2)
        return false;
    return runPrompt(pathOf(reply->at(1)));
}

QStringList SecretStore::search(const Attributes& attributes, bool* ok) {
    *ok = false;
    if (!open())
        return {};
    const auto reply = call(m_serviceName, kServicePath, kServiceInterface, QStringLiteral("SearchItems"),
                            {QVariant::fromValue(attributes)});
    if (!reply || reply->size() < 2)
        return {};
    *ok = true;
    QStringList items = pathsOf(reply->at(0));
    const QStringList locked = pathsOf(reply->at(1));
    if (!locked.isEmpty() && unlock(locked))
        items += locked;
    return items;
}

std::optional<std::pair<QString, QString>> SecretStore::lookup(const QString& server, const QString& share) {
    bool ok = false;
    const QStringList items = search(attributesFor(server, share), &ok);
    if (!ok || items.isEmpty())
        return std::nullopt;
    const auto reply = call(m_serviceName, items.first(), kItemInterface, QStringLiteral("GetSecret"),
                            {QVariant::fromValue(QDBusObjectPath(m_sessionPath))});
    if (!reply || reply->isEmpty() || !reply->at(0).canConvert<QDBusArgument>())
        return std::nullopt;
    const SecretValue secret = qdbus_cast<SecretValue>(reply->at(0).value<QDBusArgument>());
    const QString text = QString::fromUtf8(secret.value);
    const qsizetype lineFeed = text.indexOf(QLatin1Char('\n'));
    if (lineFeed <= 0)
        return std::nullopt;
    return std::pair{text.left(lineFeed), text.mid(lineFeed + 1)};
}

bool SecretStore::store(const QString& server, const QString& share, const QString& user, const QString& password) {
    if (!available() || !unlock({m_collectionPath}))
        return false;
    const QVariantMap properties{
        {QStringLiteral("org.freedesktop.Secret.Item.Label"),
         QStringLiteral("Hollowmere: %1@%2/%3").arg(user, server, share)},
        {QStringLiteral("org.freedesktop.Secret.Item.Attributes"), QVariant::fromValue(attributesFor(server, share))},
    };
    const SecretValue secret{QDBusObjectPath(m_sessionPath), QByteArray(), (user + QLatin1Char('\n') + password).toUtf8(),
                             QStringLiteral("text/plain; charset=utf8")};
    const auto reply =
        call(m_serviceName, m_collectionPath, QStringLiteral("org.freedesktop.Secret.Collection"),
             QStringLiteral("CreateItem"), {properties, QVariant::fromValue(secret), true});
    if (!reply || reply->size() < 2)
        return false;
    return runPrompt(pathOf(reply->at(1)));
}

bool SecretStore::deleteItem(const QString& itemPath) {
    const auto reply = call(m_serviceName, itemPath, kItemInterface, QStringLiteral("Delete"));
    return reply && !reply->isEmpty() && runPrompt(pathOf(reply->at(0)));
}

bool SecretStore::remove(const QString& server, const QString& share) {
    bool ok = false;
    const QStringList items = search(attributesFor(server, share), &ok);
    bool result = ok;
    for (const QString& item : items) {
        // Every item is deleted even after one failed.
        const bool deleted = deleteItem(item);
        result = result && deleted;
    }
    return result;
}

int SecretStore::removeAll() {
    bool ok = false;
    int count = 0;
    for (const QString& item : search({{QStringLiteral("application"), kApplication}}, &ok))
        count += deleteItem(item) ? 1 : 0;
    return count;
}
