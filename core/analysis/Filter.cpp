#include "core/analysis/Filter.h"

#include <charconv>
#include <cmath>
#include <ctime>

#include "core/analysis/CompiledFilter.h"
#include "core/tree/TextConversion.h"

namespace svl {

namespace {

constexpr double kInt64Limit = 9223372036854775807.0;

bool isTrimmed(char c) { return c == ' ' || (c >= 9 && c <= 13); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lowerAscii(text[i]) != lowerAscii(prefix[i]))
            return false;
    return true;
}

bool equalsNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && startsWithNoCase(a, b); }

int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}

// Decimal digits with saturation at INT64_MAX; false unless text is non-empty digits only.
bool parseDigits(std::string_view text, int64_t& value) {
    if (text.empty())
        return false;
    int64_t v = 0;
    for (char c : text) {
        if (!isDigit(c))
            return false;
        if (v > (INT64_MAX - (c - '0')) / 10)
            v = INT64_MAX;
        else
            v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

// An optional sign followed by digits only.
bool parseSignedDigits(std::string_view text, int64_t& value) {
    int64_t sign = 1;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        sign = text[0] == '-' ? -1 : 1;
        text.remove_prefix(1);
    }
    int64_t v;
    if (!parseDigits(text, v))
        return false;
    value = sign * v;
    return true;
}

// "+1.5e3" and the like: sign, digits, optional fraction, optional exponent; at least one
// digit before the exponent. Locale-independent (a Qt program may run with a comma locale).
bool parseDecimal(std::string_view text, double& value) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    size_t i = 0, digits = 0;
    while (i < text.size() && isDigit(text[i]))
        ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-'))
            ++j;
        size_t expDigits = 0;
        while (j < text.size() && isDigit(text[j]))
            ++j, ++expDigits;
        if (expDigits == 0)
            return false;
        i = j;
    }
    if (i != text.size())
        return false;
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Too large saturates; too small is zero.
        const size_t e = text.find_first_of("eE");
        v = (e != std::string_view::npos && text.substr(e + 1).starts_with('-')) ? 0.0 : HUGE_VAL;
    } else if (ec != std::errc() || end != text.data() + text.size()) {
        return false;
    }
    value = negative ? -v : v;
    return true;
}

int64_t roundSaturated(double v) {
    if (!(v < kInt64Limit))
        return INT64_MAX;
    if (v <= -kInt64Limit)
        return INT64_MIN;
    return int64_t(std::round(v));
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Blank passes of step one, each a single left-to-right scan resuming after its bar.
std::string replaceAll(const std::string& text, std::string_view from) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, from.size(), from) == 0) {
            out += '|';
            i += from.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

// Date and time words after the operator (step five of condition reading).
bool parseDateOrTime(std::string_view text, FilterTerm& term, const FilterClock& clock) {
    const int64_t now = clock.now ? clock.now() : int64_t(std::time(nullptr));
    const int64_t offset = clock.utcOffsetAt ? clock.utcOffsetAt(now) : 0;
    bool haveDay = false;
    int64_t day = 0;
    std::string_view rest;
    if (startsWithNoCase(text, "today")) {
        day = int64_t(std::floor((double(now) + double(offset)) / 86400.0));
        rest = text.substr(5);
        haveDay = true;
    } else if (text.size() >= 10 && isDigit(text[0]) && isDigit(text[1]) && isDigit(text[2]) && isDigit(text[3]) &&
               !isDigit(text[4]) && isDigit(text[5]) && isDigit(text[6]) && !isDigit(text[7]) && isDigit(text[8]) &&
               isDigit(text[9])) {
        const int64_t y = (text[0] - '0') * 1000 + (text[1] - '0') * 100 + (text[2] - '0') * 10 + (text[3] - '0');
        const int64_t m = (text[5] - '0') * 10 + (text[6] - '0');
        const int64_t d = (text[8] - '0') * 10 + (text[9] - '0');
        if (m >= 1 && m <= 12 && d >= 1 && d <= 31) {
            day = daysFromCivil(y, m, d);
            rest = text.substr(10);
            haveDay = true;
        }
    }
    if (haveDay) {
        term.isCondition = true;
        term.kind = ConditionKind::ModifiedDay;
        term.day = day;
        term.utcOffset = double(offset);
        if (rest.empty() || (rest[0] != '+' && rest[0] != '-'))
            return true;
        const int64_t sign = rest[0] == '-' ? -1 : 1;
        rest.remove_prefix(1);
        if (rest.empty())
            return true;
        const char last = lowerAscii(rest.back());
        if (last == 'h' || last == 'm' || last == 's') {
            term.kind = ConditionKind::ModifiedTime;
            term.absoluteTime = true;
            term.time = double(now) + double(sign) * double(parseTimeOffset(rest));
            return true;
        }
        int64_t n;
        if (parseSignedDigits(rest, n))
            term.day = saturatingAdd(day, n == INT64_MIN ? INT64_MIN : sign * n);
        return true;
    }
    if (text.size() >= 3 && startsWithNoCase(text, "now")) {
        term.isCondition = true;
        term.kind = ConditionKind::ModifiedTime;
        term.absoluteTime = true;
        term.time = double(now);
        rest = text.substr(3);
        if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
            const double sign = rest[0] == '-' ? -1 : 1;
            term.time += sign * double(parseTimeOffset(rest.substr(1)));
        }
        return true;
    }
    double seconds = 0;
    if (!parseTimeOfDay(text, seconds))
        return false;
    term.isCondition = true;
    term.kind = ConditionKind::ModifiedTime;
    term.absoluteTime = false;
    term.time = seconds;
    term.utcOffset = double(offset);
    return true;
}

// Step six: a plain, wildcard, extension, path or regular-expression term.
FilterTerm makePlainTerm(std::string text, FilterTerm term, bool& fullPath, const RegexFactory* factory) {
    term.isWildcard = text.find_first_of("*?") != std::string::npos;
    if (text.find('/') != std::string::npos) {
        term.isPath = true;
        fullPath = true;
    }
    // The regular expression is tried first: its "*" and "?" belong to the pattern, and a
    // "*" put in front would hide its backslash.
    if (text.starts_with('\\') && factory && *factory) {
        std::string_view rest = std::string_view(text).substr(1);
        if (rest.ends_with('\\'))
            rest.remove_suffix(1);
        if (rest.size() > 1 && rest.front() == '"' && rest.back() == '"')
            rest = rest.substr(1, rest.size() - 2);
        std::u16string pattern;
        appendUtf8AsUtf16(pattern, rest.size(), rest.data(), false);
        term.regex = (*factory)(pattern);
    }
    if (term.isWildcard && fullPath && !text.starts_with('*') && !term.regex)
        text.insert(text.begin(), '*');
    term.isExtension = text.starts_with("*.") && text.size() > 2 && text.find_first_of("*?", 2) == std::string::npos;
    term.isNoExtension = text == "*.";
    if (!term.isExtension && term.isWildcard && fullPath && !text.empty() && !text.ends_with('*') &&
        text.find('.') == std::string::npos && !term.regex)
        text += '*';
    appendUtf8AsUtf16(term.pattern, text.size(), text.data(), true);
    if (term.isExtension)
        term.extension = term.pattern.substr(1);
    return term;
}

}  // namespace

FilterClock systemFilterClock() {
    FilterClock clock;
    clock.now = [] { return int64_t(std::time(nullptr)); };
    clock.utcOffsetAt = [](int64_t at) {
        const time_t t = time_t(at);
        struct tm local {};
        if (!localtime_r(&t, &local))
            return int64_t(0);
        return int64_t(local.tm_gmtoff);
    };
    return clock;
}

std::vector<std::string> splitOutsideQuotes(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    std::string current;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            current += c;
        } else if (c == separator && !quoted) {
            pieces.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    pieces.push_back(std::move(current));
    return pieces;
}

int64_t parseTimeOffset(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isDigit(text[i]))
        ++i;
    int64_t digits = 0;
    if (!parseDigits(text.substr(0, i), digits))
        return 0;
    int64_t unit = 60;
    if (i < text.size()) {
        const char u = lowerAscii(text[i]);
        unit = u == 'h' ? 3600 : u == 's' ? 1 : 60;
    }
    int64_t r;
    if (__builtin_mul_overflow(digits, unit, &r))
        return INT64_MAX;
    return r;
}

bool parseTimeOfDay(std::string_view input, double& seconds) {
    std::string text(input);
    for (char& c : text)
        c = lowerAscii(c);
    int half = 0;  // 1 before noon, 2 after noon
    if (const size_t a = text.find('a'); a != std::string::npos) {
        text.resize(a);
        half = 1;
    } else if (const size_t p = text.find('p'); p != std::string::npos) {
        text.resize(p);
        half = 2;
    }
    const std::vector<std::string> pieces = splitOutsideQuotes(text, ':');
    int64_t hour = 0;
    if (!parseSignedDigits(pieces[0], hour) || hour < 0)
        return false;
    int64_t minutes = 0, secs = 0;
    if (pieces.size() > 1 && !parseSignedDigits(pieces[1], minutes))
        minutes = 0;
    if (pieces.size() > 2 && !parseSignedDigits(pieces[2], secs))
        secs = 0;
    if (half == 1 && hour == 12)
        hour = 0;
    double total = double(hour) * 3600.0 + double(minutes) * 60.0 + double(secs);
    if (half == 2 && hour <= 11)
        total += 43200.0;
    seconds = total;
    return true;
}

bool parseFilterCondition(std::string_view text, FilterTerm& term, const FilterClock& clock) {
    ConditionKind kind = ConditionKind::Size;
    if (text.size() >= 8 && startsWithNoCase(text, "DUPCOUNT")) {
        kind = ConditionKind::DuplicateCount;
        text.remove_prefix(8);
    } else if (text.size() >= 7 && startsWithNoCase(text, "DUPSIZE")) {
        kind = ConditionKind::DuplicateSize;
        text.remove_prefix(7);
    } else if (text.size() >= 7 && startsWithNoCase(text, "NAMELEN")) {
        kind = ConditionKind::NameLength;
        text.remove_prefix(7);
    } else if (text.size() >= 7 && startsWithNoCase(text, "PATHLEN")) {
        kind = ConditionKind::PathLength;
        text.remove_prefix(7);
    } else if (startsWithNoCase(text, "A")) {
        kind = ConditionKind::Allocated;
        text.remove_prefix(1);
    } else if (startsWithNoCase(text, "S")) {
        text.remove_prefix(1);
    }
    if (text.empty())
        return false;

    CompareOp op;
    if (text[0] == '=') {
        op = CompareOp::Equal;
        text.remove_prefix(1);
    } else if (text.size() == 1) {
        if (text[0] == '>')
            op = CompareOp::Greater;
        else if (text[0] == '<')
            op = CompareOp::Less;
        else
            return false;
        text.remove_prefix(1);
    } else if (text.starts_with(">=")) {
        op = CompareOp::GreaterEqual;
        text.remove_prefix(2);
    } else if (text.starts_with("<=")) {
        op = CompareOp::LessEqual;
        text.remove_prefix(2);
    } else if (text[0] == '>') {
        op = CompareOp::Greater;
        text.remove_prefix(1);
    } else if (text[0] == '<') {
        op = CompareOp::Less;
        text.remove_prefix(1);
    } else {
        return false;
    }

    if (op == CompareOp::Equal) {
        if (equalsNoCase(text, "dup") || equalsNoCase(text, "dups")) {
            term.isCondition = true;
            term.kind = ConditionKind::DuplicateCount;
            term.op = CompareOp::Greater;
            term.value = 0;
            return true;
        }
        if (equalsNoCase(text, "file") || equalsNoCase(text, "files")) {
            term.filesOnly = true;
            return true;
        }
        if (equalsNoCase(text, "folder") || equalsNoCase(text, "folders")) {
            term.foldersOnly = true;
            return true;
        }
    }

    std::string_view number = text;
    if (!number.empty() && (number.back() == 'B' || number.back() == 'b'))
        number.remove_suffix(1);
    double multiplier = 1;
    if (!number.empty()) {
        switch (lowerAscii(number.back())) {
        case 'k': multiplier = 1024.0; break;
        case 'm': multiplier = 1048576.0; break;
        case 'g': multiplier = 1073741824.0; break;
        case 't': multiplier = 1099511627776.0; break;
        default: break;
        }
        if (multiplier != 1)
            number.remove_suffix(1);
    }
    double value = 0;
    if (parseDecimal(number, value) && value >= 0) {
        term.isCondition = true;
        term.kind = kind;
        term.op = op;
        term.value = roundSaturated(value * multiplier);
        return true;
    }
    term.op = op;
    if (parseDateOrTime(text, term, clock))
        return true;
    term.op = CompareOp::Equal;
    return false;
}

Filter decodeFilterText(std::string_view text, bool fullPath, const RegexFactory* regexFactory) {
    return decodeFilterText(text, fullPath, regexFactory, systemFilterClock());
}

Filter decodeFilterText(std::string_view text, bool fullPath, const RegexFactory* regexFactory,
                        const FilterClock& clock) {
    Filter filter;
    filter.fullPath = fullPath;
    const RegexFactory* factory = regexFactory && *regexFactory ? regexFactory : nullptr;

    std::string cleaned(text);
    cleaned = replaceAll(cleaned, " | ");
    cleaned = replaceAll(cleaned, " |");
    cleaned = replaceAll(cleaned, "| ");

    for (std::string& groupText : splitOutsideQuotes(cleaned, ' ')) {
        size_t b = 0, e = groupText.size();
        while (b < e && isTrimmed(groupText[b]))
            ++b;
        while (e > b && isTrimmed(groupText[e - 1]))
            --e;
        if (b == e)
            continue;
        std::string group = groupText.substr(b, e - b);
        if (group == "*.*")
            group = "*";

        std::vector<FilterTerm> terms;
        for (std::string& pieceText : splitOutsideQuotes(group, '|')) {
            std::string_view piece = pieceText;
            while (!piece.empty() && piece.front() == ' ')
                piece.remove_prefix(1);
            if (piece.empty())
                continue;
            FilterTerm term;
            if (piece.front() == '"') {
                piece.remove_prefix(1);
                if (piece.empty())
                    continue;
                if (piece.back() == '"')
                    piece.remove_suffix(1);
                if (piece.empty())
                    continue;
                terms.push_back(makePlainTerm(std::string(piece), std::move(term), filter.fullPath, factory));
                continue;
            }
            if (piece.front() == '!') {
                term.negate = true;
                piece.remove_prefix(1);
                if (!piece.empty() && piece.front() == '"')
                    piece.remove_prefix(1);
                if (!piece.empty() && piece.back() == '"')
                    piece.remove_suffix(1);
            }
            FilterTerm condition = term;
            if (!piece.empty() && parseFilterCondition(piece, condition, clock)) {
                terms.push_back(std::move(condition));
                continue;
            }
            terms.push_back(makePlainTerm(std::string(piece), std::move(term), filter.fullPath, factory));
        }
        if (!terms.empty())
            filter.groups.push_back(std::move(terms));
    }

    if (filter.groups.empty())
        return filter;
    filter.compiled = compileFilter(filter);
    filter.redecode = [source = std::string(text), fullPath, factoryCopy = factory ? *factory : RegexFactory(),
                       clock]() { return decodeFilterText(source, fullPath, &factoryCopy, clock); };
    return filter;
}

}  // namespace svl
