#include "core/analysis/ExtensionOf.h"

namespace svl {

std::string extensionOf(const char* name, size_t length) {
    size_t dot = length;
    for (size_t i = length; i-- > 0;) {
        if (name[i] == '.') {
            dot = i;
            break;
        }
    }
    if (dot == length)
        return {};
    std::string ext(name + dot + 1, length - dot - 1);
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return ext;
}

}  // namespace svl
