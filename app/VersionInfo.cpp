#include "app/VersionInfo.h"

QString appVersion() {
    return QStringLiteral("1.01");
}

QString versionDate() {
    return QStringLiteral("20261117");
}

QString referenceEditionVersion() {
    return QStringLiteral("4.34");
}

QString versionYear() {
    return versionDate().left(4);
}

QString versionDateText() {
    const QString date = versionDate();
    return date.mid(0, 4) + QLatin1Char('/') + date.mid(4, 2) + QLatin1Char('/') + date.mid(6, 2);
}
