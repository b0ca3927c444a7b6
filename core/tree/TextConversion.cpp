#include "core/tree/TextConversion.h"

namespace svl {

namespace {

struct FoldRange {
    char16_t first;
    char16_t last;
    int delta;
    bool everySecond;  // only first, first + 2, ... up to last
};

// From U+0100 on: small letters to their capitals (Unicode simple upper case), these ranges only.
constexpr FoldRange kUpperRanges[] = {
    {0x0101, 0x012F, -1, true},   {0x0133, 0x0137, -1, true},   {0x013A, 0x0148, -1, true},
    {0x014B, 0x0177, -1, true},   {0x017A, 0x017E, -1, true},   {0x0183, 0x0185, -1, true},
    {0x0188, 0x0188, -1, false},  {0x018C, 0x018C, -1, false},  {0x0192, 0x0192, -1, false},
    {0x0199, 0x0199, -1, false},  {0x01A1, 0x01A5, -1, true},   {0x01A8, 0x01A8, -1, false},
    {0x01AD, 0x01AD, -1, false},  {0x01B0, 0x01B0, -1, false},  {0x01B4, 0x01B6, -1, true},
    {0x01B9, 0x01B9, -1, false},  {0x01BD, 0x01BD, -1, false},  {0x01C6, 0x01C6, -2, false},
    {0x01C9, 0x01C9, -2, false},  {0x01CC, 0x01CC, -2, false},  {0x01CE, 0x01DC, -1, true},
    {0x01DD, 0x01DD, 0x018E - 0x01DD, false},                   {0x01DF, 0x01EF, -1, true},
    {0x01F3, 0x01F3, -2, false},  {0x01F5, 0x01F5, -1, false},  {0x01FB, 0x0217, -1, true},
    {0x0253, 0x0253, 0x0181 - 0x0253, false},                   {0x0254, 0x0254, 0x0186 - 0x0254, false},
    {0x0256, 0x0257, -205, false},                              {0x0259, 0x0259, 0x018F - 0x0259, false},
    {0x025B, 0x025B, 0x0190 - 0x025B, false},                   {0x0260, 0x0260, 0x0193 - 0x0260, false},
    {0x0263, 0x0263, 0x0194 - 0x0263, false},                   {0x0268, 0x0268, 0x0197 - 0x0268, false},
    {0x0269, 0x0269, 0x0196 - 0x0269, false},                   {0x026F, 0x026F, 0x019C - 0x026F, false},
    {0x0272, 0x0272, 0x019D - 0x0272, false},                   {0x0275, 0x0275, 0x019F - 0x0275, false},
    {0x0283, 0x0283, 0x01A9 - 0x0283, false},                   {0x0288, 0x0288, 0x01AE - 0x0288, false},
    {0x028A, 0x028B, -217, false},                              {0x0292, 0x0292, 0x01B7 - 0x0292, false},
    {0x03AC, 0x03AC, 0x0386 - 0x03AC, false},                   {0x03AD, 0x03AF, -37, false},
    {0x03B1, 0x03C1, -32, false}, {0x03C2, 0x03C2, 0x03A3 - 0x03C2, false},
    {0x03C3, 0x03CB, -32, false}, {0x03CC, 0x03CC, 0x038C - 0x03CC, false},
    {0x03CD, 0x03CE, -63, false}, {0x03E3, 0x03EF, -1, true},   {0x0430, 0x044F, -32, false},
    {0x0451, 0x045C, -80, false}, {0x045E, 0x045F, -80, false}, {0x0461, 0x0481, -1, true},
    {0x0491, 0x04BF, -1, true},   {0x04C2, 0x04C4, -1, true},   {0x04C8, 0x04C8, -1, false},
    {0x04CC, 0x04CC, -1, false},  {0x04D1, 0x04EB, -1, true},   {0x04EF, 0x04F5, -1, true},
    {0x04F9, 0x04F9, -1, false},  {0x0561, 0x0586, -48, false}, {0x1E01, 0x1E95, -1, true},
    {0x1EA1, 0x1EF9, -1, true},   {0x1F00, 0x1F07, 8, false},   {0x1F10, 0x1F15, 8, false},
    {0x1F20, 0x1F27, 8, false},   {0x1F30, 0x1F37, 8, false},   {0x1F40, 0x1F45, 8, false},
    {0x1F51, 0x1F57, 8, true},    {0x1F60, 0x1F67, 8, false},   {0x1F70, 0x1F71, 74, false},
    {0x1F72, 0x1F75, 86, false},  {0x1F76, 0x1F77, 100, false}, {0x1F78, 0x1F79, 128, false},
    {0x1F7A, 0x1F7B, 112, false}, {0x1F7C, 0x1F7D, 126, false}, {0x1FB0, 0x1FB1, 8, false},
    {0x1FD0, 0x1FD1, 8, false},   {0x1FE0, 0x1FE1, 8, false},   {0x1FE5, 0x1FE5, 0x1FEC - 0x1FE5, false},
    {0x2170, 0x217F, -16, false}, {0x24D0, 0x24E9, -26, false}, {0xFF41, 0xFF5A, -32, false},
};

constexpr std::array<char16_t, 65536> makeFoldingTable() {
    std::array<char16_t, 65536> t{};
    for (uint32_t u = 0; u < 65536; ++u)
        t[u] = char16_t(u);
    for (char16_t u = u'A'; u <= u'Z'; ++u)
        t[u] = char16_t(u + 32);
    auto set = [&](char16_t first, char16_t last, char16_t to) {
        for (uint32_t u = first; u <= last; ++u)
            t[u] = to;
    };
    set(0xC0, 0xC4, u'a'), set(0xE0, 0xE4, u'a');
    set(0xC7, 0xC7, u'c'), set(0xE7, 0xE7, u'c');
    set(0xC8, 0xCB, u'e'), set(0xE8, 0xEB, u'e');
    set(0xCC, 0xCF, u'i'), set(0xEC, 0xEF, u'i');
    set(0xD1, 0xD1, u'n'), set(0xF1, 0xF1, u'n');
    set(0xD2, 0xD6, u'o'), set(0xF2, 0xF6, u'o');
    set(0xD9, 0xDC, u'u'), set(0xF9, 0xFC, u'u');
    set(0xDD, 0xDD, u'y'), set(0xFD, 0xFD, u'y');
    t[0xE5] = 0xC5, t[0xE6] = 0xC6, t[0xF0] = 0xD0, t[0xF8] = 0xD8, t[0xFE] = 0xDE, t[0xFF] = 0x178;
    for (const FoldRange& r : kUpperRanges)
        for (uint32_t u = r.first; u <= r.last; u += r.everySecond ? 2 : 1)
            t[u] = char16_t(int(u) + r.delta);
    return t;
}

// Decodes one valid multi-byte sequence at p; returns its length (2..4) and the code
// point, or 0 when the byte at p does not begin a valid sequence.
inline size_t decodeSequence(const unsigned char* p, size_t left, uint32_t& value) {
    const unsigned char b = p[0];
    size_t extra;
    uint32_t v, min;
    if ((b & 0xE0) == 0xC0)
        extra = 1, v = b & 0x1F, min = 0x80;
    else if ((b & 0xF0) == 0xE0)
        extra = 2, v = b & 0x0F, min = 0x800;
    else if ((b & 0xF8) == 0xF0)
        extra = 3, v = b & 0x07, min = 0x10000;
    else
        return 0;
    if (extra >= left)
        return 0;
    for (size_t i = 1; i <= extra; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (p[i] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    value = v;
    return extra + 1;
}

}  // namespace

constexpr std::array<char16_t, 65536> kFoldingTable = makeFoldingTable();

void appendUtf8AsUtf16(std::u16string& out, size_t length, const char* bytes, bool fold) {
    if (length == 0)
        return;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    const size_t start = out.size();
    // Never more units than bytes: size once, then trim.
    out.resize(start + length);
    char16_t* o = out.data() + start;
    size_t i = 0;
    while (i < length) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            *o++ = fold ? kFoldingTable[b] : char16_t(b);
            ++i;
            continue;
        }
        uint32_t v = 0;
        const size_t n = decodeSequence(p + i, length - i, v);
        if (n == 0) {
            *o++ = fold ? kFoldingTable[0xDC00 + b] : char16_t(0xDC00 + b);
            ++i;
        } else if (v <= 0xFFFF) {
            *o++ = fold ? kFoldingTable[v] : char16_t(v);
            i += n;
        } else {
            const char16_t hi = char16_t(0xD800 + ((v - 0x10000) >> 10));
            const char16_t lo = char16_t(0xDC00 + (v & 0x3FF));
            *o++ = fold ? kFoldingTable[hi] : hi;
            *o++ = fold ? kFoldingTable[lo] : lo;
            i += n;
        }
    }
    out.resize(size_t(o - out.data()));
}

size_t utf16Length(size_t length, const char* bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    while (i < length && p[i] < 0x80)
        ++i;
    size_t units = i;
    while (i < length) {
        if (p[i] < 0x80) {
            ++units, ++i;
            continue;
        }
        uint32_t v = 0;
        const size_t n = decodeSequence(p + i, length - i, v);
        if (n == 0) {
            ++units, ++i;
        } else {
            units += v > 0xFFFF ? 2 : 1;
            i += n;
        }
    }
    return units;
}

namespace {
inline bool isHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool isLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
}  // namespace

bool hasLoneSurrogates(const char16_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const char16_t u = text[i];
        if (u < 0xD800 || u > 0xDFFF)
            continue;
        if (isHigh(u) && i + 1 < length && isLow(text[i + 1])) {
            ++i;
            continue;
        }
        return true;
    }
    return false;
}

bool replaceLoneSurrogates(std::u16string& text) {
    bool changed = false;
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        const char16_t u = text[i];
        if (u < 0xD800 || u > 0xDFFF)
            continue;
        if (isHigh(u) && i + 1 < n && isLow(text[i + 1])) {
            ++i;
            continue;
        }
        text[i] = 0xFFFD;
        changed = true;
    }
    return changed;
}

}  // namespace svl
