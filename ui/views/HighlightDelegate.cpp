#include "ui/views/HighlightDelegate.h"

#include "ui/views/DirectionalText.h"
#include "core/analysis/HighlightSpans.h"
#include "ui/views/DimmedTextColor.h"
#include "ui/views/ItemRoles.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextBoundaryFinder>
#include <QTextLayout>

namespace {

const QString kEllipsis = QStringLiteral("\u2026");

bool insideSpans(const HighlightSpans& spans, int position) {
    for (const auto& span : spans)
        if (position >= span.first && position < span.second)
            return true;
    return false;
}

// Calls visit(start, end, inside) for each character (grapheme cluster) of text[0, limit).
template <typename Visit>
void forEachCharacter(const QString& text, int limit, const HighlightSpans& spans, Visit visit) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int start = 0;
    while (start < limit) {
        finder.setPosition(start);
        int end = finder.toNextBoundary();
        if (end <= start || end > text.size())
            end = text.size();
        if (!visit(start, end, insideSpans(spans, start)))
            return;
        start = end;
    }
}

// Draws `shown` (the kept text, isolated) as one laid-out line, as every other view shows such
// a name, with the units of text[0, kept) inside the spans in `match`; returns its width.
qreal drawLaidOut(QPainter* painter, const QString& shown, const QList<qsizetype>& positions, int kept,
                  const HighlightSpans& spans, const QFont& font, const QTextCharFormat& match, qreal x, int baseline) {
    QList<QTextLayout::FormatRange> formats;
    for (const auto& span : spans)
        for (int i = std::max(0, span.first); i < std::min(kept, span.second); ++i)
            if (positions[i] >= 0)
                formats.append({int(positions[i]), 1, match});
    QTextLayout layout(shown, font);
    QTextOption option;
    option.setTextDirection(Qt::LeftToRight);
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.setFormats(formats);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(1e6);
    layout.endLayout();
    layout.draw(painter, QPointF(x, baseline - line.ascent()));
    return line.naturalTextWidth();
}

}  // namespace

HighlightSpans highlightSpansFor(const svl::Filter* filter, const QString& name, const QString& path, int column) {
    HighlightSpans out;
    if (!filter || filter->empty() || (column != 0 && column != 1))
        return out;
    const int nameStart = path.endsWith(name) ? int(path.size() - name.size()) : -1;
    const QString& matched = filter->fullPath ? path : name;
    const auto spans =
        svl::matchHighlightSpans(*filter, size_t(matched.size()), reinterpret_cast<const char16_t*>(matched.utf16()));
    const bool asMatched = (column == 1) == filter->fullPath;
    if (!asMatched && nameStart < 0)
        return out;
    for (const svl::HighlightSpan& span : spans) {
        const int s = int(span.start), e = int(span.end);
        if (asMatched) {
            out.append({s, e});
        } else if (filter->fullPath) {  // path spans into the name
            const int from = std::max(s, nameStart);
            if (from < e)
                out.append({from - nameStart, e - nameStart});
        } else {  // name spans into the path
            out.append({s + nameStart, e + nameStart});
        }
    }
    return out;
}

HighlightFit fitHighlightedText(const QString& text, const HighlightSpans& spans, const QFontMetricsF& normal,
                                const QFontMetricsF& bold, qreal available) {
    const qreal ellipsis = normal.horizontalAdvance(kEllipsis);
    HighlightFit fit;
    HighlightFit beforeEllipsis;  // the longest prefix that leaves room for "…"
    forEachCharacter(text, int(text.size()), spans, [&](int start, int end, bool inside) {
        const qreal width = (inside ? bold : normal).horizontalAdvance(text.mid(start, end - start));
        if (fit.width + width > available) {
            fit = beforeEllipsis;
            fit.elided = true;
            return false;
        }
        fit.width += width;
        fit.kept = end;
        if (fit.width + ellipsis <= available)
            beforeEllipsis = fit;
        return true;
    });
    return fit;
}

HighlightDelegate::HighlightDelegate(SpansFor spansFor, QObject* parent)
    : RowHeightDelegate(parent), m_spansFor(std::move(spansFor)) {}

void HighlightDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const HighlightSpans spans = m_spansFor(index);
    const QString note = index.data(NoteRole).toString();
    if (spans.isEmpty() && note.isEmpty()) {
        RowHeightDelegate::paint(painter, option, index);
        return;
    }
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString text = opt.text;
    opt.text.clear();
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, opt.widget);
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);

    const bool selected = opt.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = (opt.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
    const QColor textColour = opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
    const QColor matchColour = selected ? textColour
                               : opt.palette.color(QPalette::Base).lightness() > 127 ? QColor(56, 56, 255)
                                                                                      : QColor(112, 190, 255);
    const QFont normalFont = opt.font;
    QFont boldFont = normalFont;
    boldFont.setWeight(QFont::Bold);
    const QFontMetricsF normal(normalFont), bold(boldFont);
    const qreal available = textRect.right() - textRect.left() + 1;
    const HighlightFit fit = fitHighlightedText(text, spans, normal, bold, available);

    painter->save();
    painter->setClipRect(textRect);
    const QFontMetrics normalMetrics(normalFont);
    qreal x = textRect.left();
    const int baseline =
        textRect.top() + (textRect.bottom() - textRect.top() - normalMetrics.height() + 1) / 2 + normalMetrics.ascent();
    const QString kept = text.left(fit.kept);
    QList<qsizetype> positions;
    const QString shown = isolatedCellText(kept, index, opt.direction, &positions);
    // Draw runs of characters that are all inside or all outside the spans; a name with
    // right-to-left letters or direction controls is laid out whole instead.
    int runStart = 0;
    bool runInside = false;
    auto flush = [&](int end) {
        if (end <= runStart)
            return;
        const QString run = text.mid(runStart, end - runStart);
        painter->setFont(runInside ? boldFont : normalFont);
        painter->setPen(runInside ? matchColour : textColour);
        painter->drawText(QPointF(x, baseline), run);
        x += (runInside ? bold : normal).horizontalAdvance(run);
    };
    if (shown != kept) {
        QTextCharFormat match;
        match.setFontWeight(QFont::Bold);
        match.setForeground(matchColour);
        painter->setPen(textColour);
        x += drawLaidOut(painter, shown, positions, fit.kept, spans, normalFont, match, x, baseline);
    } else {
        forEachCharacter(text, fit.kept, spans, [&](int start, int, bool inside) {
            if (inside != runInside) {
                flush(start);
                runStart = start;
                runInside = inside;
            }
            return true;
        });
        flush(fit.kept);
    }
    if (fit.elided) {
        painter->setFont(normalFont);
        painter->setPen(textColour);
        painter->drawText(QPointF(x, baseline), kEllipsis);
    } else if (!note.isEmpty()) {
        const qreal space = normal.horizontalAdvance(QLatin1Char(' '));
        const qreal room = available - fit.width - space;
        if (room > normal.horizontalAdvance(kEllipsis)) {
            QColor noteColour = textColour;
            if (selected)
                noteColour.setAlpha(170);
            else
                noteColour = dimmedTextColor();
            painter->setFont(normalFont);
            painter->setPen(noteColour);
            painter->drawText(QPointF(x + space, baseline), normal.elidedText(note, Qt::ElideRight, room));
        }
    }
    painter->restore();
    drawGridLine(painter, option);
}
