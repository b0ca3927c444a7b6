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

QString signatureOf(const std::vector<svl::MountEntry>& table) {
    QStringList points;
    for (const svl::MountEntry& entry : table)
        points.append(qs(entry.mountPoint));
    return points.join(QLatin1Char('\n'));
}

}  // namespace

QList<QPair<QString, QString>> HeaderPanel::selectableSources() {
    // A volume whose size is not in yet is offered; one the mount watch already gave up on
    // answers at once.
    SourceProbe probe(nullptr, {});
    probe.waitBriefly(kAnswerGrace);
    QList<QPair<QString, QString>> sources;
    for (const VolumeRecord& volume : probe.volumes())
        sources.append({volumeItemText(volume), volume.rootPath});
    for (const svl::SmbMountInfo& share : probe.shares())
        sources.append({smbItemText(share), qs(share.mountPoint)});
    return sources;
}

void HeaderPanel::rebuildSources(const QString& selection) {
    // The list is filled at once from the mount table and what is known of each volume, and
    // again once every volume answered (or was given up), keeping the choice made meanwhile.
    auto probe = std::make_shared<SourceProbe>(this, [this] { onSourcesAnswered(); });
    m_sourceProbe = probe;
    m_sourceTable = probe->table();
    m_mountSignature = signatureOf(m_sourceTable);
    if (probe->waitBriefly(kAnswerGrace))
        takeSourceAnswers();
    fillSources(selection);
}

void HeaderPanel::onSourcesAnswered() {
    if (!m_sourceProbe || !m_sourceProbe->settled())
        return;
    takeSourceAnswers();
    // Unchanged items are left alone: an open drop-down stays open.
    if (sourceItems() != m_shownSources) {
        const QString data = currentData();
        fillSources(data == QLatin1String(kSelectMftKey) || data == QLatin1String(kSelectCsvKey) ? data
                                                                                                : selectedPath());
    }
}

void HeaderPanel::takeSourceAnswers() {
    m_shownShares = m_sourceProbe->shares();
    m_knownUsage = m_sourceProbe->answers();
    m_sourceProbe.reset();
}

bool HeaderPanel::sourcesPending() const {
    return m_sourceProbe != nullptr;
}

QList<QPair<QString, QString>> HeaderPanel::sourceItems() const {
    QList<VolumeRecord> volumes;
    if (m_sourceProbe) {
        volumes = m_sourceProbe->volumes(m_knownUsage);
    } else {
        volumes = selectVolumes(
            m_sourceTable,
            [this](const svl::MountEntry& entry) {
                const auto known = m_knownUsage.find(entry.mountPoint);
                return known != m_knownUsage.end() ? known->second : VolumeUsage();
            },
            [](const svl::MountEntry& entry) { return volumeSystem().deviceLabel(entry.source); });
    }
    QList<QPair<QString, QString>> items;
    for (const VolumeRecord& volume : volumes)
        items.append({volumeItemText(volume), volume.rootPath});
    for (const svl::SmbMountInfo& share : m_shownShares)
        items.append({smbItemText(share), qs(share.mountPoint)});
    return items;
}

void HeaderPanel::fillSources(const QString& selection) {
    m_shownSources = sourceItems();
    const QSignalBlocker blocker(m_combo);
    m_combo->clear();

    QStringList known;
    for (const auto& [text, path] : m_shownSources) {
        m_combo->addItem(text, path);
        known.append(path);
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
    // A new mount is seen in the table; a new gvfs share only by listing them again.
    if (signatureOf(volumeSystem().readMounts()) != m_mountSignature) {
        refreshSources();
        return;
    }
    if (m_sourceProbe || m_shareProbe)
        return;
    m_shareProbe = std::make_shared<SourceProbe>(this, [this] {
        const std::vector<svl::SmbMountInfo> shares = m_shareProbe->shares();
        m_shareProbe.reset();
        if (shares != m_shownShares)
            refreshSources();
    }, false);
}
