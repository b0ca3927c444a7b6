#include "ui/treemap/TreemapImageDialog.h"

#include "app/AppSettings.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kMinSide = 16;
constexpr int kMaxSide = 16384;

int storedSide(const char* key, int fallback) {
    bool ok = false;
    int value = AppSettings::instance()->settings()->value(QLatin1String(key), fallback).toInt(&ok);
    if (!ok)
        value = fallback;
    return std::clamp(value, kMinSide, kMaxSide);
}

QSpinBox* makeSideBox(int value, const char* objectName, QWidget* parent) {
    auto* box = new QSpinBox(parent);
    box->setObjectName(QLatin1String(objectName));
    box->setRange(kMinSide, kMaxSide);
    box->setAccelerated(true);
    box->setValue(value);
    return box;
}

}  // namespace

const QList<QSize>& TreemapImageDialog::sizePresets() {
    static const QList<QSize> presets = {QSize(1024, 768),  QSize(1280, 720),  QSize(1680, 1050), QSize(1920, 1080),
                                         QSize(2560, 1440), QSize(3840, 2160), QSize(7680, 4320)};
    return presets;
}

TreemapImageDialog::TreemapImageDialog(bool showFreeSpace, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Save Treemap Image as .png File"));
    auto* layout = new QVBoxLayout(this);

    auto* sizeRow = new QHBoxLayout;
    m_width = makeSideBox(storedSide("treemapExportWidth", 1920), "imageWidth", this);
    m_height = makeSideBox(storedSide("treemapExportHeight", 1080), "imageHeight", this);
    m_presets = new QToolButton(this);
    m_presets->setText(QStringLiteral("\u2026"));
    m_presets->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(m_presets);
    for (const QSize& size : sizePresets()) {
        menu->addAction(QStringLiteral("%1x%2").arg(size.width()).arg(size.height()), this,
                        [this, size] { setImageSize(size.width(), size.height()); });
    }
    m_presets->setMenu(menu);
    sizeRow->addWidget(new QLabel(tr("Width:"), this));
    sizeRow->addWidget(m_width);
    sizeRow->addWidget(new QLabel(tr("Height:"), this));
    sizeRow->addWidget(m_height);
    sizeRow->addWidget(m_presets);
    sizeRow->addStretch();
    layout->addLayout(sizeRow);

    m_gray = new QCheckBox(tr("Shades of Gray (single color)"), this);
    m_gray->setChecked(
        AppSettings::instance()->settings()->value(QStringLiteral("treemapExportShadesOfGray"), false).toBool());
    layout->addWidget(m_gray);
    m_freeSpace = new QCheckBox(tr("Show Free Space"), this);
    m_freeSpace->setChecked(showFreeSpace);
    layout->addWidget(m_freeSpace);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(m_buttons);
}

int TreemapImageDialog::imageWidth() const { return m_width->value(); }
int TreemapImageDialog::imageHeight() const { return m_height->value(); }
bool TreemapImageDialog::shadesOfGray() const { return m_gray->isChecked(); }
bool TreemapImageDialog::showFreeSpace() const { return m_freeSpace->isChecked(); }

void TreemapImageDialog::setImageSize(int width, int height) {
    m_width->setValue(width);
    m_height->setValue(height);
}

void TreemapImageDialog::saveSettings() const {
    AppSettings* settings = AppSettings::instance();
    settings->setValue("treemapExportWidth", imageWidth());
    settings->setValue("treemapExportHeight", imageHeight());
    settings->setValue("treemapExportShadesOfGray", shadesOfGray());
}
