// The one persistent key/value store of the program: chooses where the settings
// live (portable INI file, per-user native store, or the invoking user's file
// copied in for an elevated copy), imports an older edition's settings once,
// writes a key only when its value changes and announces it through `changed`,
// and in an elevated copy hands the settings back to the invoking user's file.
// Writes, signals and the write-back run on the GUI thread; plain reads through
// settings() may happen on any thread (QSettings locks internally).
#pragma once

#include <QObject>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <sys/types.h>

#include <memory>

class QTimer;

class AppSettings : public QObject {
    Q_OBJECT

public:
    // Chooses and opens the store and runs the one-time import. The program uses
    // instance(); tests may construct their own objects.
    explicit AppSettings(QObject* parent = nullptr);
    ~AppSettings() override;

    // The process-wide object, created on first use and destroyed at exit.
    static AppSettings* instance();

    // The open store. Callers read with value(key, default) and their own default.
    QSettings* settings() const { return m_store.get(); }

    // Writes `value` under `key` (Latin-1) only when it differs from the stored
    // value by QVariant equality, then emits changed(key). No flush.
    void setValue(const char* key, const QVariant& value);

    // A list of paths under `key`, stored byte for byte: a path whose text would not come back
    // from the store's UTF-8 (a name that is not UTF-8, carried as in PathText.h) is written as a
    // percent-encoded "file://" URL, every other path as it is, which is also how older
    // editions stored them; both forms read back as the path.
    QStringList pathList(const char* key) const;
    void setPathList(const char* key, const QStringList& paths);

    // Flushes the store, hands it back to the invoking user when elevated, and
    // answers whether the store reports no error.
    bool sync();

    // Writes every trusted administrator override straight into the store and
    // emits changed() for each key. Does nothing in portable mode.
    void applyOverrides();

    // Copies every key of `source` that `target` lacks; returns the number copied.
    static int copyMissingKeys(QSettings& source, QSettings& target);

    // Switches to a new INI file at `path` holding every current key. False (the
    // old store stays in use) when the new file cannot be written; any file that
    // was at `path` has been deleted by then.
    bool moveToFile(const QString& path);

    // Removes every key, keeps only the import flag, flushes, emits changed("").
    void resetAll();

    // In an elevated copy, replaces the invoking user's settings file with this
    // store's file when it changed since the last hand-back. Silent on refusal;
    // the next call retries.
    void writeBackToUser();

    // Cleared for runs that must leave no layout traces (headless, captures).
    bool saveEnabled() const { return m_saveEnabled; }
    // A boolean setting, `fallback` when it is not stored.
    bool boolValue(const char* key, bool fallback) const {
        return m_store->value(QLatin1String(key), fallback).toBool();
    }
    void setSaveEnabled(bool enabled) { m_saveEnabled = enabled; }

signals:
    // A key changed; an empty key means every setting may have changed.
    void changed(const QString& key);

private:
    void importOlderEditionOnce();

    std::unique_ptr<QSettings> m_store;
    bool m_saveEnabled = true;
    qint64 m_writeBackSignature = 0;
    QTimer* m_writeBackTimer = nullptr;
};

// Largest settings file that an elevated copy takes in from the invoking user.
inline constexpr qint64 kMaxUserSettingsFileSize = 8 * 1024 * 1024;

// Elevated copy-in: replaces this process's store file `target` with the invoking
// user's settings file `source`. A missing source, uid 0, or a source that is the
// target itself changes nothing. Otherwise the target is deleted and the source
// copied only when it is a regular file (not a link), owned by `uid`, of at most
// kMaxUserSettingsFileSize bytes. True when the copy was made.
bool copyUserSettingsIn(const QString& source, const QString& target, uid_t uid);

// Elevated write-back: replaces `target` (the user's file) with a copy of
// `source` in one rename, owned by uid/gid, keeping the old file's mode (0644 for
// a new file). The target's folder must be a real directory owned by uid and an
// existing target a regular file owned by uid; links are never followed. The
// temporary file ".zrt-<pid>" beside the target is created exclusively and gets
// its owner and mode on the open descriptor. False when anything is refused.
bool replaceUserSettingsFile(const QString& source, const QString& target, uid_t uid, gid_t gid);
