#include "integration/NautilusPython.h"

#include "app/ElevationTools.h"
#include "app/TlsCheck.h"
#include "integration/FileManagerEntries.h"

bool nautilusPythonMissing() {
    return detectFileManagers().contains(QStringLiteral("nautilus")) && !hasNautilusPython();
}

std::optional<NautilusPythonInstall> nautilusPythonInstallCommand(const QList<QString>& systemFolders) {
    const QStringList ids = distributionIds();
    const auto has = [&](std::initializer_list<const char*> names) {
        for (const char* name : names)
            if (ids.contains(QLatin1String(name)))
                return true;
        return false;
    };
    const auto find = [&](const char* name) { return findExecutableIn(QString::fromLatin1(name), systemFolders); };
    const QString pkexec = find("pkexec");
    NautilusPythonInstall install;
    if (has({"debian", "ubuntu"})) {
        const QString shell = find("sh");
        const QString aptGet = find("apt-get");
        if (shell.isEmpty() || aptGet.isEmpty())
            return std::nullopt;
        const QString once = QStringLiteral("DEBIAN_FRONTEND=noninteractive %1 install -y python3-nautilus").arg(aptGet);
        install.package = QStringLiteral("python3-nautilus");
        install.command = {pkexec, shell, QStringLiteral("-c"),
                           once + QStringLiteral(" || { %1 update && ").arg(aptGet) + once + QStringLiteral("; }")};
    } else if (has({"fedora", "rhel", "centos"})) {
        install.package = QStringLiteral("nautilus-python");
        install.command = {pkexec, find("dnf"), QStringLiteral("install"), QStringLiteral("-y"), install.package};
    } else if (has({"arch"})) {
        install.package = QStringLiteral("python-nautilus");
        install.command = {pkexec, find("pacman"), QStringLiteral("-S"), QStringLiteral("--noconfirm"), install.package};
    } else {
        return std::nullopt;
    }
    if (install.command.at(0).isEmpty() || install.command.at(1).isEmpty())
        return std::nullopt;
    return install;
}

std::optional<NautilusPythonInstall> nautilusPythonInstallCommand() {
    return nautilusPythonInstallCommand(systemProgramFolders());
}
