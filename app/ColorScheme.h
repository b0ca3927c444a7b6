// The program's appearance: follow the desktop, a fixed light or a fixed dark scheme.
// Owns the stored choice (`appearance`), the dark palette, the widget style under each
// scheme and the watcher that re-applies style sheets when the palette changes, so
// rules naming palette colours follow. The platform's own style and palette are
// captured once, at the first call of applyColorScheme or systemPaletteIsDark.
// GUI thread only.
#pragma once

#include <QPalette>

// The stored appearance: 1 light, 2 dark, anything else 0 (follow the system).
int savedColorScheme();
// Applies 0 (system), 1 (light) or 2 (dark); other values change neither style nor palette.
void applyColorScheme(int scheme);
// Whether the desktop's palette, as captured, has a dark window colour.
bool systemPaletteIsDark();
QPalette darkPalette();
// Sets every non-empty style sheet again so palette() rules pick up the current palette.
void refreshStyleSheets();
