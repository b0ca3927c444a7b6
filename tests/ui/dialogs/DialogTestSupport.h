// Shared by the dialog tests: the offscreen application with private settings, a reset
// of the store per test, and a helper that answers the next modal box.
#pragma once

#include "tests/app/ShellTestEnv.h"

#include "app/AppSettings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

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

}  // namespace dialogtest
