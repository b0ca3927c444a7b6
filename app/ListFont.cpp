#include "app/ListFont.h"

#include "app/AppSettings.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace listfont {

namespace {

const char* const kStepKey = "listFontStep";
constexpr int kMaxPending = 12;

const QFont& baseFont() {
    static const QFont base = QApplication::font();
    return base;
}

int g_rowHeight = 0;

int computeRowHeight() {
    return rowHeightFor(QFontMetricsF(baseFont()).height(), QFontMetricsF(font()).height());
}

void ensureConnected() {
    static bool connected = false;
    if (connected)
        return;
    connected = true;
    g_rowHeight = computeRowHeight();
    QObject::connect(AppSettings::instance(), &AppSettings::changed, [](const QString& key) {
        if (key.isEmpty() || key == QLatin1String(kStepKey))
            g_rowHeight = computeRowHeight();
    });
}

// Turns Ctrl+wheel events into font steps, at most one per 16 ms.
class WheelFilter : public QObject {
public:
    explicit WheelFilter(QObject* parent) : QObject(parent), m_timer(new QTimer(this)) {
        m_timer->setInterval(16);
        QObject::connect(m_timer, &QTimer::timeout, this, [this] { tick(); });
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Wheel)
            return QObject::eventFilter(watched, event);
        auto* wheel = static_cast<QWheelEvent*>(event);
        if (!(wheel->modifiers() & Qt::ControlModifier))
            return QObject::eventFilter(watched, event);
        wheel->accept();
        const int steps = stepsOf(wheel->pixelDelta(), wheel->angleDelta().y());
        if (steps == 0)
            return true;
        if (m_pending != 0 && (m_pending > 0) == (steps > 0))
            m_pending += steps;
        else
            m_pending = steps;
        m_pending = std::clamp(m_pending, -kMaxPending, kMaxPending);
        if (m_timer->isActive())
            return true;
        if (applyOne() && m_pending != 0)
            m_timer->start();
        return true;
    }

private:
    int stepsOf(QPoint pixel, int angle) {
        if (pixel.isNull() && angle == 0)
            return 0;
        if (!pixel.isNull() && (angle == 0 || angle % 120 != 0)) {
            // Touchpads and smooth wheels: two pixels make one step; the rest is carried.
            m_remainder += pixel.y() * 0.5;
            const double whole = std::trunc(m_remainder / 1.0);
            m_remainder -= whole;
            return std::clamp(static_cast<int>(whole), -1, 1);
        }
        if (angle < -359)
            return -2;
        if (angle > 359)
            return 2;
        const int steps = angle / 120;
        if (steps != 0)
            return steps;
        return angle > 0 ? 1 : -1;
    }

    // Applies one pending step; false (pending dropped) when the limit was reached.
    bool applyOne() {
        const int before = step();
        const int direction = m_pending > 0 ? 1 : -1;
        setStep(before + direction);
        m_pending -= direction;
        if (step() == before) {
            m_pending = 0;
            return false;
        }
        return true;
    }

    void tick() {
        if (m_pending == 0 || !applyOne() || m_pending == 0)
            m_timer->stop();
    }

    QTimer* m_timer;
    double m_remainder = 0;
    int m_pending = 0;
};

}  // namespace

int step() {
    const int stored = AppSettings::instance()->settings()->value(QLatin1String(kStepKey), 0).toInt();
    return std::clamp(stored, kMinStep, kMaxStep);
}

void setStep(int value) { AppSettings::instance()->setValue(kStepKey, std::clamp(value, kMinStep, kMaxStep)); }

void resetStep() { setStep(0); }

QFont fontFor(const QFont& base, int step) {
    QFont result = base;
    if (step == 0)
        return result;
    const int pixels = QFontInfo(base).pixelSize();
    if (pixels > 0)
        result.setPixelSize(std::max(4, pixels + step));
    return result;
}

QFont font() { return fontFor(baseFont(), step()); }

int rowHeightFor(double baseHeight, double listHeight) {
    if (baseHeight <= 0)
        return 26;
    return std::max(16, static_cast<int>(std::lround(26.0 * listHeight / baseHeight)));
}

int rowHeight() {
    ensureConnected();
    return g_rowHeight;
}

void install(QAbstractScrollArea* view) {
    ensureConnected();
    view->viewport()->installEventFilter(new WheelFilter(view));
}

}  // namespace listfont
