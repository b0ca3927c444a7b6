// The relaunch of this program with administrator rights (pkexec, else sudo with the
// program itself as the password prompt) and the way back to the invoking user: the
// command line, the environment hand-off file, and the wait for the started copy (a
// local-socket "ready" from the expected account, or the exit status its /bin/sh wrapper
// leaves in a status file). The running copy never raises its own rights.
// GUI thread only; the free functions are pure apart from the files they name.
#pragma once

#include "app/ElevationTools.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <memory>

class QLocalServer;
class QTemporaryDir;
class QTimer;

// The 14 variables the elevated copy takes from the user's environment, in order.
const QStringList& passThroughVariables();
// "NAME=value" for each pass-through variable that `env` holds with a non-empty value.
QStringList passThroughAssignments(const QProcessEnvironment& env);
// The eight ZRT_USER_ assignments describing the invoking user; empty when running as
// root or when the real user id has no password-database entry.
QStringList userHandoffVariables();
// The "env" program from the search folders, else "/usr/bin/env".
QString envProgramPath();
// The packaged elevate helper when `program` is the packaged installation; else empty.
QString elevationHelperPath(const QString& program);
// "hollowmere-<pid>-<random hex>": names the handshake socket and the hand-off file.
QString makeElevationToken();
// Where the hand-off file for `token` lives for `uid`; empty for a malformed token or
// when no folder can be named.
QString handoffFilePath(const QString& token, uid_t uid);
// Writes the lines (one assignment each) to the hand-off file of the real user id,
// mode 0600, in a 0700 folder; true only when every byte was written.
bool writeHandoffFile(const QString& token, const QStringList& lines);
// The absolute path of the handshake socket. Both sides derive it from the token alone,
// since pkexec and sudo may hand the started copy another TMPDIR.
QString elevationSocketPath(const QString& token);
// The user id of the process at the other end of a connected local socket; false when
// the kernel does not say.
bool socketPeerUid(qintptr descriptor, uid_t* uid);

// The full command, tool path first. Source arguments follow only when safe to pass:
// `--multi` when every root is absolute without ":" or a line feed, an absolute path,
// `--dump-mft` only together with that path.
QStringList buildElevationCommand(const ElevationToolChoice& choice, const QString& program,
                                  const QStringList& assignments, const QString& token,
                                  const QString& elevateProgram, bool handoffWritten, const QString& scanPath,
                                  bool dumpMft, const QStringList& multiPaths);
// The command the user can run by hand: sudo and the program path quoted for the shell.
QString manualElevationCommand(const QString& program);

class Elevator : public QObject {
    Q_OBJECT

public:
    explicit Elevator(QObject* parent = nullptr);
    ~Elevator() override;

    // Starts an administrator copy that scans `scanPath` (or dumps its volume's MFT, or
    // scans `multiPaths`). The outcome is exactly one signal; nothing while an earlier
    // relaunch still waits.
    void restartAsAdministrator(const QString& scanPath, bool dumpMft, const QStringList& multiPaths);
    // From an elevated copy: starts the program as the invoking user through runuser.
    // The outcome is ready() or failed().
    void restartAsUser();

    bool isWaiting() const { return m_waiting; }

signals:
    // The started copy reported that its window is up.
    void ready();
    void failed(const QString& message);
    // Neither pkexec nor sudo was found: the command the user could run instead.
    void manualNeeded(const QString& command);

private:
    // Listens on the token's socket, starts the command behind the status wrapper and
    // waits; "ready" counts only from a peer running as `expectedUid`.
    void launch(const QStringList& command, const QProcessEnvironment& env, bool worldAccess,
                const QString& token, uid_t expectedUid);
    void acceptConnections();
    void pollStatus();
    void finishReady();

    QProcessEnvironment m_environment;
    QLocalServer* m_server = nullptr;
    std::unique_ptr<QTemporaryDir> m_statusDir;
    QString m_statusFilePath;
    QTimer* m_pollTimer = nullptr;
    ElevationTool m_tool = ElevationTool::None;
    uid_t m_expectedUid = 0;
    bool m_waiting = false;
    bool m_finished = false;
};
