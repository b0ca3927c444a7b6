// Ticks several volumes and folders for one scan under a virtual root: the sources the
// header offers, then the user's own folders (kept in `selectMultipleCustomFolders`,
// stored at once on every change). OK refuses a selection in which one ticked path is or lies
// inside another on the same file system. GUI thread.
#pragma once

#include <QDialog>
#include <QList>
#include <QPair>
#include <QStringList>

#include <functional>

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

    // The first nesting conflict among `paths` as the text to show, or empty: a path that is
    // the same folder as another or lies inside it on the same file system, through links and
    // bind mounts too (by what the paths are, not their text). A path that cannot be examined
    // is compared by text instead (absolute, without "." or ".." steps, with trailing slashes).
    // Each path is examined within the probe's time limit, so a dead mount never holds the
    // caller beyond it. Every road that scans several roots at once refuses what this finds.
    static QString nestingConflict(const QStringList& paths);
    // Shows the conflict of `paths` in a warning over `parent` and returns true; false,
    // showing nothing, when there is none.
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

    QListWidget* m_list = nullptr;
    QPushButton* m_removeButton = nullptr;
    // The row whose tick the list itself flipped since the last press (its check indicator).
    QListWidgetItem* m_tickedByList = nullptr;
    bool m_ticking = false;
};
