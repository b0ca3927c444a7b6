// A question for the file system asked on a watched task (svl::WatchedTask) whose answer is
// handed to the GUI thread: the dialogs' way of never waiting on a mount. The answer is
// nothing when a mount the task touched did not answer for its limit. Dropping or replacing
// the WatchedAnswer drops its answer, so a stale question never reaches its asker.
// GUI thread (the task itself runs on a thread of its own).
#pragma once

#include "core/scan/MountWatch.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <functional>
#include <memory>
#include <optional>

template <class T>
class WatchedAnswer {
public:
    WatchedAnswer() = default;
    WatchedAnswer(const WatchedAnswer&) = delete;
    WatchedAnswer& operator=(const WatchedAnswer&) = delete;

    // Asks `question` (any thread may run it) and calls `answered` on the GUI thread with its
    // result, or nothing when a mount did not answer; an earlier question is dropped.
    void ask(std::function<T()> question, std::function<void(std::optional<T>)> answered) {
        auto task = std::make_shared<svl::WatchedTask<T>>();
        m_task = task;
        std::weak_ptr<svl::WatchedTask<T>> weak = task;
        task->start(std::move(question), [this, weak, answered = std::move(answered)] {
            QMetaObject::invokeMethod(
                qApp,
                [this, weak, answered] {
                    // Gone or replaced: the asker no longer wants it. Alive, it is held by
                    // m_task alone, so `this` is alive too.
                    const std::shared_ptr<svl::WatchedTask<T>> asked = weak.lock();
                    if (!asked || asked != m_task)
                        return;
                    m_task.reset();
                    answered(asked->wait());
                },
                Qt::QueuedConnection);
        });
    }
    // A question asked whose answer has not reached the GUI thread yet.
    bool pending() const { return bool(m_task); }
    // Nothing of the last question comes any more.
    void drop() { m_task.reset(); }

private:
    std::shared_ptr<svl::WatchedTask<T>> m_task;
};
