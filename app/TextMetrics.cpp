#include "app/TextMetrics.h"

#include "app/AppSettings.h"

#include <QApplication>
#include <QFontMetricsF>

#include <algorithm>

namespace {

const QString& textSizeSample() {
    static const QString sample =
        QStringLiteral("The quick brown fox jumps over the lazy dog 0123456789 % of Parent Allocated");
    return sample;
}

}  // namespace

double scaleFactorForSampleWidth(double sampleWidth) {
    if (!(sampleWidth > 0))
        return 1.0;
    return std::clamp(kReferenceSampleWidth / sampleWidth, 0.8, 1.0);
}

double textScaleFactor(const QFont& font) {
    return scaleFactorForSampleWidth(QFontMetricsF(font).horizontalAdvance(textSizeSample()));
}

double applyTextSizeMatch() {
    if (!AppSettings::instance()->settings()->value(QStringLiteral("matchMacTextSize"), true).toBool())
        return 1.0;
    QFont font = QApplication::font();
    if (font.pointSizeF() <= 0)
        return 1.0;
    const double factor = textScaleFactor(font);
    if (factor < 0.995) {
        font.setPointSizeF(font.pointSizeF() * factor);
        QApplication::setFont(font);
    }
    return factor;
}

QFont smallerFont(bool bold) {
    QFont font = QApplication::font();
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 0.88);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    return font;
}
