// The treemap's colour settings: the stored 13 colour texts and 13 extension lists,
// how they become a palette and an extension-to-slot map, the two presets and the
// save that bumps treemapColorsRevision so every holder reloads. GUI thread for the
// functions that read or write AppSettings; the text helpers run on any thread.
#pragma once

#include "core/treemap/TreemapColors.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace svl {
struct ExtensionStat;
}

// treemapColorBySize (default true): the twelve largest extensions take the colours.
bool loadTreemapColorBySize();
// The stored 13 colour texts, or defaultPaletteTexts unless exactly 13 are stored.
QStringList loadTreemapPaletteTexts();
// The stored 13 extension lists; 1 to 12 stored lists are padded with empty ones,
// none or more than 13 give defaultExtensionLists.
QStringList loadTreemapExtensionLists();

QStringList defaultPaletteTexts();
QStringList colorBlindPalette();
QStringList defaultExtensionLists();

// "RRGGBB" (blanks and '#' ignored); (72, 72, 72) when it is not a hexadecimal number.
svl::TreemapColor parseColorText(const QString& text);
// Six upper-case hexadecimal digits, each channel rounded and limited to 0..255.
QString colorToHexText(const svl::TreemapColor& color);

// The built-in palette with every slot replaced by the stored (or default) texts.
svl::TreemapPalette loadTreemapPalette();
// List i's extensions (trimmed, lower-cased, no empties) map to slot i; later lists win.
svl::ExtensionColorMap buildExtensionColorMap(const QStringList& lists);
// By size from the statistics, or by the stored lists, as treemapColorBySize says.
svl::ExtensionColorMap loadExtensionColorMap(const std::vector<svl::ExtensionStat>& stats);

// Stores the three settings and raises treemapColorsRevision by one, always.
void saveTreemapColors(bool colorBySize, const QStringList& paletteTexts, const QStringList& extensionLists);
