// Little-endian integer loads from on-disk bytes, for the raw-index readers.
// Each reads exactly its width at `p`; callers check the bounds first.
#pragma once

#include <cstdint>

namespace svl {

inline uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t le64(const unsigned char* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

}  // namespace svl
