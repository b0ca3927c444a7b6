#include "integration/EntryFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>

QString readTextFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return failWith(error, file.errorString());
    return true;
}

bool saveEntryFile(const QString& path, const QString& text, bool executable, QString* error) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!writeFileAtomically(path, text.toUtf8(), error))
        return false;
    setFileMode(path, executable ? 0755 : 0644);
    return true;
}

bool removeFileIfPresent(const QString& path, QString* error) {
    QFile file(path);
    if (!file.exists() || file.remove())
        return true;
    return failWith(error, file.errorString());
}

bool failWith(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

void setFileMode(const QString& path, unsigned mode) {
    // QSaveFile creates the file with the umask's mode; the entries need exact ones.
    (void)::chmod(QFile::encodeName(path).constData(), mode_t(mode));
}

bool hasLineBreak(const QString& text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

QString shellQuote(const QString& text) {
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString escapeXml(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&amp;"));
    escaped.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    escaped.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    return escaped;
}

QString quoteExecArgument(const QString& text) {
    QString value = text;
    value.replace(QLatin1Char('%'), QStringLiteral("%%"));
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = false;
    for (const QChar c : value)
        needsQuotes = needsQuotes || reserved.contains(c);
    if (!needsQuotes)
        return value;
    QString escaped;
    for (const QChar c : value) {
        if (c == QLatin1Char('"') || c == QLatin1Char('$') || c == QLatin1Char('\\') || c == QLatin1Char('`'))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}
