// SMB logins kept in the desktop keyring through the Secret Service D-Bus interface on the
// session bus. One item per server and share holds "user\npassword". Every call blocks (up to
// 8 s per D-Bus call, up to 120 s while a prompt waits in a nested event loop): GUI thread only.
// Nothing throws or shows anything; failures end in false, none or 0.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

class SecretStore {
public:
    explicit SecretStore(QString serviceName);
    virtual ~SecretStore();

    // The session is open and the service has a default collection.
    virtual bool available();
    // User name and password of the saved item of that server and share.
    virtual std::optional<std::pair<QString, QString>> lookup(const QString& server, const QString& share);
    // Creates the item or replaces the one with the same server and share.
    virtual bool store(const QString& server, const QString& share, const QString& user, const QString& password);
    // Deletes the items of that server and share; false when any deletion failed.
    virtual bool remove(const QString& server, const QString& share);
    // Deletes every item of the program; returns how many were deleted.
    virtual int removeAll();

private:
    bool open();
    bool runPrompt(const QString& promptPath);
    bool unlock(const QStringList& paths);
    QStringList search(const QMap<QString, QString>& attributes, bool* ok);
    bool deleteItem(const QString& itemPath);

    QString m_serviceName;
    QString m_sessionPath;
    QString m_collectionPath;
    bool m_opened = false;
    bool m_tried = false;
};
