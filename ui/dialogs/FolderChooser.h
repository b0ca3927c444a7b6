// The window's folder chooser: a few places to start from, the subfolders of one folder and a
// path field naming the folder to choose, which completes the typed path. Every question it
// asks a file system (a listing; whether a typed or picked path is a folder) runs on a thread
// of its own and is waited for at most the time limit of the mount that holds the path, so a
// mount whose server is gone never freezes the window: such a folder is reported as not
// answering and the chooser stays open. (The stock file dialog asks about a typed path on the
// calling thread and waits for its listing thread when it closes.) GUI thread.
#pragma once

#include <QDialog>
#include <QString>

class QAction;
class QLineEdit;
class QListWidget;
class QStringListModel;

class FolderChooser : public QDialog {
    Q_OBJECT

public:
    // Lists `start`, or the home folder when `start` cannot be listed in time.
    FolderChooser(const QString& title, const QString& start, QWidget* parent = nullptr);

    // The folder listed.
    QString directory() const { return m_folder; }
    // The folder chosen, once accepted.
    QString selectedFolder() const { return m_chosen; }
    // The field's path: absolute, "~" for the home folder, relative to the folder listed.
    QString typedPath() const;
    // Hidden folders are listed and completed (Ctrl+H; remembered between runs).
    bool showsHidden() const;

    // Chooses the field's path once it has answered as a folder; otherwise says why and stays open.
    void accept() override;

    // Runs a chooser over `parent`; the chosen folder, or empty when cancelled.
    static QString getFolder(QWidget* parent, const QString& title, const QString& start);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Lists `folder` and shows it in the field; false, the list left as it was, when the listing
    // fails or does not answer in time (said in a warning when `warn`).
    bool showFolder(const QString& folder, bool warn);
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
    QStringListModel* m_completions = nullptr;
    QString m_completedHead;  // the typed text up to its last "/" that m_completions holds; null when none
    QString m_folder;
    QString m_chosen;
};
