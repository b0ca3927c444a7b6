// Blocking calls into the GUI thread: answered while the window lives, given up at once
// when it closes (so a worker waiting for the user never holds up the quit).
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <QElapsedTimer>

#include <atomic>
#include <thread>

#include "ui/mainwindow/GuiCallGate.h"

using windowtest::waitUntil;

TEST(GuiCallGate, WorkerGetsTheGuiThreadsAnswer) {
    GuiCallGate gate;
    std::atomic<int> answer{0};
    std::atomic<bool> ranOnGui{false};
    const QThread* gui = QThread::currentThread();
    std::thread worker([&] {
        answer = gate.call<int>(
            [&] {
                ranOnGui = QThread::currentThread() == gui;
                return 42;
            },
            -1);
    });
    EXPECT_TRUE(waitUntil([&] { return answer.load() != 0; }, 5000));
    worker.join();
    EXPECT_EQ(answer.load(), 42);
    EXPECT_TRUE(ranOnGui.load());
    // On the GUI thread itself the call runs directly.
    EXPECT_EQ(gate.call<int>([] { return 7; }, -1), 7);
}

TEST(GuiCallGate, ClosingReleasesAWaitingWorkerAndRefusesLaterCalls) {
    GuiCallGate gate;
    std::atomic<int> answer{0};
    std::atomic<bool> asked{false};
    QElapsedTimer clock;
    // The GUI thread never turns its event loop here, as when it waits for the worker at quit.
    std::thread worker([&] { answer = gate.call<int>([&] { asked = true; return 42; }, -1); });
    QThread::msleep(50);
    EXPECT_EQ(answer.load(), 0);
    clock.start();
    gate.close();
    worker.join();
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_EQ(answer.load(), -1);
    // The posted question is dropped when the loop turns later.
    QCoreApplication::processEvents();
    EXPECT_FALSE(asked.load());
    std::thread late([&] { answer = gate.call<int>([] { return 42; }, -2); });
    late.join();
    EXPECT_EQ(answer.load(), -2);
}
