#include "ui/dialogs/SelectMultipleDialog.h"

#include "app/DirectionalText.h"
#include "ui/views/DirectionalText.h"
#include "ui/views/ItemRoles.h"

#include "app/AppSettings.h"
#include "app/PathText.h"
#include "app/PlainText.h"
#include "core/scan/RootPlace.h"
#include "ui/dialogs/FolderChooser.h"
#include "ui/header/VolumeProbe.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <memory>
#include <optional>

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kCustomRole = Qt::UserRole + 1;

QString withSlash(const QString& path) {
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

}  // namespace

std::function<QString(QWidget*)>& SelectMultipleDialog::folderChooser() {
    static std::function<QString(QWidget*)> chooser = [](QWidget* parent) {
        return FolderChooser::getFolder(parent, SelectMultipleDialog::tr("Add folder"),
                                        chooserStartFolder(QDir::currentPath()));
    };
    return chooser;
}

SelectMultipleDialog::SelectMultipleDialog(const QList<QPair<QString, QString>>& sources, const QStringList& ticked,
                                           QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(tr("Select Multiple"));
    resize(560, 420);
    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(tr("Select Multiple"), this);
    QFont headingFont = heading->font();
    headingFont.setWeight(QFont::Bold);
    heading->setFont(headingFont);
    layout->addWidget(heading);

    m_list = new QListWidget(this);
    m_list->setItemDelegate(new OwnDirectionDelegate(m_list));
    layout->addWidget(m_list, 1);
    for (const auto& [label, path] : sources)
        addRow(label, path, false, ticked.contains(path));
    const QStringList custom = AppSettings::instance()->pathList("selectMultipleCustomFolders");
    for (const QString& path : custom) {
        bool listed = false;
        for (int i = 0; i < m_list->count() && !listed; ++i)
            listed = m_list->item(i)->data(kPathRole).toString() == path;
        if (!listed)
            addRow(path, path, true, ticked.contains(path));
    }

    auto* buttonRow = new QHBoxLayout;
    auto* add = new QPushButton(tr("Add Folder\u2026"), this);
    m_removeButton = new QPushButton(tr("Remove Folder"), this);
    m_removeButton->setEnabled(false);
    auto* all = new QPushButton(tr("Select All"), this);
    all->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    auto* none = new QPushButton(tr("Select None"), this);
    none->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    buttonRow->addWidget(add);
    buttonRow->addWidget(m_removeButton);
    buttonRow->addStretch();
    buttonRow->addWidget(all);
    buttonRow->addWidget(none);
    layout->addLayout(buttonRow);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);

    connect(m_list, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* current) {
        m_removeButton->setEnabled(current && current->data(kCustomRole).toBool());
    });
    m_list->viewport()->installEventFilter(this);
    connect(m_list, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        if (!m_ticking)
            m_tickedByList = item;
    });
    connect(m_list, &QListWidget::itemClicked, this, &SelectMultipleDialog::onItemClicked);
    connect(add, &QPushButton::clicked, this, &SelectMultipleDialog::addFolder);
    connect(m_removeButton, &QPushButton::clicked, this, &SelectMultipleDialog::removeFolder);
    const auto tickAll = [this](Qt::CheckState state) {
        for (int i = 0; i < m_list->count(); ++i)
            setTick(m_list->item(i), state);
    };
    connect(all, &QPushButton::clicked, this, [tickAll] { tickAll(Qt::Checked); });
    connect(none, &QPushButton::clicked, this, [tickAll] { tickAll(Qt::Unchecked); });
    connect(buttons, &QDialogButtonBox::accepted, this, &SelectMultipleDialog::tryAccept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void SelectMultipleDialog::addRow(const QString& label, const QString& path, bool custom, bool checked) {
    m_ticking = true;
    auto* item = new QListWidgetItem(label, m_list);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    item->setData(kPathRole, path);
    item->setData(kCustomRole, custom);
    item->setData(HoldsPathRole, label == path);
    item->setToolTip(plainToolTip(path));
    m_ticking = false;
}

QStringList SelectMultipleDialog::selectedPaths() const {
    QStringList paths;
    for (int i = 0; i < m_list->count(); ++i) {
        if (m_list->item(i)->checkState() == Qt::Checked)
            paths.append(m_list->item(i)->data(kPathRole).toString());
    }
    return paths;
}

bool SelectMultipleDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list->viewport() && event->type() == QEvent::MouseButtonPress)
        m_tickedByList = nullptr;
    return QDialog::eventFilter(watched, event);
}

void SelectMultipleDialog::setTick(QListWidgetItem* item, Qt::CheckState state) {
    m_ticking = true;
    item->setCheckState(state);
    m_ticking = false;
}

void SelectMultipleDialog::onItemClicked(QListWidgetItem* item) {
    // A click on the check indicator has already been toggled by the list itself; only a
    // click elsewhere on the row flips the tick here, so every click counts once.
    const bool toggledByList = item == m_tickedByList;
    m_tickedByList = nullptr;
    if (!toggledByList)
        setTick(item, item->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

void SelectMultipleDialog::addFolder() {
    const QString path = folderChooser() ? folderChooser()(this) : QString();
    if (path.isEmpty())
        return;
    for (int i = 0; i < m_list->count(); ++i) {
        if (m_list->item(i)->data(kPathRole).toString() == path)
            return;
    }
    addRow(path, path, true, false);
    storeCustomFolders();
}

void SelectMultipleDialog::removeFolder() {
    QListWidgetItem* item = m_list->currentItem();
    if (!item || !item->data(kCustomRole).toBool())
        return;
    delete m_list->takeItem(m_list->row(item));
    storeCustomFolders();
}

void SelectMultipleDialog::storeCustomFolders() {
    QStringList custom;
    for (int i = 0; i < m_list->count(); ++i) {
        if (m_list->item(i)->data(kCustomRole).toBool())
            custom.append(m_list->item(i)->data(kPathRole).toString());
    }
    AppSettings::instance()->setPathList("selectMultipleCustomFolders", custom);
}

QString SelectMultipleDialog::nestingConflict(const QStringList& paths) {
    // What each root really is, asked off this thread within a limit, one root after another:
    // a root on a dead mount holds one thread and counts as unexaminable.
    const auto mounts = std::make_shared<const std::vector<svl::MountEntry>>(svl::readMountInfo());
    QList<std::optional<svl::RootPlace>> places;
    for (const QString& path : paths) {
        const std::string bytes = pathBytes(path);
        const PathCallLimit limit = pathCallLimit("place", bytes);
        TimedCall<std::optional<svl::RootPlace>> call(limit.key,
                                                      [bytes, mounts] { return svl::examineRootPlace(bytes, *mounts); });
        places.append(call.wait(limit.deadline).value_or(std::nullopt));
    }
    // Roots that cannot be examined are compared by name, as absolute paths without "." and
    // ".." steps, so "a" and "./a/b" meet too.
    QStringList compared;
    for (const QString& path : paths)
        compared.append(withSlash(QDir::cleanPath(QDir::current().absoluteFilePath(path))));
    for (qsizetype i = 0; i < paths.size(); ++i) {
        for (qsizetype j = 0; j < paths.size(); ++j) {
            if (i == j)
                continue;
            const bool nested = places[i] && places[j] ? svl::placeWithin(*places[i], *places[j])
                                                       : compared[i].startsWith(compared[j]);
            if (nested)
                return tr("\"%1\"\nis included within\n\"%2\"\n\nThey cannot both be selected.")
                    .arg(isolatePath(paths[i]), isolatePath(paths[j]));
        }
    }
    return QString();
}

bool SelectMultipleDialog::refuseNesting(QWidget* parent, const QStringList& paths) {
    const QString conflict = nestingConflict(paths);
    if (conflict.isEmpty())
        return false;
    showPlainWarning(parent, tr("Cannot select these items"), conflict);
    return true;
}

void SelectMultipleDialog::tryAccept() {
    if (!refuseNesting(this, selectedPaths()))
        accept();
}
