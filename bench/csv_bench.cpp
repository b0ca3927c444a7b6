// CSV export and import of a generated 1,000,000-row file (skewed folder sizes, one folder of
// 150,000 files) at 1, 2, 4 and 8 threads, with the import's peak resident memory against its
// own estimate of 88 bytes per row. Usage: bench_csv_bench [folder for the files] (default $TMPDIR or /tmp).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/analysis/Parallel.h"
#include "core/exchange/CsvExport.h"
#include "core/exchange/CsvImport.h"
#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"

namespace {

constexpr uint64_t kRows = 1000000;
constexpr uint64_t kBigFolderFiles = 150000;
constexpr uint64_t kFolders = 5000;

// Writes the file: the root, the big folder, then folders whose file counts fall off as 1/(i+1).
uint64_t writeInput(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "File Name,Size,Allocated,Modified,Attributes,Files,Folders,DRIVECAPACITY,FREESPACE,USEDSPACE,"
           "RESERVEDSPACE\n";
    uint64_t rows = 0;
    uint64_t seed = 12345;
    auto next = [&] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return seed >> 33;
    };
    char line[512];
    auto fileRow = [&](const std::string& folder, uint64_t i) {
        static const char* const kExt[] = {"txt", "jpg", "so", "h", "cpp", "png", "mp4", "json"};
        const uint64_t size = next() % 5000000;
        const int n = std::snprintf(line, sizeof line,
                                    "\"%s/File-%06llu.%s\",%llu,%llu,2024/%02lu/%02lu %02lu:%02lu:%02lu,%d,0,0,,,,\n",
                                    folder.c_str(), (unsigned long long)i, kExt[i % 8], (unsigned long long)size,
                                    (unsigned long long)((size + 4095) / 4096 * 4096), next() % 12 + 1,
                                    next() % 28 + 1, next() % 24, next() % 60, next() % 60, i % 7 == 0 ? 2 : 0);
        out.write(line, n);
        ++rows;
    };
    auto folderRow = [&](const std::string& folder) {
        out << '"' << folder << "/\",0,4096,2024/01/01 00:00:00,0,0,0,,,,\n";
        ++rows;
    };
    out << "\"/bench/\",0,4096,2024/01/01 00:00:00,0," << kRows - kFolders - 3 << "," << kFolders + 1
        << ",1000000000000,400000000000,600000000000,0\n";
    ++rows;
    folderRow("/bench/big");
    for (uint64_t i = 0; i < kBigFolderFiles; ++i)
        fileRow("/bench/big", next() % 1000000);
    double harmonic = 0;
    for (uint64_t i = 0; i < kFolders; ++i)
        harmonic += 1.0 / double(i + 1);
    const uint64_t spread = kRows - rows - kFolders;
    uint64_t written = 0;
    for (uint64_t i = 0; i < kFolders; ++i) {
        // Every tenth folder sits inside the one before it.
        const std::string folder = (i % 10 == 9 ? "/bench/d" + std::to_string(i - 1) + "/d" : "/bench/d") +
                                   std::to_string(i);
        folderRow(folder);
        uint64_t count = uint64_t(double(spread) / harmonic / double(i + 1));
        if (i + 1 == kFolders)
            count = spread - written;
        count = std::min(count, spread - written);
        for (uint64_t f = 0; f < count; ++f)
            fileRow(folder, f);
        written += count;
    }
    return rows;
}

uint64_t peakRssKb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            uint64_t kb = 0;
            status >> kb;
            return kb;
        }
        std::getline(status, key);
    }
    return 0;
}

uint64_t currentRssKb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            uint64_t kb = 0;
            status >> kb;
            return kb;
        }
        std::getline(status, key);
    }
    return 0;
}

void resetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = argc > 1 ? argv[1] : (tmp ? tmp : "/tmp");
    const std::string input = folder + "/csv_bench_input.csv";
    const std::string output = folder + "/csv_bench_output.csv";
    const uint64_t rows = writeInput(input);
    std::printf("input: %llu rows, %s\n", (unsigned long long)rows, input.c_str());
    std::printf("%8s %10s %10s %12s %14s %12s\n", "threads", "import s", "export s", "import peak", "estimate 88/row",
                "export rows");
    double importOne = 0, exportOne = 0;
    std::vector<int> counts{1, 2, 4, 8};
    if (const char* only = std::getenv("CSV_BENCH_THREADS"))
        counts = {std::atoi(only)};
    for (int threads : counts) {
        svl::ScopedHardwareThreads scoped(threads);
        const uint64_t before = currentRssKb();
        resetPeakRss();
        auto start = std::chrono::steady_clock::now();
        svl::CsvImportResult result = svl::importCsv(input, nullptr, {});
        const double importSeconds = seconds(start);
        const uint64_t peak = peakRssKb();
        if (!result.tree) {
            std::printf("import failed: %s\n", result.error.c_str());
            return 1;
        }
        svl::CsvExportOptions options;
        options.utcTimes = std::getenv("CSV_BENCH_UTC") != nullptr;
        std::string error;
        start = std::chrono::steady_clock::now();
        if (!svl::exportCsv(*result.tree, {0}, false, options, result.driveCapacity, result.driveFree, output, &error)) {
            std::printf("export failed: %s\n", error.c_str());
            return 1;
        }
        const double exportSeconds = seconds(start);
        if (threads == 1) {
            importOne = importSeconds;
            exportOne = exportSeconds;
        }
        std::printf("%8d %10.3f %10.3f %9.1f MB %11.1f MB %12u   (speed-up import %.2fx, export %.2fx)\n", threads,
                    importSeconds, exportSeconds, double(peak > before ? peak - before : 0) / 1024.0,
                    double(rows * svl::kCsvImportBytesPerRow) / 1048576.0, result.tree->nodeCount,
                    importOne / importSeconds, exportOne / exportSeconds);
    }
    unlink(input.c_str());
    unlink(output.c_str());
    return 0;
}
