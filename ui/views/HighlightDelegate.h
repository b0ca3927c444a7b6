// Match highlighting in the File View: the parts of a name or path that the installed
// search's filter matched are drawn bold in an accent colour, the text elided with "…"
// when it does not fit, and a bind-mount note after the name when there is room.
// GUI thread only; the filter is shared, immutable, with search threads.
#pragma once

#include <QList>
#include <QPair>

#include <functional>

#include "ui/views/RowHeightDelegate.h"

class QFontMetricsF;

namespace svl {
class Filter;
}

// Half-open [start, end) ranges of UTF-16 positions in a cell's display text.
using HighlightSpans = QList<QPair<int, int>>;

// The spans of column 0 (the name) or 1 (the path) of a top-level row. A full-path filter
// is matched against the path and its spans are moved into the name where the path ends
// with it; a name-only filter the other way round. No filter or no groups: none.
HighlightSpans highlightSpansFor(const svl::Filter* filter, const QString& name, const QString& path, int column);

// How much of a highlighted text fits `available` pixels: `kept` UTF-16 units (never
// splitting a character or an emoji sequence), whether an ellipsis follows, and the
// width of the kept text.
struct HighlightFit {
    int kept = 0;
    bool elided = false;
    qreal width = 0;
};
HighlightFit fitHighlightedText(const QString& text, const HighlightSpans& spans, const QFontMetricsF& normal,
                                const QFontMetricsF& bold, qreal available);

class HighlightDelegate : public RowHeightDelegate {
    Q_OBJECT

public:
    using SpansFor = std::function<HighlightSpans(const QModelIndex&)>;
    HighlightDelegate(SpansFor spansFor, QObject* parent);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    SpansFor m_spansFor;
};
