// The work of one scan or import job and the texts the window shows for it: the body
// that runs on the job thread (scan one or several folders, import a CSV/TSV export, load
// an MFT dump), the progress line and the outcome of a finished job. Plain functions, so
// the road can be tried without a window.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/scan/ScanDriver.h"
#include "core/tree/ScanTree.h"

enum class JobKind : int { Folder = 0, CsvImport = 1, MftLoad = 2, Multiple = 3 };

// What the job thread works from: its own copies, nothing shared with the window but the
// progress record.
struct JobRequest {
    JobKind kind = JobKind::Folder;
    std::string path;
    std::vector<std::string> roots;  // several folders; when not empty they are scanned whatever the kind
    svl::ScanOptions options;
    std::shared_ptr<const svl::Filter> exclude;  // kept alive for options.exclude
};

// A root that could not be reached, by its path as given, and why.
struct UnreachedRoot {
    QString path;
    svl::RootReach reach = svl::RootReach::Missing;
    bool operator==(const UnreachedRoot&) const = default;
};

// A folder below the roots that could not be read, by its full path, and its errno
// (ETIMEDOUT: its file system does not answer).
struct FailedFolder {
    QString path;
    int error = 0;
    bool operator==(const FailedFolder&) const = default;
};

// The failed folders of `tree` with their full paths, in node order.
std::vector<FailedFolder> failedFoldersOf(const svl::ScanTree& tree);

struct JobResult {
    std::shared_ptr<svl::ScanTree> tree;  // null when nothing could be read or the work failed
    QString error;                        // the failure text; empty when there is none
    bool driveKnown = false;              // an imported file carried its drive's figures
    uint64_t driveCapacity = 0;
    uint64_t driveFree = 0;
    std::vector<uint32_t> deniedIds;      // folders whose access was denied, found on the job thread
    std::vector<UnreachedRoot> unreachedRoots;  // roots that could not be reached (the tree has the rest)
    std::vector<FailedFolder> failedFolders;    // folders below the roots that could not be read
};

// What a job's worker shares with the window. A job the window gave up on keeps its own
// state alive until its worker ends, so a later job never shares a progress record with it.
struct JobState {
    svl::ScanProgress progress;
    JobResult result;  // written by the worker before it posts, read after the thread ended
    // A rescan's further figures: whether it stopped at the cancel flag, and its time.
    bool rescanCancelled = false;
    double rescanSeconds = 0;
};

// Ids, in order, of the folders whose access was denied and that are not removed (a root that
// is missing or does not answer is not one of them).
std::vector<uint32_t> deniedFolderIds(const svl::ScanTree& tree);

// (bytes needed, bytes free) -> go on. Called on the job thread.
using MemoryQuestion = std::function<bool(unsigned long, unsigned long)>;

// Runs the job on the calling thread. Never throws: running out of memory (or any other
// exception from the core) gives a null tree and an error text. A declined memory question
// sets the progress record's cancel flag, so the job ends as cancelled.
JobResult runJob(const JobRequest& request, svl::ScanProgress& progress, const MemoryQuestion& memoryQuestion);

// Lowers the calling thread's scheduling priority (and with it the priority of every
// thread it starts, such as the scanner's workers) so that the GUI thread keeps its
// turns while a job keeps every processor busy. Call first thing on the job thread;
// a refusal by the system changes nothing.
void yieldToGuiThread();

// The header's status line while a job runs.
QString jobProgressText(JobKind kind, const svl::ScanProgress& progress);
// The progress bar's value for a fraction that may exceed 1.
int progressPercent(double fraction);

// What a finished job leaves on screen.
struct JobOutcome {
    enum Page { Failed, Cancelled, Results };
    Page page = Failed;
    QString statusText;
};

// `label` is the job's path or its roots joined by "; "; a null tree counts as no nodes.
// `unreached`, roots that could not be reached, are each named with their reason: as the
// failure when nothing was read, else after the shown result, followed by the first
// `failed` folders below the roots.
JobOutcome jobOutcome(const svl::ScanTree* tree, bool cancelled, JobKind kind, const QString& label,
                      const QString& error, const std::vector<UnreachedRoot>& unreached = {},
                      const std::vector<FailedFolder>& failed = {});
// Why a root could not be reached, as the window says it ("does not answer" ...).
QString reachText(svl::RootReach reach);
// Why a folder could not be read, from its errno: "does not answer" for ETIMEDOUT.
QString failureText(int error);
// " - Could not read a: does not answer; b: …" naming the unreached roots and the first few
// failed folders; empty when there are none.
QString unreadSuffix(const std::vector<UnreachedRoot>& unreached, const std::vector<FailedFolder>& failed);
