#include "app/TlsCheck.h"

#include "app/Elevation.h"
#include "app/QuietStandardError.h"

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSslSocket>

#include <cstdio>

bool tlsAvailable() {
    if (envSwitchIsOne("ZRT_PRETEND_NO_OPENSSL"))
        return false;
    return QSslSocket::supportsSsl();
}

QStringList distributionIds() {
    QString path = qEnvironmentVariable("ZRT_OS_RELEASE");
    if (path.isEmpty())
        path = QStringLiteral("/etc/os-release");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList ids;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        QString value;
        if (line.startsWith(QLatin1String("ID=")))
            value = line.mid(3);
        else if (line.startsWith(QLatin1String("ID_LIKE=")))
            value = line.mid(8);
        else
            continue;
        value = value.trimmed();
        value.remove(QLatin1Char('"'));
        value.remove(QLatin1Char('\''));
        ids += value.toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    return ids;
}

QString installCommandFor(const QStringList& ids) {
    struct Group {
        QStringList ids;
        const char* command;
    };
    static const Group groups[] = {
        {{"debian", "ubuntu", "linuxmint", "pop", "zorin", "elementary", "kali", "raspbian", "neon"},
         "sudo apt install libssl3"},
        {{"fedora", "rhel", "centos", "rocky", "almalinux", "ol", "nobara"}, "sudo dnf install openssl-libs"},
        {{"opensuse", "opensuse-leap", "opensuse-tumbleweed", "suse", "sles", "sled"},
         "sudo zypper install libopenssl3"},
        {{"arch", "manjaro", "endeavouros", "cachyos", "garuda", "artix"}, "sudo pacman -S openssl"},
        {{"gentoo"}, "sudo emerge --ask dev-libs/openssl"},
        {{"void"}, "sudo xbps-install openssl"},
    };
    for (const Group& group : groups) {
        for (const QString& id : ids) {
            if (group.ids.contains(id))
                return QLatin1String(group.command);
        }
    }
    return QString();
}

QString tlsPrerequisiteMessage(const QString& command) {
    QString message = QCoreApplication::translate(
        "QObject",
        "Hollowmere needs the OpenSSL 3 library, which wasn't found on this computer. It uses the library for "
        "the secure (HTTPS) check for new versions.\n\n");
    if (!command.isEmpty()) {
        message += QCoreApplication::translate(
                       "QObject", "To install it, run this in a terminal:\n\n%1\n\nThen start Hollowmere again.")
                       .arg(command);
    } else {
        message += QCoreApplication::translate("QObject",
                                               "Install the OpenSSL 3 package of your Linux distribution (the one "
                                               "that provides libssl.so.3), then start Hollowmere again.");
    }
    return message;
}

bool showTlsPrerequisiteBox(const QString& message, const QString& command) {
    QMessageBox box(QMessageBox::Critical, QCoreApplication::translate("QObject", "OpenSSL 3 Is Needed"), message);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPushButton* copy = nullptr;
    if (!command.isEmpty())
        copy = box.addButton(QCoreApplication::translate("QObject", "Copy Command"), QMessageBox::ActionRole);
    box.addButton(QMessageBox::Close);
    box.exec();
    if (!copy || box.clickedButton() != copy)
        return false;
    QGuiApplication::clipboard()->setText(command);
    return true;
}

bool checkTlsPrerequisite() {
    if (tlsAvailable())
        return true;
    const QString command = installCommandFor(distributionIds());
    const QString message = tlsPrerequisiteMessage(command);
    const QByteArray text = message.toLocal8Bit();
    programErrorLine(std::string_view(text.constData(), size_t(text.size())));

    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal") ||
        qEnvironmentVariableIsSet("ZRT_NO_DIALOGS") || !qobject_cast<QApplication*>(QCoreApplication::instance()))
        return false;
    showTlsPrerequisiteBox(message, command);
    return false;
}
