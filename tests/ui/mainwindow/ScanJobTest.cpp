// The job's own rules without a window: the outcome of a finished job, the progress line,
// and a job that runs out of memory.
#include "tests/ui/mainwindow/MainWindowTestSupport.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <thread>

#include "core/tree/ScanTree.h"
#include "ui/mainwindow/ScanJob.h"

namespace {

std::unique_ptr<svl::ScanTree> treeOf(uint32_t nodes, double seconds) {
    auto tree = std::make_unique<svl::ScanTree>();
    tree->nodeCount = nodes;
    tree->seconds = seconds;
    return tree;
}

TEST(ScanJob, OutcomeOfAFinishedJob) {
    struct Case {
        uint32_t nodes;  // UINT32_MAX: no tree at all
        bool cancelled;
        JobKind kind;
        const char* error;
        JobOutcome::Page page;
        const char* status;
        std::vector<FailedFolder> failed = {};
    };
    const std::vector<FailedFolder> five = {{"/x/1", EIO}, {"/x/2", EIO}, {"/x/3", EIO}, {"/x/4", EIO}, {"/x/5", EIO}};
    const Case cases[] = {
        {0, false, JobKind::Folder, "", JobOutcome::Failed, "Could not read /x"},
        {0, false, JobKind::CsvImport, "bad header", JobOutcome::Failed, "Could not import /x: bad header"},
        {0, false, JobKind::MftLoad, "", JobOutcome::Failed, "Could not read /x"},
        {0, true, JobKind::Folder, "", JobOutcome::Cancelled, "Scan canceled after 1.25 seconds"},
        {1, true, JobKind::Multiple, "", JobOutcome::Cancelled, "Scan canceled after 1.25 seconds"},
        {2, true, JobKind::Folder, "", JobOutcome::Results, "Scan canceled after 1.25 seconds"},
        {1, false, JobKind::Folder, "", JobOutcome::Results, "Scan complete in 1.25 seconds"},
        {5, false, JobKind::CsvImport, "", JobOutcome::Results, "Import complete in 1.25 seconds"},
        {5, false, JobKind::MftLoad, "", JobOutcome::Results, "Import complete in 1.25 seconds"},
        // Work that failed outright stays a failure when a cancel came meanwhile.
        {UINT32_MAX, true, JobKind::Folder, "out of memory", JobOutcome::Failed, "Could not read /x: out of memory"},
        // Folders that could not be read are named after the outcome, the first three of them.
        {3, false, JobKind::Folder, "", JobOutcome::Results,
         "Scan complete in 1.25 seconds - Could not read /x/a: does not answer; /x/b: Input/output error",
         {{"/x/a", ETIMEDOUT}, {"/x/b", EIO}}},
        {3, true, JobKind::Multiple, "", JobOutcome::Results,
         "Scan canceled after 1.25 seconds - Could not read /x/gone: does not exist", {{"/x/gone", ENOENT}}},
        {6, false, JobKind::Folder, "", JobOutcome::Results,
         "Scan complete in 1.25 seconds - Could not read /x/1: Input/output error; /x/2: Input/output error; "
         "/x/3: Input/output error; \u2026",
         five},
    };
    for (const Case& c : cases) {
        const auto tree = c.nodes == UINT32_MAX ? nullptr : treeOf(c.nodes, 1.2549);
        const JobOutcome outcome = jobOutcome(tree.get(), c.cancelled, c.kind, "/x", c.error, {}, c.failed);
        EXPECT_EQ(outcome.page, c.page) << c.status;
        EXPECT_EQ(outcome.statusText, QString::fromUtf8(c.status));
    }
    // The time is written as sizes are, with a decimal comma in German.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(jobOutcome(treeOf(1, 1.2549).get(), false, JobKind::Folder, "/x", "").statusText,
              "Scan complete in 1,25 seconds");
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

TEST(ScanJob, FailedFoldersAreNamedByTheirFullPathsInTreeOrder) {
    hmtest::TempDir dir("hm-failed");
    windowtest::makeFolder(dir.path(), 3, 1);
    svl::ScanOptions options;
    std::unique_ptr<svl::ScanTree> tree = svl::scanSingle(dir.path(), options, nullptr);
    ASSERT_TRUE(tree);
    const auto idOf = [&](const std::string& path) { return uint32_t(tree->findPath(path.data(), path.size())); };
    const std::string first = idOf(dir / "d0") < idOf(dir / "d2") ? dir / "d0" : dir / "d2";
    const std::string second = first == dir / "d0" ? dir / "d2" : dir / "d0";
    // Recorded in no particular order, one of them past the tree's end.
    tree->failedFolders = {{idOf(second), EIO}, {tree->nodeCount, EIO}, {idOf(first), ETIMEDOUT}};
    EXPECT_EQ(failedFoldersOf(*tree), (std::vector<FailedFolder>{{QString::fromStdString(first), ETIMEDOUT},
                                                                 {QString::fromStdString(second), EIO}}));
}

TEST(ScanJob, ProgressLineFollowsKindAndImportPhase) {
    svl::ScanProgress progress;
    progress.folders = 1234;
    progress.files = 56789;
    EXPECT_EQ(jobProgressText(JobKind::Folder, progress), "Scanning... (Folders: 1,234  Files: 56,789)");
    EXPECT_EQ(jobProgressText(JobKind::Multiple, progress), "Scanning... (Folders: 1,234  Files: 56,789)");
    EXPECT_EQ(jobProgressText(JobKind::CsvImport, progress), "Importing... (Folders: 1,234  Files: 56,789)");
    EXPECT_EQ(jobProgressText(JobKind::MftLoad, progress), "Reading MFT... (Folders: 1,234  Files: 56,789)");
    progress.phase = 1;
    progress.percent = 37;
    EXPECT_EQ(jobProgressText(JobKind::CsvImport, progress), "Building tree... 37% (Folders: 1,234  Files: 56,789)");
    EXPECT_EQ(jobProgressText(JobKind::Folder, progress), "Scanning... (Folders: 1,234  Files: 56,789)");
    progress.phase = 2;
    EXPECT_EQ(jobProgressText(JobKind::MftLoad, progress), "Totaling sizes... (Folders: 1,234  Files: 56,789)");

    EXPECT_EQ(progressPercent(0), 0);
    EXPECT_EQ(progressPercent(0.999), 99);
    EXPECT_EQ(progressPercent(1.0), 100);
    EXPECT_EQ(progressPercent(1.7), 100);
    EXPECT_EQ(progressPercent(-0.5), 0);
}

TEST(ScanJob, RunningOutOfMemoryIsAFailureNotACrash) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer ends the process on a failed allocation instead of throwing";
#endif
    hmtest::TempDir dir("hm-job-oom");
    windowtest::makeFolder(dir.path(), 2, 2);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(30);
        // Too little address space left for the tree's reservations.
        if (!hmtest::limitAddressSpaceTo(64))
            _exit(2);
        JobRequest request;
        request.path = dir.path();
        svl::ScanProgress progress;
        JobResult result;
        try {
            result = runJob(request, progress, {});
        } catch (...) {
            _exit(3);
        }
        if (result.tree)
            _exit(4);
        _exit(result.error == "There is not enough memory to hold the result." ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ScanJob, ImportOfABrokenFileCarriesTheReason) {
    hmtest::TempDir dir("hm-job-import");
    hmtest::writeFile(dir / "broken.csv", "");
    JobRequest request;
    request.kind = JobKind::CsvImport;
    request.path = dir / "broken.csv";
    svl::ScanProgress progress;
    const JobResult result = runJob(request, progress, {});
    EXPECT_FALSE(result.tree && result.tree->nodeCount > 0);
    EXPECT_FALSE(result.error.isEmpty());
    const JobOutcome outcome = jobOutcome(result.tree.get(), false, request.kind, "broken.csv", result.error);
    EXPECT_EQ(outcome.page, JobOutcome::Failed);
    EXPECT_TRUE(outcome.statusText.startsWith("Could not import broken.csv: ")) << outcome.statusText.toStdString();
}

}  // namespace

TEST(ScanJob, JobThreadAndTheThreadsItStartsYieldToTheGuiThread) {
    const int gui = getpriority(PRIO_PROCESS, 0);
    int job = 0, started = 0;
    std::thread worker([&] {
        yieldToGuiThread();
        job = getpriority(PRIO_PROCESS, 0);
        std::thread inner([&] { started = getpriority(PRIO_PROCESS, 0); });
        inner.join();
    });
    worker.join();
    EXPECT_EQ(job, std::min(gui + 10, 19));
    EXPECT_EQ(started, job);
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), gui);  // the calling thread keeps its own
}
