// Windows-style attribute bits (read-only 0x1, hidden 0x2, system 0x4, archive 0x20,
// 0x40 "D", compressed 0x800) and their node flags, as shown, imported and exported.
// Threads: pure functions; call from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace svl {

struct ScanNode;

// The node's attribute bits; with `dotIsHidden`, a name beginning with "." counts as
// hidden unless the node's attributes came from volume metadata.
[[nodiscard]] uint32_t attributeBits(const ScanNode& node, bool dotIsHidden, std::string_view name);
// "R", "H", "S", "A", "D", "C" in this order for the bits that are set.
[[nodiscard]] std::string attributeLetters(uint16_t bits);
// Node flags of the six known bits; other bits are ignored.
[[nodiscard]] uint16_t flagsFromAttributes(uint32_t bits);

}  // namespace svl
