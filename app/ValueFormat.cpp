#include "app/ValueFormat.h"

#include "app/AppSettings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>

#include <algorithm>

namespace {

// Stored text that is no number reads as the default.
int intSetting(const char* key, int fallback) {
    bool ok = false;
    const int value = AppSettings::instance()->settings()->value(QLatin1String(key), fallback).toInt(&ok);
    return ok ? value : fallback;
}

// A no-break space joins number and unit, so a wrapped label never parts them.
constexpr QChar kUnitSpace(0x00A0);

QString scaled(double value, int decimals, const char* unit) {
    return formatDecimal(value, decimals) + kUnitSpace + QLatin1String(unit);
}

}  // namespace

int decimalPlacesSetting() {
    return std::clamp(intSetting("decimalPlaces", 1), 0, 4);
}

QString formatSize(uint64_t size) {
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
    const double base = intSetting("unitBase", 1024) == 1000 ? 1000.0 : 1024.0;
    const int decimals = decimalPlacesSetting();
    const int mode = std::clamp(intSetting("displayMode", 0), 0, 5);
    const double bytes = static_cast<double>(size);

    if (mode == 0) {
        if (bytes < base)
            return QString::number(size) + kUnitSpace + QLatin1Char('B');
        // The unit is chosen before rounding: 1,048,575 bytes stay 1,024.0 KB.
        double value = bytes / base;
        int unit = 1;
        while (value >= base && unit < 4) {
            value /= base;
            ++unit;
        }
        return scaled(value, decimals, units[unit]);
    }
    if (mode == 1)
        return formatNumber(size);
    double value = bytes;
    for (int step = 1; step < mode; ++step)
        value /= base;
    return scaled(value, decimals, units[mode - 1]);
}

QString formatNumber(uint64_t count) {
    return QLocale().toString(static_cast<qulonglong>(count));
}

QString formatDecimal(double value, int decimals) {
    return QLocale().toString(value, 'f', decimals);
}

QString formatPercent(double percent) {
    return formatDecimal(percent, 1) + QLatin1Char('%');
}

QString formatDateTime(int64_t seconds) {
    const QLocale locale;
    QString dateFormat = locale.dateFormat(QLocale::ShortFormat);
    if (!dateFormat.contains(QLatin1String("yyyy")))
        dateFormat.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    const QDateTime time = QDateTime::fromSecsSinceEpoch(seconds);
    return locale.toString(time, dateFormat) + QStringLiteral(", ") +
           locale.toString(time, locale.timeFormat(QLocale::ShortFormat));
}

QString formatBinarySize(uint64_t size) {
    static const char* const units[] = {"KB", "MB", "GB", "TB"};
    if (size == 0)
        return QStringLiteral("0");
    if (size < 1024)
        return QStringLiteral("%1 Bytes").arg(size);
    double value = static_cast<double>(size) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    return QString::number(value, 'f', 2) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString translateCoreMessage(const std::string& message) {
    // The core's fixed texts, byte for byte; QT_TRANSLATE_NOOP marks them for the tables.
    static const char* const fixedMessages[] = {
        QT_TRANSLATE_NOOP("QObject", "Either one or both of \"Export Files\" and \"Export Folders\" must be selected."),
        QT_TRANSLATE_NOOP("QObject", "There's nothing to export."),
        QT_TRANSLATE_NOOP("QObject", "Couldn't create the file."),
        QT_TRANSLATE_NOOP("QObject", "Couldn't write the file."),
        QT_TRANSLATE_NOOP("QObject", "Couldn't read the file."),
        QT_TRANSLATE_NOOP("QObject", "No rows found. This doesn't look like a Sorvale CSV file."),
        QT_TRANSLATE_NOOP("QObject", "Out of memory."),
        QT_TRANSLATE_NOOP("QObject", "The rows don't form a folder tree."),
    };
    // A fixed text may be followed by a line with the system's text for the cause.
    const size_t lineEnd = message.find('\n');
    const std::string first = message.substr(0, lineEnd);
    for (const char* fixed : fixedMessages) {
        if (first == fixed) {
            QString text = QCoreApplication::translate("QObject", fixed);
            if (lineEnd != std::string::npos)
                text += QString::fromUtf8(message.data() + lineEnd, qsizetype(message.size() - lineEnd));
            return text;
        }
    }
    return QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size()));
}
