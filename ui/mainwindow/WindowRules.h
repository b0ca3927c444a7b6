// Plain rules of the main window that need no widget: its first size on a screen,
// the default splitter proportions and the title for the source being examined.
#pragma once

#include <QSize>
#include <Qt>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

// The window's first size for the primary screen's available area (none: no screen):
// width clamped to [800, 1436] after subtracting 40, height to [500, 730] after 90,
// the upper bound applied first; 1396 x 730 without a screen.
QSize initialWindowSize(std::optional<QSize> available);

// A splitter's default division of `extent` pixels: `percent` of it for the first
// part and the rest for the second (integer arithmetic).
std::pair<int, int> defaultSplitSizes(int extent, int percent);

// Column widths narrowed to fit `available` pixels: the columns after the first give up
// what is too much in proportion to their room above their minimums, then the first
// (the names) gives up the rest down to its minimum. A column whose minimum equals its
// width keeps it (dates stay whole). When even the minimums do not fit, the minimums.
std::vector<int> fitColumnWidths(std::vector<int> widths, const std::vector<int>& minimums, int available);

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

// What a key press seen by the window's application-wide filter may do.
struct ReturnKeyContext {
    bool windowActive = false;
    bool modalOpen = false;
    int key = 0;
    bool autoRepeat = false;
    Qt::KeyboardModifiers modifiers;
    bool watchedIsFocus = false;    // the event goes to the focus widget
    bool focusIsEditor = false;     // line edit, button, combo box, spin box or text edit
    bool focusTakesText = false;    // line edit, editable combo box, spin box or text edit
    bool focusInWindow = false;     // the window itself or inside it
    bool focusOnResults = false;    // the tree view, the file list or the treemap
    bool hasSelection = false;
    bool jobRunning = false;
    bool scanButtonEnabled = false;
};

enum class ReturnKeyAction { Pass, Open, Scan, Swallow };

// Return or Enter (keypad too, no other modifier, not repeated) on a non-editing focus
// widget of the active window without a modal dialog: opens the selection of a results view
// when there is one and no job runs, else presses Scan when it is enabled; a taken key that
// has nothing to do is swallowed. Anything else passes.
ReturnKeyAction returnKeyAction(const ReturnKeyContext& context);

enum class KeypadCommand { None, SelectParent, ReselectChild, ZoomTreemap, UnzoomTreemap };

// The command of a keypad /, *, + or - (no other modifier) pressed on a focus widget of the
// active window that takes no text, without a modal dialog. X11 drops the keypad modifier
// when it matches shortcuts, so the window's filter matches these keys itself.
KeypadCommand keypadCommand(const ReturnKeyContext& context);
