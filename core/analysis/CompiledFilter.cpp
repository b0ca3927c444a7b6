#include "core/analysis/CompiledFilter.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "core/analysis/Duplicates.h"
#include "core/tree/ScanTree.h"
#include "core/tree/TextConversion.h"

namespace svl {

namespace {

// The first 128 entries of the folding table: 'A'..'Z' to 'a'..'z', the rest unchanged.
constexpr std::array<unsigned char, 128> makeLoweringTable() {
    std::array<unsigned char, 128> t{};
    for (int c = 0; c < 128; ++c)
        t[c] = (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : (unsigned char)c;
    return t;
}
constexpr std::array<unsigned char, 128> kLowering = makeLoweringTable();

// Per-thread scratch, reused from node to node.
thread_local std::string t_lowered;
thread_local std::u16string t_folded;
thread_local std::u16string t_plain;
thread_local std::u16string t_foldedPath;
thread_local std::u16string t_plainPath;

bool endsWith(const char* text, size_t textLength, const std::string& suffix) {
    return textLength >= suffix.size() && std::memcmp(text + textLength - suffix.size(), suffix.data(), suffix.size()) == 0;
}

bool endsWith(const std::u16string& text, const std::u16string& suffix) {
    return text.size() >= suffix.size() &&
           std::u16string_view(text).substr(text.size() - suffix.size()) == std::u16string_view(suffix);
}

bool contains(const std::u16string& text, const std::u16string& pattern) {
    return pattern.empty() || std::u16string_view(text).find(pattern) != std::u16string_view::npos;
}

int64_t saturatedSigned(uint64_t v) { return v > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(v); }

}  // namespace

CompiledNodeView::CompiledNodeView(const ScanTree& t, uint32_t nodeId, PathLengthCache* c, const DuplicateIndex* d)
    : tree(&t), id(nodeId), node(&t.nodes[nodeId]), nameLength(node->nameLength), name(node->name), cache(c),
      duplicates(d) {
    if (!name)
        nameLength = 0;
}

bool CompiledNodeView::isAscii() {
    if (asciiState < 0) {
        asciiState = 1;
        for (uint64_t i = 0; i < nameLength; ++i)
            if ((unsigned char)name[i] >= 0x80) {
                asciiState = 0;
                break;
            }
    }
    return asciiState == 1;
}

const char* CompiledNodeView::loweredName() {
    if (!loweredReady) {
        char* out;
        if (nameLength <= sizeof inlineBuffer) {
            out = inlineBuffer;
        } else {
            if (t_lowered.size() < nameLength)
                t_lowered.resize(nameLength);
            out = t_lowered.data();
        }
        for (uint64_t i = 0; i < nameLength; ++i)
            out[i] = char(kLowering[(unsigned char)name[i] & 0x7F]);
        lowered = out;
        loweredLength = nameLength;
        loweredReady = true;
    }
    return lowered;
}

const std::u16string& CompiledNodeView::foldedName() {
    if (!foldedReady) {
        t_folded.clear();
        appendUtf8AsUtf16(t_folded, nameLength, name, true);
        foldedReady = true;
    }
    return t_folded;
}

const std::u16string& CompiledNodeView::foldedPath() {
    if (!foldedPathReady) {
        t_foldedPath.clear();
        appendNodePath(t_foldedPath, *tree, id, true);
        foldedPathReady = true;
    }
    return t_foldedPath;
}

const std::u16string& CompiledNodeView::plainPath() {
    if (!plainPathReady) {
        t_plainPath.clear();
        appendNodePath(t_plainPath, *tree, id, false);
        replaceLoneSurrogates(t_plainPath);
        plainPathReady = true;
    }
    return t_plainPath;
}

bool FilterInstruction::nameContains(CompiledNodeView& view) const {
    if (term.pattern.empty())
        return true;
    if (view.isAscii()) {
        if (!asciiPattern)
            return false;
        const char* lowered = view.loweredName();
        return memmem(lowered, view.loweredLength, narrowPattern.data(), narrowPattern.size()) != nullptr;
    }
    return contains(view.foldedName(), term.pattern);
}

Truth FilterInstruction::evaluate(CompiledNodeView& view, bool fullPathMode) const {
    const ScanNode& node = *view.node;
    auto truth = [](bool b) { return b ? Truth::True : Truth::False; };
    switch (kind) {
    case InstructionKind::Size:
        return truth(compareValues(saturatedSigned(node.size), term.op, term.value));
    case InstructionKind::Allocated: {
        const uint64_t allocated = (node.flags & NodeFlag::ExtraHardLink) ? 0 : node.allocated;
        return truth(compareValues(saturatedSigned(allocated), term.op, term.value));
    }
    case InstructionKind::ModifiedDay: {
        const double day = std::floor((double(node.modified) + term.utcOffset) / 86400.0);
        return truth(compareValues(day, term.op, double(term.day)));
    }
    case InstructionKind::ModifiedTime: {
        double t = double(node.modified);
        if (!term.absoluteTime) {
            t = std::fmod(t + term.utcOffset, 86400.0);
            if (t < 0)
                t += 86400.0;
        }
        return truth(compareValues(t, term.op, term.time));
    }
    case InstructionKind::NameLength: {
        const uint64_t length = view.isAscii() ? view.nameLength : utf16Length(view.nameLength, view.name);
        return truth(compareValues(int64_t(length), term.op, term.value));
    }
    case InstructionKind::PathLength:
        return truth(compareValues(int64_t(pathLength(*view.tree, view.id, view.cache)), term.op, term.value));
    case InstructionKind::Duplicates: {
        if (!view.duplicates)
            return Truth::Unknown;
        const int64_t c = term.kind == ConditionKind::DuplicateCount
                              ? int64_t(view.duplicates->duplicateCount(view.id))
                              : saturatedSigned(view.duplicates->duplicateSize(view.id, node.size));
        return truth(compareValues(c, term.op, term.value));
    }
    case InstructionKind::Regex:
        if (fullPathMode) {
            const std::u16string& path = view.plainPath();
            return truth(term.regex->matches(path.data(), path.size()));
        }
        t_plain.clear();
        appendUtf8AsUtf16(t_plain, view.nameLength, view.name, false);
        replaceLoneSurrogates(t_plain);
        return truth(term.regex->matches(t_plain.data(), t_plain.size()));
    case InstructionKind::FoldersOnly:
        return truth(node.flags & NodeFlag::Folder);
    case InstructionKind::FilesOnly:
        return truth(!(node.flags & NodeFlag::Folder));
    case InstructionKind::NoExtension: {
        const void* dot = view.nameLength ? memrchr(view.name, '.', view.nameLength) : nullptr;
        return truth(!dot || static_cast<const char*>(dot) == view.name + view.nameLength - 1);
    }
    case InstructionKind::Extension:
        if (view.isAscii()) {
            if (!asciiPattern)
                return Truth::False;
            const char* lowered = view.loweredName();
            return truth(endsWith(lowered, view.loweredLength, narrowPattern));
        }
        return truth(endsWith(view.foldedName(), term.extension));
    case InstructionKind::Wildcard:
        if (fullPathMode) {
            const std::u16string& path = view.foldedPath();
            return truth(wildcardMatch(term.pattern.data(), term.pattern.size(), path.data(), path.size()));
        }
        if (view.isAscii()) {
            if (!asciiPattern)
                return Truth::False;
            const char* lowered = view.loweredName();
            return truth(globMatch(narrowPattern.data(), narrowPattern.size(), lowered, view.loweredLength));
        } else {
            const std::u16string& folded = view.foldedName();
            return truth(globMatch(term.pattern.data(), term.pattern.size(), folded.data(), folded.size()));
        }
    case InstructionKind::Substring:
        if (fullPathMode)
            return truth(contains(view.foldedPath(), term.pattern));
        return truth(nameContains(view));
    }
    return Truth::False;
}

bool CompiledFilter::matchesView(CompiledNodeView& view, bool fullPathMode, bool useSlots, uint16_t slotMask) const {
    for (const std::vector<FilterInstruction>& group : groups) {
        bool passed = false;
        for (const FilterInstruction& ins : group) {
            Truth t;
            if (useSlots && ins.nameSlot >= 0)
                t = (slotMask >> ins.nameSlot) & 1 ? Truth::True : Truth::False;
            else
                t = ins.evaluate(view, fullPathMode);
            // An unknown answer satisfies a group neither plainly nor negated.
            if (t != Truth::Unknown && (t == Truth::True) != ins.negate) {
                passed = true;
                break;
            }
        }
        if (!passed)
            return false;
    }
    return true;
}

bool CompiledFilter::matchesNode(const ScanTree& tree, uint32_t id, PathLengthCache* cache,
                                 const DuplicateIndex* duplicates) const {
    CompiledNodeView view(tree, id, cache, duplicates);
    return matchesView(view, false, false, 0);
}

std::shared_ptr<CompiledFilter> compileFilter(const Filter& filter) {
    if (filter.groups.empty())
        return nullptr;
    auto compiled = std::make_shared<CompiledFilter>();
    compiled->fullPath = filter.fullPath;
    for (const std::vector<FilterTerm>& terms : filter.groups) {
        std::vector<FilterInstruction> group;
        group.reserve(terms.size());
        for (const FilterTerm& term : terms) {
            FilterInstruction ins;
            ins.negate = term.negate;
            ins.term = term;
            if (term.isCondition) {
                const int32_t k = int32_t(term.kind);
                ins.kind = (k == 6 || k == 7) ? InstructionKind::Duplicates : InstructionKind(k);
                if (k < 0 || k > 7 || int32_t(term.op) < 0 || int32_t(term.op) > 4) {
                    // Not a condition decoding makes: false whatever the node, as in the term evaluator.
                    ins.kind = InstructionKind::Size;
                    ins.term.op = CompareOp(-1);
                }
            } else if (term.regex) {
                ins.kind = InstructionKind::Regex;
            } else if (term.foldersOnly) {
                ins.kind = InstructionKind::FoldersOnly;
            } else if (term.filesOnly) {
                ins.kind = InstructionKind::FilesOnly;
            } else if (term.isNoExtension) {
                ins.kind = InstructionKind::NoExtension;
            } else if (term.isExtension) {
                ins.kind = InstructionKind::Extension;
            } else if (term.isWildcard) {
                ins.kind = InstructionKind::Wildcard;
            }
            if (ins.kind == InstructionKind::Extension || ins.kind == InstructionKind::Wildcard ||
                ins.kind == InstructionKind::Substring) {
                const std::u16string& form = ins.kind == InstructionKind::Extension ? term.extension : term.pattern;
                bool ascii = true;
                for (char16_t u : form)
                    if (u > 127) {
                        ascii = false;
                        break;
                    }
                if (ascii) {
                    ins.asciiPattern = true;
                    ins.narrowPattern.assign(form.begin(), form.end());
                }
            }
            group.push_back(std::move(ins));
        }
        compiled->groups.push_back(std::move(group));
    }
    if (compiled->fullPath) {
        for (std::vector<FilterInstruction>& group : compiled->groups)
            for (FilterInstruction& ins : group)
                if (compiled->nameSlotCount < 16 && ins.kind == InstructionKind::Substring &&
                    ins.term.pattern.find(u'/') == std::u16string::npos)
                    ins.nameSlot = compiled->nameSlotCount++;
        compiled->nameSlots.resize(size_t(compiled->nameSlotCount));
        for (const std::vector<FilterInstruction>& group : compiled->groups)
            for (const FilterInstruction& ins : group)
                if (ins.nameSlot >= 0)
                    compiled->nameSlots[size_t(ins.nameSlot)] = &ins;
    }
    return compiled;
}

}  // namespace svl
