// Shared by the header tests: a stand-in for the mount table, the size answers and the
// gvfs shares, with paths whose size query blocks until the test ends (a dead network
// mount), plus a settings reset per test.
#pragma once

#include "tests/app/ShellTestEnv.h"

#include "app/AppSettings.h"
#include "core/scan/MountWatch.h"
#include "ui/header/VolumeProbe.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace headertest {

// A mountinfo line; `id` also orders bind mounts.
inline std::string mountLine(int id, const std::string& dev, const std::string& root, const std::string& point,
                             const std::string& type, const std::string& source) {
    return std::to_string(id) + " 1 " + dev + " " + root + " " + point + " rw - " + type + " " + source + " rw\n";
}

// Blocks callers until released; shared with the stuck query threads, so it outlives the test.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    void wait() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return open; });
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
};

class FakeVolumes {
public:
    FakeVolumes() : m_gate(std::make_shared<Gate>()) { install(); }
    ~FakeVolumes() {
        m_gate->release();
        resetVolumeSystem();
    }
    FakeVolumes(const FakeVolumes&) = delete;
    FakeVolumes& operator=(const FakeVolumes&) = delete;

    std::string table;
    // Path (mount point or any path below it) to its answer; unknown paths fail.
    std::map<std::string, VolumeUsage> usage;
    std::set<std::string> blocking;
    std::vector<svl::SmbMountInfo> shares;
    std::map<std::string, QString> labels;
    int usageCalls = 0;
    int callsFor(const std::string& path) {
        std::lock_guard lock(m_mutex);
        return m_callsByPath[path];
    }

    static VolumeUsage answer(uint64_t total, uint64_t available) {
        VolumeUsage u;
        u.state = VolumeUsage::State::Answered;
        u.total = total;
        u.available = available;
        return u;
    }

private:
    void install() {
        VolumeSystem& system = volumeSystem();
        system.readMounts = [this] { return svl::parseMountInfo(table); };
        auto gate = m_gate;
        // Copies are taken per call on the calling (GUI) thread's request; the query thread
        // only touches what it captured.
        system.queryUsage = [this, gate](const std::string& path) {
            bool blocks = false;
            VolumeUsage result;
            {
                std::lock_guard lock(m_mutex);
                ++usageCalls;
                ++m_callsByPath[path];
                blocks = blocking.count(path) != 0;
                const std::vector<svl::MountEntry> entries = svl::parseMountInfo(table);
                auto it = usage.find(path);
                if (it == usage.end()) {
                    // Below a known mount point: its volume's answer.
                    const svl::MountEntry* mount = svl::mountContaining(entries, path);
                    if (mount && path.size() > mount->mountPoint.size())
                        it = usage.find(mount->mountPoint);
                }
                if (it != usage.end())
                    result = it->second;
            }
            if (blocks)
                gate->wait();
            return result;
        };
        system.listShares = [this] { return shares; };
        system.deviceLabel = [this](const std::string& device) {
            auto it = labels.find(device);
            return it == labels.end() ? QString() : it->second;
        };
    }

    std::shared_ptr<Gate> m_gate;
    std::mutex m_mutex;
    std::map<std::string, int> m_callsByPath;
};

// Turns the event loop until `done` (at most `limitMs`), measuring the longest time the loop
// did not come round to a timer firing every 10 ms.
struct LoopGaps {
    qint64 longestMs = 0;
    bool run(const std::function<bool()>& done, int limitMs = 20000) {
        QElapsedTimer clock, sinceTick;
        clock.start();
        sinceTick.start();
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            longestMs = std::max(longestMs, sinceTick.elapsed());
            sinceTick.restart();
        });
        tick.start(10);
        while (!done() && clock.elapsed() < limitMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        longestMs = std::max(longestMs, sinceTick.elapsed());
        return done();
    }
};

inline void clearSettings() {
    AppSettings::instance()->settings()->clear();
}

}  // namespace headertest
