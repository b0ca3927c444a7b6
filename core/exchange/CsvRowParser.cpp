#include "core/exchange/CsvRowParser.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>

#include "core/tree/Attributes.h"
#include "core/tree/ScanTree.h"

namespace svl {

namespace {

constexpr uint64_t kChunkBytes = 4194304;
constexpr uint64_t kExactCountLimit = 786432;
constexpr uint64_t kSampleBytes = 262144;
constexpr size_t kHeaderLines = 5;
// A header is a short line; longer lines are not searched, so a huge first line costs one memchr.
constexpr size_t kMaxHeaderLength = 65536;

const char* lineEndOf(const char* p, const char* end) {
    const void* lf = std::memchr(p, '\n', size_t(end - p));
    return lf ? static_cast<const char*>(lf) : end;
}

// The line's content without a carriage return before its line feed.
const char* contentEnd(const char* line, const char* lineEnd, const char* end) {
    if (lineEnd < end && lineEnd > line && lineEnd[-1] == '\r')
        return lineEnd - 1;
    return lineEnd;
}

struct Field {
    const char* begin = nullptr;
    const char* end = nullptr;
    bool quoted = false;
    bool doubled = false;    // holds doubled quotes that need unescaping
    bool unclosed = false;   // a quote without its closing quote on this line
    bool separated = false;  // a separator followed the field
};

// Splits one line into fields; quoted fields end at their closing quote and anything up to
// the next separator is dropped. Reads only inside [p, end).
class FieldCursor {
public:
    FieldCursor(const char* p, const char* end, char separator) : m_p(p), m_end(end), m_separator(separator) {}

    bool next(Field& f) {
        if (m_done)
            return false;
        f = Field();
        if (m_p < m_end && *m_p == '"') {
            f.quoted = true;
            const char* q = m_p + 1;
            const char* close = nullptr;
            while (q < m_end) {
                const char* c = static_cast<const char*>(std::memchr(q, '"', size_t(m_end - q)));
                if (!c)
                    break;
                if (c + 1 < m_end && c[1] == '"') {
                    f.doubled = true;
                    q = c + 2;
                    continue;
                }
                close = c;
                break;
            }
            f.begin = m_p + 1;
            if (!close) {
                f.end = m_end;
                f.unclosed = true;
                m_done = true;
                return true;
            }
            f.end = close;
            m_p = close + 1;
        } else {
            f.begin = m_p;
        }
        const char* sep = static_cast<const char*>(std::memchr(m_p, m_separator, size_t(m_end - m_p)));
        if (!f.quoted)
            f.end = sep ? sep : m_end;
        if (sep) {
            f.separated = true;
            m_p = sep + 1;
        } else {
            m_p = m_end;
            m_done = true;
        }
        return true;
    }

private:
    const char* m_p;
    const char* m_end;
    char m_separator;
    bool m_done = false;
};

void unescape(const Field& f, std::string& out) {
    out.clear();
    for (const char* p = f.begin; p < f.end; ++p) {
        out += *p;
        if (*p == '"' && p + 1 < f.end && p[1] == '"')
            ++p;
    }
}

bool wholeDecimal(const char* p, const char* end, uint64_t& value) {
    if (p == end)
        return false;
    uint64_t v = 0;
    for (; p < end; ++p) {
        const unsigned d = unsigned(static_cast<unsigned char>(*p)) - '0';
        if (d > 9 || __builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, d, &v))
            return false;
    }
    value = v;
    return true;
}

uint64_t leadingDigits(const char* p, const char* end) {
    uint64_t v = 0;
    for (; p < end; ++p) {
        const unsigned d = unsigned(static_cast<unsigned char>(*p)) - '0';
        if (d > 9)
            break;
        if (__builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, d, &v))
            return 0;
    }
    return v;
}

// A number with leading white space, an optional sign and one to eight digits.
bool smallNumber(const char*& p, const char* end, int64_t& value) {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\v' || *p == '\f' || *p == '\r' || *p == '\n'))
        ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    int digits = 0;
    int64_t v = 0;
    while (p < end && digits < 8 && *p >= '0' && *p <= '9') {
        v = v * 10 + (*p - '0');
        ++p;
        ++digits;
    }
    if (digits == 0)
        return false;
    value = negative ? -v : v;
    return true;
}

void lower(const char* p, const char* end, std::string& out) {
    out.assign(p, size_t(end - p));
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
}

bool fieldValue(const Field& f, std::string& scratch, const char*& b, const char*& e) {
    if (f.unclosed)
        return false;
    if (f.doubled) {
        unescape(f, scratch);
        b = scratch.data();
        e = b + scratch.size();
    } else {
        b = f.begin;
        e = f.end;
    }
    return true;
}

bool isSeparator(char c, bool backslash) {
    return c == '/' || (backslash && c == '\\');
}

}  // namespace

CsvLayout findCsvHeader(const char* begin, const char* end, char separator) {
    CsvLayout layout;
    layout.columns = {CsvColumn::Ignored, CsvColumn::Size, CsvColumn::Allocated, CsvColumn::Modified,
                      CsvColumn::Attributes};
    const char needle[] = {'f', 'i', 'l', 'e', 's', separator};
    const char* line = begin;
    std::string lowered;
    for (size_t n = 0; n < kHeaderLines && line < end; ++n) {
        const char* lineEnd = lineEndOf(line, end);
        const char* content = contentEnd(line, lineEnd, end);
        const char* next = lineEnd < end ? lineEnd + 1 : end;
        if (size_t(content - line) <= kMaxHeaderLength) {
            lower(line, content, lowered);
            if (lowered.find(std::string_view(needle, sizeof needle)) != std::string::npos) {
                std::vector<CsvColumn> columns;
                bool haveSize = false;
                bool taken[6] = {};
                FieldCursor cursor(line, content, separator);
                Field f;
                std::string name, scratch;
                for (int column = 0; cursor.next(f); ++column) {
                    const char *b, *e;
                    if (!fieldValue(f, scratch, b, e)) {
                        b = f.begin;
                        e = f.end;
                    }
                    lower(b, e, name);
                    if (name == "drivecapacity")
                        layout.capacityColumn = column;
                    else if (name == "freespace")
                        layout.freeColumn = column;
                    else if (name == "files" && layout.filesColumn < 0)
                        layout.filesColumn = column;
                    else if (name == "folders" && layout.foldersColumn < 0)
                        layout.foldersColumn = column;
                    CsvColumn code = CsvColumn::Ignored;
                    if (column >= 1) {
                        if (name == "size")
                            code = CsvColumn::Size;
                        else if (name == "allocated")
                            code = CsvColumn::Allocated;
                        else if (name == "modified")
                            code = CsvColumn::Modified;
                        else if (name == "attributes")
                            code = CsvColumn::Attributes;
                        else if (name == "bindmountof")
                            code = CsvColumn::BindSource;
                        if (taken[size_t(code)])
                            code = CsvColumn::Ignored;
                        taken[size_t(code)] = code != CsvColumn::Ignored;
                    }
                    if (code == CsvColumn::Size) {
                        haveSize = true;
                        layout.sizeColumn = size_t(column);
                    }
                    columns.push_back(code);
                }
                if (haveSize) {
                    while (!columns.empty() && columns.back() == CsvColumn::Ignored)
                        columns.pop_back();
                    layout.columns = std::move(columns);
                } else {
                    layout.sizeColumn = 1;
                }
                layout.rowStart = size_t(next - begin);
                return layout;
            }
        }
        line = next;
    }
    layout.rowStart = 0;
    layout.filesColumn = layout.foldersColumn = layout.capacityColumn = layout.freeColumn = -1;
    return layout;
}

std::optional<CsvFirstRow> findFirstCsvRow(const char* begin, const char* end, char separator,
                                           const CsvLayout& layout) {
    std::string scratch;
    std::vector<Field> fields;
    for (const char* line = begin; line < end;) {
        const char* lineEnd = lineEndOf(line, end);
        const char* content = contentEnd(line, lineEnd, end);
        const char* next = lineEnd < end ? lineEnd + 1 : end;
        fields.clear();
        // Only the columns this step reads are split off; the rest of a long line is never looked at.
        const size_t wanted = 1 + size_t(std::max<int>({int(layout.sizeColumn), layout.filesColumn,
                                                        layout.foldersColumn, layout.capacityColumn,
                                                        layout.freeColumn}));
        FieldCursor cursor(line, content, separator);
        Field f;
        while (fields.size() < wanted && cursor.next(f))
            fields.push_back(f);
        uint64_t size;
        const char *b, *e;
        if (fields.size() > layout.sizeColumn && fields[0].end > fields[0].begin && !fields[0].unclosed &&
            fieldValue(fields[layout.sizeColumn], scratch, b, e) && wholeDecimal(b, e, size)) {
            CsvFirstRow row;
            fieldValue(fields[0], scratch, b, e);
            // A path beginning with "/" is a Linux path even when a name holds a backslash.
            row.backslash = e > b && *b != '/' && std::memchr(b, '\\', size_t(e - b)) != nullptr;
            auto number = [&](int column, uint64_t& out) {
                if (column < 0 || size_t(column) >= fields.size())
                    return false;
                return fieldValue(fields[size_t(column)], scratch, b, e) && wholeDecimal(b, e, out);
            };
            if (!number(layout.filesColumn, row.declaredFiles))
                row.declaredFiles = 0;
            if (!number(layout.foldersColumn, row.declaredFolders))
                row.declaredFolders = 0;
            uint64_t capacity = 0, free = 0;
            if (number(layout.capacityColumn, capacity) && number(layout.freeColumn, free) && capacity != 0) {
                row.hasDrive = true;
                row.driveCapacity = capacity;
                row.driveFree = free;
            }
            return row;
        }
        line = next;
    }
    return std::nullopt;
}

uint64_t estimateCsvRows(const char* begin, const char* end) {
    const uint64_t remainder = uint64_t(end - begin);
    auto countLines = [](const char* p, const char* e) {
        uint64_t n = 0;
        while (p < e) {
            const void* lf = std::memchr(p, '\n', size_t(e - p));
            if (!lf)
                break;
            ++n;
            p = static_cast<const char*>(lf) + 1;
        }
        return n;
    };
    if (remainder <= kExactCountLimit)
        return countLines(begin, end) + 1;
    uint64_t sampled = 0, lines = 0;
    for (uint64_t tenth : {1, 5, 9}) {
        const char* start = begin + remainder * tenth / 10;
        const void* lf = std::memchr(start, '\n', size_t(end - start));
        if (!lf)
            continue;
        const char* s = static_cast<const char*>(lf) + 1;
        const char* e = s + std::min<uint64_t>(kSampleBytes, uint64_t(end - s));
        while (e > s && e[-1] != '\n')
            --e;
        sampled += uint64_t(e - s);
        lines += countLines(s, e);
    }
    if (sampled == 0 || lines == 0)
        return remainder / 100 + 1;
    return uint64_t(double(remainder) / double(sampled) * double(lines)) + 1;
}

std::vector<uint64_t> csvChunkBounds(const char* begin, const char* end) {
    const uint64_t size = uint64_t(end - begin);
    std::vector<uint64_t> bounds{0};
    uint64_t at = 0;
    while (size - at > kChunkBytes) {
        const char* p = begin + at + kChunkBytes;
        const void* lf = std::memchr(p, '\n', size_t(end - p));
        if (!lf)
            break;
        at = uint64_t(static_cast<const char*>(lf) + 1 - begin);
        if (at >= size)
            break;
        bounds.push_back(at);
    }
    bounds.push_back(size);
    return bounds;
}

const char* appendCsvName(ScanTree& tree, const char* name, size_t length, uint16_t& storedLength) {
    const size_t kept = std::min<size_t>(length, kMaxNameLength);
    char* p = tree.allocateNames(kept + 1);
    if (kept)
        std::memcpy(p, name, kept);
    p[kept] = '\0';
    storedLength = uint16_t(kept);
    return p;
}

bool isAcceptableCsvPath(const char* path, size_t length, bool backslash) {
    if (length == 0)
        return true;
    if (std::memchr(path, '\0', length))
        return false;
    // One leading separator (a Linux path), two for a share (\\server\share); more
    // leave an empty component.
    size_t i = 0;
    while (i < length && isSeparator(path[i], backslash))
        ++i;
    if (i == length || i > (backslash ? 2u : 1u))
        return false;
    while (i <= length) {
        size_t j = i;
        while (j < length && !isSeparator(path[j], backslash))
            ++j;
        const size_t part = j - i;
        if (part == 0 || (part == 1 && path[i] == '.') || (part == 2 && path[i] == '.' && path[i + 1] == '.'))
            return false;
        i = j + 1;
    }
    return true;
}

const char* CsvChunkParser::storeName(const char* name, size_t length, uint16_t& storedLength) {
    constexpr size_t kBlock = 65536;
    const size_t kept = std::min<size_t>(length, kMaxNameLength);
    if (m_nameBlockLeft < kept + 1) {
        m_nameBlock = m_tree.allocateNames(kBlock);
        m_nameBlockLeft = kBlock;
    }
    char* p = m_nameBlock;
    if (kept)
        std::memcpy(p, name, kept);
    p[kept] = '\0';
    m_nameBlock += kept + 1;
    m_nameBlockLeft -= kept + 1;
    storedLength = uint16_t(kept);
    return p;
}

bool CsvHourCache::find(uint64_t key, int64_t& time) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_times.find(key);
    if (it == m_times.end())
        return false;
    time = it->second;
    return true;
}

void CsvHourCache::insert(uint64_t key, int64_t time) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_times.size() >= (1u << 20))
        m_times.clear();
    m_times.emplace(key, time);
}

CsvChunkParser::CsvChunkParser(ScanTree& tree, const CsvLayout& layout, char separator, bool backslash,
                               const std::atomic<bool>* cancel, CsvHourCache* hours)
    : m_tree(tree),
      m_layout(layout),
      m_separator(separator),
      m_backslash(backslash),
      m_cancel(cancel),
      m_sharedHours(hours) {}

void CsvChunkParser::parse(const char* file, uint64_t begin, uint64_t end, CsvChunk& out, uint64_t expectedRows) {
    out.rows.reserve(expectedRows);
    out.paths.reserve(expectedRows);
    const char* p = file + begin;
    const char* stop = file + end;
    uint64_t lines = 0;
    while (p < stop) {
        if ((++lines & 16383) == 0 && m_cancel && m_cancel->load(std::memory_order_relaxed))
            break;
        const char* lineEnd = lineEndOf(p, stop);
        const char* content = contentEnd(p, lineEnd, stop);
        if (content > p)
            parseLine(file, p, content, out);
        p = lineEnd < stop ? lineEnd + 1 : stop;
    }
    out.bytes = uint64_t(p - (file + begin));
}

int64_t CsvChunkParser::parseTime(const char* p, const char* end) {
    int64_t year, month, day, hour = 0, minute = 0, second = 0;
    if (!smallNumber(p, end, year) || p >= end || *p++ != '/' || !smallNumber(p, end, month) || p >= end ||
        *p++ != '/' || !smallNumber(p, end, day))
        return 0;
    if (smallNumber(p, end, hour) && p < end && *p == ':') {
        ++p;
        if (smallNumber(p, end, minute) && p < end && *p == ':') {
            ++p;
            if (!smallNumber(p, end, second))
                second = 0;
        }
    }
    auto convert = [&] {
        struct tm parts = {};
        parts.tm_year = int(year - 1900);
        parts.tm_mon = int(month - 1);
        parts.tm_mday = int(day);
        parts.tm_hour = int(hour);
        parts.tm_isdst = -1;
        return int64_t(mktime(&parts));
    };
    int64_t hourTime;
    if (year >= 0 && year < (1 << 20) && month >= 0 && month < 16 && day >= 0 && day < 32 && hour >= 0 && hour < 32) {
        const uint64_t key = uint64_t(year) << 15 | uint64_t(month) << 10 | uint64_t(day) << 5 | uint64_t(hour);
        const auto it = m_hours.find(key);
        if (it != m_hours.end()) {
            hourTime = it->second;
        } else {
            if (m_hours.size() >= (1u << 16))
                m_hours.clear();
            if (!m_sharedHours || !m_sharedHours->find(key, hourTime)) {
                hourTime = convert();
                if (m_sharedHours)
                    m_sharedHours->insert(key, hourTime);
            }
            m_hours.emplace(key, hourTime);
        }
    } else {
        hourTime = convert();
    }
    return hourTime + minute * 60 + second;
}

bool CsvChunkParser::parseLine(const char* file, const char* line, const char* lineEnd, CsvChunk& out) {
    FieldCursor cursor(line, lineEnd, m_separator);
    Field pathField;
    if (!cursor.next(pathField) || pathField.unclosed || !pathField.separated || pathField.end == pathField.begin)
        return false;

    CsvRow row{};
    std::string bindSource;
    bool haveSize = false;
    const size_t columns = m_layout.columns.size();
    Field f;
    for (size_t column = 1; column < columns; ++column) {
        if (!cursor.next(f))
            break;
        if (f.unclosed)
            return false;
        const CsvColumn code = m_layout.columns[column];
        if (code == CsvColumn::Ignored)
            continue;
        const char *b, *e;
        fieldValue(f, m_field, b, e);
        switch (code) {
        case CsvColumn::Size:
            if (!wholeDecimal(b, e, row.size))
                return false;
            haveSize = true;
            break;
        case CsvColumn::Allocated:
            if (e - b >= 2 && *b == '0') {
                row.flags |= NodeFlag::ExtraHardLink;
                ++b;
            }
            row.allocated = leadingDigits(b, e);
            break;
        case CsvColumn::Modified:
            row.modified = parseTime(b, e);
            break;
        case CsvColumn::Attributes: {
            const char* d = b;
            uint32_t bits = 0;
            while (d < e && *d >= '0' && *d <= '9' && bits < 100000000u)
                bits = bits * 10 + uint32_t(*d++ - '0');
            row.flags |= flagsFromAttributes(bits);
            break;
        }
        case CsvColumn::BindSource:
            bindSource.assign(b, size_t(e - b));
            break;
        case CsvColumn::Ignored:
            break;
        }
    }
    if (!haveSize)
        return false;

    // The path: left in the mapping unless it needs unescaping or separator conversion.
    const char* pb = pathField.begin;
    size_t length = size_t(pathField.end - pathField.begin);
    bool inBuffer = false;
    uint64_t offset = uint64_t(pb - file);
    const size_t bufferStart = out.text.size();
    if (pathField.doubled) {
        unescape(pathField, m_field);
        out.text.append(m_field);
        inBuffer = true;
        pb = out.text.data() + bufferStart;
        length = m_field.size();
    }
    const char mark = m_backslash ? '\\' : '/';
    const bool folder = length > 0 && pb[length - 1] == mark;
    if (folder)
        --length;
    else if (m_backslash && length >= 2 && pb[length - 1] == '.')
        --length;
    if (length > size_t(INT32_MAX) || !isAcceptableCsvPath(pb, length, m_backslash)) {
        out.text.resize(bufferStart);
        return false;
    }
    if (m_backslash && !inBuffer) {
        out.text.append(pb, length);
        inBuffer = true;
    }
    if (inBuffer) {
        out.text.resize(bufferStart + length);
        char* q = out.text.data() + bufferStart;
        if (m_backslash)
            std::replace(q, q + length, '\\', '/');
        pb = q;
        offset = bufferStart;
    }

    int32_t nameStart = -1;
    if (length > 0) {
        const void* last = memrchr(pb, '/', length);
        if (last)
            nameStart = int32_t(static_cast<const char*>(last) - pb) + 1;
    }
    if (nameStart >= 0)
        row.name = storeName(pb + nameStart, length - size_t(nameStart), row.nameLength);
    if (folder) {
        row.flags |= NodeFlag::Folder;
        if (!bindSource.empty()) {
            row.flags |= NodeFlag::BindMount | NodeFlag::OtherDevice;
            out.bindSources.emplace_back(uint32_t(out.rows.size()), std::move(bindSource));
        }
        ++out.folderRows;
    } else {
        ++out.fileRows;
    }
    out.rows.push_back(row);
    out.paths.push_back(CsvRowPath{offset, uint32_t(length), nameStart, inBuffer});
    return true;
}

}  // namespace svl
