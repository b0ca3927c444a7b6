// Texts of the file system (paths, names, sizes, dates) keep their own reading order in a
// right-to-left window.
#pragma once

#include <QString>

// In a right-to-left context a text whose first strong character reads left to right is
// embedded left to right (U+202A ... U+202C), so "/tmp/a", ".h", "9 Dec 2026" and "2.0 MB"
// are not reordered around their slashes, dots and digits; any other text comes back as it is.
QString keepOwnDirection(const QString& text, Qt::LayoutDirection context);
