#include "ui/header/HeaderPanel.h"

#include "app/AppSettings.h"
#include "app/PlainText.h"
#include "app/ProgramResources.h"
#include "ui/header/ElidingLabel.h"
#include "ui/header/FunnelButton.h"
#include "ui/header/RightHandGroup.h"
#include "ui/header/RuleFrame.h"
#include "ui/header/ScanButton.h"
#include "ui/header/VolumeCombo.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr char kProgressStyle[] =
    "QProgressBar{border:0;background:rgba(128,128,128,60);border-radius:3px;}"
    "QProgressBar::chunk{background:#006fff;border-radius:3px;}";

QLabel* captionLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

QLabel* valueLabel(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setObjectName(QLatin1String(name));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

}  // namespace

HeaderPanel::HeaderPanel(QWidget* parent) : QWidget(parent) {
    initProgramResources();
    auto* panelBox = new QHBoxLayout(this);
    panelBox->setContentsMargins(12, 8, 12, 13);
    panelBox->setSpacing(10);
    panelBox->setAlignment(Qt::AlignTop);

    // Left column: source, scan button, status, progress.
    auto* left = new QWidget(this);
    left->setFixedWidth(450);
    auto* leftBox = new QVBoxLayout(left);
    leftBox->setContentsMargins(0, 0, 0, 0);
    leftBox->setSpacing(0);

    auto* row1 = new QHBoxLayout;
    row1->setSpacing(12);
    m_selectCaption = captionLabel(tr("Select:"), left);
    m_selectCaption->setObjectName(QStringLiteral("selectCaption"));
    m_combo = new VolumeCombo(left);
    m_combo->setObjectName(QStringLiteral("sourceCombo"));
    m_combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_combo->setMaxVisibleItems(1000);
    m_combo->setFixedHeight(24);
    m_scanButton = new ScanButton(tr("Scan"), left);
    m_scanButton->setObjectName(QStringLiteral("scanButton"));
    m_scanButton->setDefault(true);
    m_scanButton->setFixedHeight(24);
    row1->addWidget(m_selectCaption);
    row1->addWidget(m_combo);
    row1->addWidget(m_scanButton, 1);
    fitWidths();
    leftBox->addLayout(row1);
    leftBox->addSpacing(8);

    auto* row2 = new QHBoxLayout;
    row2->setContentsMargins(0, 0, 0, 0);
    // Shortened in the middle, whole in its tooltip: the names at its end stay readable.
    m_statusLabel = new ElidingLabel(left);
    m_statusLabel->setForegroundRole(QPalette::PlaceholderText);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_accessDeniedButton = new QToolButton(left);
    m_accessDeniedButton->setObjectName(QStringLiteral("accessDeniedButton"));
    m_funnel = new FunnelButton(left);
    m_funnel->setObjectName(QStringLiteral("funnelButton"));
    row2->addWidget(m_statusLabel, 1);
    row2->addWidget(m_accessDeniedButton);
    row2->addWidget(m_funnel);
    leftBox->addLayout(row2);
    leftBox->addSpacing(4);

    m_progress = new QProgressBar(left);
    m_progress->setObjectName(QStringLiteral("progressBar"));
    m_progress->setTextVisible(false);
    m_progress->setFixedHeight(6);
    m_progress->setRange(0, 100);
    m_progress->setStyleSheet(QLatin1String(kProgressStyle));
    leftBox->addWidget(m_progress);
    panelBox->addWidget(left, 0, Qt::AlignTop);

    m_accessDeniedButton->setAutoRaise(true);
    m_accessDeniedButton->setCursor(Qt::PointingHandCursor);
    m_accessDeniedButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_accessDeniedButton->setIcon(
        QIcon::fromTheme(QStringLiteral("dialog-warning"), style()->standardIcon(QStyle::SP_MessageBoxWarning)));
    m_accessDeniedButton->setIconSize(QSize(12, 12));
    m_accessDeniedButton->setText(tr("Folders Access Was Denied"));
    QFont deniedFont = m_accessDeniedButton->font();
    deniedFont.setUnderline(true);
    deniedFont.setPointSizeF(std::max(deniedFont.pointSizeF() - 1.5, 7.0));
    m_accessDeniedButton->setFont(deniedFont);
    m_accessDeniedButton->setForegroundRole(QPalette::PlaceholderText);
    m_accessDeniedButton->hide();
    connect(m_accessDeniedButton, &QToolButton::clicked, this, &HeaderPanel::accessDeniedClicked);

    m_funnel->setCheckable(true);
    m_funnel->setAutoRaise(false);
    m_funnel->setFixedSize(36, 20);
    m_funnel->setToolTip(tr("Filter Scan Results"));
    m_funnel->setCursor(Qt::PointingHandCursor);
    connect(m_funnel, &FunnelButton::clicked, this, &HeaderPanel::filterPanelToggled);

    auto* rule = new RuleFrame(this);
    rule->setFrameShape(QFrame::NoFrame);
    rule->setFixedSize(1, 64);
    panelBox->addWidget(rule, 0, Qt::AlignTop);

    // Middle grid: the selection and its volume's space.
    auto* middle = new QWidget(this);
    auto* grid = new QGridLayout(middle);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(14);
    grid->setVerticalSpacing(0);
    QFont bold = font();
    bold.setWeight(QFont::Bold);
    auto* selectionCaption = new QLabel(tr("Selection:"), middle);
    selectionCaption->setFont(bold);
    // It may hold a path of any length: shortened in the middle, it never widens the window.
    m_selectionLabel = new ElidingLabel(middle);
    m_selectionLabel->setObjectName(QStringLiteral("selectionLabel"));
    m_selectionLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_selectionLabel->setFont(bold);
    m_selectionDetail = new ElidingLabel(middle);
    m_selectionDetail->setObjectName(QStringLiteral("selectionDetailLabel"));
    m_selectionDetail->setFont(bold);
    m_selectionDetail->setSizePolicy(QSizePolicy::Ignored, m_selectionDetail->sizePolicy().verticalPolicy());
    grid->addWidget(selectionCaption, 0, 0);
    grid->addWidget(m_selectionLabel, 0, 1);
    grid->addWidget(m_selectionDetail, 0, 2);
    m_totalValue = valueLabel(middle, "totalSpaceLabel");
    m_usedValue = valueLabel(middle, "usedSpaceLabel");
    m_usedPercent = new QLabel(middle);
    m_usedPercent->setObjectName(QStringLiteral("usedPercentLabel"));
    m_freeValue = valueLabel(middle, "freeSpaceLabel");
    m_freePercent = new QLabel(middle);
    m_freePercent->setObjectName(QStringLiteral("freePercentLabel"));
    // A text of digits aligns by its own left-to-right direction; keep it next to its value,
    // which in a right-to-left window is on the right.
    for (QLabel* percent : {m_usedPercent, m_freePercent})
        percent->setAlignment(QStyle::visualAlignment(layoutDirection(), Qt::AlignLeft | Qt::AlignVCenter));
    grid->addWidget(captionLabel(tr("Total Space:"), middle), 1, 0);
    grid->addWidget(m_totalValue, 1, 1);
    grid->addWidget(captionLabel(tr("Space Used:"), middle), 2, 0);
    grid->addWidget(m_usedValue, 2, 1);
    grid->addWidget(m_usedPercent, 2, 2);
    grid->addWidget(captionLabel(tr("Space Free:"), middle), 3, 0);
    grid->addWidget(m_freeValue, 3, 1);
    grid->addWidget(m_freePercent, 3, 2);
    for (int row = 0; row < 4; ++row)
        grid->setRowMinimumHeight(row, 17);
    grid->setColumnMinimumWidth(1, 90);
    grid->setColumnStretch(2, 1);
    panelBox->addWidget(middle, 1, Qt::AlignTop);

    // Right-hand group: icon, title, web link, donate button (parts hidden when narrow).
    auto* right = new RightHandGroup(this);
    connect(right, &RightHandGroup::donateRequested, this, &HeaderPanel::donateRequested);
    panelBox->addWidget(right, 0, Qt::AlignTop);

    connect(m_scanButton, &ScanButton::clicked, this, &HeaderPanel::onScanButtonClicked);
    connect(m_scanButton, &ScanButton::scanAsAdminRequested, this, &HeaderPanel::scanAsAdminRequested);
    connect(m_scanButton, &ScanButton::scanAsNonAdminRequested, this, &HeaderPanel::scanAsNonAdminRequested);
    connect(m_combo, &VolumeCombo::activated, this, &HeaderPanel::onComboActivated);
    m_combo->popupHook = [this] { onPopupAboutToOpen(); };

    refreshSources();
    setProgress(100);
    m_progress->setValue(0);
}

bool HeaderPanel::isSpecialItemData(const QString& data) {
    return data == QLatin1String(kSelectFolderKey) || data == QLatin1String(kSelectMultipleKey) ||
           data == QLatin1String(kSelectMftKey) || data == QLatin1String(kSelectCsvKey);
}

QString HeaderPanel::currentData() const {
    return m_combo->currentData(Qt::UserRole).toString();
}

int HeaderPanel::findData(const QString& data) const {
    return m_combo->findData(data, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
}

QString HeaderPanel::selectedPath() const {
    const QString data = currentData();
    if (data == QLatin1String(kSelectFolderKey))
        return m_chosenFolder;
    return isSpecialItemData(data) ? QString() : data;
}

bool HeaderPanel::isSelectFolderItem() const {
    return currentData() == QLatin1String(kSelectFolderKey);
}

bool HeaderPanel::isCsvItem() const {
    return currentData() == QLatin1String(kSelectCsvKey);
}

bool HeaderPanel::isMftItem() const {
    return currentData() == QLatin1String(kSelectMftKey);
}

bool HeaderPanel::isFolderSelection() const {
    const QString path = selectedPath();
    for (int i = 0; i < m_combo->count(); ++i) {
        if (m_combo->itemData(i, Qt::UserRole).toString() == path && m_combo->itemText(i) != path)
            return false;
    }
    if (path.isEmpty())
        return false;
    if (path == m_chosenFolder)
        return true;
    const QSettings* store = AppSettings::instance()->settings();
    return store->value(QStringLiteral("customFolders")).toStringList().contains(path) ||
           AppSettings::instance()->pathList("selectMultipleCustomFolders").contains(path);
}

void HeaderPanel::setStatusText(const QString& text) {
    m_statusLabel->setText(text);
    m_statusLabel->setToolTip(text.isEmpty() ? QString() : plainToolTip(text));
}

void HeaderPanel::setAccessDeniedVisible(bool visible) {
    m_accessDeniedButton->setVisible(visible);
}

void HeaderPanel::setProgress(int value) {
    if (value < 0) {
        m_progress->setRange(0, 0);
        return;
    }
    m_progress->setRange(0, 100);
    m_progress->setValue(value);
}

void HeaderPanel::setBusy(bool busy) {
    m_busy = busy;
    m_scanButton->setText(busy ? tr("Cancel") : tr("Scan"));
    m_combo->setEnabled(!busy);
    m_scanButton->setMenuEnabled(!busy);
    if (!busy)
        m_progress->setRange(0, 100);
}

void HeaderPanel::setFilterPanelChecked(bool checked) {
    const bool wasBlocked = m_funnel->blockSignals(true);
    m_funnel->setChecked(checked);
    m_funnel->blockSignals(wasBlocked);
}

void HeaderPanel::setElevated(bool elevated) {
    m_scanButton->setElevated(elevated);
    fitWidths();
}

void HeaderPanel::clearImportedSource() {
    m_importedFile.clear();
    m_importedIsMft = false;
}

void HeaderPanel::clearMultipleSources() {
    m_multipleRoots.clear();
}

void HeaderPanel::showImportedFile(const QString& path, bool sizesKnown, uint64_t total, uint64_t free, bool isMft) {
    m_importedFile = path;
    m_importedSizesKnown = sizesKnown;
    m_importedTotal = total;
    m_importedFree = free;
    m_importedIsMft = isMft;
    m_chosenFolder.clear();
    const int index = findData(QLatin1String(isMft ? kSelectMftKey : kSelectCsvKey));
    if (index >= 0) {
        m_combo->setCurrentIndex(index);
        m_lastRealIndex = index;
    }
    updateSpaceLabels(path);
}

void HeaderPanel::showMultiple(const QStringList& roots) {
    m_multipleRoots = roots;
    m_importedFile.clear();
    m_chosenFolder.clear();
    const int index = findData(QLatin1String(kSelectMultipleKey));
    if (index >= 0) {
        m_combo->setCurrentIndex(index);
        m_lastRealIndex = index;
    }
    updateSpaceLabels(QString());
}

void HeaderPanel::fitWidths() {
    const QFontMetrics metrics(m_scanButton->font());
    int scanWidth = std::max(metrics.horizontalAdvance(tr("Cancel")), metrics.horizontalAdvance(tr("Scan")));
    if (m_scanButton->isElevated())
        scanWidth += 18;
    scanWidth = std::max(scanWidth + 36, 85);
    m_scanButton->setMinimumWidth(scanWidth);
    m_combo->setFixedWidth(std::clamp(426 - m_selectCaption->sizeHint().width() - scanWidth, 120, 279));
}

void HeaderPanel::onScanButtonClicked() {
    if (m_busy)
        emit stopRequested();
    else
        emit scanRequested();
}

void HeaderPanel::onComboActivated(int index) {
    const QString data = m_combo->itemData(index, Qt::UserRole).toString();
    if (data == QLatin1String(kSelectMftKey) || data == QLatin1String(kSelectCsvKey)) {
        m_lastRealIndex = index;
        if (data == QLatin1String(kSelectMftKey))
            emit selectMftRequested();
        else
            emit selectCsvRequested();
        return;
    }
    if (data == QLatin1String(kSelectFolderKey) || data == QLatin1String(kSelectMultipleKey)) {
        m_combo->setCurrentIndex(m_lastRealIndex);
        if (data == QLatin1String(kSelectFolderKey))
            emit selectFolderRequested();
        else
            emit selectMultipleRequested();
        return;
    }
    m_lastRealIndex = index;
    m_chosenFolder.clear();
    emit selectionChanged(selectedPath());
}
