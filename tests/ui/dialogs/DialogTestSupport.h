// Shared by the dialog tests: the offscreen application with private settings, a reset
// of the store per test, a helper that answers the next modal box and one that types into
// folder choosers.
#pragma once

#include "tests/app/ShellTestEnv.h"

#include "app/AppSettings.h"
#include "ui/dialogs/FolderChooser.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>

namespace dialogtest {

inline void store(const char* key, const QVariant& value) {
    AppSettings::instance()->settings()->setValue(QLatin1String(key), value);
}

inline QVariant stored(const char* key) {
    return AppSettings::instance()->settings()->value(QLatin1String(key));
}

// Closes the next message box once it is shown and hands back its title and text.
struct MessageBoxCatcher {
    QString title, text;
    void arm() {
        QTimer::singleShot(0, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) {
                arm();
                return;
            }
            title = box->windowTitle();
            text = box->text();
            box->accept();
        });
    }
};

// Uses every folder chooser that comes up as a user would: types the next path into the field
// that has the focus and presses Return, and once more to choose it when that opened it in the
// list; with no path left it closes the chooser. It waits for each answer the chooser is
// waiting for. Every warning box is closed and its text kept. Runs from start() until destroyed.
struct ChooserTyping {
    QStringList paths;
    QStringList warnings;
    QTimer typer, closer;
    bool entered = false;

    void start() {
        // Two timers: a warning comes up inside the chooser's own answer.
        QObject::connect(&closer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                warnings << box->text();
                box->close();
            }
        });
        QObject::connect(&typer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            auto* field = modal && !qobject_cast<QMessageBox*>(modal) ? qobject_cast<QLineEdit*>(modal->focusWidget())
                                                                      : nullptr;
            if (!field)
                return;
            auto* chooser = qobject_cast<FolderChooser*>(modal);
            if (chooser && (chooser->isListing() || chooser->isChecking()))
                return;
            if (chooser && entered) {
                entered = false;
                if (chooser->directory() == chooser->typedPath()) {
                    QTest::keyClick(field, Qt::Key_Return);
                    return;
                }
            }
            if (paths.isEmpty()) {
                modal->close();
                return;
            }
            field->clear();
            QTest::keyClicks(field, paths.takeFirst());
            QTest::keyClick(field, Qt::Key_Return);
            entered = true;
        });
        closer.start(10);
        typer.start(50);
    }
};

// The longest time the event loop was held while it lives, seen by a timer ticking every 10 ms.
struct LoopGaps {
    QTimer ticker;
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    LoopGaps() {
        QObject::connect(&ticker, &QTimer::timeout, [this] {
            const qint64 now = clock.elapsed();
            longest = std::max(longest, now - last);
            last = now;
        });
        clock.start();
        ticker.start(10);
    }
};

}  // namespace dialogtest
