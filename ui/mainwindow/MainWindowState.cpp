// Window state kept per screen shape (geometry, splitters) and the last page, the
// default splitter proportions, and the title.
#include <QSplitter>
#include <QTimer>

#include "app/AppSettings.h"
#include "app/LayoutKeys.h"
#include "ui/header/HeaderPanel.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/mainwindow/PageTabs.h"

void MainWindow::saveWindowState() {
    AppSettings* settings = AppSettings::instance();
    if (!settings->saveEnabled())
        return;
    saveShapedValue("windowGeometry", saveGeometry());
    saveShapedValue("mainSplit", m_mainSplit->saveState());
    saveShapedValue("topSplit", m_topSplit->saveState());
    if (m_tabs->currentIndex() == 0 || m_tabs->currentIndex() == 1)
        settings->setValue("lastTab", m_tabs->currentIndex());
}

void MainWindow::restoreWindowState() {
    const QByteArray geometry = loadShapedValue("windowGeometry", QByteArray()).toByteArray();
    const QByteArray mainState = loadShapedValue("mainSplit", QByteArray()).toByteArray();
    const QByteArray topState = loadShapedValue("topSplit", QByteArray()).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    m_mainSplitUnsaved = mainState.isEmpty();
    m_topSplitUnsaved = topState.isEmpty();
    if (!mainState.isEmpty())
        m_mainSplit->restoreState(mainState);
    if (!topState.isEmpty())
        m_topSplit->restoreState(topState);
    bool ok = false;
    const int lastTab = AppSettings::instance()->settings()->value(QStringLiteral("lastTab"), 0).toInt(&ok);
    if (ok && (lastTab == 0 || lastTab == 1) && lastTab < m_tabs->count())
        m_tabs->setCurrentIndex(lastTab);

    m_stateSaveTimer = new QTimer(this);
    m_stateSaveTimer->setSingleShot(true);
    m_stateSaveTimer->setInterval(400);
    connect(m_stateSaveTimer, &QTimer::timeout, this, &MainWindow::saveWindowState);
    const auto restartSaveTimer = [this] { m_stateSaveTimer->start(); };
    connect(m_mainSplit, &QSplitter::splitterMoved, this, restartSaveTimer);
    connect(m_topSplit, &QSplitter::splitterMoved, this, restartSaveTimer);
    connect(m_tabs, &QTabWidget::currentChanged, this, restartSaveTimer);
}

void MainWindow::applyDefaultSplitterSizes() {
    if (m_topSplitUnsaved) {
        const auto [results, types] = defaultSplitSizes(m_topSplit->width(), 65);
        m_topSplit->setSizes({results, types});
    }
    if (m_mainSplitUnsaved) {
        const auto [top, treemap] = defaultSplitSizes(m_mainSplit->height(), 62);
        m_mainSplit->setSizes({top, treemap});
    }
    m_topSplitUnsaved = false;
    m_mainSplitUnsaved = false;
}

TitleSource MainWindow::titleSource() const {
    TitleSource source;
    source.importedPath = m_header->importedFile();
    source.importedIsMft = m_header->importedIsMft();
    source.roots = m_header->multipleRoots();
    source.selectedPath = m_header->selectedPath();
    source.selectedIsFolder = m_header->isFolderSelection();
    return source;
}

void MainWindow::updateWindowTitle() {
    setWindowTitle(windowTitleFor(titleSource()));
}
