// Blocking calls from a worker thread into the GUI thread (a question to the user, a
// settings read) that give up at once when their window goes away. The worker posts the
// call and waits for its answer; close() (from the GUI thread, before the window waits for
// its workers) wakes every waiting worker with its fallback answer and turns later calls
// into immediate fallbacks, so a window that closes while a worker waits never hangs.
#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class GuiCallGate {
public:
    GuiCallGate() : m_state(std::make_shared<State>()) {}

    // Runs `fn` on the GUI thread and returns its answer, or `fallback` when the gate is or
    // becomes closed first. Called on the GUI thread itself, it runs `fn` directly.
    template <class T>
    T call(std::function<T()> fn, T fallback) const;

    // Makes every waiting and later call return its fallback. GUI thread; idempotent.
    void close();
    bool isClosed() const;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable answered;
        bool closed = false;
    };
    std::shared_ptr<State> m_state;
};

template <class T>
T GuiCallGate::call(std::function<T()> fn, T fallback) const {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return fallback;
    if (QThread::currentThread() == app->thread())
        return isClosed() ? fallback : fn();
    struct Pending {
        std::optional<T> answer;
    };
    auto pending = std::make_shared<Pending>();
    const std::shared_ptr<State> state = m_state;
    QMetaObject::invokeMethod(
        app,
        [state, pending, fn = std::move(fn)]() {
            {
                std::lock_guard lock(state->mutex);
                if (state->closed)
                    return;
            }
            T answer = fn();
            std::lock_guard lock(state->mutex);
            pending->answer = std::move(answer);
            state->answered.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(state->mutex);
    state->answered.wait(lock, [&] { return state->closed || pending->answer.has_value(); });
    if (pending->answer)
        return std::move(*pending->answer);
    return fallback;
}
