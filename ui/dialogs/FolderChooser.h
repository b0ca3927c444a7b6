// The window's folder chooser: a few places to start from, the subfolders of one folder and a
// path field naming the folder to choose, which completes the typed path. Every question it
// asks a file system (a listing; whether a typed or picked path is a folder) runs on a watched
// task and is answered on this thread when it comes, so the window never waits on a mount: a
// slow folder is listed as its entries arrive, and only a mount that stops answering for its
// limit is reported as not answering, the chooser staying open. (The stock file dialog asks
// about a typed path on the calling thread and waits for its listing thread when it closes.)
// GUI thread.
#pragma once

#include "ui/dialogs/FolderListing.h"
#include "ui/dialogs/WatchedAnswer.h"

#include <QCollator>
#include <QDialog>
#include <QIcon>
#include <QString>
#include <QStringList>

#include <memory>

class QAction;
class QLabel;
class QLineEdit;
class QListWidget;
class QStringListModel;

class FolderChooser : public QDialog {
    Q_OBJECT

public:
    // Lists `start`, or the home folder when `start` cannot be listed.
    FolderChooser(const QString& title, const QString& start, QWidget* parent = nullptr);
    ~FolderChooser() override;

    // The folder listed (the start folder until its listing has answered).
    QString directory() const { return m_folder; }
    // A listing of the list's folder, its links included, has not ended yet.
    bool isListing() const;
    // OK's check of the chosen path has not answered yet.
    bool isChecking() const { return m_check.pending(); }
    // The folder chosen, once accepted.
    QString selectedFolder() const { return m_chosen; }
    // The field's path: absolute, "~" for the home folder, relative to the folder listed.
    QString typedPath() const;
    // Hidden folders are listed and completed (Ctrl+H; remembered between runs).
    bool showsHidden() const;

    // Chooses the field's path once it has answered as a folder (asked off this thread);
    // otherwise says why and stays open.
    void accept() override;
    void done(int result) override;

    // Runs a chooser over `parent`; the chosen folder, or empty when cancelled.
    static QString getFolder(QWidget* parent, const QString& title, const QString& start);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Lists `folder`: once it opens it replaces the list and the field shows it (or `typed`,
    // when not null), its entries following as they come. When it cannot be opened the list is
    // left as it was (said in a warning when `warn`), and the home folder is listed instead
    // when `orHome`. A listing that fails part-way keeps what it found and says why.
    void showFolder(const QString& folder, bool warn, const QString& typed = QString(), bool orHome = false);
    void insertFolder(const QString& name, bool answered);
    void goUp();
    // Return in the field: a folder other than the one listed is opened, the listed one chosen.
    void enterTypedPath();
    void setShowHidden(bool shown);
    // Offers the subfolders of the folder the typed text names up to its last "/".
    void updateCompletions(const QString& text);
    void fillPlaces();
    void warn(const QString& text);

    QLineEdit* m_path = nullptr;
    QListWidget* m_list = nullptr;
    QListWidget* m_places = nullptr;
    QAction* m_hiddenAction = nullptr;
    QLabel* m_status = nullptr;
    QStringListModel* m_completions = nullptr;
    QString m_completedHead;  // the typed text up to its last "/" that m_completions is for; null when none
    QString m_folder;
    QString m_chosen;
    QCollator m_collator;
    QStringList m_names;  // the list's rows, in order
    QIcon m_folderIcon, m_unansweredIcon;
    std::unique_ptr<FolderListing> m_listing;
    std::unique_ptr<FolderListing> m_completing;
    WatchedAnswer<int> m_check;
};
