// Shared by the main-window tests: the offscreen application and private settings of the
// shell tests, an event-pumping wait, and a generated folder to scan.
#pragma once

#include "tests/app/ShellTestEnv.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>
#include <QTextDocument>
#include <QThread>
#include <QTimer>

#include <sys/stat.h>

#include <functional>
#include <string>

#include "app/AppSettings.h"

#include "core/scan/MountWatch.h"

#include <chrono>

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

// What a label (or, with Qt::AutoText, a tool tip) shows for `text`: the text itself, or the
// plain text of the markup Qt reads it as.
inline QString shownText(const QString& text, Qt::TextFormat format = Qt::AutoText) {
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text)))
        return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

// A file's bytes, or "<unreadable>".
inline QByteArray readAll(const std::string& path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
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

// Answers the next modal message boxes in turn with the buttons labelled in `buttons` (a box
// without such a button is rejected), keeping every answered box's text and detail; stops
// answering when it goes out of scope.
class BoxAnswerer {
public:
    explicit BoxAnswerer(QStringList buttons) : m_buttons(std::move(buttons)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { answer(); });
        m_timer.start(10);
    }
    explicit BoxAnswerer(const QString& button) : BoxAnswerer(QStringList{button}) {}
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    QString text, detail;  // of the last box answered
    QStringList texts;     // of every box answered, in order
    QString shown;         // what the last box's labels showed, one per line

private:
    void answer() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box == m_answered || m_buttons.isEmpty())
            return;
        m_answered = box;
        text = box->text();
        detail = box->informativeText();
        texts << text;
        shown.clear();
        for (const QLabel* label : box->findChildren<QLabel*>())
            shown += shownText(label->text(), label->textFormat()) + QLatin1Char('\n');
        const QString button = m_buttons.takeFirst();
        for (QAbstractButton* b : box->buttons()) {
            if (b->text() == button) {
                b->click();
                return;
            }
        }
        box->reject();  // an unexpected box fails the test instead of hanging it
    }

    QStringList m_buttons;
    QPointer<QMessageBox> m_answered;
    QTimer m_timer;
};

}  // namespace windowtest
