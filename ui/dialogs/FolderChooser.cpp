#include "ui/dialogs/FolderChooser.h"

#include "app/AppSettings.h"
#include "app/DirectionalText.h"
#include "app/PathText.h"
#include "app/PlainText.h"
#include "ui/header/HeaderPanel.h"
#include "ui/header/VolumeProbe.h"
#include "ui/views/DirectionalText.h"

#include <QAction>
#include <QCollator>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QStringListModel>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct FolderNames {
    int error = 0;
    std::vector<std::string> names;
};

constexpr char kShowHiddenKey[] = "folderChooserShowHidden";

// The subfolders of `path`, hidden ones ("." first) only when `hidden`. Links and entries of
// unknown type are examined with the cached answer, so a mount point among them is not asked.
FolderNames listFolders(const std::string& path, bool hidden) {
    FolderNames out;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        out.error = errno;
        return out;
    }
    const int fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || (!hidden && name[0] == '.'))
            continue;
        bool folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct statx st;
            folder = ::statx(fd, entry->d_name, AT_STATX_DONT_SYNC, STATX_TYPE, &st) == 0 && S_ISDIR(st.stx_mode);
        }
        if (folder)
            out.names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return out;
}

// The subfolders of `path`, listed on a thread of their own within the limit of the mount that
// holds it; nothing when the listing does not answer in time.
std::optional<FolderNames> listWithinLimit(const QString& path, bool hidden) {
    const std::string bytes = pathBytes(path);
    const PathCallLimit limit = pathCallLimit("list", bytes);
    TimedCall<FolderNames> call(limit.key, [bytes, hidden] { return listFolders(bytes, hidden); });
    return call.wait(limit.deadline);
}

QStringList sortedNames(const FolderNames& listing) {
    QStringList names;
    for (const std::string& name : listing.names)
        names.append(pathText(name));
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    std::sort(names.begin(), names.end(), collator);
    return names;
}

QString doesNotAnswer(const QString& path) {
    return FolderChooser::tr("\"%1\" does not answer: the drive or network share it is on may have stopped responding.")
        .arg(isolatePath(path));
}

QString withoutTrailingSlashes(QString path) {
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

// A typed path made absolute: "~" is the home folder, a relative path lies in `folder`.
QString resolveTyped(QString text, const QString& folder) {
    if (text.isEmpty())
        return folder;
    if (text == u'~' || text.startsWith(QLatin1String("~/")))
        text = QDir::homePath() + text.mid(1);
    return withoutTrailingSlashes(QDir::cleanPath(QDir(folder).absoluteFilePath(text)));
}

}  // namespace

FolderChooser::FolderChooser(const QString& title, const QString& start, QWidget* parent) : QDialog(parent) {
    setWindowTitle(title);
    resize(680, 440);
    auto* layout = new QVBoxLayout(this);

    auto* pathRow = new QHBoxLayout;
    auto* label = new QLabel(tr("Path"), this);
    m_path = new QLineEdit(this);
    label->setBuddy(m_path);
    auto* up = new QToolButton(this);
    up->setIcon(style()->standardIcon(QStyle::SP_FileDialogToParent));
    up->setToolTip(tr("Parent folder"));
    auto* home = new QToolButton(this);
    home->setIcon(style()->standardIcon(QStyle::SP_DirHomeIcon));
    home->setToolTip(tr("Home folder"));
    pathRow->addWidget(label);
    pathRow->addWidget(m_path, 1);
    pathRow->addWidget(up);
    pathRow->addWidget(home);
    layout->addLayout(pathRow);

    auto* lists = new QHBoxLayout;
    m_places = new QListWidget(this);
    m_places->setObjectName(QStringLiteral("places"));
    m_places->setItemDelegate(new OwnDirectionDelegate(m_places));
    m_places->setMaximumWidth(220);
    m_places->setTextElideMode(Qt::ElideMiddle);
    m_places->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("folders"));
    m_list->setItemDelegate(new OwnDirectionDelegate(m_list));
    lists->addWidget(m_places);
    lists->addWidget(m_list, 1);
    layout->addLayout(lists, 1);

    // Return in the field or a list is handled there; elsewhere it presses OK, the default button.
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    setTabOrder(m_path, m_list);
    setTabOrder(m_list, m_places);
    setTabOrder(m_places, up);
    setTabOrder(up, home);
    m_list->installEventFilter(this);
    m_places->installEventFilter(this);
    m_path->installEventFilter(this);

    m_hiddenAction = new QAction(tr("Show Hidden Folders"), this);
    m_hiddenAction->setCheckable(true);
    m_hiddenAction->setChecked(AppSettings::instance()->boolValue(kShowHiddenKey, false));
    m_hiddenAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    m_hiddenAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(m_hiddenAction);
    m_list->addAction(m_hiddenAction);
    m_list->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* upAction = new QAction(this);
    upAction->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Up));
    upAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(upAction);

    m_completions = new QStringListModel(this);
    auto* completer = new QCompleter(m_completions, this);
    completer->setCaseSensitivity(Qt::CaseSensitive);
    m_path->setCompleter(completer);

    connect(buttons, &QDialogButtonBox::accepted, this, &FolderChooser::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(up, &QToolButton::clicked, this, &FolderChooser::goUp);
    connect(upAction, &QAction::triggered, this, &FolderChooser::goUp);
    connect(home, &QToolButton::clicked, this, [this] { showFolder(QDir::homePath(), true); });
    connect(m_hiddenAction, &QAction::toggled, this, &FolderChooser::setShowHidden);
    // Connected before the completer looks at the text, so it sees this text's completions.
    connect(m_path, &QLineEdit::textEdited, this, &FolderChooser::updateCompletions);
    connect(m_list, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item)
            m_path->setText(QDir(m_folder).filePath(item->text()));
    });
    connect(m_list, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { showFolder(QDir(m_folder).filePath(item->text()), true); });
    connect(m_places, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { showFolder(item->data(Qt::UserRole).toString(), true); });

    fillPlaces();
    const QString first = start.isEmpty() ? QDir::currentPath() : start;
    if (!showFolder(QDir(first).absolutePath(), false))
        showFolder(QDir::homePath(), false);
    m_path->setFocus();
}

bool FolderChooser::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (watched == m_path && enter) {
            enterTypedPath();
            return true;
        }
        if (watched == m_list && enter) {
            if (QListWidgetItem* item = m_list->currentItem())
                showFolder(QDir(m_folder).filePath(item->text()), true);
            return true;
        }
        if (watched == m_list && key->key() == Qt::Key_Backspace && key->modifiers() == Qt::NoModifier) {
            goUp();
            return true;
        }
        if (watched == m_places && enter) {
            if (QListWidgetItem* item = m_places->currentItem())
                showFolder(item->data(Qt::UserRole).toString(), true);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void FolderChooser::fillPlaces() {
    const auto add = [this](QStyle::StandardPixmap icon, const QString& text, const QString& path) {
        auto* item = new QListWidgetItem(style()->standardIcon(icon), text, m_places);
        item->setData(Qt::UserRole, path);
        item->setToolTip(plainToolTip(path));
    };
    add(QStyle::SP_DirHomeIcon, tr("Home folder"), QDir::homePath());
    const QList<QPair<QString, QString>> sources = HeaderPanel::selectableSources();
    const bool rootListed = std::any_of(sources.begin(), sources.end(), [](const auto& s) { return s.second == u'/'; });
    if (!rootListed)
        add(QStyle::SP_DriveHDIcon, QStringLiteral("/"), QStringLiteral("/"));
    for (const auto& [text, path] : sources)
        add(QStyle::SP_DriveHDIcon, text, path);
}

QString FolderChooser::typedPath() const {
    return resolveTyped(m_path->text(), m_folder);
}

bool FolderChooser::showsHidden() const {
    return m_hiddenAction->isChecked();
}

void FolderChooser::setShowHidden(bool shown) {
    AppSettings::instance()->setValue(kShowHiddenKey, shown);
    const QString typed = m_path->text();
    if (showFolder(m_folder, true))
        m_path->setText(typed);
}

void FolderChooser::goUp() {
    const QString parentFolder = QFileInfo(m_folder).path();
    if (parentFolder != m_folder)
        showFolder(parentFolder, true);
}

void FolderChooser::enterTypedPath() {
    const QString path = typedPath();
    if (path == m_folder)
        accept();
    else
        showFolder(path, true);
}

void FolderChooser::updateCompletions(const QString& text) {
    const QString head = text.left(text.lastIndexOf(u'/') + 1);
    if (!m_completedHead.isNull() && head == m_completedHead)
        return;
    m_completedHead = QString();
    QStringList entries;
    const std::optional<FolderNames> listing = listWithinLimit(resolveTyped(head, m_folder), showsHidden());
    if (listing && listing->error == 0) {
        for (const QString& name : sortedNames(*listing))
            entries.append(head + name);
        m_completedHead = head;
    }
    m_completions->setStringList(entries);
}

void FolderChooser::accept() {
    const QString path = typedPath();
    const std::optional<PathFacts> facts = pathFactsWithinLimit(path);
    if (!facts) {
        warn(doesNotAnswer(path));
        return;
    }
    if (!facts->isFolder) {
        warn(tr("Could not read %1").arg(isolatePath(path)));
        return;
    }
    m_chosen = path;
    QDialog::accept();
}

bool FolderChooser::showFolder(const QString& folder, bool warnUser) {
    const QString path = withoutTrailingSlashes(QDir::cleanPath(folder));
    const std::optional<FolderNames> listing = listWithinLimit(path, showsHidden());
    if (!listing || listing->error != 0) {
        if (warnUser)
            warn(!listing ? doesNotAnswer(path) : tr("Could not read %1").arg(isolatePath(path)));
        return false;
    }
    m_folder = path;
    m_completedHead = QString();  // a relative path now lies elsewhere
    m_list->clear();
    const QIcon icon = style()->standardIcon(QStyle::SP_DirIcon);
    for (const QString& name : sortedNames(*listing))
        new QListWidgetItem(icon, name, m_list);
    m_path->setText(path);
    m_places->clearSelection();
    for (int i = 0; i < m_places->count(); ++i) {
        if (m_places->item(i)->data(Qt::UserRole).toString() == path)
            m_places->item(i)->setSelected(true);
    }
    return true;
}

void FolderChooser::warn(const QString& text) {
    showPlainWarning(this, windowTitle(), text);
}

QString FolderChooser::getFolder(QWidget* parent, const QString& title, const QString& start) {
    FolderChooser chooser(title, start, parent);
    return chooser.exec() == QDialog::Accepted ? chooser.selectedFolder() : QString();
}
