// The menu bar's File and Options menus and the window-level shortcuts. Both menus are
// built from one table each, in menu order; an empty text is a separator.
#include <QAction>
#include <QActionGroup>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>

#include <algorithm>

#include "app/AppSettings.h"
#include "app/ListFont.h"
#include "app/UpdateChecker.h"
#include "ui/dialogs/ColorsDialog.h"
#include "ui/dialogs/TweaksDialog.h"
#include "ui/mainwindow/MainWindow.h"
#include "ui/treemap/TreemapPanel.h"
#include "ui/treemap/TreemapWidget.h"

namespace {

struct MenuEntry {
    QString text;  // empty: a separator
    std::function<void()> command;
    QList<QKeySequence> shortcuts;
    bool needsSelection = false;
};

QKeySequence keypad(Qt::Key key) {
    return QKeySequence(QKeyCombination(Qt::KeypadModifier, key));
}

template <typename Dialog>
void runDialog(QWidget* parent) {
    Dialog dialog(parent);
    dialog.exec();
}

}  // namespace

QAction* MainWindow::addMenuAction(QMenu* menu, const QString& text, const std::function<void()>& command,
                                   const QList<QKeySequence>& shortcuts) {
    QAction* action = menu->addAction(text);
    if (!shortcuts.isEmpty())
        action->setShortcuts(shortcuts);
    action->setEnabled(true);
    connect(action, &QAction::triggered, this, [command] { command(); });
    return action;
}

QAction* MainWindow::addSettingToggle(QMenu* menu, const QString& text, const char* key, bool checked,
                                      const QKeySequence& shortcut) {
    QAction* action = menu->addAction(text);
    action->setCheckable(true);
    action->setChecked(checked);
    if (!shortcut.isEmpty())
        action->setShortcut(shortcut);
    const QString name = QString::fromLatin1(key);
    connect(action, &QAction::triggered, this, [key](bool on) { AppSettings::instance()->setValue(key, on); });
    connect(AppSettings::instance(), &AppSettings::changed, action, [action, name](const QString& changed) {
        if (changed == name)
            action->setChecked(AppSettings::instance()->settings()->value(name, action->isChecked()).toBool());
    });
    return action;
}

void MainWindow::buildMenus() {
    const auto call = [this](void (MainWindow::*member)()) { return [this, member] { (this->*member)(); }; };
    const QList<MenuEntry> fileEntries = {
        {tr("Scan"), call(&MainWindow::scanRequested), {Qt::Key_F5, QKeySequence(Qt::CTRL | Qt::Key_R)}},
        {tr("Rescan Selected Folder"), call(&MainWindow::rescanSelectedFolders), {QKeySequence(Qt::CTRL | Qt::Key_F5)}},
        {},
        {tr("Select Folder…"), call(&MainWindow::chooseFolder), {Qt::Key_F3}},
        {tr("Select Multiple…"), call(&MainWindow::chooseMultiple), {QKeySequence(Qt::ALT | Qt::Key_F3)}},
        {tr("Select CSV File…"), call(&MainWindow::chooseCsvFile), {QKeySequence(Qt::SHIFT | Qt::Key_F3)}},
        {tr("Dump MFT File"), call(&MainWindow::dumpMftCommand), {}},
        {tr("New Window"), call(&MainWindow::openNewWindow), {QKeySequence(Qt::CTRL | Qt::Key_N)}},
        {},
        {tr("Reset Tree Expansion"), call(&MainWindow::resetTreeExpansion), {Qt::Key_F4}},
        {tr("Expand All"), call(&MainWindow::expandAll), {QKeySequence(Qt::SHIFT | Qt::Key_F4)}},
        {},
        {tr("Select Parent"), call(&MainWindow::selectParent), {Qt::Key_F6, keypad(Qt::Key_Slash)}},
        {tr("Reselect Child"), call(&MainWindow::reselectChild), {Qt::Key_F7, keypad(Qt::Key_Asterisk)}},
        {},
        {tr("Zoom Treemap"), call(&MainWindow::zoomTreemapToSelection), {Qt::Key_F10, keypad(Qt::Key_Plus)}},
        {tr("Unzoom Treemap"), [this] { m_treemapPanel->treemap()->zoomOut(); }, {Qt::Key_F11, keypad(Qt::Key_Minus)}},
        {tr("Save Treemap Image as .png File…"), call(&MainWindow::saveTreemapImage),
         {QKeySequence(Qt::CTRL | Qt::Key_S)}},
        {},
        {tr("Show in File Manager"), call(&MainWindow::showSelectionInFileManager),
         {QKeySequence(Qt::CTRL | Qt::Key_E)}, true},
        {tr("New Terminal at Folder"), call(&MainWindow::openTerminalAtSelection),
         {QKeySequence(Qt::CTRL | Qt::Key_T)}, true},
        {tr("Copy Path"), call(&MainWindow::copySelectionPaths), {QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_C)}, true},
        {},
        {tr("Cut"), call(&MainWindow::cutSelection), {QKeySequence(Qt::CTRL | Qt::Key_X)}, true},
        {tr("Copy"), call(&MainWindow::copySelection), {QKeySequence(Qt::CTRL | Qt::Key_C)}, true},
        {tr("Move to Trash"), call(&MainWindow::moveSelectionToTrash), {Qt::Key_Delete}, true},
        {tr("Delete Immediately"), call(&MainWindow::deleteSelectionImmediately),
         {QKeySequence(Qt::SHIFT | Qt::Key_Delete)}, true},
        {tr("Rename"), call(&MainWindow::startRename), {Qt::Key_F2}, true},
        {},
        {tr("Export to CSV File…"), call(&MainWindow::exportCsvFile), {QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_E)}},
        {tr("Copy File and Size Info to Clipboard"), call(&MainWindow::copyFileAndSizeInfo),
         {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C)}},
        {tr("Export File Types to CSV File…"), call(&MainWindow::exportFileTypesCsv),
         {QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_F)}},
        {},
        {tr("Check for Updates Now"), [] { UpdateChecker::instance()->check(true, true); }, {}},
        {tr("Reset Configuration to Default Values"), call(&MainWindow::confirmResetSettings), {}},
        {tr("Quit"), [this] { close(); }, {QKeySequence(QKeySequence::Quit)}},
    };
    QMenu* fileMenu = menuBar()->addMenu(tr("&File"));
    QAction* resetAction = nullptr;
    for (const MenuEntry& entry : fileEntries) {
        if (entry.text.isEmpty()) {
            fileMenu->addSeparator();
            continue;
        }
        QAction* action = addMenuAction(fileMenu, entry.text, entry.command, entry.shortcuts);
        if (entry.needsSelection)
            m_selectionActions.append(action);
        if (entry.text == tr("Rescan Selected Folder"))
            m_rescanAction = action;
        else if (entry.text == tr("Dump MFT File"))
            m_dumpMftAction = action;
        else if (entry.text == tr("Reset Configuration to Default Values"))
            resetAction = action;
    }
    // The desktop-integration commands form their own group above Quit.
    QAction* quit = fileMenu->actions().constLast();
    fileMenu->insertAction(resetAction, m_restartElevationAction);
    fileMenu->insertActions(quit, {m_preparePortableAction, m_addToMenuAction, m_removeFromMenuAction});
    fileMenu->insertSeparator(quit);
    connect(fileMenu, &QMenu::aboutToShow, this, &MainWindow::updateSelectionActions);
    connect(fileMenu, &QMenu::aboutToShow, this, &MainWindow::updateRestartElevationAction);
    connect(fileMenu, &QMenu::aboutToShow, this, &MainWindow::updateDumpMftAction);

    QMenu* options = menuBar()->addMenu(tr("&Options"));
    addDisplayModeGroup(options);
    options->addSeparator();
    const auto stored = [](const char* key, bool fallback) { return AppSettings::instance()->boolValue(key, fallback); };
    addSettingToggle(options, tr("Filter Scan Results"), "showFilterPanel", stored("showFilterPanel", false),
                     QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F));
    options->addSeparator();
    addSettingToggle(options, tr("Check for updates"), "checkForUpdatesEnabled", UpdateChecker::instance()->isEnabled(),
                     {});
    addSettingToggle(options, tr("Auto scan after making selection"), "autoScanAfterSelection",
                     stored("autoScanAfterSelection", true), {});
    options->addAction(m_fileManagerMenuAction);
    options->addAction(m_nautilusPythonAction);
    options->addSeparator();
    m_showHeaderAction = options->addAction(tr("Show Header"));
    m_showHeaderAction->setCheckable(true);
    m_showHeaderAction->setChecked(m_headerShown);
    m_showHeaderAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    connect(m_showHeaderAction, &QAction::triggered, this, &MainWindow::setHeaderShown);
    const struct {
        QString text;
        const char* key;
        bool fallback;
        QKeySequence shortcut;
    } toggles[] = {
        {tr("Show File Types"), "showFileTypes", true, Qt::Key_F8},
        {tr("Show Treemap"), "showTreemap", true, Qt::Key_F9},
        {tr("Show Allocated Space on Treemap"), "showTreemapAllocated", true, Qt::CTRL | Qt::SHIFT | Qt::Key_A},
        {tr("Show Free Space on Treemap"), "showTreemapFreeSpace", false, Qt::CTRL | Qt::SHIFT | Qt::Key_S},
        {tr("Show Folder and File Names on Treemap"), "showTreemapFilenames", true, Qt::CTRL | Qt::SHIFT | Qt::Key_N},
    };
    for (const auto& toggle : toggles)
        addSettingToggle(options, toggle.text, toggle.key, stored(toggle.key, toggle.fallback), toggle.shortcut);
    const QList<MenuEntry> optionEntries = {
        {tr("Colors…"), [this] { runDialog<ColorsDialog>(this); }, {}},
        {tr("Tweaks…"), [this] { runDialog<TweaksDialog>(this); }, {}},
        {tr("Increase Text Size"), [] { listfont::setStep(listfont::step() + 1); },
         {QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)}},
        {tr("Decrease Text Size"), [] { listfont::setStep(listfont::step() - 1); },
         {QKeySequence(Qt::CTRL | Qt::Key_Minus)}},
        {tr("Default Text Size"), [] { listfont::resetStep(); }, {QKeySequence(Qt::CTRL | Qt::Key_0)}},
    };
    for (const MenuEntry& entry : optionEntries)
        addMenuAction(options, entry.text, entry.command, entry.shortcuts);
    m_languageMenu = buildLanguageMenu(options);

    auto* applyFilter = new QAction(this);
    applyFilter->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
    connect(applyFilter, &QAction::triggered, this, [this] {
        if (isFilterPanelShown())
            applyFilterPanel();
    });
    addAction(applyFilter);
    updateSelectionActions();
}

void MainWindow::addDisplayModeGroup(QMenu* menu) {
    const QString texts[] = {tr("Display Dynamic Values"), tr("Display Byte Values"), tr("Display KB Values"),
                             tr("Display MB Values"), tr("Display GB Values"), tr("Display TB Values")};
    const int mode =
        std::clamp(AppSettings::instance()->settings()->value(QStringLiteral("displayMode"), 0).toInt(), 0, 5);
    auto* group = new QActionGroup(this);
    group->setExclusive(true);
    for (int i = 0; i < 6; ++i) {
        QAction* action = menu->addAction(texts[i]);
        action->setCheckable(true);
        action->setChecked(i == mode);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [i] { AppSettings::instance()->setValue("displayMode", i); });
    }
}

void MainWindow::updateSelectionActions() {
    const bool any = !currentSelection().empty();
    for (QAction* action : m_selectionActions)
        action->setEnabled(any);
    updateRescanAction();
}

void MainWindow::updateRescanAction() {
    if (m_rescanAction)
        m_rescanAction->setEnabled(canRescanSelection());
}

void MainWindow::setHeaderShown(bool shown) {
    m_headerShown = shown;
    if (m_showHeaderAction)
        m_showHeaderAction->setChecked(shown);
    applyPanelVisibility();
}
