// Sizes and listings of mounted volumes that never let a dead mount stall the caller. Every
// query that may touch a file system is a watched call on the mount it asks (MountWatch),
// made on a watched task of its own: the mount watch alone decides when a mount stopped
// answering, and the window takes the answers as they come (askOffGui) instead of waiting.
// The system calls sit behind replaceable hooks (`volumeSystem`) so tests can stand in a
// mount that blocks.
// Callers: the hooks and the watched* functions run on task threads; askOffGui and the
// hooks' setup on the GUI thread; the blocking helpers on any thread.
#pragma once

#include "core/scan/MountTable.h"
#include "core/scan/MountWatch.h"
#include "core/scan/RemoteSource.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What one size query of a volume found.
struct VolumeUsage {
    enum class State { Failed, Answered, NoAnswer, Pending };
    State state = State::Failed;
    uint64_t total = 0;      // bytes
    uint64_t available = 0;  // bytes the user may still write
};

// The outside world of the source list and the space labels. The size query and the
// share listing may block; the header makes both only as watched calls on a task.
struct VolumeSystem {
    std::function<std::vector<svl::MountEntry>()> readMounts;
    std::function<VolumeUsage(const std::string& path)> queryUsage;
    std::function<std::vector<svl::SmbMountInfo>()> listShares;
    // The file-system label of a device path ("/dev/sda1"); empty when it has none.
    std::function<QString(const std::string& device)> deviceLabel;
};

// The hooks in use; the real system until a test replaces them. GUI thread.
VolumeSystem& volumeSystem();
// Puts the real system back.
void resetVolumeSystem();

// The mount key (device number) of a mount-table line.
svl::MountKey mountKeyOf(const svl::MountEntry& entry);

// On a watched task: the usage of the volume mounted at `entry`, asked as a watched call on
// its device; NoAnswer when the mount does not answer.
VolumeUsage watchedMountUsage(const VolumeSystem& system, const svl::MountEntry& entry);
// On a watched task: the usage of the volume that holds `path`. The path is opened name by
// name first, so a link is charged to the mount it leads into, not the one it lies on.
VolumeUsage watchedPathUsage(const VolumeSystem& system, const std::vector<svl::MountEntry>& table,
                             const std::string& path);
// On a watched task: the gvfs shares, the listing watched on the gvfs mount.
std::vector<svl::SmbMountInfo> watchedShares(const VolumeSystem& system, const std::vector<svl::MountEntry>& table);

// The mount `path` is really on (opened name by name, links charged to the mount they lead
// into): its key, kUnknownMount when the path cannot be opened, nothing when a mount on the
// way does not answer. On a watched task.
std::optional<svl::MountKey> watchedMountOfPath(const std::string& path);
// On a watched task: `fn()`, a question about `path` that the caller cannot split into
// watched calls, made as one watched call on the mount the path is on; nothing when a
// mount does not answer.
template <class F>
auto watchedOnPathMount(const std::string& path, F&& fn) -> std::optional<decltype(fn())> {
    const std::optional<svl::MountKey> mount = watchedMountOfPath(path);
    if (!mount)
        return std::nullopt;
    return svl::watchedCall(*mount, std::forward<F>(fn));
}

// The usage of the volume that holds `path`, waiting for it (windowless callers).
VolumeUsage queryUsageOf(const std::vector<svl::MountEntry>& table, const std::string& path);

// What the window asks of a path it was given: whether it is a regular file or a folder, its
// canonical path (empty when it does not exist) and the device that holds it (when `stat` succeeds).
struct PathFacts {
    bool isFile = false;
    bool isFolder = false;
    QString canonical;
    std::optional<uint64_t> device;
};
// On a watched task: the facts of `path`, every lookup watched on the mount it asks;
// nothing when a mount on the way does not answer.
std::optional<PathFacts> watchedPathFacts(const std::string& path);
// The facts of `path` asked on a watched task and waited for, on the GUI thread with its
// event loop turning; nothing when a mount on the way does not answer.
std::optional<PathFacts> pathFactsWithinLimit(const QString& path);
// The folder a file chooser opens in: `folder` when asking about it is answered (even that
// it is gone), else the home folder; a chooser listing a dead mount freezes.
QString chooserStartFolder(const QString& folder);

// statvfs of a path: total and available bytes; Failed when the call fails.
VolumeUsage statVolume(const std::string& path);
// The name of the link in `labelFolder` that leads to `device`, with udev's \xNN escapes
// undone; empty when none does or the device is no /dev/ path.
QString labelOfDevice(const std::string& device, const QString& labelFolder = QStringLiteral("/dev/disk/by-label"));

// How long the GUI thread waits for the usual quick answers before it shows what it has and
// takes the rest as they come: no limit on the mount, which the watch alone gives up.
inline constexpr std::chrono::milliseconds kAnswerGrace{40};

// A question asked on a watched task whose answer comes back to the GUI thread.
template <class T>
class OffGuiQuestion {
public:
    // Nothing when a mount it touched did not answer.
    std::optional<T> answer() const { return m_task.wait(std::chrono::steady_clock::time_point::min()); }
    bool answered() const { return m_task.outcome() != svl::WatchedTask<T>::Outcome::Running; }
    // Waits until `until` at most for the answer: the usual quick one is then taken at once.
    bool waitUntil(std::chrono::steady_clock::time_point until) {
        (void)m_task.wait(until);
        return answered();
    }

private:
    template <class U>
    friend std::shared_ptr<OffGuiQuestion<U>> askOffGui(QObject*, std::function<U()>, std::function<void()>);
    mutable svl::WatchedTask<T> m_task;
};

// Runs `work` on a watched task and turns the event loop until its outcome is known, so the
// window answers meanwhile (a modal step such as a question before a scan waits so); the
// answer, nothing when a mount did not answer or the application is quitting.
template <class T>
std::optional<T> awaitOffGui(std::function<T()> work);

// Runs `work` on a watched task; once its outcome is known, `done` runs on the GUI thread
// unless `context` is gone by then. The question is kept alive until then; keep the handle
// to read the answer (a caller drops answers of questions it no longer asks).
template <class T>
std::shared_ptr<OffGuiQuestion<T>> askOffGui(QObject* context, std::function<T()> work, std::function<void()> done) {
    auto question = std::make_shared<OffGuiQuestion<T>>();
    std::weak_ptr<OffGuiQuestion<T>> weak = question;
    question->m_task.start(std::move(work), [guard = QPointer<QObject>(context), weak, done = std::move(done)] {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(
            app,
            [guard, weak, done] {
                if (guard && !weak.expired() && done)
                    done();
            },
            Qt::QueuedConnection);
    });
    return question;
}

// Declared above; defined here as it needs askOffGui.
void turnEventLoopUntil(const std::function<bool()>& done);
template <class T>
std::optional<T> awaitOffGui(std::function<T()> work) {
    auto question = askOffGui<T>(QCoreApplication::instance(), std::move(work), {});
    if (!question->waitUntil(std::chrono::steady_clock::now() + kAnswerGrace))
        turnEventLoopUntil([&] { return question->answered(); });
    return question->answer();
}
