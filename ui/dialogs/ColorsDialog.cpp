#include "ui/dialogs/ColorsDialog.h"

#include "app/AppSettings.h"
#include "app/ColorScheme.h"
#include "ui/dialogs/SettingSwitch.h"
#include "ui/treemap/TreemapColorSettings.h"

#include <QButtonGroup>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

constexpr int kSlots = 13;
const QString kMissingColor = QStringLiteral("484848");

}  // namespace

std::function<QColor(const QColor&, QWidget*, const QString&)>& ColorsDialog::colorPicker() {
    static std::function<QColor(const QColor&, QWidget*, const QString&)> picker =
        [](const QColor& initial, QWidget* parent, const QString& title) {
            return QColorDialog::getColor(initial, parent, title);
        };
    return picker;
}

ColorsDialog::ColorsDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Colors"));
    m_paletteTexts = loadTreemapPaletteTexts();
    auto* layout = new QVBoxLayout(this);

    auto* appearanceRow = new QHBoxLayout;
    appearanceRow->addWidget(new QLabel(tr("Appearance:"), this));
    m_system = new QRadioButton(tr("System Default"), this);
    m_light = new QRadioButton(tr("Light"), this);
    m_dark = new QRadioButton(tr("Dark"), this);
    auto* appearance = new QButtonGroup(this);
    for (QRadioButton* radio : {m_system, m_light, m_dark}) {
        appearance->addButton(radio);
        appearanceRow->addWidget(radio);
    }
    appearanceRow->addStretch();
    const int scheme = savedColorScheme();
    (scheme == 1 ? m_light : scheme == 2 ? m_dark : m_system)->setChecked(true);
    layout->addLayout(appearanceRow);
    layout->addWidget(sunkenLine(this));

    // The colour-by radios are siblings of their own container, exclusive with each other only.
    auto* colorByRow = new QWidget(this);
    auto* colorByBox = new QHBoxLayout(colorByRow);
    colorByBox->setContentsMargins(0, 0, 0, 0);
    colorByBox->addWidget(new QLabel(tr("Color By:"), colorByRow));
    m_bySize = new QRadioButton(tr("Size"), colorByRow);
    m_byExtension = new QRadioButton(tr("Extension"), colorByRow);
    colorByBox->addWidget(m_bySize);
    colorByBox->addWidget(m_byExtension);
    colorByBox->addStretch();
    (loadTreemapColorBySize() ? m_bySize : m_byExtension)->setChecked(true);
    layout->addWidget(colorByRow);
    layout->addWidget(sunkenLine(this));

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(tr("Color"), this), 0, 0);
    grid->addWidget(new QLabel(tr("File Extension(s)"), this), 0, 1);
    const QStringList lists = loadTreemapExtensionLists();
    for (int i = 0; i < kSlots; ++i) {
        auto* button = new QPushButton(this);
        button->setFixedSize(44, 22);
        connect(button, &QPushButton::clicked, this, [this, i] { pickColor(i); });
        auto* field = new QLineEdit(i < lists.size() ? lists[i] : QString(), this);
        field->setCursorPosition(0);
        grid->addWidget(button, i + 1, 0);
        grid->addWidget(field, i + 1, 1);
        m_colorButtons.append(button);
        m_extensionFields.append(field);
        showColor(i);
    }
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);

    auto* presetRow = new QHBoxLayout;
    auto* defaultColors = new QPushButton(tr("Default Colors"), this);
    auto* colorBlind = new QPushButton(tr("Color Blind"), this);
    m_defaultExtensions = new QPushButton(tr("Default Extensions"), this);
    presetRow->addWidget(defaultColors);
    presetRow->addWidget(colorBlind);
    presetRow->addStretch();
    presetRow->addWidget(m_defaultExtensions);
    layout->addLayout(presetRow);
    const auto usePalette = [this](const QStringList& texts) {
        m_paletteTexts = texts;
        for (int i = 0; i < kSlots; ++i)
            showColor(i);
    };
    connect(defaultColors, &QPushButton::clicked, this, [usePalette] { usePalette(defaultPaletteTexts()); });
    connect(colorBlind, &QPushButton::clicked, this, [usePalette] { usePalette(colorBlindPalette()); });
    connect(m_defaultExtensions, &QPushButton::clicked, this, [this] {
        const QStringList defaults = defaultExtensionLists();
        for (int i = 0; i < kSlots; ++i) {
            m_extensionFields[i]->setText(i < defaults.size() ? defaults[i] : QString());
            m_extensionFields[i]->setCursorPosition(0);
        }
    });

    layout->addWidget(saveOrCancelButtons(this, [this] { save(); }));

    // Wide enough that the longer built-in extension lists show whole.
    resize(640, sizeHint().height());
    updateExtensionsEnabled();
    connect(m_byExtension, &QRadioButton::toggled, this, &ColorsDialog::updateExtensionsEnabled);
}

void ColorsDialog::showColor(int slot) {
    const QString text = slot < m_paletteTexts.size() ? m_paletteTexts[slot] : kMissingColor;
    m_colorButtons[slot]->setStyleSheet(
        QStringLiteral("QPushButton { background-color: #%1; border: 1px solid palette(mid); }").arg(text));
    m_colorButtons[slot]->setToolTip(QLatin1Char('#') + text);
}

void ColorsDialog::pickColor(int slot) {
    const QString text = slot < m_paletteTexts.size() ? m_paletteTexts[slot] : kMissingColor;
    const QColor chosen = colorPicker()(QColor(QLatin1Char('#') + text), this, tr("Choose a color"));
    if (!chosen.isValid())
        return;
    while (m_paletteTexts.size() <= slot)
        m_paletteTexts.append(kMissingColor);
    m_paletteTexts[slot] = chosen.name(QColor::HexRgb).mid(1).toUpper();
    showColor(slot);
}

void ColorsDialog::updateExtensionsEnabled() {
    const bool byExtension = m_byExtension->isChecked();
    for (QLineEdit* field : m_extensionFields)
        field->setEnabled(byExtension);
    m_defaultExtensions->setEnabled(byExtension);
}

void ColorsDialog::save() {
    QStringList lists;
    for (const QLineEdit* field : m_extensionFields)
        lists.append(field->text());
    saveTreemapColors(m_bySize->isChecked(), m_paletteTexts, lists);
    AppSettings::instance()->setValue("appearance", m_light->isChecked() ? 1 : m_dark->isChecked() ? 2 : 0);
}
