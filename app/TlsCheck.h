// Start-up check that Qt Network can speak TLS (it loads OpenSSL 3 at run time).
// When it cannot, the user is told how to install the library, with a command for
// their distribution from os-release, on standard error and, where dialogs are
// possible, in a message box; start-up then ends with exit code 1. GUI thread.
#pragma once

#include <QString>
#include <QStringList>

// False when ZRT_PRETEND_NO_OPENSSL reads as the integer 1; otherwise whether Qt
// Network supports TLS.
bool tlsAvailable();

// The ID and ID_LIKE values of ZRT_OS_RELEASE (or /etc/os-release), lower case,
// quotes removed, split at spaces, in file order; empty when unreadable.
QStringList distributionIds();

// The install command of the first distribution group any id belongs to; empty
// for an unknown distribution.
QString installCommandFor(const QStringList& ids);

// The explanation shown to the user, with or without an install command.
QString tlsPrerequisiteMessage(const QString& command);

// The message box of a failed check: modal, critical, with "Copy Command" when a
// command is given. Returns true when the box was closed with "Copy Command"
// (the command is then on the clipboard).
bool showTlsPrerequisiteBox(const QString& message, const QString& command);

// True when TLS is available. Otherwise prints the explanation to standard error,
// shows it in a box unless the platform is offscreen/minimal or ZRT_NO_DIALOGS is
// set, and returns false.
bool checkTlsPrerequisite();
