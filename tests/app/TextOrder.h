// Checks on Qt's own line layout that a text's words are drawn in reading order around a
// name put into it, whatever direction controls the name holds.
#pragma once

#include "app/DirectionalText.h"

#include <gtest/gtest.h>

#include <QGlyphRun>
#include <QGuiApplication>
#include <QTextLayout>

#include <algorithm>
#include <optional>
#include <vector>

namespace textorder {

// Where the visible characters of `text` are drawn when it is laid out as one line in `direction`.
inline std::vector<std::optional<qreal>> glyphLefts(const QString& text, Qt::LayoutDirection direction) {
    QTextLayout layout(text, QGuiApplication::font());
    QTextOption option;
    option.setTextDirection(direction);
    layout.setTextOption(option);
    layout.beginLayout();
    layout.createLine().setLineWidth(100000);
    layout.endLayout();
    std::vector<std::optional<qreal>> lefts(size_t(text.size()));
    for (int i = 0; i < text.size(); ++i)
        for (const QGlyphRun& run : layout.glyphRuns(i, 1))
            if (!run.glyphIndexes().isEmpty() && !text.at(i).isSpace() && text.at(i).category() != QChar::Other_Format)
                lefts[size_t(i)] = run.boundingRect().left();
    return lefts;
}

// The program's own characters of `text` (all but the name's, wherever the name was put in,
// isolated or not) read in order in `direction`, and the name is drawn between the words
// before it and those after it.
inline testing::AssertionResult wordsKeepTheirOrder(const QString& text, const QString& name,
                                                    Qt::LayoutDirection direction) {
    qsizetype from = text.indexOf(isolateText(name, direction));
    qsizetype length = isolateText(name, direction).size();
    if (from < 0) {
        from = text.indexOf(name);
        length = name.size();
    }
    if (from < 0)
        return testing::AssertionFailure() << "the name is not in the text";
    const auto lefts = glyphLefts(text, direction);
    const qreal sign = direction == Qt::LeftToRight ? 1 : -1;
    std::optional<qreal> last;
    qreal nameLow = 1e9, nameHigh = -1e9;
    for (qsizetype i = from; i < from + length; ++i) {
        if (lefts[size_t(i)]) {
            nameLow = std::min(nameLow, sign * *lefts[size_t(i)]);
            nameHigh = std::max(nameHigh, sign * *lefts[size_t(i)]);
        }
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        if ((i >= from && i < from + length) || !lefts[size_t(i)])
            continue;
        const qreal at = sign * *lefts[size_t(i)];
        if ((last && at <= *last) || (i < from && at >= nameLow) || (i >= from + length && at <= nameHigh))
            return testing::AssertionFailure()
                   << "character " << i << " of " << text.toStdString() << " is out of place";
        last = at;
    }
    return testing::AssertionSuccess();
}

}  // namespace textorder
