#include "ui/dialogs/FolderChooser.h"

#include "app/AppSettings.h"
#include "app/DirectionalText.h"
#include "app/PathText.h"
#include "app/PlainText.h"
#include "core/scan/MountWatch.h"
#include "ui/header/HeaderPanel.h"
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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace {

constexpr char kShowHiddenKey[] = "folderChooserShowHidden";

// 0 when `path` is a folder, else the errno of the question that failed (ENOTDIR for another
// object; svl::kNoAnswerErrno when its mount did not answer). On a watched task.
int folderError(const std::string& path) {
    const int fd = svl::openWatched(path, true);
    if (fd < 0)
        return errno;
    struct statx st {};
    const auto asked =
        svl::watchedCall(svl::mountOfDescriptor(fd), [&] { return ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &st); });
    const int error = errno;
    ::close(fd);
    if (!asked || *asked != 0)
        return error;
    return S_ISDIR(st.stx_mode) ? 0 : ENOTDIR;
}

QString doesNotAnswer(const QString& path) {
    return FolderChooser::tr("\"%1\" does not answer: the drive or network share it is on may have stopped responding.")
        .arg(isolatePath(path));
}

QString couldNotRead(const QString& path) {
    return FolderChooser::tr("Could not read %1").arg(isolatePath(path));
}

QString failureText(int error, const QString& path) {
    return error == svl::kNoAnswerErrno ? doesNotAnswer(path) : couldNotRead(path);
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
    // "Listing…" while entries still come; why a listing ended early.
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("listingStatus"));
    m_status->setTextFormat(Qt::PlainText);
    layout->addWidget(m_status);
    m_collator.setCaseSensitivity(Qt::CaseInsensitive);
    m_collator.setNumericMode(true);

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
    // Named at once, listed when it answers; the home folder when it cannot be listed.
    m_folder = withoutTrailingSlashes(QDir::cleanPath(QDir(first).absolutePath()));
    m_path->setText(m_folder);
    showFolder(m_folder, false, QString(), true);
    m_path->setFocus();
}

FolderChooser::~FolderChooser() = default;

bool FolderChooser::isListing() const {
    return m_listing && !m_listing->finished();
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
    showFolder(m_folder, true, m_path->text());
}

void FolderChooser::goUp() {
    const QString parentFolder = QFileInfo(m_folder).path();
    if (!m_folder.isEmpty() && parentFolder != m_folder)
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
    m_completedHead = head;
    m_completions->setStringList({});
    auto entries = std::make_shared<QStringList>();
    FolderListing::Handlers handlers;
    handlers.found = [this, head, entries](const QStringList& names) {
        for (const QString& name : names) {
            const QString entry = head + name;
            entries->insert(std::lower_bound(entries->begin(), entries->end(), entry, m_collator), entry);
        }
        m_completions->setStringList(*entries);
        // Offered as they come, for the text typed by now.
        QCompleter* completer = m_path->completer();
        completer->setCompletionPrefix(m_path->text());
        if (m_path->hasFocus() && m_path->text().startsWith(head))
            completer->complete();
    };
    m_completing = std::make_unique<FolderListing>(resolveTyped(head, m_folder), showsHidden(), std::move(handlers));
}

void FolderChooser::accept() {
    const QString path = typedPath();
    m_check.ask([bytes = pathBytes(path)] { return folderError(bytes); },
                [this, path](std::optional<int> error) {
                    if (error && *error == 0) {
                        m_chosen = path;
                        QDialog::accept();
                    } else {
                        warn(failureText(error.value_or(svl::kNoAnswerErrno), path));
                    }
                });
}

void FolderChooser::done(int result) {
    m_check.drop();  // an answer after Cancel chooses nothing
    QDialog::done(result);
}

void FolderChooser::showFolder(const QString& folder, bool warnUser, const QString& typed, bool orHome) {
    const QString path = withoutTrailingSlashes(QDir::cleanPath(folder));
    auto opened = std::make_shared<bool>(false);
    FolderListing::Handlers handlers;
    handlers.opened = [this, path, typed, opened] {
        *opened = true;
        m_folder = path;
        m_completedHead = QString();  // a relative path now lies elsewhere
        m_completing.reset();
        m_list->clear();
        m_names.clear();
        m_path->setText(typed.isNull() ? path : typed);
        m_places->clearSelection();
        for (int i = 0; i < m_places->count(); ++i) {
            if (m_places->item(i)->data(Qt::UserRole).toString() == path)
                m_places->item(i)->setSelected(true);
        }
    };
    handlers.found = [this](const QStringList& names) {
        for (const QString& name : names)
            insertFolder(name, true);
    };
    handlers.unanswered = [this](const QString& name) { insertFolder(name, false); };
    handlers.ended = [this, path, warnUser, orHome, opened](int error) {
        if (error == 0) {
            m_status->clear();
            return;
        }
        if (!*opened) {
            // The list stays as it was.
            m_listing.reset();
            m_status->clear();
            if (orHome && path != QDir::homePath())
                showFolder(QDir::homePath(), false);
        } else {
            m_status->setText(failureText(error, path));  // what is shown is not all there is
        }
        if (warnUser)
            warn(failureText(error, path));
    };
    m_status->clear();  // the list itself shows the entries as they come
    m_listing = std::make_unique<FolderListing>(path, showsHidden(), std::move(handlers));
}

void FolderChooser::insertFolder(const QString& name, bool answered) {
    const auto at = std::lower_bound(m_names.begin(), m_names.end(), name, m_collator);
    const int row = int(at - m_names.begin());
    m_names.insert(at, name);
    if (m_folderIcon.isNull()) {
        m_folderIcon = style()->standardIcon(QStyle::SP_DirIcon);
        m_unansweredIcon = style()->standardIcon(QStyle::SP_DirLinkIcon);
    }
    auto* item = new QListWidgetItem(answered ? m_folderIcon : m_unansweredIcon, name);
    if (!answered)  // a link whose target did not answer: it may be a folder
        item->setToolTip(plainToolTip(doesNotAnswer(QDir(m_folder).filePath(name))));
    m_list->insertItem(row, item);
}

void FolderChooser::warn(const QString& text) {
    showPlainWarning(this, windowTitle(), text);
}

QString FolderChooser::getFolder(QWidget* parent, const QString& title, const QString& start) {
    FolderChooser chooser(title, start, parent);
    return chooser.exec() == QDialog::Accepted ? chooser.selectedFolder() : QString();
}
