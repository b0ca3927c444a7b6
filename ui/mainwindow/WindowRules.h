// Plain rules of the main window that need no widget: its first size on a screen,
// the default splitter proportions and the title for the source being examined.
#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

// The window's first size for the primary screen's available area (none: no screen):
// width clamped to [800, 1436] after subtracting 40, height to [500, 730] after 90,
// the upper bound applied first; 1396 x 730 without a screen.
QSize initialWindowSize(std::optional<QSize> available);

// A splitter's default division of `extent` pixels: `percent` of it for the first
// part and the rest for the second (integer arithmetic).
std::pair<int, int> defaultSplitSizes(int extent, int percent);

// What the title is made from; the header or the job fills it.
struct TitleSource {
    QString importedPath;  // a CSV/TSV or MFT file shown as the source; empty otherwise
    bool importedIsMft = false;
    QStringList roots;     // several folders shown as one source
    QString selectedPath;  // the chosen folder or volume
    bool selectedIsFolder = false;  // a folder rather than a mounted volume
};

// "Hollowmere", or "Hollowmere — " followed by the source (with a kind marker for an
// imported file, several roots and a folder), first match in that order.
QString windowTitleFor(const TitleSource& source);
