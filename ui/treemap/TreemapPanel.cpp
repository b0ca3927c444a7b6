#include "ui/treemap/TreemapPanel.h"

#include "app/AppSettings.h"
#include "app/DirectionalText.h"
#include "app/PlainText.h"
#include "app/ValueFormat.h"
#include "core/tree/ScanTree.h"
#include "ui/header/ElidingLabel.h"
#include "ui/header/RuleFrame.h"
#include "ui/treemap/TreemapWidget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QToolButton* makeUnzoomButton(const QString& text, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(text);
    button->setToolTip(TreemapPanel::tr("Unzoom Treemap"));
    button->setAutoRaise(true);
    // Hidden buttons keep their room so the title does not jump.
    QSizePolicy policy = button->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    button->setSizePolicy(policy);
    return button;
}

}  // namespace

TreemapPanel::TreemapPanel(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QWidget(this);
    header->setFixedHeight(28);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(4, 1, 4, 1);
    m_up = makeUnzoomButton(QStringLiteral(".."), header);
    m_top = makeUnzoomButton(QStringLiteral("/"), header);
    // A long path is shortened in the middle (whole in the tooltip), so it never widens the window.
    m_title = new ElidingLabel(header);
    m_title->setAlignment(Qt::AlignCenter);
    m_title->setForegroundRole(QPalette::PlaceholderText);
    // Balances the buttons on the left so the title stays centred over the treemap.
    auto* balance = new QWidget(header);
    balance->setFixedWidth(m_up->sizeHint().width() + m_top->sizeHint().width() + row->spacing());
    row->addWidget(m_up);
    row->addWidget(m_top);
    row->addWidget(m_title, 1);
    row->addWidget(balance);
    layout->addWidget(header);

    auto* rule = new RuleFrame(this);
    rule->setFrameShape(QFrame::NoFrame);
    rule->setFixedHeight(1);
    rule->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    layout->addWidget(rule);

    m_treemap = new TreemapWidget(this);
    layout->addWidget(m_treemap, 1);

    connect(m_up, &QToolButton::clicked, m_treemap, &TreemapWidget::zoomOut);
    connect(m_top, &QToolButton::clicked, m_treemap, [this] { m_treemap->zoomTo(0); });
    connect(m_treemap, &TreemapWidget::zoomRootChanged, this, &TreemapPanel::updateTitle);
    connect(AppSettings::instance(), &AppSettings::changed, this, &TreemapPanel::settingChanged);
    updateTitle();
}

void TreemapPanel::setTree(std::shared_ptr<svl::ScanTree> tree) {
    m_tree = tree;
    m_treemap->setTree(std::move(tree));
    updateTitle();
}

void TreemapPanel::settingChanged(const QString& key) {
    if (key == QLatin1String("decimalPlaces") || key == QLatin1String("displayMode") ||
        key == QLatin1String("unitBase") || key == QLatin1String("showTreemapAllocated"))
        updateTitle();
}

void TreemapPanel::updateTitle() {
    const uint32_t root = m_treemap->zoomRoot();
    m_up->setVisible(root != 0);
    m_top->setVisible(root != 0);
    if (!m_tree || m_tree->nodeCount == 0 || root >= m_tree->nodeCount) {
        m_title->setText(tr("Treemap"));
        m_title->setToolTip(QString());
        return;
    }
    const svl::ScanNode& node = m_tree->node(root);
    const bool allocated =
        AppSettings::instance()->settings()->value(QStringLiteral("showTreemapAllocated"), true).toBool();
    m_title->setText(QStringLiteral("%1 \u2014 %2")
                         .arg(isolatePath(QString::fromUtf8(m_tree->fullPath(root))),
                              isolateText(formatSize(allocated ? node.allocated : node.size))));
    m_title->setToolTip(plainToolTip(m_title->text()));
}
