#include "app/PathText.h"

#include "core/tree/TextConversion.h"

QString pathText(std::string_view bytes) {
    std::u16string units;
    svl::appendUtf8AsUtf16(units, bytes.size(), bytes.data(), false);
    return QString::fromStdU16String(units);
}

std::string pathBytes(const QString& text) {
    std::string out;
    appendPathBytes(out, text);
    return out;
}

void appendPathBytes(std::string& out, const QString& text) {
    out.reserve(out.size() + size_t(text.size()));
    const auto put = [&out](char32_t v) {
        if (v < 0x80) {
            out += char(v);
        } else if (v < 0x800) {
            out += char(0xC0 | (v >> 6));
            out += char(0x80 | (v & 0x3F));
        } else if (v < 0x10000) {
            out += char(0xE0 | (v >> 12));
            out += char(0x80 | ((v >> 6) & 0x3F));
            out += char(0x80 | (v & 0x3F));
        } else {
            out += char(0xF0 | (v >> 18));
            out += char(0x80 | ((v >> 12) & 0x3F));
            out += char(0x80 | ((v >> 6) & 0x3F));
            out += char(0x80 | (v & 0x3F));
        }
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
            put(QChar::surrogateToUcs4(u, text[i + 1].unicode()));
            ++i;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            out += char(u - 0xDC00);
        } else if (QChar::isSurrogate(u)) {
            put(0xFFFD);
        } else {
            put(u);
        }
    }
}

namespace {

bool keptAsIs(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/';
}

}  // namespace

// Runs of bytes kept as they are go in at once.
void appendPercentEncoded(std::string& out, std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    size_t run = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (keptAsIs(c))
            continue;
        out.append(bytes.data() + run, i - run);
        const char escaped[3] = {'%', kHex[c >> 4], kHex[c & 0xF]};
        out.append(escaped, 3);
        run = i + 1;
    }
    out.append(bytes.data() + run, bytes.size() - run);
}
