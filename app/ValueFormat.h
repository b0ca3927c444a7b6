// Texts of sizes, counts, times and the core library's fixed error messages, as
// every view, dialog and export shows them. Stateless: formatSize reads its three
// settings (displayMode, unitBase, decimalPlaces) on every call. Any thread.
#pragma once

#include <QString>

#include <cstdint>
#include <string>

// A byte count by the display settings: automatic unit, grouped bytes, or a fixed
// KB..TB unit, in the default locale's notation, with a no-break space before the unit.
QString formatSize(uint64_t size);
// The decimalPlaces setting limited to 0..4; stored text that is no number reads as 1.
int decimalPlacesSetting();
// A count with the default locale's digit grouping, e.g. 1,234,567.
QString formatNumber(uint64_t count);
// A value with a fixed number of decimals in the default locale's notation, as sizes are
// written: 0.02 in English, 0,02 in German.
QString formatDecimal(double value, int decimals);
// A percentage with one decimal in the default locale's notation followed by "%": 75.4%.
QString formatPercent(double percent);
// Seconds since the Unix epoch as the local short date (four-digit year), ", ",
// and the local short time.
QString formatDateTime(int64_t seconds);
// Fixed base 1024, two decimals, C notation: "0", "512 Bytes", "1.50 KB".
QString formatBinarySize(uint64_t size);
// The translation of one of the core's fixed English error texts, and of the first line
// of such a text followed by a line with its cause (kept as it is); any other text is
// returned decoded from UTF-8 unchanged.
QString translateCoreMessage(const std::string& message);
