// UTF-8 to UTF-16 conversion of names and paths, lossless for bytes that are not valid
// UTF-8 (byte b becomes the lone unit 0xDC00 + b), and the fixed folding table that
// makes comparisons ignore case (and, for Latin-1 letters, accents).
// Threads: everything here is pure or reads constant data; call from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace svl {

// One entry per UTF-16 unit: ASCII folds to lower case, Latin-1 letters lose their
// accents, other scripts fold to upper case; unlisted units map to themselves.
extern const std::array<char16_t, 65536> kFoldingTable;

inline char16_t foldUnit(char16_t unit) { return kFoldingTable[unit]; }

// Appends `bytes[0, length)` as UTF-16 to `out`; with `fold` every unit (both halves of a
// surrogate pair too) goes through the folding table. Invalid bytes keep one unit each.
void appendUtf8AsUtf16(std::u16string& out, size_t length, const char* bytes, bool fold);

// The number of units appendUtf8AsUtf16 appends for the same bytes.
[[nodiscard]] size_t utf16Length(size_t length, const char* bytes);

// Replaces every surrogate unit that is not half of a valid pair (the units of invalid
// UTF-8 bytes) with U+FFFD. The length stays the same, so offsets stay valid; regular-
// expression engines refuse or mismatch ill-formed UTF-16. Returns whether it changed.
bool replaceLoneSurrogates(std::u16string& text);
// Whether `text[0, length)` holds a surrogate unit that is not half of a valid pair.
[[nodiscard]] bool hasLoneSurrogates(const char16_t* text, size_t length);

}  // namespace svl
