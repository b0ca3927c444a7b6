#include "integration/ProgramLocation.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>

#include <tuple>

QString appImagePath() {
    const QString value = qEnvironmentVariable("APPIMAGE");
    if (value.isEmpty())
        return {};
    const QFileInfo info(value);
    return info.isFile() ? info.absoluteFilePath() : QString();
}

QString runningProgramPath() {
    const QString appImage = appImagePath();
    return appImage.isEmpty() ? QCoreApplication::applicationFilePath() : appImage;
}

AppImageVersion parseAppImageVersion(const QString& path) {
    static const QRegularExpression pattern(QStringLiteral("^Hollowmere_([0-9]+)_([0-9]+)(?![0-9])(?:_([0-9]{8})(?![0-9]))?"));
    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    const QRegularExpressionMatch match = pattern.match(name);
    AppImageVersion version;
    if (!match.hasMatch())
        return version;
    const auto number = [&](int group) {
        bool ok = false;
        const int32_t value = match.captured(group).toInt(&ok);
        return ok ? value : 0;
    };
    version.major = number(1);
    version.minor = number(2);
    version.date = number(3);
    version.matched = true;
    return version;
}

bool preferRunningProgram(const QString& recorded, const QString& running) {
    const AppImageVersion old = parseAppImageVersion(recorded);
    const AppImageVersion now = parseAppImageVersion(running);
    if (!old.matched || !now.matched || recorded.isEmpty() || !QFileInfo::exists(recorded))
        return true;
    return std::tie(now.major, now.minor, now.date) >= std::tie(old.major, old.minor, old.date);
}
