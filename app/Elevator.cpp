#include "app/Elevator.h"

#include "app/AppSettings.h"
#include "app/ColorScheme.h"
#include "app/DetachedStart.h"
#include "app/PathText.h"
#include "app/RestartAsUser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <utility>

namespace {

// Writes the command's exit status after it ends; a vanished status folder is no error.
constexpr char kStatusWrapper[] = R"(status="$1"; shift; "$@"; { echo $? > "$status"; } 2>/dev/null)";
constexpr int kPollIntervalMs = 150;

QString homeOf(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry ? QFile::decodeName(entry->pw_dir) : QString();
}

bool isTokenText(const QString& token) {
    if (token.isEmpty())
        return false;
    for (const QChar c : token) {
        if (!c.isLetterOrNumber() && c != u'-')
            return false;
    }
    return true;
}

}  // namespace

const QStringList& passThroughVariables() {
    static const QStringList names = {
        "DISPLAY",   "XAUTHORITY",      "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR",      "XDG_SESSION_TYPE",
        "XDG_CURRENT_DESKTOP", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM", "QT_SCALE_FACTOR",
        "QT_QPA_PLATFORMTHEME", "LANG", "LANGUAGE", "LC_ALL", "APPIMAGE"};
    return names;
}

QStringList passThroughAssignments(const QProcessEnvironment& env) {
    QStringList assignments;
    for (const QString& name : passThroughVariables()) {
        const QString value = env.value(name);
        if (!value.isEmpty())
            assignments.append(name + u'=' + value);
    }
    return assignments;
}

QStringList userHandoffVariables() {
    if (::geteuid() == 0)
        return {};
    const uid_t uid = ::getuid();
    const passwd* entry = ::getpwuid(uid);
    if (!entry)
        return {};
    return {
        "ZRT_USER_NAME=" + QString::fromLocal8Bit(entry->pw_name),
        "ZRT_USER_HOME=" + QFile::decodeName(entry->pw_dir),
        "ZRT_USER_UID=" + QString::number(uid),
        "ZRT_USER_GID=" + QString::number(::getgid()),
        "ZRT_USER_CONF=" + AppSettings::instance()->settings()->fileName(),
        "ZRT_USER_CONFIG_HOME=" + QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation),
        "ZRT_USER_DATA_HOME=" + QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
        QStringLiteral("ZRT_USER_SCHEME=") + (systemPaletteIsDark() ? "dark" : "light"),
    };
}

QString envProgramPath() {
    const QString found = findExecutableIn(QStringLiteral("env"), elevationSearchFolders());
    return found.isEmpty() ? QStringLiteral("/usr/bin/env") : found;
}

QString elevationHelperPath(const QString& program) {
    const QString helper = QStringLiteral("/usr/libexec/hollowmere/hollowmere-elevate");
    const QFileInfo info(helper);
    if (!info.isFile() || !info.isExecutable())
        return {};
    const QString canonical = QFileInfo(program).canonicalFilePath();
    if (canonical.isEmpty() || canonical != QFileInfo(QStringLiteral("/usr/bin/hollowmere")).canonicalFilePath())
        return {};
    return info.absoluteFilePath();
}

QString makeElevationToken() {
    return QStringLiteral("hollowmere-%1-%2")
        .arg(::getpid())
        .arg(QRandomGenerator64::global()->generate(), 0, 16);
}

QString handoffFilePath(const QString& token, uid_t uid) {
    if (!isTokenText(token))
        return {};
    QString folder;
    const QString chosen = qEnvironmentVariable("ZRT_HANDOFF_DIR");
    struct stat st {};
    const QByteArray runtime = "/run/user/" + QByteArray::number(uid);
    if (::geteuid() != 0 && !chosen.isEmpty()) {
        folder = chosen;
    } else if (::stat(runtime.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid) {
        folder = QString::fromLatin1(runtime);
    } else {
        const QString home = homeOf(uid);
        if (home.isEmpty())
            return {};
        folder = home + "/.cache/hollowmere";
    }
    return folder + "/hollowmere-" + token + ".env";
}

bool writeHandoffFile(const QString& token, const QStringList& lines) {
    const QString path = handoffFilePath(token, ::getuid());
    if (path.isEmpty())
        return false;
    const QString folder = QFileInfo(path).absolutePath();
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    const QByteArray name = QFile::encodeName(path);
    ::unlink(name.constData());
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const QByteArray content = lines.join(u'\n').toUtf8() + '\n';
    const ssize_t written = ::write(fd, content.constData(), size_t(content.size()));
    ::close(fd);
    if (written != ssize_t(content.size())) {
        ::unlink(name.constData());
        return false;
    }
    return true;
}

QString elevationSocketPath(const QString& token) {
    return QStringLiteral("/tmp/") + token;
}

bool socketPeerUid(qintptr descriptor, uid_t* uid) {
    ucred credentials {};
    socklen_t length = sizeof credentials;
    if (descriptor < 0 || ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    *uid = credentials.uid;
    return true;
}

QStringList buildElevationCommand(const ElevationToolChoice& choice, const QString& program,
                                  const QStringList& assignments, const QString& token,
                                  const QString& elevateProgram, bool handoffWritten, const QString& scanPath,
                                  bool dumpMft, const QStringList& multiPaths) {
    QStringList command{choice.path};
    const QStringList programPart{program, QStringLiteral("--elevation-token"), token};
    if (choice.tool == ElevationTool::Sudo) {
        // sudo's own environment says ZRT_ASKPASS=1 (it runs us as its password prompt);
        // the copy it starts must never take that for itself.
        command << "-A" << envProgramPath() << "ZRT_ASKPASS=0" << assignments << programPart;
    } else if (!elevateProgram.isEmpty()) {
        command << elevateProgram << assignments << programPart;
    } else if (handoffWritten) {
        command << programPart;
    } else {
        command << envProgramPath() << assignments << programPart;
    }
    const bool multiSafe = !multiPaths.isEmpty() && std::all_of(multiPaths.begin(), multiPaths.end(), [](const QString& p) {
        return p.startsWith(u'/') && !p.contains(u':') && !p.contains(u'\n');
    });
    if (multiSafe)
        command << "--multi" << multiPaths.join(u':');
    if (scanPath.startsWith(u'/')) {
        command << scanPath;
        if (dumpMft)
            command << "--dump-mft";
    }
    return command;
}

QString manualElevationCommand(const QString& program) {
    return "sudo " + shellQuoted(program);
}

Elevator::Elevator(QObject* parent)
    : QObject(parent), m_environment(QProcessEnvironment::systemEnvironment()) {}

Elevator::~Elevator() = default;

void Elevator::restartAsAdministrator(const QString& scanPath, bool dumpMft, const QStringList& multiPaths) {
    if (m_waiting)
        return;
    const QString program = programFilePath();
    const ElevationToolChoice choice = chooseElevationTool(elevationSearchFolders());
    m_tool = choice.tool;
    if (choice.tool == ElevationTool::None) {
        emit manualNeeded(manualElevationCommand(program));
        return;
    }
    const QString token = makeElevationToken();
    QProcessEnvironment env = m_environment;
    if (choice.tool == ElevationTool::Sudo) {
        env.insert("SUDO_ASKPASS", program);
        env.insert("ZRT_ASKPASS", "1");
    }
    const QString elevateProgram =
        choice.tool == ElevationTool::Pkexec ? elevationHelperPath(program) : QString();
    const QStringList assignments = passThroughAssignments(m_environment) + userHandoffVariables();
    const bool handoffWritten = choice.tool == ElevationTool::Pkexec && elevateProgram.isEmpty()
                                && writeHandoffFile(token, assignments);
    launch(buildElevationCommand(choice, program, assignments, token, elevateProgram, handoffWritten, scanPath,
                                 dumpMft, multiPaths),
           env, false, token, 0);
}

void Elevator::restartAsUser() {
    if (m_waiting)
        return;
    const QString program = programFilePath();
    const QString user = invokingUserName();
    if (user.isEmpty()) {
        emit failed(tr("Couldn't determine which user to restart as."));
        return;
    }
    const passwd* entry = ::getpwnam(user.toLocal8Bit().constData());
    if (!entry) {
        emit failed(tr("Couldn't find the account \"%1\" to restart as.").arg(user));
        return;
    }
    const uid_t uid = entry->pw_uid;
    const QString home = QFile::decodeName(entry->pw_dir);
    const QString runuser = findExecutableIn(QStringLiteral("runuser"), elevationSearchFolders());
    if (runuser.isEmpty()) {
        emit failed(tr("Couldn't find the \"runuser\" command needed to switch back to your own account."));
        return;
    }
    m_tool = ElevationTool::None;
    const QString token = makeElevationToken();
    const QStringList assignments = passThroughAssignments(m_environment)
                                    + QStringList{"HOME=" + home, "USER=" + user, "LOGNAME=" + user};
    // This copy's configuration and data folders are root's private ones: the user's copy
    // gets the user's own back, or the defaults of its home.
    QProcessEnvironment env = m_environment;
    for (const auto& [own, handed] : {std::pair{"XDG_CONFIG_HOME", "ZRT_USER_CONFIG_HOME"},
                                      std::pair{"XDG_DATA_HOME", "ZRT_USER_DATA_HOME"}}) {
        const QString folder = m_environment.value(handed);
        if (folder.isEmpty())
            env.remove(own);
        else
            env.insert(own, folder);
    }
    AppSettings::instance()->sync();
    launch(buildRunuserCommand(runuser, user, program, assignments, token), env, true, token, uid);
}

void Elevator::launch(const QStringList& command, const QProcessEnvironment& env, bool worldAccess,
                      const QString& token, uid_t expectedUid) {
    delete m_server;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(worldAccess ? QLocalServer::WorldAccessOption : QLocalServer::UserAccessOption);
    const QString socketPath = elevationSocketPath(token);
    QLocalServer::removeServer(socketPath);
    if (!m_server->listen(socketPath)) {
        emit failed(tr("Couldn't prepare to restart: %1").arg(m_server->errorString()));
        return;
    }
    m_expectedUid = expectedUid;
    connect(m_server, &QLocalServer::newConnection, this, &Elevator::acceptConnections);
    m_statusDir = std::make_unique<QTemporaryDir>();
    if (!m_statusDir->isValid()) {
        emit failed(tr("Couldn't prepare to restart: %1").arg(m_statusDir->errorString()));
        return;
    }
    m_statusFilePath = m_statusDir->filePath(QStringLiteral("status"));

    // Paths in the command (pathText) go out as their own bytes.
    std::vector<std::string> argv{"/bin/sh", "-c", kStatusWrapper, "sh", pathBytes(m_statusFilePath)};
    for (const QString& part : command)
        argv.push_back(pathBytes(part));
    std::vector<std::string> environment;
    for (const QString& entry : env.toStringList())
        environment.push_back(pathBytes(entry));
    if (env.isEmpty())  // as QProcess: no environment given is this process's own
        for (char** entry = environ; *entry; ++entry)
            environment.emplace_back(*entry);
    if (const int code = startDetached(argv, environment); code != 0) {
        emit failed(tr("Couldn't start the elevated relaunch: %1")
                        .arg(QString::fromStdString(std::generic_category().message(code))));
        return;
    }
    m_waiting = true;
    if (!m_pollTimer) {
        m_pollTimer = new QTimer(this);
        m_pollTimer->setInterval(kPollIntervalMs);
        connect(m_pollTimer, &QTimer::timeout, this, &Elevator::pollStatus);
    }
    m_pollTimer->start();
}

void Elevator::acceptConnections() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // Anyone may reach a socket in /tmp; only the copy we started may say "ready".
        uid_t peer = 0;
        if (!socketPeerUid(socket->socketDescriptor(), &peer) || peer != m_expectedUid) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->readAll().contains("ready") && !m_finished)
                finishReady();
        });
    }
}

void Elevator::finishReady() {
    m_waiting = false;
    m_finished = true;
    if (m_pollTimer)
        m_pollTimer->stop();
    emit ready();
}

void Elevator::pollStatus() {
    if (!m_waiting || m_finished)
        return;
    QFile file(m_statusFilePath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray text = file.readAll().trimmed();
    if (text.isEmpty() || m_finished)
        return;
    m_waiting = false;
    m_pollTimer->stop();
    emit failed(elevationFailureMessage(m_tool, text.toInt()));
}
