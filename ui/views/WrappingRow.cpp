#include "ui/views/WrappingRow.h"

#include <QEvent>
#include <QResizeEvent>

#include <algorithm>

namespace {

constexpr int kGap = 12;     // between the groups on one row
constexpr int kRowGap = 4;   // between the rows when wrapped

}  // namespace

WrappingRow::WrappingRow(QWidget* first, QWidget* second, QWidget* parent)
    : QWidget(parent), m_first(first), m_second(second) {
    m_first->setParent(this);
    m_second->setParent(this);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

int WrappingRow::oneRowWidth() const {
    return m_first->sizeHint().width() + kGap + m_second->sizeHint().width();
}

int WrappingRow::heightFor(bool wrapped) const {
    const int a = m_first->sizeHint().height(), b = m_second->sizeHint().height();
    return wrapped ? a + kRowGap + b : std::max(a, b);
}

QSize WrappingRow::sizeHint() const {
    // The height follows the current arrangement, which the width decides.
    return QSize(oneRowWidth(), heightFor(m_wrapped));
}

QSize WrappingRow::minimumSizeHint() const {
    const int width = std::max(m_first->minimumSizeHint().width(), m_second->minimumSizeHint().width());
    return QSize(width, heightFor(m_wrapped));
}

bool WrappingRow::event(QEvent* event) {
    // A group's own size changed (a label shown or hidden).
    if (event->type() == QEvent::LayoutRequest) {
        updateGeometry();
        arrange();
    }
    return QWidget::event(event);
}

void WrappingRow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    arrange();
}

void WrappingRow::arrange() {
    const bool wrapped = width() < oneRowWidth();
    if (wrapped != m_wrapped) {
        m_wrapped = wrapped;
        updateGeometry();  // the height changes; the width that decided it does not
    }
    const QSize a = m_first->sizeHint(), b = m_second->sizeHint();
    if (m_wrapped) {
        m_first->setGeometry(0, 0, std::min(a.width(), width()), a.height());
        m_second->setGeometry(0, a.height() + kRowGap, width(), b.height());
        return;
    }
    const int h = std::max(a.height(), b.height());
    m_first->setGeometry(0, (h - a.height()) / 2, a.width(), a.height());
    const int x = a.width() + kGap;
    m_second->setGeometry(x, (h - b.height()) / 2, std::max(0, width() - x), b.height());
}
