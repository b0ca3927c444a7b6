// A private D-Bus session bus for one test program, started without service activation so
// that a name nobody owns stays absent, and optionally a real, unlocked gnome-keyring serving
// the Secret Service on it. Both daemons are our own children and stop with the object.
#pragma once

#include "tests/support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace bustest {

class PrivateSessionBus {
public:
    PrivateSessionBus() : m_dir("hm-bus") {
        const QString config = QString::fromStdString(m_dir / "bus.conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                   " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig><type>session</type><listen>unix:path=" +
                   QByteArray::fromStdString(m_dir / "bus") +
                   "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                   "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        file.close();
        m_bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config,
                                                    QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                                                    QStringLiteral("--print-address=1")});
        if (m_bus.waitForReadyRead(5000))
            m_address = m_bus.readLine().trimmed();
    }
    ~PrivateSessionBus() {
        for (QProcess* p : {&m_keyring, &m_bus}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
        }
    }
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    const QByteArray& address() const { return m_address; }

    // Starts gnome-keyring with its own home, unlocked, and waits until it owns the name.
    // Called again, it starts the keyring afresh (unlocked again).
    bool startKeyring() {
        if (m_keyring.state() != QProcess::NotRunning) {
            m_keyring.terminate();
            if (!m_keyring.waitForFinished(3000)) {
                m_keyring.kill();
                m_keyring.waitForFinished(3000);
            }
            waitForName(false);
        }
        QDir().mkpath(QString::fromStdString(m_dir / "home"));
        m_keyring.setProcessEnvironment(environment());
        m_keyring.start(QStringLiteral("gnome-keyring-daemon"),
                        {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                         QStringLiteral("--components=secrets")});
        if (!m_keyring.waitForStarted(5000))
            return false;
        m_keyring.write("keyring-pw");
        m_keyring.closeWriteChannel();
        m_keyring.waitForBytesWritten(3000);
        return waitForName(true);
    }

    // Environment for tools run against this bus and keyring.
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromLatin1(m_address));
        env.insert(QStringLiteral("HOME"), QString::fromStdString(m_dir / "home"));
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        env.remove(QStringLiteral("DISPLAY"));
        return env;
    }

private:
    bool waitForName(bool wanted) {
        const QString probe = QStringLiteral("hm-bus-probe");
        bool owned = !wanted;
        {
            const QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLatin1(m_address), probe);
            QElapsedTimer clock;
            clock.start();
            while (bus.isConnected() && owned != wanted && clock.elapsed() < 10000) {
                owned = bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")).value();
                if (owned != wanted)
                    QThread::msleep(50);
            }
        }
        QDBusConnection::disconnectFromBus(probe);
        return owned == wanted;
    }

    hmtest::TempDir m_dir;
    QProcess m_bus;
    QProcess m_keyring;
    QByteArray m_address;
};

// One bus with a real, unlocked keyring for the whole test program (a process makes its session
// bus connection once, from DBUS_SESSION_BUS_ADDRESS); started on first call, stopped when the
// tests end. Null when the tools are missing or the keyring did not start.
inline PrivateSessionBus* sharedKeyringBus() {
    static std::unique_ptr<PrivateSessionBus> bus;
    static bool tried = false;
    if (tried)
        return bus.get();
    tried = true;
    if (!hmtest::haveTool("dbus-daemon") || !hmtest::haveTool("gnome-keyring-daemon"))
        return nullptr;
    bus = std::make_unique<PrivateSessionBus>();
    if (bus->address().isEmpty() || !bus->startKeyring()) {
        bus.reset();
        return nullptr;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", bus->address().constData(), 1);
    struct Stop : ::testing::Environment {
        void TearDown() override { bus.reset(); }
    };
    ::testing::AddGlobalTestEnvironment(new Stop);
    return bus.get();
}

}  // namespace bustest
