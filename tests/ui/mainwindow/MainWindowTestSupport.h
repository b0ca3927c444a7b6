// Shared by the main-window tests: the offscreen application and private settings of the
// shell tests, an event-pumping wait, and a generated folder to scan.
#pragma once

#include "tests/app/ShellTestEnv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <sys/stat.h>

#include <functional>
#include <string>

#include "app/AppSettings.h"

namespace windowtest {

// Turns the event loop until `done` holds or `ms` pass; whether it held.
inline bool waitUntil(const std::function<bool()>& done, int ms = 20000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

inline void clearSettings() {
    QSettings* store = AppSettings::instance()->settings();
    store->clear();
    store->setValue(QStringLiteral("animateTreemapZoom"), false);
}

// `folders` folders of `filesEach` files named f<i>.aaa or f<i>.bbb (alternating), plus
// one file at the top. The folder count grows the scan's duration.
inline void makeFolder(const std::string& root, int folders, int filesEach) {
    hmtest::writeFile(root + "/top.bbb", "top");
    for (int d = 0; d < folders; ++d) {
        const std::string dir = root + "/d" + std::to_string(d);
        ::mkdir(dir.c_str(), 0755);
        for (int f = 0; f < filesEach; ++f)
            hmtest::writeFile(dir + "/f" + std::to_string(f) + (f % 2 ? ".bbb" : ".aaa"), std::string(f + 1, 'x'));
    }
}

}  // namespace windowtest
