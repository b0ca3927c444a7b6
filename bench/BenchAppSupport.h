// For the benchmarks that need the GUI libraries: an offscreen QApplication over a
// throw-away settings folder, so results neither depend on nor touch the user's settings.
#pragma once

#include "app/AppSettings.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <chrono>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace bench {

class OffscreenApp {
public:
    // `tag` names the folder made below /tmp; ok() is false when it cannot be made.
    OffscreenApp(int& argc, char** argv, const char* tag) : m_dir(std::string("/tmp/") + tag + "-XXXXXX") {
        if (!mkdtemp(m_dir.data())) {
            std::perror("mkdtemp");
            m_dir.clear();
            return;
        }
        setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", m_dir.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        m_app = std::make_unique<QApplication>(argc, argv);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(m_dir));
        AppSettings::instance()->setSaveEnabled(false);
    }
    ~OffscreenApp() {
        m_app.reset();
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir);
    }
    OffscreenApp(const OffscreenApp&) = delete;
    OffscreenApp& operator=(const OffscreenApp&) = delete;

    bool ok() const { return m_app != nullptr; }

private:
    std::string m_dir;
    std::unique_ptr<QApplication> m_app;
};

using Clock = std::chrono::steady_clock;

inline double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Records the longest gap between ticks of a 1 ms timer on the GUI thread: how long the
// window would not have answered.
class StallMeter {
public:
    StallMeter() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const Clock::time_point now = Clock::now();
            m_longest = std::max(m_longest, msBetween(m_last, now));
            m_last = now;
        });
    }
    void start() {
        m_longest = 0;
        m_last = Clock::now();
        m_timer.start();
    }
    double stop() {
        m_timer.stop();
        return std::max(m_longest, msBetween(m_last, Clock::now()));
    }

private:
    QTimer m_timer;
    Clock::time_point m_last;
    double m_longest = 0;
};

// Turns the event loop until `done` holds.
template <class F>
void turnUntil(F done) {
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

}  // namespace bench
