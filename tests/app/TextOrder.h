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
        from = text.indexOf(isolatePath(name, direction));
        length = isolatePath(name, direction).size();
    }
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

// The text indices of the shown characters of `part` (compared without their formatting
// characters, such as direction controls) where they first occur in `text`; empty if not.
inline std::vector<qsizetype> shownIndices(const QString& text, const QString& part) {
    const auto shown = [](const QString& s, std::vector<qsizetype>* at) {
        QString out;
        for (qsizetype i = 0; i < s.size(); ++i)
            if (s.at(i).category() != QChar::Other_Format) {
                out += s.at(i);
                if (at)
                    at->push_back(i);
            }
        return out;
    };
    std::vector<qsizetype> at;
    const QString visible = shown(text, &at), wanted = shown(part, nullptr);
    const qsizetype from = visible.indexOf(wanted);
    if (from < 0 || wanted.isEmpty())
        return {};
    return std::vector<qsizetype>(at.begin() + from, at.begin() + from + wanted.size());
}

// The slashes of `path` in `text` laid out in `direction` stand left to right in their order,
// each name drawn between the slashes around it: whatever a name holds, it neither moves
// another name nor a slash.
inline testing::AssertionResult pathKeepsItsOrder(const QString& text, const QString& path,
                                                  Qt::LayoutDirection direction) {
    const std::vector<qsizetype> at = shownIndices(text, path);
    if (at.empty())
        return testing::AssertionFailure() << "the path is not in the text";
    const auto lefts = glyphLefts(text, direction);
    qreal slash = -1e9, nameLow = 1e9, nameHigh = -1e9;
    for (size_t k = 0; k <= at.size(); ++k) {
        const std::optional<qreal> x = k < at.size() ? lefts[size_t(at[k])] : std::optional<qreal>(1e8);
        if (!x)
            continue;
        if (k < at.size() && text.at(at[k]) != QLatin1Char('/')) {
            nameLow = std::min(nameLow, *x);
            nameHigh = std::max(nameHigh, *x);
            continue;
        }
        if (*x <= slash || (nameLow <= nameHigh && (nameLow <= slash || nameHigh >= *x)))
            return testing::AssertionFailure() << "slash or name " << k << " of " << text.toStdString()
                                               << " is out of place";
        slash = *x;
        nameLow = 1e9, nameHigh = -1e9;
    }
    return testing::AssertionSuccess();
}

// The shown characters of `part` stand in `text` laid out in `direction` as they stand when
// `part` is laid out alone in its own direction (that of its first strong letter, else left
// to right): a value such as "9.12.2026, 11:35" is not turned around by the text it is in.
inline testing::AssertionResult readsAsAlone(const QString& text, const QString& part, Qt::LayoutDirection direction) {
    const std::vector<qsizetype> at = shownIndices(text, part), alone = shownIndices(part, part);
    if (at.empty())
        return testing::AssertionFailure() << "the part is not in the text";
    const auto strong = std::find_if(part.begin(), part.end(), [](QChar c) {
        return c.direction() == QChar::DirL || c.direction() == QChar::DirR || c.direction() == QChar::DirAL;
    });
    const bool rtl = strong != part.end() && strong->direction() != QChar::DirL;
    const auto inText = glyphLefts(text, direction);
    const auto byItself = glyphLefts(part, rtl ? Qt::RightToLeft : Qt::LeftToRight);
    const auto order = [](const std::vector<std::optional<qreal>>& lefts, const std::vector<qsizetype>& at) {
        std::vector<size_t> k;
        for (size_t i = 0; i < at.size(); ++i)
            if (lefts[size_t(at[i])])
                k.push_back(i);
        std::stable_sort(k.begin(), k.end(),
                         [&](size_t a, size_t b) { return *lefts[size_t(at[a])] < *lefts[size_t(at[b])]; });
        return k;
    };
    if (order(inText, at) != order(byItself, alone))
        return testing::AssertionFailure() << part.toStdString() << " reads otherwise in " << text.toStdString();
    return testing::AssertionSuccess();
}

}  // namespace textorder
