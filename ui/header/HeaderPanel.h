// The strip across the top of the main window: the source combo with the scan button,
// status line, access-denied button, filter toggle and progress bar on the left; the
// selection and its volume's total, used and free space in the middle; icon, title,
// web link and donate button on the right. It decides nothing about scanning: it turns
// the user's actions into signals and shows the state the main window gives it.
// Volumes are listed and sized through VolumeProbe on watched tasks whose answers come
// back to the GUI thread: a dead mount never holds it. GUI thread only.
#pragma once

#include "ui/header/SourceList.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class ElidingLabel;
class FunnelButton;
class QLabel;
class QProgressBar;
class QToolButton;
class ScanButton;
class VolumeCombo;

class HeaderPanel : public QWidget {
    Q_OBJECT

public:
    // Data of the four special items of the source combo.
    static constexpr const char* kSelectFolderKey = "__select_folder__";
    static constexpr const char* kSelectMultipleKey = "__select_multiple__";
    static constexpr const char* kSelectMftKey = "__select_mft__";
    static constexpr const char* kSelectCsvKey = "__select_csv__";

    explicit HeaderPanel(QWidget* parent = nullptr);

    // The current item's path; the chosen folder for "<Select Folder...>"; empty for
    // the other special items and for "<Select Folder...>" without a chosen folder.
    QString selectedPath() const;
    bool isSelectFolderItem() const;
    bool isCsvItem() const;
    bool isMftItem() const;
    // The selection is a folder (chosen, recent or custom) rather than a volume or share.
    bool isFolderSelection() const;
    static bool isSpecialItemData(const QString& data);

    void setStatusText(const QString& text);
    void setAccessDeniedVisible(bool visible);
    // Below 0: the busy indicator; otherwise 0..100.
    void setProgress(int value);
    void setBusy(bool busy);
    bool isBusy() const { return m_busy; }
    // Sets the funnel without emitting filterPanelToggled.
    void setFilterPanelChecked(bool checked);
    void setElevated(bool elevated);

    void clearImportedSource();
    void clearMultipleSources();
    void showImportedFile(const QString& path, bool sizesKnown, uint64_t total, uint64_t free, bool isMft);
    void showMultiple(const QStringList& roots);
    const QStringList& multipleRoots() const { return m_multipleRoots; }
    // The CSV/TSV or MFT file shown as the source; empty when none is.
    const QString& importedFile() const { return m_importedFile; }
    bool importedIsMft() const { return m_importedIsMft; }

    // Fills the selection row now and the total, used and free space of the source's volume
    // once it answered (spaceAnswered); a volume that does not answer is shown without sizes.
    void updateSpaceLabels(const QString& path);
    // Whether a volume's size is still being asked.
    bool spacePending() const { return !m_spaceQuestions.empty(); }
    uint64_t spaceTotal() const { return m_spaceTotal; }
    uint64_t spaceFree() const { return m_spaceFree; }

    // Rebuilds the source list keeping the current choice: filled at once from the mount table,
    // and again once every volume answered or was given up.
    void refreshSources();
    bool sourcesPending() const;
    // Clears and refills the list, then makes `selection` (a path or special key) current.
    void rebuildSources(const QString& selection);
    void setChosenFolder(const QString& path);
    // Selects the path's item, adding the path to the recent folders when no item has it.
    void selectPath(const QString& path);

    // (text, path) of every offered volume and share, for the several-folders dialog; a
    // volume whose size does not come at once is offered.
    static QList<QPair<QString, QString>> selectableSources();

    VolumeCombo* sourceCombo() const { return m_combo; }
    ScanButton* scanButton() const { return m_scanButton; }

signals:
    void scanRequested();
    void stopRequested();
    void selectFolderRequested();
    void selectMultipleRequested();
    void selectCsvRequested();
    void selectMftRequested();
    void selectionChanged(QString path);
    void filterPanelToggled(bool shown);
    void accessDeniedClicked();
    void scanAsAdminRequested();
    void scanAsNonAdminRequested();
    void donateRequested();
    // The space labels have the volume's answer.
    void spaceAnswered();

private:
    void fitWidths();
    void onScanButtonClicked();
    void onComboActivated(int index);
    void onPopupAboutToOpen();
    QString currentData() const;
    int findData(const QString& data) const;
    void clearValueLabels();
    void fillValueLabels();
    void fillSources(const QString& selection);
    QList<QPair<QString, QString>> sourceItems() const;
    void onSourcesAnswered();
    void takeSourceAnswers();
    void askSpace(const std::vector<svl::MountEntry>& table, const QStringList& paths);
    void onSpaceAnswered();

    VolumeCombo* m_combo = nullptr;
    ScanButton* m_scanButton = nullptr;
    QLabel* m_selectCaption = nullptr;
    ElidingLabel* m_statusLabel = nullptr;
    QToolButton* m_accessDeniedButton = nullptr;
    FunnelButton* m_funnel = nullptr;
    QProgressBar* m_progress = nullptr;
    ElidingLabel* m_selectionLabel = nullptr;
    ElidingLabel* m_selectionDetail = nullptr;
    QLabel* m_totalValue = nullptr;
    QLabel* m_usedValue = nullptr;
    QLabel* m_usedPercent = nullptr;
    QLabel* m_freeValue = nullptr;
    QLabel* m_freePercent = nullptr;

    bool m_busy = false;
    QString m_importedFile;
    bool m_importedIsMft = false;
    bool m_importedSizesKnown = false;
    uint64_t m_importedTotal = 0;
    uint64_t m_importedFree = 0;
    QString m_chosenFolder;
    QStringList m_multipleRoots;
    QString m_mountSignature;  // of the table the list was built from
    std::shared_ptr<SourceProbe> m_sourceProbe;  // the look whose answers are awaited
    std::shared_ptr<SourceProbe> m_shareProbe;   // the shares asked again as the drop-down opens
    std::vector<svl::MountEntry> m_sourceTable;
    std::map<std::string, VolumeUsage> m_knownUsage;  // the last answers, by mount point
    std::vector<svl::SmbMountInfo> m_shownShares;
    QList<QPair<QString, QString>> m_shownSources;  // (text, path) of the volumes and shares shown
    std::vector<std::shared_ptr<OffGuiQuestion<VolumeUsage>>> m_spaceQuestions;
    uint64_t m_spaceTotal = 0;
    uint64_t m_spaceFree = 0;
    int m_lastRealIndex = 0;
};
