// Small file helpers shared by the tests of the file actions and the window's file commands.
#pragma once

#include "tests/support/TestSupport.h"

#include <sys/stat.h>

#include <string>

namespace filetest {

// Whether something (a dangling link included) exists at the path.
inline bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Writes a file, creating the folders it needs.
inline void put(const std::string& path, const std::string& content = "x")
{
    hmtest::sh("mkdir -p " + hmtest::shQuote(path.substr(0, path.rfind('/'))));
    hmtest::writeFile(path, content);
}

}  // namespace filetest
