// Standard error of the windowless run: the program's own lines only. Qt and the libraries
// it loads print warnings of their own (a missing runtime folder, a failed PNG write) that
// a script reading standard error must not see, so they go to /dev/null.
#pragma once

#include <string_view>

// Keeps a private copy of standard error for programErrorLine and points descriptor 2 at
// /dev/null. Call once, before QApplication exists. Without it, lines go to standard error.
void quietLibraryMessages();

// Writes text (a line feed added when missing) to the program's own standard error.
void programErrorLine(std::string_view text);
