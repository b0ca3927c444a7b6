#include "ui/views/FilterField.h"

#include "app/AppSettings.h"
#include "app/PlainText.h"
#include "ui/header/RuleFrame.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionFrame>
#include <QToolButton>

namespace {

class MagnifierIcon : public QWidget {
public:
    explicit MagnifierIcon(QWidget* parent) : QWidget(parent) { setFixedSize(16, 16); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor c = palette().color(QPalette::Text);
        c.setAlphaF(0.55);
        p.setPen(QPen(c, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::BevelJoin));
        p.drawEllipse(QRectF(2.5, 2.5, 7.5, 7.5));
        p.drawLine(QPointF(9.6, 9.6), QPointF(13.2, 13.2));
    }
};

class ClearButton : public QToolButton {
public:
    explicit ClearButton(QWidget* parent) : QToolButton(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const double cx = width() / 2.0, cy = height() / 2.0;
        QColor disc = palette().color(QPalette::Text);
        disc.setAlphaF(0.45);
        p.setPen(Qt::NoPen);
        p.setBrush(disc);
        p.drawEllipse(QRectF(cx - 6.2, cy - 6.2, 12.4, 12.4));
        p.setPen(QPen(palette().color(QPalette::Base), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::BevelJoin));
        p.drawLine(QPointF(cx - 2.3, cy - 2.3), QPointF(cx + 2.3, cy + 2.3));
        p.drawLine(QPointF(cx - 2.3, cy + 2.3), QPointF(cx + 2.3, cy - 2.3));
    }
};

class ChevronButton : public QToolButton {
public:
    explicit ChevronButton(QWidget* parent) : QToolButton(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QColor c = palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text);
        p.setPen(QPen(c, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const double cx = width() / 2.0, cy = height() / 2.0 + 0.5;
        const QPointF points[] = {{cx - 3.5, cy - 1.8}, {cx, cy + 1.8}, {cx + 3.5, cy - 1.8}};
        p.drawPolyline(points, 3);
    }
};

}  // namespace

QStringList loadRecentFilters(const char* key) {
    const QString text =
        AppSettings::instance()->settings()->value(QLatin1String(key), QStringLiteral("[]")).toString();
    QStringList list;
    const QJsonArray array = QJsonDocument::fromJson(text.toUtf8()).array();
    for (const QJsonValue& value : array)
        list.append(value.toString());  // a non-string element reads as an empty entry
    return list;
}

QStringList addRecentFilter(QStringList list, const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return list;
    for (int i = 0; i < list.size(); ++i)
        if (QString::compare(list[i], trimmed, Qt::CaseInsensitive) == 0) {
            list.removeAt(i);
            break;
        }
    list.prepend(trimmed);
    while (list.size() > kMaxRecentFilters)
        list.removeLast();
    return list;
}

void saveRecentFilters(const char* key, const QStringList& list) {
    AppSettings* settings = AppSettings::instance();
    if (!settings->saveEnabled())
        return;
    QJsonArray array;
    for (const QString& entry : list)
        array.append(entry);
    settings->setValue(key, QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
}

FilterField::FilterField(const char* historyKey, QWidget* parent, FilterFieldStyle look)
    : QWidget(parent), m_historyKey(historyKey), m_look(look) {
    const bool rounded = look == FilterFieldStyle::Rounded;
    setFixedHeight(rounded ? 26 : 24);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* layout = new QHBoxLayout(this);
    if (rounded) {
        layout->setContentsMargins(8, 1, 4, 1);
        layout->setSpacing(6);
        layout->addWidget(new MagnifierIcon(this), 0, Qt::AlignVCenter);
    } else {
        setProperty("svlTextBox", true);
        layout->setContentsMargins(6, 1, 1, 1);
        layout->setSpacing(0);
    }

    m_edit = new QLineEdit(this);
    m_edit->setFrame(false);
    m_edit->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; border: 0; }"));
    m_edit->installEventFilter(this);
    layout->addWidget(m_edit, 1);

    if (rounded) {
        m_clear = new ClearButton(this);
        m_clear->setAutoRaise(true);
        m_clear->setFocusPolicy(Qt::NoFocus);
        m_clear->setFixedSize(20, 20);
        m_clear->setToolTip(tr("Clear"));
        m_clear->setCursor(Qt::ArrowCursor);
        m_clear->hide();
        layout->addWidget(m_clear);
        connect(m_clear, &QToolButton::clicked, this, [this] {
            m_edit->clear();
            m_edit->setFocus();
        });
        connect(m_edit, &QLineEdit::textChanged, m_clear, [this](const QString& t) { m_clear->setVisible(!t.isEmpty()); });
    } else {
        auto* rule = new RuleFrame(this);
        rule->setFrameShape(QFrame::NoFrame);
        rule->setFixedSize(1, 14);
        rule->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
        layout->addWidget(rule, 0, Qt::AlignVCenter);
    }

    m_chevron = new ChevronButton(this);
    m_chevron->setAutoRaise(true);
    m_chevron->setFocusPolicy(Qt::NoFocus);
    m_chevron->setFixedWidth(22);
    m_chevron->setToolTip(tr("Recent filters"));
    layout->addWidget(m_chevron);
    m_menu = new QMenu(this);
    connect(m_chevron, &QToolButton::clicked, this, &FilterField::showRecentMenu);

    connect(m_edit, &QLineEdit::returnPressed, this, [this] {
        rememberFilter(m_edit->text());
        emit submitted();
    });
    connect(m_edit, &QLineEdit::editingFinished, this, [this] { rememberFilter(m_edit->text()); });
    connect(m_edit, &QLineEdit::textEdited, this, [this] { emit textEdited(); });
    connect(m_edit, &QLineEdit::textChanged, this, &FilterField::textChanged);
}

QString FilterField::text() const { return m_edit->text(); }

void FilterField::setText(const QString& text) { m_edit->setText(text); }

void FilterField::rememberFilter(const QString& text) {
    saveRecentFilters(m_historyKey, addRecentFilter(loadRecentFilters(m_historyKey), text));
}

void FilterField::fillRecentMenu() {
    m_menu->clear();
    const QStringList history = loadRecentFilters(m_historyKey);
    for (const QString& entry : history) {
        QAction* action = m_menu->addAction(plainMenuText(entry));
        connect(action, &QAction::triggered, this, [this, entry] {
            setText(entry);
            rememberFilter(entry);
        });
    }
    if (!history.isEmpty())
        m_menu->addSeparator();
    QAction* clear = m_menu->addAction(tr("Clear"));
    connect(clear, &QAction::triggered, this, [this] { saveRecentFilters(m_historyKey, {}); });
}

void FilterField::showRecentMenu() {
    fillRecentMenu();
    m_menu->popup(mapToGlobal(QPoint(m_chevron->geometry().left(), height() + 2)));
}

bool FilterField::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_edit && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut))
        update();
    return QWidget::eventFilter(watched, event);
}

void FilterField::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const bool focused = m_edit->hasFocus();
    if (m_look == FilterFieldStyle::Rounded) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        QColor tint = palette().color(QPalette::Text);
        tint.setAlphaF(0.12);
        p.setBrush(tint);
        p.drawRoundedRect(QRectF(0, 0, width(), height()), 6, 6);
        if (focused) {
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
            p.drawRoundedRect(QRectF(0.75, 0.75, width() - 1.5, height() - 1.5), 5.5, 5.5);
        }
        return;
    }
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QStyleOptionFrame option;
    option.initFrom(this);
    option.rect = rect();
    option.state |= QStyle::State_Sunken;
    if (focused)
        option.state |= QStyle::State_HasFocus;
    option.lineWidth = 1;
    option.midLineWidth = 0;
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &p, this);
}
