// The text size of the item views, in whole pixel steps (setting listFontStep,
// -4..19) above or below the application font as it was on first use, the row height
// that follows it, and Ctrl+wheel stepping over a view. GUI thread only; the row height
// is one word that is replaced whole when the step changes.
#pragma once

#include <QFont>

class QAbstractScrollArea;

namespace listfont {

inline constexpr int kMinStep = -4;
inline constexpr int kMaxStep = 19;

// The stored step, clamped to kMinStep..kMaxStep.
int step();
// Stores the step clamped; AppSettings announces it only when it differs.
void setStep(int step);
void resetStep();

// The base font with its pixel size moved by the step (at least 4 pixels).
QFont font();
// `base` moved by `step` pixels: unchanged for step 0 or a font without a pixel size.
QFont fontFor(const QFont& base, int step);

// 26 scaled by the height of the list font over that of the base font, at least 16.
int rowHeight();
// The same from two font heights; a base height of 0 or less gives 26.
int rowHeightFor(double baseHeight, double listHeight);

// Connects the row-height recomputation and installs a Ctrl+wheel filter, owned by
// `view`, on its viewport.
void install(QAbstractScrollArea* view);

}  // namespace listfont
