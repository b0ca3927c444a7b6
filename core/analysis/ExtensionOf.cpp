#include "core/analysis/ExtensionOf.h"

namespace svl {

std::string_view rawExtension(std::string_view name) {
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

std::string extensionOf(const char* name, size_t length) {
    std::string ext(rawExtension(std::string_view(name, length)));
    for (char& c : ext)
        c = lowerAscii(c);
    return ext;
}

}  // namespace svl
