// The replacement file in a real folder: what stands at the name and beside it after a
// commit, a refused commit and a discard, also when the file gets descriptor 0.
#include "integration/ReplacementFile.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using hmtest::TempDir;

namespace {

// The names in a folder, sorted.
std::string namesIn(const std::string& folder) {
    return hmtest::shOutput("ls -A " + hmtest::shQuote(folder) + " | tr '\\n' ' '");
}

TEST(ReplacementFile, CommitReplacesTheNameAndAFailureOrDiscardLeavesNothingBeside) {
    TempDir dir("hm-replace");
    hmtest::writeFile(dir / "out", "old");
    ASSERT_EQ(::symlink("out", (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "full").c_str(), 0755), 0);
    hmtest::writeFile(dir / "full/x", "x");
    const int folder = ::open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    // name, expected commit result, what the folder holds afterwards
    const struct {
        const char* name;
        int result;
        const char* content;  // at the name after the commit
    } cases[] = {
        {"link", ELOOP, "old"},  // the link is left, and what it points to
        {"out", 0, "new"},
        {"fresh", 0, "new"},
        {"full", EISDIR, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReplacementFile file;
        ASSERT_EQ(file.create(folder, c.name, 0640), 0);
        ASSERT_EQ(file.write("new", 3), 0);
        errno = EIO;  // an errno left by earlier calls is no failure
        EXPECT_EQ(file.commit(), c.result);
        EXPECT_EQ(file.fd(), -1);
        if (c.content) {
            EXPECT_EQ(hmtest::readText(dir / c.name), c.content);
        }
        EXPECT_EQ(file.commit(), EBADF);  // nothing left to commit
    }
    struct stat st {};
    ASSERT_EQ(::lstat((dir / "link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(namesIn(dir.path()), "fresh full link out ");

    ReplacementFile never;
    EXPECT_EQ(never.commit(), EBADF);
    EXPECT_EQ(never.create(-1, "x", 0600), EBADF);

    // Descriptor 0 is a file like any other (a program started with standard input closed).
    {
        hmtest::StandardInputClosed closed;
        ReplacementFile file;
        EXPECT_EQ(file.create(folder, "zero", 0600), 0);
        EXPECT_EQ(file.fd(), 0);
        EXPECT_EQ(file.write("0", 1), 0);
        file.discard();
        EXPECT_EQ(::fcntl(0, F_GETFD), -1);  // closed by the discard
        EXPECT_EQ(file.fd(), -1);
        EXPECT_EQ(file.create(folder, "zero", 0600), 0);
        EXPECT_EQ(file.fd(), 0);
        EXPECT_EQ(file.write("0", 1), 0);
        EXPECT_EQ(file.commit(), 0);
        EXPECT_EQ(::fcntl(0, F_GETFD), -1);
    }
    EXPECT_EQ(hmtest::readText(dir / "zero"), "0");
    EXPECT_EQ(namesIn(dir.path()), "fresh full link out zero ");
    ::close(folder);
}

}  // namespace
