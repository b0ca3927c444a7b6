#include "ui/dialogs/SelectMultipleDialog.h"

#include "app/DirectionalText.h"
#include "ui/views/DirectionalText.h"
#include "ui/views/ItemRoles.h"

#include "app/AppSettings.h"
#include "app/PathText.h"
#include "app/PlainText.h"
#include "core/scan/MountWatch.h"
#include "core/scan/RootPlace.h"
#include "core/scan/RootProbe.h"
#include "ui/dialogs/FolderChooser.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <optional>

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kCustomRole = Qt::UserRole + 1;

QString withSlash(const QString& path) {
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

// One root as examined: its place, or why it cannot be reached (0 with no place: it could be
// opened but not placed, and is compared by text).
struct RootAnswer {
    std::optional<svl::RootPlace> place;
    int error = 0;
};

// Examines `path` on a watched task: it is opened one name at a time, each step charged to
// the mount it asks (a link to where it leads), and placed by the path its descriptor has,
// inside a watch on the mount that holds it.
RootAnswer examineRoot(const std::string& path, const std::vector<svl::MountEntry>& mounts) {
    int fd = svl::openWatched(path, true);
    if (fd >= 0) {
        struct statx st {};
        const auto asked = svl::watchedCall(svl::mountOfDescriptor(fd),
                                            [&] { return ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &st); });
        if (!asked && errno == svl::kNoAnswerErrno) {
            ::close(fd);
            return {std::nullopt, svl::kNoAnswerErrno};
        }
        if (!asked || *asked != 0 || !S_ISDIR(st.stx_mode)) {
            // A link is followed only to a folder, as the scan follows it.
            ::close(fd);
            fd = -1;
        }
    } else if (errno == svl::kNoAnswerErrno) {
        return {std::nullopt, errno};
    }
    if (fd < 0)
        fd = svl::openWatched(path, false);
    if (fd < 0)
        return {std::nullopt, errno};
    std::string canonical(PATH_MAX, '\0');
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), canonical.data(), canonical.size());
    canonical.resize(n > 0 && size_t(n) < canonical.size() ? size_t(n) : 0);
    const svl::MountKey mount = svl::mountOfDescriptor(fd);
    ::close(fd);
    if (canonical.empty())
        return {};
    // Links are resolved already, so the place is asked of the object's own mount.
    const auto place = svl::watchedCall(mount, [&] { return svl::examineRootPlace(canonical, mounts); });
    if (!place)
        return {std::nullopt, svl::kNoAnswerErrno};
    return {*place, 0};
}

QString reachText(int error) {
    switch (svl::reachOfError(error)) {
    case svl::RootReach::Missing:
        return SelectMultipleDialog::tr("does not exist");
    case svl::RootReach::Denied:
        return SelectMultipleDialog::tr("permission denied");
    default:
        return SelectMultipleDialog::tr("does not answer");
    }
}

// The finding over every root's answer (nothing: its task did not answer).
SelectMultipleDialog::Nesting nestingOf(const QStringList& paths, const std::vector<std::optional<RootAnswer>>& answers) {
    SelectMultipleDialog::Nesting out;
    std::vector<bool> compared(size_t(paths.size()), false);
    for (qsizetype i = 0; i < paths.size(); ++i) {
        const std::optional<RootAnswer>& answer = answers[size_t(i)];
        if (!answer || answer->error != 0)
            out.unreached.append({paths[i], reachText(answer ? answer->error : svl::kNoAnswerErrno)});
        else
            compared[size_t(i)] = true;
    }
    // Roots that cannot be placed are compared by name, as absolute paths without "." and
    // ".." steps, so "a" and "./a/b" meet too.
    QStringList names;
    for (const QString& path : paths)
        names.append(withSlash(QDir::cleanPath(QDir::current().absoluteFilePath(path))));
    for (qsizetype i = 0; i < paths.size() && out.conflict.isEmpty(); ++i) {
        for (qsizetype j = 0; j < paths.size(); ++j) {
            if (i == j || !compared[size_t(i)] || !compared[size_t(j)])
                continue;
            const std::optional<svl::RootPlace>& inner = answers[size_t(i)]->place;
            const std::optional<svl::RootPlace>& outer = answers[size_t(j)]->place;
            const bool nested = inner && outer ? svl::placeWithin(*inner, *outer) : names[i].startsWith(names[j]);
            if (nested) {
                out.conflict = SelectMultipleDialog::tr("\"%1\"\nis included within\n\"%2\"\n\nThey cannot both be selected.")
                                   .arg(isolatePath(paths[i]), isolatePath(paths[j]));
                break;
            }
        }
    }
    return out;
}

std::function<RootAnswer()> examination(const QString& path,
                                        const std::shared_ptr<const std::vector<svl::MountEntry>>& mounts) {
    return [bytes = pathBytes(path), mounts] { return examineRoot(bytes, *mounts); };
}

}  // namespace

struct SelectMultipleDialog::NestingCheck {
    QStringList paths;
    std::vector<std::unique_ptr<WatchedAnswer<RootAnswer>>> asked;
    std::vector<std::optional<RootAnswer>> answers;
    size_t waiting = 0;
};

std::function<QString(QWidget*)>& SelectMultipleDialog::folderChooser() {
    static std::function<QString(QWidget*)> chooser = [](QWidget* parent) {
        // The chooser itself lists the home folder when this one cannot be listed.
        return FolderChooser::getFolder(parent, SelectMultipleDialog::tr("Add folder"), QDir::currentPath());
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
    m_okButton = buttons->button(QDialogButtonBox::Ok);

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

SelectMultipleDialog::Nesting SelectMultipleDialog::checkNesting(const QStringList& paths) {
    const auto mounts = std::make_shared<const std::vector<svl::MountEntry>>(svl::readMountInfo());
    // All started before any is waited for: a root that does not answer costs its limit once.
    std::vector<std::unique_ptr<svl::WatchedTask<RootAnswer>>> tasks;
    for (const QString& path : paths)
        tasks.push_back(std::make_unique<svl::WatchedTask<RootAnswer>>(examination(path, mounts)));
    std::vector<std::optional<RootAnswer>> answers;
    for (const auto& task : tasks)
        answers.push_back(task->wait());
    return nestingOf(paths, answers);
}

std::shared_ptr<SelectMultipleDialog::NestingCheck>
SelectMultipleDialog::checkNestingLater(const QStringList& paths, std::function<void(const Nesting&)> answered) {
    const auto mounts = std::make_shared<const std::vector<svl::MountEntry>>(svl::readMountInfo());
    auto check = std::make_shared<NestingCheck>();
    check->paths = paths;
    check->answers.resize(size_t(paths.size()));
    check->waiting = size_t(paths.size());
    if (paths.isEmpty()) {
        const std::weak_ptr<NestingCheck> alive = check;
        QMetaObject::invokeMethod(
            qApp,
            [alive, answered] {
                if (alive.lock())  // not dropped meanwhile
                    answered(Nesting());
            },
            Qt::QueuedConnection);
        return check;
    }
    NestingCheck* raw = check.get();  // each answer comes only while its WatchedAnswer, kept by check, lives
    for (qsizetype i = 0; i < paths.size(); ++i) {
        check->asked.push_back(std::make_unique<WatchedAnswer<RootAnswer>>());
        check->asked.back()->ask(examination(paths[i], mounts), [raw, i, answered](std::optional<RootAnswer> answer) {
            raw->answers[size_t(i)] = std::move(answer);
            if (--raw->waiting == 0)
                answered(nestingOf(raw->paths, raw->answers));
        });
    }
    return check;
}

QString SelectMultipleDialog::nestingConflict(const QStringList& paths) {
    return checkNesting(paths).conflict;
}

bool SelectMultipleDialog::refuseNesting(QWidget* parent, const QStringList& paths) {
    QEventLoop loop;
    std::optional<Nesting> found;
    const std::shared_ptr<NestingCheck> check = checkNestingLater(paths, [&](const Nesting& nesting) {
        found = nesting;
        loop.quit();
    });
    if (!found)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (found->conflict.isEmpty())
        return false;
    showPlainWarning(parent, tr("Cannot select these items"), found->conflict);
    return true;
}

void SelectMultipleDialog::tryAccept() {
    if (m_check)
        return;  // OK waits for the check it started
    m_okButton->setEnabled(false);
    m_check = checkNestingLater(selectedPaths(), [this](const Nesting& nesting) {
        m_check.reset();
        m_okButton->setEnabled(true);
        if (!nesting.conflict.isEmpty())
            showPlainWarning(this, tr("Cannot select these items"), nesting.conflict);
        else
            accept();
    });
}

void SelectMultipleDialog::done(int result) {
    m_check.reset();
    m_okButton->setEnabled(true);
    QDialog::done(result);
}
