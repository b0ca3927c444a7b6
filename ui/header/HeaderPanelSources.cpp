// The source list of the header: volumes, gvfs shares, recent and custom folders and
// the special items, rebuilt from a fresh look at the mounts each time.
#include "ui/header/HeaderPanel.h"

#include "app/AppSettings.h"
#include "ui/header/VolumeCombo.h"

namespace {

constexpr int kMaxRecentFolders = 10;

QString qs(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

// One look at the mounts: the table, the offered volumes and the shares, all asked at
// once so that a dead network mount and a dead gvfs cost one time limit together.
struct SourceSnapshot {
    std::vector<svl::MountEntry> table;
    QList<VolumeRecord> volumes;
    std::vector<svl::SmbMountInfo> shares;
};

SourceSnapshot takeSnapshot(bool withVolumes) {
    SourceSnapshot snapshot;
    const auto start = std::chrono::steady_clock::now();
    TimedCall<std::vector<svl::SmbMountInfo>> shares("gvfs-shares", volumeSystem().listShares);
    snapshot.table = volumeSystem().readMounts();
    if (withVolumes)
        snapshot.volumes = listVolumes(snapshot.table);
    snapshot.shares = shares.wait(start + kNetworkAnswerLimit).value_or(std::vector<svl::SmbMountInfo>());
    return snapshot;
}

QString signatureOf(const SourceSnapshot& snapshot) {
    QStringList points;
    for (const svl::MountEntry& entry : snapshot.table)
        points.append(qs(entry.mountPoint));
    for (const svl::SmbMountInfo& share : snapshot.shares)
        points.append(qs(share.mountPoint));
    return points.join(QLatin1Char('\n'));
}

}  // namespace

QList<VolumeRecord> HeaderPanel::mountedVolumes() {
    return listVolumes(volumeSystem().readMounts());
}

QString HeaderPanel::currentMountSignature() {
    return signatureOf(takeSnapshot(false));
}

QList<QPair<QString, QString>> HeaderPanel::selectableSources() {
    const SourceSnapshot snapshot = takeSnapshot(true);
    QList<QPair<QString, QString>> sources;
    for (const VolumeRecord& volume : snapshot.volumes)
        sources.append({volumeItemText(volume), volume.rootPath});
    for (const svl::SmbMountInfo& share : snapshot.shares)
        sources.append({smbItemText(share), qs(share.mountPoint)});
    return sources;
}

void HeaderPanel::rebuildSources(const QString& selection) {
    const SourceSnapshot snapshot = takeSnapshot(true);
    const QSignalBlocker blocker(m_combo);
    m_combo->clear();

    QStringList known;
    for (const VolumeRecord& volume : snapshot.volumes) {
        m_combo->addItem(volumeItemText(volume), volume.rootPath);
        known.append(volume.rootPath);
    }
    m_mountSignature = signatureOf(snapshot);
    for (const svl::SmbMountInfo& share : snapshot.shares) {
        m_combo->addItem(smbItemText(share), qs(share.mountPoint));
        known.append(qs(share.mountPoint));
    }

    const QSettings* store = AppSettings::instance()->settings();
    QStringList folders = store->value(QStringLiteral("customFolders")).toStringList();
    for (const QString& folder : AppSettings::instance()->pathList("selectMultipleCustomFolders")) {
        if (!folders.contains(folder))
            folders.append(folder);
    }
    folders.removeIf([&](const QString& folder) { return known.contains(folder); });
    if (!folders.isEmpty()) {
        m_combo->insertSeparator(m_combo->count());
        for (const QString& folder : folders)
            m_combo->addItem(folder, folder);
    }
    m_combo->insertSeparator(m_combo->count());
    m_combo->addItem(tr("<Select Folder...>"), QLatin1String(kSelectFolderKey));
    m_combo->addItem(tr("<Select Multiple...>"), QLatin1String(kSelectMultipleKey));
    m_combo->addItem(tr("<MFT file>"), QLatin1String(kSelectMftKey));
    m_combo->addItem(tr("<CSV file>"), QLatin1String(kSelectCsvKey));

    int index = -1;
    if (!selection.isEmpty()) {
        index = !m_chosenFolder.isEmpty() && m_chosenFolder == selection ? findData(QLatin1String(kSelectFolderKey))
                                                                         : findData(selection);
    }
    if (index < 0 && !m_importedFile.isEmpty())
        index = findData(QLatin1String(m_importedIsMft ? kSelectMftKey : kSelectCsvKey));
    if (index < 0 && !m_multipleRoots.isEmpty())
        index = findData(QLatin1String(kSelectMultipleKey));
    if (index < 0)
        index = std::max(findData(QStringLiteral("/")), 0);
    m_combo->setCurrentIndex(index);
    m_lastRealIndex = m_combo->currentIndex();
}

void HeaderPanel::refreshSources() {
    const QString data = currentData();
    if (data == QLatin1String(kSelectMftKey) || data == QLatin1String(kSelectCsvKey))
        rebuildSources(data);
    else
        rebuildSources(selectedPath());
}

void HeaderPanel::selectPath(const QString& path) {
    m_chosenFolder.clear();
    if (findData(path) < 0) {
        QStringList recent = AppSettings::instance()->settings()->value(QStringLiteral("customFolders")).toStringList();
        recent.removeAll(path);
        recent.prepend(path);
        while (recent.size() > kMaxRecentFolders)
            recent.removeLast();
        AppSettings::instance()->setValue("customFolders", recent);
    }
    rebuildSources(path);
}

void HeaderPanel::setChosenFolder(const QString& path) {
    m_chosenFolder = path;
    rebuildSources(path);
}

void HeaderPanel::onPopupAboutToOpen() {
    if (currentMountSignature() != m_mountSignature)
        refreshSources();
}
