// Column layouts of the header views, kept per screen shape and per set of columns.
#include <QHeaderView>
#include <QTimer>

#include "app/AppSettings.h"
#include "app/LayoutKeys.h"
#include "ui/mainwindow/MainWindow.h"

bool MainWindow::restoreHeaderState(QHeaderView* header, const char* key) {
    const QByteArray columnsKey = QByteArray(key) + "Columns";
    const QByteArray state = loadShapedValue(key, QByteArray()).toByteArray();
    // A layout saved for another set of columns would put sections in the wrong places.
    const bool restored = !state.isEmpty() && loadShapedValue(columnsKey.constData(), -1).toInt() == header->count()
                          && header->restoreState(state);
    header->setStretchLastSection(false);

    auto* timer = new QTimer(header);
    timer->setSingleShot(true);
    timer->setInterval(400);
    const QByteArray stateKey(key);
    connect(timer, &QTimer::timeout, header, [header, stateKey, columnsKey] {
        if (!AppSettings::instance()->saveEnabled())
            return;
        saveShapedValue(stateKey.constData(), header->saveState());
        saveShapedValue(columnsKey.constData(), header->count());
    });
    const auto restart = [timer] { timer->start(); };
    connect(header, &QHeaderView::sectionMoved, timer, restart);
    connect(header, &QHeaderView::sectionResized, timer, restart);
    connect(header, &QHeaderView::sortIndicatorChanged, timer, restart);
    return restored;
}
