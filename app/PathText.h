// Paths between the system's bytes and Qt's text without loss: valid UTF-8 reads as usual,
// and each byte that is not valid UTF-8 becomes the lone unit 0xDC00 + byte (as the core's
// name conversion does), which turns back into that byte. A folder whose name is not UTF-8
// can so be carried as text from the command line to a scan. Pure; any thread.
#pragma once

#include <QString>

#include <string>
#include <string_view>

// The text of a path's bytes.
QString pathText(std::string_view bytes);

// The bytes of a path text: units 0xDC80..0xDCFF standing alone give their byte back, the rest
// is written as UTF-8 (another lone surrogate as U+FFFD).
std::string pathBytes(const QString& text);
// The same bytes appended to `out`, so that a loop can reuse one buffer.
void appendPathBytes(std::string& out, const QString& text);

// Appends `bytes` with every byte but letters, digits, "-._~" and "/" written as %XX: the form
// of file URLs and of the trash's Path= lines, which gives back exactly these bytes.
void appendPercentEncoded(std::string& out, std::string_view bytes);
