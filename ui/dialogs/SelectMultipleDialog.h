// Ticks several volumes and folders for one scan under a virtual root: the sources the
// header offers, then the user's own folders (kept in `selectMultipleCustomFolders`,
// stored at once on every change). OK refuses a selection in which one ticked path is or lies
// inside another on the same file system; the roots are examined off this thread, all at
// once, so OK never freezes the window. GUI thread.
#pragma once

#include "core/scan/RootPlace.h"
#include "ui/dialogs/WatchedAnswer.h"

#include <QDialog>
#include <QList>
#include <QPair>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QListWidget;
class QListWidgetItem;
class QPushButton;

class SelectMultipleDialog : public QDialog {
    Q_OBJECT

public:
    SelectMultipleDialog(const QList<QPair<QString, QString>>& sources, const QStringList& ticked,
                         QWidget* parent = nullptr);

    // Paths of the ticked rows, in list order.
    QStringList selectedPaths() const;

    // What the nesting check found.
    struct Nesting {
        // The first conflict as the text to show, or empty: a path that is the same folder as
        // another or lies inside it on the same file system, through links and bind mounts
        // too (by what the paths are, not their text).
        QString conflict;
        // The paths that could not be reached, with why ("does not exist", "permission
        // denied", "does not answer"): they are compared with nothing, as the scan names them
        // and walks the rest.
        QList<QPair<QString, QString>> unreached;
    };
    // Each path is examined on a watched task of its own, all at once, so a mount that does not
    // answer costs only its own roots and only its limit. A path that can be opened but not
    // placed in the mount table is compared by text (absolute, without "." or ".." steps).
    // Waits for every answer: not for the GUI thread.
    static Nesting checkNesting(const QStringList& paths);
    // The same, answered to `answered` on the GUI thread once every path has answered; the
    // returned handle keeps the examinations, and dropping it drops the answer.
    struct NestingCheck;
    static std::shared_ptr<NestingCheck> checkNestingLater(const QStringList& paths,
                                                           std::function<void(const Nesting&)> answered);
    // checkNesting(paths).conflict. Every road that scans several roots at once refuses what this finds.
    static QString nestingConflict(const QStringList& paths);
    // Shows the conflict of `paths` in a warning over `parent` and returns true; false,
    // showing nothing, when there is none. The window keeps painting while the roots are
    // examined (user input waits).
    static bool refuseNesting(QWidget* parent, const QStringList& paths);

    // Asks for a folder to add; empty when cancelled. Replaceable for tests.
    static std::function<QString(QWidget* parent)>& folderChooser();

private:
    void addRow(const QString& label, const QString& path, bool custom, bool checked);
    void onItemClicked(QListWidgetItem* item);
    void setTick(QListWidgetItem* item, Qt::CheckState state);
    bool eventFilter(QObject* watched, QEvent* event) override;
    void addFolder();
    void removeFolder();
    void storeCustomFolders();
    void tryAccept();
    void done(int result) override;

    QListWidget* m_list = nullptr;
    QPushButton* m_removeButton = nullptr;
    // The row whose tick the list itself flipped since the last press (its check indicator).
    QListWidgetItem* m_tickedByList = nullptr;
    bool m_ticking = false;
    QPushButton* m_okButton = nullptr;
    std::shared_ptr<NestingCheck> m_check;  // OK's check, while it runs
};
