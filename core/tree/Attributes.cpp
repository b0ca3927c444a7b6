#include "core/tree/Attributes.h"

#include "core/tree/ScanTree.h"

namespace svl {

namespace {
struct AttributePair {
    uint32_t bit;
    uint16_t flag;
    char letter;
};
constexpr AttributePair kAttributes[] = {
    {0x0001, NodeFlag::ReadOnly, 'R'},  {0x0002, NodeFlag::Hidden, 'H'},     {0x0004, NodeFlag::System, 'S'},
    {0x0020, NodeFlag::Archive, 'A'},   {0x0040, NodeFlag::AttributeD, 'D'}, {0x0800, NodeFlag::Compressed, 'C'},
};
}  // namespace

uint32_t attributeBits(const ScanNode& node, bool dotIsHidden, std::string_view name) {
    uint32_t bits = 0;
    for (const AttributePair& a : kAttributes)
        if (node.flags & a.flag)
            bits |= a.bit;
    if (dotIsHidden && !(node.flags & NodeFlag::VolumeAttributes) && !name.empty() && name.front() == '.')
        bits |= 0x2;
    return bits;
}

std::string attributeLetters(uint16_t bits) {
    std::string letters;
    for (const AttributePair& a : kAttributes)
        if (bits & a.bit)
            letters += a.letter;
    return letters;
}

uint16_t flagsFromAttributes(uint32_t bits) {
    uint16_t flags = 0;
    for (const AttributePair& a : kAttributes)
        if (bits & a.bit)
            flags |= a.flag;
    return flags;
}

}  // namespace svl
