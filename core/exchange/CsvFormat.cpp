#include "core/exchange/CsvFormat.h"

#include "core/analysis/ExtensionOf.h"

#include <cstdio>
#include <cstring>

namespace svl {

char csvSeparatorForPath(std::string_view path) {
    if (path.size() < 4)
        return ',';
    const std::string_view tail = path.substr(path.size() - 4);
    static constexpr char kTsv[] = ".tsv";
    for (size_t i = 0; i < 4; ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != kTsv[i])
            return ',';
    }
    return '\t';
}

void appendCsvQuoted(std::string& out, std::string_view text) {
    out += '"';
    size_t from = 0;
    for (;;) {
        const size_t quote = text.find('"', from);
        if (quote == std::string_view::npos) {
            out.append(text.substr(from));
            break;
        }
        out.append(text.substr(from, quote + 1 - from));
        out += '"';
        from = quote + 1;
    }
    out += '"';
}

void appendCsvNumber(std::string& out, uint64_t value) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out.append(p, size_t(end - p));
}

CivilDate civilFromDays(int64_t days) {
    // Days counted in 400-year eras starting on 0000-03-01, so leap days fall at era ends.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const unsigned day = unsigned(doy - (153 * mp + 2) / 5 + 1);
    const unsigned month = unsigned(mp < 10 ? mp + 3 : mp - 9);
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return CivilDate{year, month, day};
}

namespace {

void put2(char* p, unsigned v) {
    p[0] = char('0' + v / 10);
    p[1] = char('0' + v % 10);
}

}  // namespace

void appendCsvDate(std::string& out, int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    const CivilDate date = civilFromDays(days);
    const unsigned hour = unsigned(rest / 3600);
    const unsigned minute = unsigned(rest / 60 % 60);
    const unsigned second = unsigned(rest % 60);
    if (date.year >= 0 && date.year <= 9999) {
        char text[19];
        const unsigned y = unsigned(date.year);
        put2(text, y / 100);
        put2(text + 2, y % 100);
        text[4] = '/';
        put2(text + 5, date.month);
        text[7] = '/';
        put2(text + 8, date.day);
        text[10] = ' ';
        put2(text + 11, hour);
        text[13] = ':';
        put2(text + 14, minute);
        text[16] = ':';
        put2(text + 17, second);
        out.append(text, sizeof text);
        return;
    }
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%04lld/%02u/%02u %02u:%02u:%02u", static_cast<long long>(date.year),
                                date.month, date.day, hour, minute, second);
    out.append(text, size_t(n));
}

std::string_view csvFileNamePart(std::string_view name) {
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(0, dot);
}

void appendCsvFileExtension(std::string& out, std::string_view name) { out += extensionOf(name.data(), name.size()); }

std::string_view csvFolderPart(std::string_view path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return {};
    if (slash == 0)
        return path.substr(0, 1);
    return path.substr(0, slash);
}

}  // namespace svl
