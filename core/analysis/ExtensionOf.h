// The one file-name extension rule of the system: the bytes after the last '.',
// ASCII A-Z lower-cased; empty when the name has no '.'. Any thread.
#pragma once

#include <cstddef>
#include <string>

namespace svl {

std::string extensionOf(const char* name, size_t length);

}  // namespace svl
