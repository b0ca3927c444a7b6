// The windowless run: reads one source (a folder, several folders, a CSV/TSV export or an
// MFT dump), filters it, and writes the CSV/TSV export, the file-types CSV and the treemap
// PNG that the command-line keys ask for. Prints nothing on success and one line per
// failure on standard error. Main thread, with a QApplication and no event loop turning.
#pragma once

#include <QString>

#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "core/analysis/RegexMatcher.h"

namespace svl {
class Filter;
struct CliOptions;
}  // namespace svl

namespace cliautomation {

// 0 when the source was read and every requested output was written, else 1.
int run(const svl::CliOptions& options);

// "Hollowmere: ", the message and a line feed on standard error, flushed.
void printError(const std::string& message);

// The decoded filter, or null for an empty text or one that decodes to no terms.
std::unique_ptr<svl::Filter> makeFilter(std::string_view text, bool fullPath, const svl::RegexFactory& factory);

// The stamped output name; the folder that will hold it is created with its parents
// (a failure shows in the write that follows).
QString prepareOutputPath(const std::string& name, time_t when);

}  // namespace cliautomation
