// The default file actions against real peers: dbus-send to a private session bus whose
// FileManager1 service records its calls, stand-in terminals and programs first in PATH
// that record their arguments and working folder, and the XDG trash under a private
// XDG_DATA_HOME.
#include "integration/FileActionBackend.h"
#include "tests/app/ShellTestEnv.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

using hmtest::TempDir;
using shelltest::qs;
using shelltest::ScopedEnv;

namespace {

std::string readWhenThere(const std::string& path)
{
    // Detached programs write their record a moment later.
    for (int i = 0; i < 200; ++i) {
        QFile f(qs(path));
        if (f.exists() && f.size() > 0 && f.open(QIODevice::ReadOnly))
            return f.readAll().toStdString();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

// A PATH holding only stand-in programs that record "cwd=<folder>" and their arguments.
class StandInPath {
public:
    StandInPath() : m_old(qEnvironmentVariable("PATH").toStdString())
    {
        ::mkdir((m_dir / "bin").c_str(), 0755);
        setenv("PATH", (m_dir / "bin").c_str(), 1);
    }
    ~StandInPath() { setenv("PATH", m_old.c_str(), 1); }
    void add(const std::string& name)
    {
        hmtest::writeFile(m_dir / ("bin/" + name),
                          "#!/bin/sh\nPATH=/usr/bin:/bin\n{ echo \"cwd=$(pwd)\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > " +
                              hmtest::shQuote(m_dir / name) + ".rec.tmp && mv " + hmtest::shQuote(m_dir / name) +
                              ".rec.tmp " + hmtest::shQuote(m_dir / name) + ".rec\n");
        ::chmod((m_dir / ("bin/" + name)).c_str(), 0755);
    }
    std::string record(const std::string& name) const { return readWhenThere(m_dir / (name + ".rec")); }
    bool hasRecord(const std::string& name) const { return QFile::exists(qs(m_dir / (name + ".rec"))); }
    std::string binary(const std::string& name) const { return m_dir / ("bin/" + name); }

private:
    TempDir m_dir{"hm-path"};
    std::string m_old;
};

}  // namespace

// The recording FileManager1 service; it lives on its own thread so that it answers while
// the caller blocks in dbus-send.
class FileManagerRecorder : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    std::mutex lock;
    QStringList calls;
public slots:
    void ShowItems(const QStringList& uris, const QString& startupId) { record("ShowItems", uris, startupId); }
    void ShowItemProperties(const QStringList& uris, const QString& startupId)
    {
        record("ShowItemProperties", uris, startupId);
    }

private:
    void record(const QString& method, const QStringList& uris, const QString& startupId)
    {
        std::lock_guard<std::mutex> guard(lock);
        calls.append(method + " " + uris.join('|') + " [" + startupId + "]");
    }
};

TEST(FileActionBackend, FileManagerCallsReachTheServiceWithEncodedUris)
{
    TempDir bus;
    QProcess daemon;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--nopidfile",
                                 "--address=unix:path=" + qs(bus / "bus.sock"), "--print-address=1"});
    if (!daemon.waitForStarted() || !daemon.waitForReadyRead(5000))
        GTEST_SKIP() << "dbus-daemon did not start";
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    ScopedEnv busEnv("DBUS_SESSION_BUS_ADDRESS", address.toStdString());

    // Before the service exists the call fails and the fallback opens the parent folder.
    EXPECT_FALSE(callFileManager1("ShowItems", {"/tmp/a"}, QString()));
    EXPECT_FALSE(callFileManager1("ShowItems", {}, QString()));
    EXPECT_FALSE(FileActionBackend::system().showInFileManager({}));

    QThread thread;
    FileManagerRecorder recorder;
    recorder.moveToThread(&thread);
    thread.start();
    {
        QDBusConnection connection = QDBusConnection::connectToBus(address, "recorder");
        ASSERT_TRUE(connection.isConnected());
        ASSERT_TRUE(connection.registerObject("/org/freedesktop/FileManager1", &recorder,
                                              QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(connection.registerService("org.freedesktop.FileManager1"));

        const FileActionBackend backend = FileActionBackend::system();
        EXPECT_TRUE(backend.showInFileManager({"/tmp/a,b", "/tmp/with space"}));
        EXPECT_TRUE(backend.showProperties({"/tmp/x#y"}));
        std::lock_guard<std::mutex> guard(recorder.lock);
        EXPECT_EQ(recorder.calls,
                  QStringList({"ShowItems file:///tmp/a%2Cb|file:///tmp/with%20space []",
                               "ShowItemProperties file:///tmp/x%23y []"}));
    }
    QDBusConnection::disconnectFromBus("recorder");
    thread.quit();
    thread.wait();
    daemon.kill();
    daemon.waitForFinished();
}

TEST(FileActionBackend, UriOfAGvfsShareFolderIsAnSmbUrl)
{
    const QString path = "/run/user/1000/gvfs/smb-share:domain=WORK,server=nas,share=data,user=ann/x/y.txt";
    EXPECT_EQ(fileUriFor(path), "smb://WORK;ann@nas/data/x/y.txt");
    EXPECT_EQ(fileUriFor("/srv/plain file"), "file:///srv/plain%20file");
}

TEST(FileActionBackend, TerminalsGetTheFolderTheirOwnWayAndNoShell)
{
    StandInPath path;
    TempDir dir;
    const std::string folder = dir / "odd %1 name";
    ::mkdir(folder.c_str(), 0755);
    const char* cwd = "cwd=";

    path.add("xterm");
    {
        ScopedEnv terminal("TERMINAL", "not-installed-terminal");
        EXPECT_TRUE(FileActionBackend::defaultOpenTerminal(qs(folder)));
        EXPECT_EQ(path.record("xterm"), cwd + folder + "\n");  // only xterm: no arguments
    }
    path.add("konsole");
    path.add("gnome-terminal");
    EXPECT_TRUE(FileActionBackend::defaultOpenTerminal(qs(folder)));
    // gnome-terminal comes first in the table; "%1" inside the folder name stays as it is.
    EXPECT_EQ(path.record("gnome-terminal"), cwd + folder + "\n--working-directory=" + folder + "\n");
    path.add("mine");
    {
        ScopedEnv terminal("TERMINAL", "mine");
        EXPECT_TRUE(FileActionBackend::defaultOpenTerminal(qs(folder)));
        EXPECT_EQ(path.record("mine"), cwd + folder + "\n");
    }
    EXPECT_FALSE(path.hasRecord("konsole"));  // never reached
}

TEST(FileActionBackend, NoTerminalAtAllFails)
{
    StandInPath path;
    EXPECT_FALSE(FileActionBackend::defaultOpenTerminal("/tmp"));
}

TEST(FileActionBackend, TrashAndAnotherInstanceUseTheRealPeers)
{
    // The trash of the private XDG_DATA_HOME, on the same file system as the file.
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    QDir().mkpath(dataHome);
    const QString file = dataHome + "/to-trash.txt";
    hmtest::writeFile(file.toStdString(), "x");
    RemovalTarget target;
    ASSERT_EQ(captureItemPlace(file, dataHome, &target), 0);
    EXPECT_EQ(FileActionBackend::system().moveToTrash(target), TrashOutcome::Trashed);
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_TRUE(QFile::exists(dataHome + "/Trash/files/to-trash.txt"));
    EXPECT_TRUE(QFile::exists(dataHome + "/Trash/info/to-trash.txt.trashinfo"));

    StandInPath path;
    path.add("program");
    ScopedEnv appImage("APPIMAGE", path.binary("program"));
    EXPECT_TRUE(FileActionBackend::system().startInstance("/some folder"));
    EXPECT_NE(path.record("program").find("\n/some folder\n"), std::string::npos);
}

#include "FileActionBackendTest.moc"
