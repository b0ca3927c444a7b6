// Handing the desktop back from an elevated copy to the account that started it: which
// account that is, and the runuser command that starts the program as it. The launch
// and the wait are the Elevator's (Elevator::restartAsUser). Any thread.
#pragma once

#include <QString>
#include <QStringList>

// ZRT_USER_NAME, else SUDO_USER unless it is "root", else the account of PKEXEC_UID;
// empty when none applies.
QString invokingUserName();
// runuser -u USER -- env ASSIGNMENTS... PROGRAM --elevation-token TOKEN (no source).
QStringList buildRunuserCommand(const QString& runuser, const QString& user, const QString& program,
                                const QStringList& assignments, const QString& token);
