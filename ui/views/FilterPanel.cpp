#include "ui/views/FilterPanel.h"

#include "app/AppSettings.h"
#include "ui/views/FilterField.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>

namespace {

// Gives every widget the larger size-hint width, as a fixed or a minimum width.
template <typename W>
void equalWidths(W* a, W* b, bool fixed) {
    const int width = std::max(a->sizeHint().width(), b->sizeHint().width());
    for (W* w : {a, b})
        fixed ? w->setFixedWidth(width) : w->setMinimumWidth(width);
}

}  // namespace

FilterPanel::FilterPanel(QWidget* parent) : QWidget(parent) {
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(12, 5, 12, 5);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(5);
    auto* includeLabel = new QLabel(tr("Include Filter:"), this);
    auto* excludeLabel = new QLabel(tr("Exclude Filter:"), this);
    m_include = new FilterField("includeFilterHistoryJSON", this, FilterFieldStyle::Framed);
    m_exclude = new FilterField("excludeFilterHistoryJSON", this, FilterFieldStyle::Framed);
    m_nameOnly = new QRadioButton(tr("Match file name only"), this);
    m_entirePath = new QRadioButton(tr("Match entire path"), this);
    m_clear = new QPushButton(tr("Clear"), this);
    m_apply = new QPushButton(tr("Apply Filter"), this);
    m_apply->setDefault(true);
    m_apply->setStyleSheet(QStringLiteral(
        "QPushButton{background:#006fff;color:white;border:1px solid #005ad0;border-radius:5px;padding:3px 14px;}"
        "QPushButton:hover{background:#2487ff;}QPushButton:pressed{background:#0058cc;}"));
    equalWidths<QPushButton>(m_clear, m_apply, true);
    equalWidths<QLabel>(includeLabel, excludeLabel, true);
    equalWidths<QRadioButton>(m_nameOnly, m_entirePath, false);

    grid->addWidget(includeLabel, 0, 0);
    grid->addWidget(m_include, 0, 1);
    grid->addWidget(m_nameOnly, 0, 2);
    grid->addWidget(m_clear, 0, 3);
    grid->addWidget(excludeLabel, 1, 0);
    grid->addWidget(m_exclude, 1, 1);
    grid->addWidget(m_entirePath, 1, 2);
    grid->addWidget(m_apply, 1, 3);
    grid->setColumnStretch(1, 1);

    const QSettings* store = AppSettings::instance()->settings();
    m_include->setText(store->value(QStringLiteral("includeFilterText")).toString());
    m_exclude->setText(store->value(QStringLiteral("excludeFilterText")).toString());
    (store->value(QStringLiteral("filterMatchEntirePath"), true).toBool() ? m_entirePath : m_nameOnly)
        ->setChecked(true);

    connect(m_include, &FilterField::textEdited, this, &FilterPanel::saveSettings);
    connect(m_exclude, &FilterField::textEdited, this, &FilterPanel::saveSettings);
    connect(m_entirePath, &QRadioButton::toggled, this, &FilterPanel::saveSettings);
    connect(m_include, &FilterField::submitted, this, &FilterPanel::apply);
    connect(m_exclude, &FilterField::submitted, this, &FilterPanel::apply);
    connect(m_apply, &QPushButton::clicked, this, &FilterPanel::apply);
    connect(m_clear, &QPushButton::clicked, this, &FilterPanel::clear);
}

QString FilterPanel::includeText() const { return m_include->text(); }
QString FilterPanel::excludeText() const { return m_exclude->text(); }
bool FilterPanel::matchEntirePath() const { return m_entirePath->isChecked(); }

void FilterPanel::setTexts(const QString& include, const QString& exclude) {
    m_include->setText(include);
    m_exclude->setText(exclude);
}

void FilterPanel::saveSettings() {
    AppSettings* settings = AppSettings::instance();
    if (!settings->saveEnabled())
        return;
    settings->setValue("includeFilterText", includeText());
    settings->setValue("excludeFilterText", excludeText());
    settings->setValue("filterMatchEntirePath", matchEntirePath());
}

void FilterPanel::apply() {
    saveSettings();
    m_include->rememberFilter(includeText());
    m_exclude->rememberFilter(excludeText());
    emit applyRequested();
}

void FilterPanel::clear() {
    m_include->setText(QString());
    m_exclude->setText(QString());
    saveSettings();
}
