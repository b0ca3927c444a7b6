#include "app/RestartAsUser.h"

#include "app/Elevator.h"

#include <pwd.h>

QString invokingUserName() {
    const QString handedOver = qEnvironmentVariable("ZRT_USER_NAME");
    if (!handedOver.isEmpty())
        return handedOver;
    const QString sudoUser = qEnvironmentVariable("SUDO_USER");
    if (!sudoUser.isEmpty() && sudoUser != QLatin1String("root"))
        return sudoUser;
    const QByteArray pkexecUid = qgetenv("PKEXEC_UID");
    bool ok = false;
    const uint uid = pkexecUid.toUInt(&ok, 10);
    if (ok) {
        if (const passwd* entry = ::getpwuid(uid))
            return QString::fromLocal8Bit(entry->pw_name);
    }
    return {};
}

QStringList buildRunuserCommand(const QString& runuser, const QString& user, const QString& program,
                                const QStringList& assignments, const QString& token) {
    return QStringList{runuser, "-u", user, "--", envProgramPath()} + assignments
           + QStringList{program, "--elevation-token", token};
}
