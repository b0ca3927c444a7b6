#include "ui/dialogs/TweaksDialog.h"

#include "app/AppSettings.h"
#include "app/ValueFormat.h"
#include "ui/dialogs/SettingSwitch.h"
#include "ui/smb/SmbLoginPrompter.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// The twelve boolean keys in table order; every reader of these keys uses these defaults.
const SettingSwitch kSwitches[] = {
    {QT_TRANSLATE_NOOP("TweaksDialog", "Enable drag/drop"), "enableDragDrop", true},
    {QT_TRANSLATE_NOOP("TweaksDialog", "Open file on double click"), "enableDoubleClickOpen", true},
    {QT_TRANSLATE_NOOP("TweaksDialog", "Enable rename"), "enableRename", true},
    {QT_TRANSLATE_NOOP("TweaksDialog", "Monitor file system for changes"), "monitorFileSystemForChanges", true},
    {QT_TRANSLATE_NOOP("TweaksDialog", "Scan SMB network shares directly (much faster)"), "scanSMBDirectly", true},
    {QT_TRANSLATE_NOOP("TweaksDialog", "Offer to scan NTFS, ext4 and Btrfs disks as Administrator (much faster)"),
     "askAboutAdminScan", true},
    {QT_TRANSLATE_NOOP("TweaksDialog",
                       "Fast NTFS, ext4 and Btrfs scanning (reads the disk's file list directly; needs Administrator)"),
     "fastDiskScan", true},
    {QT_TRANSLATE_NOOP("TweaksDialog",
                       "Show max modified date of all sub folders/files as folder's last modified date"),
     "showMaxModifiedDate", true},
    {QT_TRANSLATE_NOOP("TweaksDialog", "Show horizontal lines in grids"), "showHorizontalLines", false},
    {QT_TRANSLATE_NOOP("TweaksDialog", "Alternate row colors"), "altRowColors", true},
    {QT_TRANSLATE_NOOP("TweaksDialog", "Enable gradient colors in treemap"), "gradientEnabled", true},
    {QT_TRANSLATE_NOOP("TweaksDialog", "Animate treemap zoom"), "animateTreemapZoom", true},
};

}  // namespace

std::function<void()>& TweaksDialog::forgetSmbLoginsHook() {
    static std::function<void()> hook = [] { forgetSavedSmbLogins(); };
    return hook;
}

TweaksDialog::TweaksDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Tweaks"));
    const QSettings* store = AppSettings::instance()->settings();
    auto* layout = new QVBoxLayout(this);

    const auto addSwitch = [&](int i) {
        QCheckBox* box = makeSwitchBox(kSwitches[i], "TweaksDialog", this);
        layout->addWidget(box);
        m_checks.append(box);
    };
    for (int i = 0; i < 7; ++i)
        addSwitch(i);

    auto* forgetRow = new QHBoxLayout;
    forgetRow->addSpacing(22);
    auto* forget = new QPushButton(tr("Forget Saved SMB Passwords"), this);
    forget->setObjectName(QStringLiteral("forgetSmbPasswords"));
    connect(forget, &QPushButton::clicked, this, [] {
        if (forgetSmbLoginsHook())
            forgetSmbLoginsHook()();
    });
    forgetRow->addWidget(forget);
    forgetRow->addStretch();
    layout->addLayout(forgetRow);

    addSwitch(7);
    layout->addWidget(sunkenLine(this));
    for (int i = 8; i < 12; ++i)
        addSwitch(i);
    layout->addWidget(sunkenLine(this));

    auto* unitRow = new QHBoxLayout;
    unitRow->addWidget(new QLabel(tr("Size Units:"), this));
    m_decimal = new QRadioButton(tr("Decimal (1000)"), this);
    m_binary = new QRadioButton(tr("Binary (1024) \u2014 Windows style"), this);
    (store->value(QStringLiteral("unitBase"), 1024).toInt() == 1000 ? m_decimal : m_binary)->setChecked(true);
    unitRow->addWidget(m_decimal);
    unitRow->addWidget(m_binary);
    unitRow->addStretch();
    layout->addLayout(unitRow);

    auto* placesRow = new QHBoxLayout;
    placesRow->addWidget(new QLabel(tr("Number of decimal places to display:"), this));
    m_decimalPlaces = new QSpinBox(this);
    m_decimalPlaces->setObjectName(QStringLiteral("decimalPlaces"));
    m_decimalPlaces->setRange(0, 4);
    m_decimalPlaces->setValue(decimalPlacesSetting());
    placesRow->addWidget(m_decimalPlaces);
    placesRow->addStretch();
    layout->addLayout(placesRow);
    layout->addWidget(sunkenLine(this));

    auto* groupRow = new QHBoxLayout;
    groupRow->addWidget(new QLabel(tr("File group minimum size:"), this));
    m_groupMinSize = new QSpinBox(this);
    m_groupMinSize->setObjectName(QStringLiteral("fileGroupMinSize"));
    m_groupMinSize->setRange(0, 999);
    m_groupMinSize->setValue(std::max(store->value(QStringLiteral("fileGroupMinSize"), 4).toInt(), 0));
    groupRow->addWidget(m_groupMinSize);
    groupRow->addStretch();
    layout->addLayout(groupRow);
    auto* groupNote = new QLabel(tr("Loose files in a folder are grouped into one \"[N Files in \u2026]\" entry once "
                                    "there are at least this many. Set to 0 to disable file grouping."),
                                 this);
    groupNote->setWordWrap(true);
    layout->addWidget(groupNote);

    layout->addWidget(saveOrCancelButtons(this, [this] { save(); }));
    // A dialog taller than two thirds of the screen opens at its minimum height, which does not
    // count the wrapped note's lines; the note asks for them at the narrowest width it gets.
    const QMargins margins = layout->contentsMargins();
    groupNote->setMinimumHeight(
        groupNote->heightForWidth(layout->minimumSize().width() - margins.left() - margins.right()));
}

void TweaksDialog::save() {
    AppSettings* settings = AppSettings::instance();
    storeSwitches(kSwitches, m_checks);
    settings->setValue("unitBase", m_binary->isChecked() ? 1024 : 1000);
    settings->setValue("decimalPlaces", m_decimalPlaces->value());
    settings->setValue("fileGroupMinSize", m_groupMinSize->value());
}
