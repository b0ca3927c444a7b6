// Imports arbitrary bytes as a CSV or TSV file (the first byte picks the name) and exports the
// tree again: every input must give an error text or a well-formed tree, never a crash, a
// hang or a leak. The input is served from one memory file through two named links, so the
// mapping ends exactly at the last byte of the input.
#include "core/analysis/Parallel.h"
#include "core/exchange/CsvExport.h"
#include "core/exchange/CsvImport.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

int g_file = -1;
std::string g_csvPath, g_tsvPath;

bool setUp() {
    g_file = memfd_create("csv-import-fuzz", MFD_CLOEXEC);
    if (g_file < 0)
        return false;
    char folder[] = "/tmp/csv-import-fuzz-XXXXXX";
    if (!mkdtemp(folder))
        return false;
    const std::string target = "/proc/self/fd/" + std::to_string(g_file);
    g_csvPath = std::string(folder) + "/in.csv";
    g_tsvPath = std::string(folder) + "/in.tsv";
    return symlink(target.c_str(), g_csvPath.c_str()) == 0 && symlink(target.c_str(), g_tsvPath.c_str()) == 0;
}

void check(const svl::ScanTree& tree) {
    for (uint32_t id = 0; id < tree.nodeCount; ++id) {
        const svl::ScanNode& n = tree.node(id);
        if (!n.name || (id != 0 && n.parent >= id))
            __builtin_trap();
        if (n.childCount != 0 && (n.firstChild <= id || uint64_t(n.firstChild) + n.childCount > tree.nodeCount))
            __builtin_trap();
        for (uint32_t c = n.firstChild; c < n.firstChild + n.childCount; ++c)
            if (tree.node(c).parent != id)
                __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    svl::setHardwareThreadOverride(3);  // two parse workers and the merging thread
    if (!setUp())
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const bool tabs = data[0] & 1;
    if (ftruncate(g_file, 0) != 0 || pwrite(g_file, data + 1, size - 1, 0) != ssize_t(size - 1))
        return 0;
    svl::ScanProgress progress;
    svl::CsvImportResult result = svl::importCsv(tabs ? g_tsvPath : g_csvPath, &progress, {});
    if (!result.tree) {
        if (result.error.empty())
            __builtin_trap();
        return 0;
    }
    if (!result.error.empty())
        __builtin_trap();
    check(*result.tree);
    svl::CsvExportOptions options;
    options.utcTimes = true;
    options.tabSeparated = tabs;
    std::string error;
    (void)svl::exportCsv(*result.tree, {0}, false, options, result.driveCapacity, result.driveFree, "/dev/null",
                         &error);
    return 0;
}
