#include "core/rawindex/NtfsRecord.h"

namespace svl {

namespace {

constexpr size_t kSectorStride = 512;  // update sequences protect every 512 bytes, whatever the sector size

}  // namespace

bool applyUpdateSequence(uint8_t* record, size_t size, bool lenient) {
    if (size < 8)
        return false;
    const size_t offset = ntfsLe16(record + 4);
    const size_t count = ntfsLe16(record + 6);
    if (count == 0)
        return lenient;
    if (count == 1 || size < offset + 2 * count)
        return false;
    if (lenient) {
        for (size_t k = 1; k < count && kSectorStride * k <= size; ++k) {
            uint8_t* end = record + kSectorStride * k - 2;
            end[0] = record[offset + 2 * k];
            end[1] = record[offset + 2 * k + 1];
        }
        return true;
    }
    if (size < kSectorStride * (count - 1))
        return false;
    const uint16_t sequence = ntfsLe16(record + offset);
    for (size_t k = 1; k < count; ++k) {
        uint8_t* end = record + kSectorStride * k - 2;
        if (ntfsLe16(end) != sequence)
            return false;
        end[0] = record[offset + 2 * k];
        end[1] = record[offset + 2 * k + 1];
    }
    return true;
}

NtfsRunReader::Step NtfsRunReader::next(NtfsRun* run) {
    if (m_p >= m_limit || *m_p == 0)
        return Step::End;
    const uint8_t header = *m_p;
    const unsigned lengthBytes = header & 0x0F;
    const unsigned deltaBytes = header >> 4;
    if (lengthBytes < 1 || lengthBytes > 8 || deltaBytes > 8)
        return Step::Bad;
    if (size_t(m_limit - m_p) < 1 + size_t(lengthBytes) + deltaBytes)
        return Step::Bad;
    const uint8_t* q = m_p + 1;
    uint64_t length = 0;
    for (unsigned i = 0; i < lengthBytes; ++i)
        length |= uint64_t(q[i]) << (8 * i);
    q += lengthBytes;
    uint64_t delta = 0;
    for (unsigned i = 0; i < deltaBytes; ++i)
        delta |= uint64_t(q[i]) << (8 * i);
    if (deltaBytes > 0 && deltaBytes < 8 && (q[deltaBytes - 1] & 0x80))
        delta |= ~uint64_t(0) << (8 * deltaBytes);
    m_p = q + deltaBytes;
    run->count = length;
    if (deltaBytes == 0) {
        run->start = -1;
    } else {
        // Wrapping addition: a hostile list may overflow, which must not be undefined behaviour.
        m_start = int64_t(uint64_t(m_start) + delta);
        run->start = m_start;
    }
    return Step::Run;
}

bool NtfsAttribute::residentValue(const uint8_t** value, uint32_t* valueLength) const {
    if (length < 24)
        return false;
    const uint32_t size = ntfsLe32(p + 16);
    const uint32_t offset = ntfsLe16(p + 20);
    if (uint64_t(offset) + size > length)
        return false;
    *value = p + offset;
    *valueLength = size;
    return true;
}

NtfsAttributeWalker::NtfsAttributeWalker(const uint8_t* record, size_t size) : m_record(record) {
    if (size < 28)
        return;
    const uint32_t inUse = ntfsLe32(record + 24);
    m_used = inUse < size ? inUse : size;
    m_first = ntfsLe16(record + 20);
    m_offset = m_first;
}

bool NtfsAttributeWalker::next(NtfsAttribute* attribute) {
    if (m_offset >= m_used || m_used - m_offset < 16)
        return false;
    const uint8_t* p = m_record + m_offset;
    const uint32_t type = ntfsLe32(p);
    if (type == kNtfsAttributeEnd)
        return false;
    const uint32_t length = ntfsLe32(p + 4);
    if (length < 16 || length % 8 != 0 || length > m_used - m_offset)
        return false;
    attribute->p = p;
    attribute->type = type;
    attribute->length = length;
    attribute->nonResident = p[8] != 0;
    attribute->nameLength = p[9];
    attribute->flags = ntfsLe16(p + 12);
    m_offset += length;
    return true;
}

size_t utf16ToUtf8(const uint8_t* units, size_t count, char* out) {
    size_t n = 0;
    auto put = [&](uint32_t c) {
        if (!out) {
            n += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        } else if (c < 0x80) {
            out[n++] = char(c);
        } else if (c < 0x800) {
            out[n++] = char(0xC0 | (c >> 6));
            out[n++] = char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[n++] = char(0xE0 | (c >> 12));
            out[n++] = char(0x80 | ((c >> 6) & 0x3F));
            out[n++] = char(0x80 | (c & 0x3F));
        } else {
            out[n++] = char(0xF0 | (c >> 18));
            out[n++] = char(0x80 | ((c >> 12) & 0x3F));
            out[n++] = char(0x80 | ((c >> 6) & 0x3F));
            out[n++] = char(0x80 | (c & 0x3F));
        }
    };
    for (size_t i = 0; i < count; ++i) {
        const uint32_t u = ntfsLe16(units + 2 * i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
            const uint32_t low = ntfsLe16(units + 2 * i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                put(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        put(u >= 0xD800 && u <= 0xDFFF ? 0xFFFD : u);
    }
    return n;
}

}  // namespace svl
