#include "tests/support/FuseServer.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <set>

#include "tests/support/TestSupport.h"

namespace {

using hmtest::FuseAction;
using hmtest::FuseEntry;
using hmtest::FuseOp;
using hmtest::FuseServer;
using namespace std::chrono_literals;

std::vector<FuseEntry> smallTree() {
    std::vector<FuseEntry> tree = {{"a/sub", FuseEntry::Kind::Folder},
                                   {"b.txt", FuseEntry::Kind::File, 5000},
                                   {"l", FuseEntry::Kind::Link, 0, "a/f1"}};
    for (int i = 1; i <= 20; ++i)
        tree.push_back({"a/f" + std::to_string(i), FuseEntry::Kind::File, 100u * i});
    return tree;
}

// The names of a folder's entries ("." and ".." included); errno's value at the end in `error`.
std::set<std::string> listing(const std::string& path, int* error = nullptr) {
    std::set<std::string> names;
    errno = 0;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* e = ::readdir(dir))
            names.insert(e->d_name);
        if (error)
            *error = errno;
        ::closedir(dir);
    } else if (error) {
        *error = errno;
    }
    return names;
}

int statError(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? 0 : errno;
}

// fn's result from a forked child (which holds a copy of the server's device), -1 after 30 s.
int inChild(const std::function<int()>& fn) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(fn());
    int status = 0;
    for (int i = 0; i < 3000; ++i, std::this_thread::sleep_for(10ms))
        if (::waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return -1;
}

class FuseServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hmtest::isRoot())
            GTEST_SKIP() << "needs root to mount a FUSE file system";
    }
    hmtest::TempDir m_dir{"hmfuse"};
};

TEST_F(FuseServerTest, AnswersWhatTheTreeHolds) {
    for (const int chunk : {0, 3}) {
        SCOPED_TRACE("readdir chunk " + std::to_string(chunk));
        FuseServer server(smallTree());
        server.setReaddirChunk(chunk);
        const std::string m = m_dir / ("m" + std::to_string(chunk));
        ASSERT_TRUE(server.mount(m)) << server.error();
        struct stat file, again, folder, link;
        ASSERT_EQ(::stat((m + "/b.txt").c_str(), &file), 0);
        ASSERT_EQ(::stat((m + "/b.txt").c_str(), &again), 0);
        EXPECT_EQ(file.st_size, 5000);
        EXPECT_EQ(file.st_blocks, 16);
        EXPECT_EQ(file.st_mode, S_IFREG | 0644);
        EXPECT_EQ(file.st_ino, again.st_ino);
        EXPECT_EQ(file.st_uid, 0u);
        EXPECT_EQ(file.st_mtime, again.st_mtime);
        ASSERT_EQ(::stat((m + "/a").c_str(), &folder), 0);
        EXPECT_EQ(folder.st_mode, S_IFDIR | 0755);
        EXPECT_EQ(folder.st_nlink, 3u);
        ASSERT_EQ(::lstat((m + "/l").c_str(), &link), 0);
        char target[64] = {};
        EXPECT_EQ(::readlink((m + "/l").c_str(), target, sizeof target - 1), 4);
        EXPECT_STREQ(target, "a/f1");
        EXPECT_EQ(statError(m + "/a/missing"), ENOENT);

        std::set<std::string> expected = {".", "..", "sub"};
        for (int i = 1; i <= 20; ++i)
            expected.insert("f" + std::to_string(i));
        EXPECT_EQ(listing(m + "/a"), expected);
        EXPECT_EQ(listing(m), (std::set<std::string>{".", "..", "a", "b.txt", "l"}));
        EXPECT_GE(server.requestsSeen(FuseOp::Readdir), chunk ? 9 : 2);  // 23 entries in threes, then the end

        std::string content(6000, 'x');
        const int fd = ::open((m + "/b.txt").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::read(fd, content.data(), content.size()), 5000);
        ::close(fd);
        EXPECT_EQ(content.substr(0, 5000), std::string(5000, '\0'));
        struct statvfs fs;
        EXPECT_EQ(::statvfs(m.c_str(), &fs), 0);
        EXPECT_EQ(fs.f_bsize, 4096u);
    }
}

TEST_F(FuseServerTest, ADelayedServerIsSlowButAnswersManyAtOnce) {
    std::vector<FuseEntry> tree;
    for (int i = 0; i < 100; ++i)
        tree.push_back({"many/f" + std::to_string(i), FuseEntry::Kind::File, 1});
    FuseServer server(tree);
    ASSERT_TRUE(server.mount(m_dir / "m")) << server.error();
    ASSERT_EQ(statError(m_dir / "m/many"), 0);
    server.setAnswerDelay(300ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(statError(m_dir / "m/many/f0"), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

    // Each stat asks five times (getattr of each folder on the way, lookups, getattr): one
    // after another, 100 would take minutes.
    start = std::chrono::steady_clock::now();
    std::vector<std::future<int>> stats;
    for (int i = 0; i < 100; ++i)
        stats.push_back(std::async(std::launch::async, [&, i] { return statError(m_dir / ("m/many/f" + std::to_string(i))); }));
    for (auto& s : stats)
        EXPECT_EQ(s.get(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
}

// A call on a thread of its own that the server holds until the case lets it go.
TEST_F(FuseServerTest, HeldCallsEndAsTheServerLetsThemGo) {
    const std::string m = m_dir / "m";
    const std::function<int()> opendirA = [&] { int e = 0; listing(m + "/a", &e); return e; };
    const std::function<int()> statFile = [&] { return statError(m + "/a/f1"); };
    struct Case {
        const char* name;
        std::function<void(FuseServer&)> hold;
        std::function<int()> call;
        bool counted;  // the request is held by a rule (else never read)
        std::function<void(std::unique_ptr<FuseServer>&)> release;
        int expected;
    };
    const Case cases[] = {
        {"opendir withheld, failed with EIO", [](FuseServer& s) { s.addRule({FuseOp::Opendir, "a", FuseAction::Withhold}); },
         opendirA, true, [](auto& s) { s->failWithheld(EIO); }, EIO},
        {"listing withheld, failed later on its own",
         [](FuseServer& s) {
             s.addRule({FuseOp::Readdir, "a", FuseAction::Withhold});
             s.failWithheldAfter(500ms, ENXIO);
         },
         opendirA, true, [](auto&) {}, ENXIO},
        {"lookup withheld after a first look, then released",
         [&](FuseServer& s) {
             ASSERT_EQ(statFile(), 0);
             s.addRule({FuseOp::Lookup, "a/f1", FuseAction::Withhold});
         },
         statFile, true, [](auto& s) { s->releaseWithheld(); }, 0},
        {"a failing rule answers at once", [](FuseServer& s) { s.addRule({FuseOp::Getattr, "*", FuseAction::Fail, EPERM}); },
         statFile, false, nullptr, EPERM},
        {"not read, then read again", [](FuseServer& s) { s.stopReading(); }, statFile, false,
         [](auto& s) { s->resumeReading(); }, 0},
        {"withheld, ended by teardown", [](FuseServer& s) { s.addRule({FuseOp::Any, "*", FuseAction::Withhold}); },
         statFile, true, [](auto& s) { s.reset(); }, ECONNABORTED},
        {"withheld from a child process, ended by teardown",
         [](FuseServer& s) { s.addRule({FuseOp::Getattr, "a/f1", FuseAction::Withhold}); },
         [&] { return inChild(statFile); }, true, [](auto& s) { s.reset(); }, ECONNABORTED},
        {"not read, ended by teardown", [](FuseServer& s) { s.stopReading(); }, statFile, false,
         [](auto& s) { s.reset(); }, ENOTCONN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto server = std::make_unique<FuseServer>(smallTree());
        ASSERT_TRUE(server->mount(m)) << server->error();
        c.hold(*server);
        std::future<int> call = std::async(std::launch::async, c.call);
        if (c.release) {
            for (int i = 0; i < 1000 && c.counted && server->withheldCount() == 0; ++i)
                std::this_thread::sleep_for(10ms);
            EXPECT_EQ(call.wait_for(300ms), std::future_status::timeout);
            if (c.counted) {
                EXPECT_EQ(server->withheldCount(), 1);
            }
            c.release(server);
        }
        if (call.wait_for(20s) != std::future_status::ready && server)
            server->abort();  // a fault of the server: end the call rather than hang the test
        EXPECT_EQ(call.get(), c.expected);
        if (server) {
            EXPECT_EQ(server->withheldCount(), 0);
        }
        server.reset();
        EXPECT_EQ(hmtest::readText("/proc/self/mountinfo").find(m + " "), std::string::npos);
    }
}

TEST_F(FuseServerTest, AnOrdinaryAccountListsItOnlyWhenOthersAreAllowed) {
    for (const bool allow : {true, false}) {
        SCOPED_TRACE(allow ? "allow_other" : "root only");
        FuseServer server(smallTree());
        server.setAllowOther(allow);
        const std::string m = m_dir / (allow ? "m1" : "m2");
        ASSERT_TRUE(server.mount(m)) << server.error();
        const int seen = server.requestsSeen(FuseOp::Any);
        const int result = hmtest::runAsTestUser([&] {
            int error = 0;
            const std::size_t names = listing(m + "/a", &error).size();
            return error ? error : names == 23 && statError(m + "/b.txt") == 0 ? 0 : 1;
        });
        EXPECT_EQ(result, allow ? 0 : EACCES);
        if (!allow) {
            EXPECT_EQ(server.requestsSeen(FuseOp::Any), seen);  // refused by the kernel alone
        }
    }
}

}  // namespace
