// The room a column heading needs, so default column widths chosen for the English
// headings grow where a translation is longer. GUI thread only.
#pragma once

class QHeaderView;

// The width that shows the section's heading whole in the header's font and style,
// as drawn while the list is sorted by another column.
int headingWidth(const QHeaderView* header, int section);

// Sets the section to `width`, or to its headingWidth when that is larger.
void resizeSectionToFit(QHeaderView* header, int section, int width);
