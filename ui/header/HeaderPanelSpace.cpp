// The header's selection row and the total, used and free space of its volume. Sizes
// come from VolumeProbe on watched tasks, all roots at once, and are shown as they come
// back: a volume that does not answer is shown without sizes.
#include "ui/header/HeaderPanel.h"

#include "app/DirectionalText.h"
#include "app/PathText.h"
#include "app/PlainText.h"
#include "app/ValueFormat.h"
#include "core/smb/SmbMount.h"
#include "ui/header/ElidingLabel.h"
#include "ui/header/VolumeCombo.h"

#include <QLabel>

#include <algorithm>

namespace {

// Many huge roots stop at the largest count instead of wrapping to a small number.
uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

bool hasSize(const VolumeUsage& usage) {
    return usage.state == VolumeUsage::State::Answered && usage.total > 0;
}

}  // namespace

void HeaderPanel::clearValueLabels() {
    for (QLabel* label : {m_totalValue, m_usedValue, m_usedPercent, m_freeValue, m_freePercent})
        label->clear();
}

void HeaderPanel::fillValueLabels() {
    const uint64_t used = m_spaceTotal - std::min(m_spaceFree, m_spaceTotal);
    m_totalValue->setText(formatSize(m_spaceTotal));
    m_usedValue->setText(formatSize(used));
    m_usedPercent->setText(percentText(used, m_spaceTotal));
    m_freeValue->setText(formatSize(m_spaceFree));
    m_freePercent->setText(percentText(m_spaceFree, m_spaceTotal));
}

void HeaderPanel::updateSpaceLabels(const QString& path) {
    const std::vector<svl::MountEntry> table = volumeSystem().readMounts();
    // Answers still awaited belong to the selection before.
    m_spaceQuestions.clear();
    m_spaceTotal = 0;
    m_spaceFree = 0;
    m_selectionLabel->setHoldsPath(false);
    m_selectionLabel->setToolTip(QString());

    if (!m_multipleRoots.isEmpty()) {
        m_selectionLabel->setText(tr("<Multiple>"));
        QStringList bracketed;
        for (const QString& root : m_multipleRoots)
            bracketed.append(QLatin1Char('[') + isolatePath(root) + QLatin1Char(']'));
        m_selectionDetail->setHoldsPath(false);
        m_selectionDetail->setText(QStringLiteral("  ") + bracketed.join(QLatin1Char(' ')));
        m_selectionDetail->setToolTip(plainToolTip(m_multipleRoots.join(QLatin1Char('\n'))));
        askSpace(table, m_multipleRoots);
        return;
    }

    if (!m_importedFile.isEmpty()) {
        m_selectionLabel->setText(m_importedIsMft ? tr("<MFT file>") : tr("<CSV file>"));
        m_selectionDetail->setHoldsPath(true);
        m_selectionDetail->setText(QStringLiteral("  ") + m_importedFile);
        m_selectionDetail->setToolTip(plainToolTip(m_importedFile));
        if (m_importedSizesKnown) {
            m_spaceTotal = m_importedTotal;
            m_spaceFree = m_importedFree;
        }
        if (m_spaceTotal != 0)
            fillValueLabels();
        else
            clearValueLabels();
        return;
    }

    if (isFolderSelection() || currentData().isEmpty()) {
        m_selectionLabel->setText(tr("<Folder>"));
        m_selectionDetail->setHoldsPath(true);
        m_selectionDetail->setText(QStringLiteral("  ") + path);
        m_selectionDetail->setToolTip(QString());
    } else {
        m_selectionLabel->clear();
        m_selectionDetail->clear();
        m_selectionDetail->setHoldsPath(false);
        m_selectionDetail->setToolTip(QString());
        if (const auto share = svl::gvfsSmbMountFor(table, pathBytes(path))) {
            m_selectionLabel->setText(smbItemText(*share));
        } else {
            m_selectionLabel->setHoldsPath(true);
            m_selectionLabel->setText(path);
            m_selectionLabel->setToolTip(plainToolTip(path));
            VolumeRecord volume;
            volume.rootPath = path;
            if (const svl::MountEntry* mount = svl::mountContaining(table, pathBytes(path))) {
                volume.device = QString::fromLocal8Bit(mount->source.c_str());
                volume.name = volumeSystem().deviceLabel(mount->source);
            }
            const QString label = volumeLabel(volume);
            m_selectionDetail->setText(label.isEmpty() ? QString() : QStringLiteral("  ") + label);
            m_selectionDetail->setToolTip(plainToolTip(label));
        }
    }
    askSpace(table, {path});
}

void HeaderPanel::askSpace(const std::vector<svl::MountEntry>& table, const QStringList& paths) {
    clearValueLabels();
    const VolumeSystem system = volumeSystem();
    for (const QString& path : paths)
        m_spaceQuestions.push_back(askOffGui<VolumeUsage>(
            this, [system, table, path = pathBytes(path)] { return watchedPathUsage(system, table, path); },
            [this] { onSpaceAnswered(); }));
    const auto until = std::chrono::steady_clock::now() + kAnswerGrace;
    for (const auto& question : m_spaceQuestions)
        question->waitUntil(until);
    onSpaceAnswered();
}

void HeaderPanel::onSpaceAnswered() {
    for (const auto& question : m_spaceQuestions)
        if (!question->answered())
            return;
    if (m_spaceQuestions.empty())
        return;
    // Sizes of all roots together, or none when one of them has none.
    uint64_t total = 0;
    uint64_t free = 0;
    bool all = true;
    for (const auto& question : m_spaceQuestions) {
        const VolumeUsage usage = question->answer().value_or(VolumeUsage());
        all = all && hasSize(usage);
        total = saturatingAdd(total, usage.total);
        free = saturatingAdd(free, usage.available);
    }
    m_spaceQuestions.clear();
    if (all) {
        m_spaceTotal = total;
        m_spaceFree = free;
        fillValueLabels();
    }
    emit spaceAnswered();
}
