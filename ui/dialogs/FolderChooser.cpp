#include "ui/dialogs/FolderChooser.h"

#include "app/DirectionalText.h"
#include "app/PathText.h"
#include "app/PlainText.h"
#include "ui/header/VolumeProbe.h"
#include "ui/views/DirectionalText.h"

#include <QCollator>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
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

// The subfolders of `path` but hidden ones. Links and entries of unknown type are examined
// with the cached answer, so a mount point among them is not asked.
FolderNames listFolders(const std::string& path) {
    FolderNames out;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        out.error = errno;
        return out;
    }
    const int fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
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

QString doesNotAnswer(const QString& path) {
    return FolderChooser::tr("\"%1\" does not answer: the drive or network share it is on may have stopped responding.")
        .arg(isolatePath(path));
}

QString withoutTrailingSlashes(QString path) {
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

}  // namespace

FolderChooser::FolderChooser(const QString& title, const QString& start, QWidget* parent) : QDialog(parent) {
    setWindowTitle(title);
    resize(560, 420);
    auto* layout = new QVBoxLayout(this);

    auto* pathRow = new QHBoxLayout;
    auto* label = new QLabel(tr("Path"), this);
    m_path = new QLineEdit(this);
    label->setBuddy(m_path);
    auto* up = new QToolButton(this);
    up->setIcon(style()->standardIcon(QStyle::SP_FileDialogToParent));
    auto* home = new QToolButton(this);
    home->setIcon(style()->standardIcon(QStyle::SP_DirHomeIcon));
    pathRow->addWidget(label);
    pathRow->addWidget(m_path, 1);
    pathRow->addWidget(up);
    pathRow->addWidget(home);
    layout->addLayout(pathRow);

    m_list = new QListWidget(this);
    m_list->setItemDelegate(new OwnDirectionDelegate(m_list));
    layout->addWidget(m_list, 1);

    // Return in the field presses OK, the default button; in the list it opens the folder.
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    m_list->installEventFilter(this);

    connect(buttons, &QDialogButtonBox::accepted, this, &FolderChooser::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(up, &QToolButton::clicked, this, [this] {
        const QString parentFolder = QFileInfo(m_folder).path();
        if (parentFolder != m_folder)
            showFolder(parentFolder, true);
    });
    connect(home, &QToolButton::clicked, this, [this] { showFolder(QDir::homePath(), true); });
    connect(m_list, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item)
            m_path->setText(QDir(m_folder).filePath(item->text()));
    });
    connect(m_list, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { showFolder(QDir(m_folder).filePath(item->text()), true); });

    const QString first = start.isEmpty() ? QDir::currentPath() : start;
    if (!showFolder(QDir(first).absolutePath(), false))
        showFolder(QDir::homePath(), false);
    m_path->setFocus();
}

bool FolderChooser::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (QListWidgetItem* item = m_list->currentItem())
                showFolder(QDir(m_folder).filePath(item->text()), true);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

QString FolderChooser::typedPath() const {
    QString text = m_path->text();
    if (text.isEmpty())
        return m_folder;
    if (text == u'~' || text.startsWith(QLatin1String("~/")))
        text = QDir::homePath() + text.mid(1);
    return withoutTrailingSlashes(QDir::cleanPath(QDir(m_folder).absoluteFilePath(text)));
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
    const std::string bytes = pathBytes(path);
    const PathCallLimit limit = pathCallLimit("list", bytes);
    TimedCall<FolderNames> call(limit.key, [bytes] { return listFolders(bytes); });
    const std::optional<FolderNames> listing = call.wait(limit.deadline);
    if (!listing || listing->error != 0) {
        if (warnUser)
            warn(!listing ? doesNotAnswer(path) : tr("Could not read %1").arg(isolatePath(path)));
        return false;
    }
    QStringList names;
    for (const std::string& name : listing->names)
        names.append(pathText(name));
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    std::sort(names.begin(), names.end(), collator);

    m_folder = path;
    m_list->clear();
    const QIcon icon = style()->standardIcon(QStyle::SP_DirIcon);
    for (const QString& name : names)
        new QListWidgetItem(icon, name, m_list);
    m_path->setText(path);
    return true;
}

void FolderChooser::warn(const QString& text) {
    showPlainWarning(this, windowTitle(), text);
}

QString FolderChooser::getFolder(QWidget* parent, const QString& title, const QString& start) {
    FolderChooser chooser(title, start, parent);
    return chooser.exec() == QDialog::Accepted ? chooser.selectedFolder() : QString();
}
