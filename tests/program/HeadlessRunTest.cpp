// End-to-end runs of the built hollowmere program without a window: a generated folder is
// scanned or a CSV imported, and the files written are compared byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FuseServer.h"
#include "tests/support/TestSupport.h"

using hmtest::shQuote;

namespace {

constexpr long long kTime = 1700000000;  // 2023/11/14 22:13:20 UTC

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

uint64_t allocatedOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : 0;
}

struct RunResult {
    int status = -1;
    std::string errors;
};

class HeadlessRun : public ::testing::Test {
protected:
    void SetUp() override {
        m_binary = hmtest::builtProgram();
        if (m_binary.empty())
            GTEST_SKIP() << "the hollowmere program is not built (HM_BINARY_DIR/hollowmere)";
        char* real = realpath(m_dir.path().c_str(), nullptr);
        m_root = real;
        std::free(real);
        for (const char* sub : {"home", "config", "runtime", "shared", "out"})
            ASSERT_EQ(mkdir((m_root + "/" + sub).c_str(), 0700), 0);
    }

    // Runs the program in the test folder with a clean environment, UTC and a private home.
    // `command` (shell words) runs instead of the program when given.
    RunResult run(const std::vector<std::string>& args, const std::string& prefix = "",
                  const std::string& command = "") {
        // Without a runtime folder (root under sudo or cron) when m_runtimeDir is false.
        std::string line = "cd " + shQuote(m_root) + " && " + prefix + " env -i PATH=/usr/bin:/bin TZ=UTC LANG=C " +
                           "HOME=" + shQuote(m_root + "/home") + " XDG_CONFIG_HOME=" + shQuote(m_root + "/config") +
                           (m_runtimeDir ? " XDG_RUNTIME_DIR=" + shQuote(m_root + "/runtime") : std::string()) +
                           " ZRT_SHARED_DIR=" + shQuote(m_root + "/shared") + " ZRT_NO_UPDATE_CHECK=1 " +
                           hmtest::sanitizerOptions(m_leakCheck) + (command.empty() ? shQuote(m_binary) : command);
        for (const std::string& a : args)
            line += " " + shQuote(a);
        line += " 2>" + shQuote(m_root + "/stderr.txt");
        RunResult r;
        r.status = hmtest::sh(line);
        r.errors = readAll(m_root + "/stderr.txt");
        return r;
    }

    // data/: sizes, a sparse file, a hard link pair, a name with a comma and a double quote,
    // an empty folder and a hidden file, all with fixed times.
    void makeData() {
        const std::string d = m_root + "/data";
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((d + "/empty").c_str(), 0755), 0);
        hmtest::writeFile(d + "/big.qqx", std::string(10000, 'x'));
        ASSERT_EQ(hmtest::sh("truncate -s 1048576 " + shQuote(d + "/sparse.zzv")), 0);
        hmtest::writeFile(d + "/link1", "hi\n");
        ASSERT_EQ(link((d + "/link1").c_str(), (d + "/link2").c_str()), 0);
        hmtest::writeFile(d + "/a,b \"c\".qqt", "abc");
        hmtest::writeFile(d + "/.hidden", "12345");
        long long t = kTime;
        for (const char* name : {"big.qqx", "sparse.zzv", "link1", "a,b \"c\".qqt", ".hidden", "empty"})
            hmtest::setMtime(d + "/" + name, t++);
        hmtest::setMtime(d, kTime - 100);
    }

    // The export of data/ with the drive columns off; the first of the two hard-link names
    // the scan meets keeps the allocation, so either may carry the marker.
    std::vector<std::string> expectedScanExports() {
        const std::string d = m_root + "/data";
        auto a = [&](const char* name) { return std::to_string(allocatedOf(d + "/" + name)); };
        const uint64_t linkAllocated = allocatedOf(d + "/link1");
        const uint64_t rootAllocated = allocatedOf(d) + allocatedOf(d + "/empty") + allocatedOf(d + "/big.qqx") +
                                       allocatedOf(d + "/sparse.zzv") + linkAllocated +
                                       allocatedOf(d + "/a,b \"c\".qqt") + allocatedOf(d + "/.hidden");
        std::vector<std::string> out;
        for (int marked : {1, 2}) {
            std::string text = "File Name,Size,Allocated,Modified,Attributes,Files,Folders\n";
            text += "\"" + d + "/\",1058590," + std::to_string(rootAllocated) + ",2023/11/14 22:13:24,0,6,1\n";
            text += "\"" + d + "/.hidden\",5," + a(".hidden") + ",2023/11/14 22:13:24,2,0,0\n";
            text += "\"" + d + "/a,b \"\"c\"\".qqt\",3," + a("a,b \"c\".qqt") + ",2023/11/14 22:13:23,0,0,0\n";
            text += "\"" + d + "/big.qqx\",10000," + a("big.qqx") + ",2023/11/14 22:13:20,0,0,0\n";
            text += "\"" + d + "/empty/\",0," + a("empty") + ",2023/11/14 22:13:25,0,0,0\n";
            text += "\"" + d + "/link1\",3," + std::string(marked == 1 ? "0" : "") + std::to_string(linkAllocated) +
                    ",2023/11/14 22:13:22,0,0,0\n";
            text += "\"" + d + "/link2\",3," + std::string(marked == 2 ? "0" : "") + std::to_string(linkAllocated) +
                    ",2023/11/14 22:13:22,0,0,0\n";
            text += "\"" + d + "/sparse.zzv\",1048576," + a("sparse.zzv") + ",2023/11/14 22:13:21,0,0,0\n";
            out.push_back(text);
        }
        return out;
    }

    hmtest::TempDir m_dir{"hm-headless"};
    std::string m_root;
    bool m_runtimeDir = true;
    bool m_leakCheck = true;
    std::string m_binary;
};

}  // namespace

TEST_F(HeadlessRun, ScanExportsAreByteExact) {
    makeData();
    const RunResult r = run({"--export=out/%d/scan.csv", "--exportdrivecapacity=0", "--exportfiletypes=out/types.csv",
                             "--sortbyfiletypes=3", "data"});
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.errors, "");
    const std::string csv = readAll(m_root + "/out/20" + hmtest::shOutput("date -u +%y%m%d").substr(0, 6) +
                                    "/scan.csv");
    const std::vector<std::string> expected = expectedScanExports();
    EXPECT_TRUE(csv == expected[0] || csv == expected[1]) << csv << "\nexpected:\n" << expected[0];

    const std::string d = m_root + "/data";
    const uint64_t linkAllocated = allocatedOf(d + "/link1");
    auto pct = [](uint64_t part, uint64_t total) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", double(part) * 100.0 / double(total));
        return std::string(text);
    };
    const uint64_t total = 1058590;
    const std::string types = "Extension,File Type,Percent,Size,Allocated,Files\n"
                              "\"\",\"(No Extension)\"," + pct(6, total) + ",6," + std::to_string(linkAllocated) +
                              ",2\n"
                              "\"hidden\",\"HIDDEN File\"," + pct(5, total) + ",5," +
                              std::to_string(allocatedOf(d + "/.hidden")) + ",1\n"
                              "\"qqt\",\"QQT File\"," + pct(3, total) + ",3," +
                              std::to_string(allocatedOf(d + "/a,b \"c\".qqt")) + ",1\n"
                              "\"qqx\",\"QQX File\"," + pct(10000, total) + ",10000," +
                              std::to_string(allocatedOf(d + "/big.qqx")) + ",1\n"
                              "\"zzv\",\"ZZV File\"," + pct(1048576, total) + ",1048576," +
                              std::to_string(allocatedOf(d + "/sparse.zzv")) + ",1\n";
    EXPECT_EQ(readAll(m_root + "/out/types.csv"), types);
}

// A mount whose server is gone inside the scanned folder, for root and for an ordinary user
// (whom the mount lets in, to wait like root): the run ends, the mount point is a row of its
// own with no size and no date, and everything else is as without it.
TEST_F(HeadlessRun, ADeadMountInsideIsListedAndTheRunEnds) {
    if (!hmtest::isRoot())
        GTEST_SKIP() << "mounting a FUSE file system needs root";
    makeData();
    const std::string d = m_root + "/data";
    ASSERT_EQ(mkdir((d + "/dead").c_str(), 0755), 0);
    hmtest::setMtime(d, kTime - 100);
    hmtest::DeadFuseMount dead(d + "/dead", true);
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    dead.abortAfter(std::chrono::seconds(60));  // a run that waits in the mount fails instead of hanging
    std::vector<std::string> prefixes = {""};
    if (hmtest::testUserUid() != uid_t(-1) &&
        hmtest::sh("chown -R hmtest " + shQuote(m_root + "/home") + " " + shQuote(m_root + "/config") + " " +
                   shQuote(m_root + "/runtime") + " " + shQuote(m_root + "/shared") + " " + shQuote(m_root + "/out")) == 0)
        prefixes.push_back("setpriv --reuid=" + std::to_string(hmtest::testUserUid()) +
                           " --regid=" + std::to_string(hmtest::testUserGid()) + " --clear-groups");
    for (const std::string& prefix : prefixes) {
        const auto started = std::chrono::steady_clock::now();
        const RunResult r = run({"--export=out/scan.csv", "--exportdrivecapacity=0", "data"}, prefix);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << prefix;
        EXPECT_EQ(r.status, 0) << prefix << r.errors;
        const std::string csv = readAll(m_root + "/out/scan.csv");
        bool matched = false;
        for (std::string text : expectedScanExports()) {
            text.replace(text.find(",6,1\n"), 5, ",6,2\n");
            text.insert(text.find("\"" + d + "/empty/\""), "\"" + d + "/dead/\",0,0,1970/01/01 00:00:00,0,0,0\n");
            matched = matched || csv == text;
        }
        EXPECT_TRUE(matched) << prefix << csv;
        ::unlink((m_root + "/out/scan.csv").c_str());
    }
}

// Roots that cannot be reached, alone or beside a readable folder: each is named with its own
// reason, the run ends within the time limit, exits 1 and writes only what the others give.
TEST_F(HeadlessRun, UnreachableRootsAreNamedWithTheirReasons) {
    if (!hmtest::isRoot() || hmtest::testUserUid() == uid_t(-1))
        GTEST_SKIP() << "mounting FUSE file systems and running as the test account need root";
    makeData();
    // Q's inner folder and P itself may not be read by the test account.
    ASSERT_EQ(hmtest::sh("mkdir -p " + shQuote(m_root + "/q/inner") + " " + shQuote(m_root + "/p") + " " +
                         shQuote(m_root + "/dead") + " && chmod 700 " + shQuote(m_root + "/q") + " " +
                         shQuote(m_root + "/p") + " && chown -R hmtest " + shQuote(m_root + "/home") + " " +
                         shQuote(m_root + "/config") + " " + shQuote(m_root + "/runtime") + " " +
                         shQuote(m_root + "/shared") + " " + shQuote(m_root + "/out")),
              0);
    hmtest::DeadFuseMount dead(m_root + "/dead", true);
    if (!dead.ok())
        GTEST_SKIP() << dead.error();
    dead.abortAfter(std::chrono::seconds(90));  // a run that waits in the mount fails instead of hanging
    // A server that reads every request and answers none: its caller waits past every signal.
    hmtest::FuseServer held({});
    held.addRule({hmtest::FuseOp::Any, "*", hmtest::FuseAction::Withhold});
    if (!held.mount(m_root + "/held"))
        GTEST_SKIP() << held.error();
    held.failWithheldAfter(std::chrono::seconds(90), EIO);  // a run held by it fails instead of hanging
    hmtest::StoppedFuseMount stopped(m_root);
    if (!stopped.ok())
        GTEST_SKIP() << stopped.error();
    hmtest::writeFile(stopped.mountPoint() + "/seen", "x");
    stopped.stop(std::chrono::seconds(90));
    m_leakCheck = false;  // the run leaves a thread waiting on the stopped daemon
    const std::string stoppedPoint = stopped.mountPoint().substr(m_root.size() + 1);
    const std::string asUser = "setpriv --reuid=" + std::to_string(hmtest::testUserUid()) +
                               " --regid=" + std::to_string(hmtest::testUserGid()) + " --clear-groups";
    const auto line = [&](const std::string& root, const char* reason) {
        return "Hollowmere: couldn't scan " + m_root + "/" + root + " - " + reason + ".\n";
    };
    struct Case {
        std::vector<std::string> roots;
        bool ordinaryUser;
        std::string errors;
        bool writesData;  // the export holds data/'s rows; else nothing is written
    };
    const std::vector<Case> cases = {
        {{"dead"}, false, line("dead", "does not answer"), false},
        {{"data", "dead"}, false, line("dead", "does not answer"), true},
        // The run's look at it stays in the kernel after the outputs are written.
        {{"data", "held"}, false, line("held", "does not answer"), true},
        {{stoppedPoint}, false, line(stoppedPoint, "does not answer"), false},
        {{"data", stoppedPoint}, false, line(stoppedPoint, "does not answer"), true},
        {{"data", "p"}, true, line("p", "permission denied"), true},
        {{"p"}, true, line("p", "permission denied"), false},
        {{"data", "q/inner", "gone"}, true, line("gone", "does not exist") + line("q/inner", "permission denied"), true},
    };
    const std::vector<std::string> expected = expectedScanExports();
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--export=out/o.csv", "--exportdrivecapacity=0"};
        args.insert(args.end(), c.roots.begin(), c.roots.end());
        const auto started = std::chrono::steady_clock::now();
        const RunResult r = run(args, c.ordinaryUser ? asUser : "");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << c.errors;
        EXPECT_EQ(r.status, 1) << c.errors;
        EXPECT_EQ(r.errors, c.errors);
        const std::string csv = readAll(m_root + "/out/o.csv");
        if (c.writesData)
            EXPECT_NE(std::find(expected.begin(), expected.end(), csv), expected.end()) << c.errors << csv;
        else
            EXPECT_FALSE(exists(m_root + "/out/o.csv")) << c.errors << csv;
        ::unlink((m_root + "/out/o.csv").c_str());
    }
}

TEST_F(HeadlessRun, ExportImportExportRoundTripAndThreadCounts) {
    makeData();
    RunResult r = run({"--export=out/first.csv", "data"});
    ASSERT_EQ(r.status, 0) << r.errors;
    const std::string first = readAll(m_root + "/out/first.csv");
    // The drive figures of the scanned folder's volume are on the root row.
    const size_t rowStart = first.find('\n') + 1;
    const std::string rootRow = first.substr(rowStart, first.find('\n', rowStart) + 1 - rowStart);
    EXPECT_EQ(std::count(rootRow.begin(), rootRow.end(), ','), 10);
    EXPECT_NE(rootRow.find(",0\n"), std::string::npos) << rootRow;

    r = run({"--export=out/second.csv", "out/first.csv"});
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(readAll(m_root + "/out/second.csv"), first);
    // One processor or all of them: the same bytes.
    if (hmtest::haveTool("taskset")) {
        r = run({"--export=out/third.csv", "out/second.csv"}, "taskset -c 0");
        ASSERT_EQ(r.status, 0) << r.errors;
        EXPECT_EQ(readAll(m_root + "/out/third.csv"), first);
    }
    // A TSV export reads back too.
    r = run({"--export=out/tab.TSV", "--exportdrivecapacity=0", "out/first.csv"});
    ASSERT_EQ(r.status, 0) << r.errors;
    r = run({"--export=out/back.csv", "--exportdrivecapacity=0", "out/tab.TSV"});
    ASSERT_EQ(r.status, 0) << r.errors;
    std::string tab = readAll(m_root + "/out/tab.TSV");
    std::replace(tab.begin(), tab.end(), '\t', ',');
    EXPECT_EQ(readAll(m_root + "/out/back.csv"), tab);
}

TEST_F(HeadlessRun, DriveColumnsTakeTheFreeSpaceOrdinaryUsersHave) {
    // A volume whose reserve for the administrator is a fifth of it.
    hmtest::LoopMount volume(m_root, "mkfs.ext4 -q -F -m 20", 32);
    if (!volume.ok())
        GTEST_SKIP() << volume.error();
    hmtest::writeFile(volume.mountPoint() + "/f", "x");
    struct statvfs vfs {};
    ASSERT_EQ(statvfs(volume.mountPoint().c_str(), &vfs), 0);
    ASSERT_GT(vfs.f_bfree, vfs.f_bavail);
    const std::string capacity = std::to_string(uint64_t(vfs.f_blocks) * vfs.f_frsize);
    const std::string available = std::to_string(uint64_t(vfs.f_bavail) * vfs.f_frsize);
    RunResult r = run({"--export=out/v.csv", volume.mountPoint()});
    ASSERT_EQ(r.status, 0) << r.errors;
    const std::string csv = readAll(m_root + "/out/v.csv");
    const size_t rowStart = csv.find('\n') + 1;
    const std::string rootRow = csv.substr(rowStart, csv.find('\n', rowStart) + 1 - rowStart);
    const std::string used = std::to_string(uint64_t(vfs.f_blocks - vfs.f_bavail) * vfs.f_frsize);
    EXPECT_NE(rootRow.find("," + capacity + "," + available + "," + used + ",0\n"), std::string::npos) << rootRow;
    // Imported again, the same figures come back.
    r = run({"--export=out/again.csv", "out/v.csv"});
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(readAll(m_root + "/out/again.csv"), csv);
}

TEST_F(HeadlessRun, SourceChoiceAndFilters) {
    makeData();
    hmtest::writeFile(m_root + "/a.CSV", "\"/a/\",0,0,,0\n\"/a/one\",1,0,,0\n");
    hmtest::writeFile(m_root + "/b.csv", "\"/b/\",0,0,,0\n\"/b/two\",2,0,,0\n");
    hmtest::writeFile(m_root + "/c.txt", "\"/c/\",0,0,,0\n");
    RunResult r = run({"--export=out/x.csv", "--exportdrivecapacity=0", "b.csv", "c.txt", "a.CSV"});
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(readAll(m_root + "/out/x.csv"), "File Name,Size,Allocated,Modified,Attributes,Files,Folders\n"
                                              "\"/b/\",2,0,1970/01/01 00:00:00,0,1,0\n"
                                              "\"/b/two\",2,0,1970/01/01 00:00:00,0,0,0\n");
    // A folder wins over a CSV file, and then no drive figures are taken.
    r = run({"--export=out/y.csv", "--filter='*.qqx' | 'link1'", "--filterexclude=link2", "b.csv", "data"});
    ASSERT_EQ(r.status, 0) << r.errors;
    const std::string y = readAll(m_root + "/out/y.csv");
    EXPECT_NE(y.find("/data/\",10003,"), std::string::npos) << y;
    EXPECT_NE(y.find("/data/big.qqx\""), std::string::npos) << y;
    EXPECT_NE(y.find("/data/link1\""), std::string::npos) << y;
    EXPECT_EQ(y.find("/data/link2\""), std::string::npos) << y;
    EXPECT_NE(y.find(",0,2,0,,,,\n"), std::string::npos) << y;
}

TEST_F(HeadlessRun, FailuresAreOneLineAndExitCodeOne) {
    makeData();
    RunResult r = run({"--export=out/none.csv", "missing", "also-missing.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, "Hollowmere: no valid folder path given to scan.\n");
    EXPECT_FALSE(exists(m_root + "/out/none.csv"));

    r = run({"--export=out/rows.csv", "--exportfiles=0", "--exportfolders=0", "--exportfiletypes=out/t.csv", "data"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, "Hollowmere: couldn't write out/rows.csv - Either one or both of \"Export Files\" and "
                        "\"Export Folders\" must be selected.\n");
    EXPECT_TRUE(exists(m_root + "/out/t.csv"));

    r = run({"--export=/dev/full", "--exportfiletypes=/dev/full", "data"});
    EXPECT_EQ(r.status, 1);
    const std::string full = std::strerror(ENOSPC);
    EXPECT_EQ(r.errors, "Hollowmere: couldn't write /dev/full - Couldn't write the file. " + full +
                            "\nHollowmere: couldn't write /dev/full - " + full + "\n");

    // The work runs in a child of the program (an output nobody reads holds it): a child that is
    // killed is a failure named on standard error; SIGTERM to the program ends both by it.
    ASSERT_EQ(mkfifo((m_root + "/out/fifo.csv").c_str(), 0644), 0);
    const auto parentOf = [](pid_t pid) {
        const std::string stat = hmtest::readText("/proc/" + std::to_string(pid) + "/stat");
        const size_t end = stat.rfind(')');
        return end == std::string::npos ? pid_t(-1) : pid_t(std::atoi(stat.c_str() + end + 4));
    };
    for (const int signal : {SIGKILL, SIGTERM}) {
        const auto fifoRuns = [] {
            return hmtest::processesWhere([](pid_t, const std::vector<std::string>& a) {
                return a.size() == 3 && a[1] == "--export=out/fifo.csv";
            });
        };
        std::thread killer([&] {
            for (int tries = 0; tries < 3000; ++tries, ::usleep(10000)) {
                const std::vector<pid_t> runs = fifoRuns();
                for (const pid_t pid : runs)
                    if (std::find(runs.begin(), runs.end(), parentOf(pid)) != runs.end()) {
                        ::kill(signal == SIGKILL ? pid : parentOf(pid), signal);
                        return;
                    }
            }
        });
        r = run({"--export=out/fifo.csv", "data"});
        killer.join();
        for (int tries = 0; tries < 500 && !fifoRuns().empty(); ++tries)
            ::usleep(10000);
        EXPECT_TRUE(fifoRuns().empty()) << "the work was left behind";
        if (!fifoRuns().empty())  // lets a left one write and end
            ::close(::open((m_root + "/out/fifo.csv").c_str(), O_RDONLY | O_NONBLOCK));
        EXPECT_EQ(r.status, signal == SIGKILL ? 1 : 128 + SIGTERM) << signal;
        if (signal == SIGKILL)
            EXPECT_EQ(r.errors, "Hollowmere: the run ended on signal 9 (Killed).\n");
        else
            EXPECT_EQ(r.errors.find("Hollowmere"), std::string::npos) << r.errors;  // the shell may say so
    }

    hmtest::writeFile(m_root + "/junk.csv", std::string("\x00\x01\"\n,,\n\"", 8));
    r = run({"--export=out/j.csv", "junk.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, "Hollowmere: couldn't import " + m_root +
                            "/junk.csv - No rows found. This doesn't look like a Sorvale CSV file.\n");

    // Record signatures every 1024 bytes and noise between them: no root folder, no export.
    std::string noise(16384, '\0');
    std::minstd_rand random(3);
    for (size_t at = 0; at < noise.size(); ++at)
        noise[at] = at % 1024 < 4 ? "FILE"[at % 1024] : char(random());
    hmtest::writeFile(m_root + "/noise.mft", noise);
    r = run({"--export=out/n.csv", "noise.mft"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, "Hollowmere: couldn't read " + m_root + "/noise.mft - the MFT holds no root folder record\n");
    EXPECT_FALSE(exists(m_root + "/out/n.csv"));
}

TEST_F(HeadlessRun, SeveralRootsAreApartAndThereAndNamesKeepTheirBytes) {
    makeData();
    // Roots that are one folder, or one inside the other, by name, through a link or a bind
    // mount: {inputs, inner, outer} (inputs are read in sorted order).
    ASSERT_EQ(symlink("data", (m_root + "/via-link").c_str()), 0);
    std::vector<std::array<std::string, 4>> nested = {{"data/./empty", "data", "data/empty", "data"},
                                                      {"data", "via-link", "data", "via-link"},
                                                      {"via-link/empty", "data", "via-link/empty", "data"}};
    hmtest::Mounts mounts;
    if (hmtest::isRoot()) {
        ASSERT_EQ(mkdir((m_root + "/bm").c_str(), 0755), 0);
        ASSERT_TRUE(mounts.bind(m_root + "/data", m_root + "/bm"));
        nested.push_back({"data", "bm", "bm", "data"});
        nested.push_back({"bm/empty", "data", "bm/empty", "data"});
        nested.push_back({"data/empty", "bm", "data/empty", "bm"});
    }
    for (const auto& [first, second, inner, outer] : nested) {
        const RunResult r = run({"--export=out/nested.csv", first, second});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.errors, "Hollowmere: \"" + m_root + "/" + inner + "\" is included within \"" + m_root + "/" + outer +
                                "\" They cannot both be selected.\n");
        EXPECT_FALSE(exists(m_root + "/out/nested.csv"));
    }

    // A missing root is named and costs only itself, as with du.
    RunResult r = run({"--export=out/missing.csv", "--exportdrivecapacity=0", "data", "gone", "gone2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, "Hollowmere: couldn't scan " + m_root + "/gone - does not exist.\nHollowmere: couldn't scan " +
                            m_root + "/gone2 - does not exist.\n");
    const std::vector<std::string> expected = expectedScanExports();
    EXPECT_NE(std::find(expected.begin(), expected.end(), readAll(m_root + "/out/missing.csv")), expected.end());
    // So is one below a folder the ordinary user may not enter.
    if (hmtest::isRoot() && hmtest::testUserUid() != uid_t(-1)) {
        ASSERT_EQ(hmtest::sh("cd " + shQuote(m_root) + " && mkdir -p locked/inner && chown -R hmtest: . && "
                             "chown root: locked && chmod 700 locked"),
                  0);
        r = run({"--export=out/denied.csv", "--exportdrivecapacity=0", "data", "locked/inner"}, "runuser -u hmtest --");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.errors, "Hollowmere: couldn't scan " + m_root + "/locked/inner - permission denied.\n");
        EXPECT_NE(std::find(expected.begin(), expected.end(), readAll(m_root + "/out/denied.csv")), expected.end());
    }
    // With one root left, the outputs are that root's alone: its drive columns too.
    r = run({"--export=out/one-left.csv", "data", "gone"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, "Hollowmere: couldn't scan " + m_root + "/gone - does not exist.\n");
    r = run({"--export=out/alone.csv", "data"});
    EXPECT_EQ(r.status, 0);
    // The free space may move between the runs; the header and the rows below the root may not.
    const auto withoutRootRow = [](const std::string& csv) {
        const size_t row = csv.find('\n') + 1;
        return csv.substr(0, row) + csv.substr(csv.find('\n', row));
    };
    const std::string oneLeft = readAll(m_root + "/out/one-left.csv");
    EXPECT_NE(oneLeft.find(",DRIVECAPACITY,"), std::string::npos) << oneLeft;
    EXPECT_EQ(withoutRootRow(oneLeft), withoutRootRow(readAll(m_root + "/out/alone.csv")));

    const std::string bad = "bad\xff" "name";
    ASSERT_EQ(mkdir((m_root + "/" + bad).c_str(), 0755), 0);
    hmtest::writeFile(m_root + "/" + bad + "/x", "abc");
    r = run({"--export=out/bad.csv", "--exportdrivecapacity=0", bad});
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_NE(readAll(m_root + "/out/bad.csv").find("\"" + m_root + "/" + bad + "/x\",3,"), std::string::npos);
}

TEST_F(HeadlessRun, LibraryMessagesStayOffStandardError) {
    hmtest::writeFile(m_root + "/small.csv", "\"/s/\",0,0,,0\n\"/s/f\",1,0,,0\n");
    m_runtimeDir = false;
    RunResult r = run({"--export=out/s.csv", "--treemapimagefile=out/s.png", "small.csv"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.errors, "");
    // The PNG library's own complaint about the full device stays out; the program's line stays in.
    ASSERT_EQ(symlink("/dev/full", (m_root + "/out/full.png").c_str()), 0);
    r = run({"--treemapimagefile=out/full.png", "small.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, "Hollowmere: couldn't write out/full.png - " + std::string(std::strerror(ENOSPC)) + "\n");
}

TEST_F(HeadlessRun, ImportRunningOutOfMemoryIsAnError) {
    if (!hmtest::haveTool("bash"))
        GTEST_SKIP() << "needs bash for ulimit";
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot reserve its shadow memory under an address-space limit";
#endif
    hmtest::writeFile(m_root + "/small.csv", "\"/s/\",0,0,,0\n\"/s/f\",1,0,,0\n");
    // Too little address space for the tree's reservations: an error, not an abort.
    const RunResult r = run({"--export=out/s.csv", "small.csv"}, "ulimit -v 1200000 &&");
    EXPECT_EQ(r.status, 1) << r.errors;
    EXPECT_NE(r.errors.find("Hollowmere: couldn't import " + m_root + "/small.csv - Out of memory."),
              std::string::npos)
        << r.errors;
}

TEST_F(HeadlessRun, TreemapImage) {
    makeData();
    const RunResult r = run({"--treemapimagefile=out/pics/map-%d.jpg", "--treemapimagewidth=0",
                             "--treemapimageheight=40", "data"});
    ASSERT_EQ(r.status, 0) << r.errors;
    const std::string png =
        readAll(m_root + "/out/pics/map-20" + hmtest::shOutput("date -u +%y%m%d").substr(0, 6) + ".png");
    ASSERT_GE(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    auto be32 = [&](size_t at) {
        return (uint32_t(uint8_t(png[at])) << 24) | (uint32_t(uint8_t(png[at + 1])) << 16) |
               (uint32_t(uint8_t(png[at + 2])) << 8) | uint32_t(uint8_t(png[at + 3]));
    };
    EXPECT_EQ(be32(16), 1u);
    EXPECT_EQ(be32(20), 40u);
}

// The README's report command passes its other keys on and reads a relative folder from
// where the user stands.
TEST_F(HeadlessRun, ReportScriptPassesKeysOnAndReadsTheFolderWhereTheUserStands) {
    makeData();
    const std::string script = std::string(getenv("HM_TEST_SOURCE_DIR")) + "/scripts/run.sh";
    const RunResult r = run({"--report", "--filter=*.qqx", "data"}, "",
                            "HOLLOWMERE_PROGRAM=" + shQuote(m_binary) + " bash " + shQuote(script));
    ASSERT_EQ(r.status, 0) << r.errors;
    const std::string csv = readAll(m_root + "/hollowmere-output/scan.csv");
    EXPECT_NE(csv.find("\"" + m_root + "/data/big.qqx\""), std::string::npos) << csv;
    EXPECT_EQ(csv.find("/data/link1\""), std::string::npos) << csv;
    EXPECT_TRUE(exists(m_root + "/hollowmere-output/filetypes.csv"));
    EXPECT_TRUE(exists(m_root + "/hollowmere-output/treemap.png"));
}
