// The one file-name extension rule of the system: the bytes after the last '.',
// ASCII A-Z lower-cased; empty when the name has no '.'. The statistics, the treemap
// colours and the exports all use it, so they agree. Any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace svl {

// The bytes after the last '.', as they stand in the name; empty when there is no '.'.
std::string_view rawExtension(std::string_view name);

constexpr char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// rawExtension with ASCII A-Z lower-cased.
std::string extensionOf(const char* name, size_t length);

}  // namespace svl
