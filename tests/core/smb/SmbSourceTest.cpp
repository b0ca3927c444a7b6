// The SMB share crawler against a real Samba server on loopback (listing, login failures,
// walk controls, a symbolic-link loop) and against canned helper streams (what a damaged or
// hostile helper or server sends).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "core/scan/ScanDriver.h"
#include "core/smb/SmbSource.h"
#include "core/smb/SmbWire.h"
#include "core/tree/ScanTree.h"
#include "tests/support/SambaServer.h"
#include "tests/support/TestSupport.h"

using hmtest::SambaServer;

namespace {

svl::SmbLogin loginFor(const SambaServer& server) {
    return svl::SmbLogin{server.address(), server.shareName(), SambaServer::user(), SambaServer::password(), ""};
}

struct Listed {
    std::map<std::string, int> errors;  // folder -> error of its listing
    std::vector<std::string> order;
    std::map<std::string, svl::RemoteEntry> entries;  // path -> entry (name pointer not kept)
};

// Walks with a visitor that records every listing; `keepOut` clears descend flags.
int walk(svl::RemoteSource& source, const std::string& start, Listed& listed, std::string& error,
         const std::function<bool()>& cancelled = {}, bool keepOut = false) {
    return source.walk(
        start,
        [&](const std::string& folder, const svl::RemoteEntry* e, int count, unsigned char* descend, int err) {
            EXPECT_EQ(listed.errors.count(folder), 0u) << folder << " listed twice";
            listed.errors[folder] = err;
            listed.order.push_back(folder);
            EXPECT_EQ(count == 0, e == nullptr);
            for (int i = 0; i < count; ++i) {
                EXPECT_EQ(descend[i] != 0, e[i].isDir);
                if (keepOut)
                    descend[i] = 0;
                svl::RemoteEntry copy = e[i];
                copy.name = nullptr;
                listed.entries[folder.empty() ? e[i].name : folder + "/" + e[i].name] = copy;
            }
        },
        cancelled, error);
}

// path below the root -> "F" or size and modification time, the folder totals included.
std::map<std::string, std::string> flatten(const svl::ScanTree& tree) {
    std::map<std::string, std::string> out;
    std::vector<std::string> paths(tree.nodeCount);
    for (uint32_t id = 1; id < tree.nodeCount; ++id) {
        const svl::ScanNode& n = tree.node(id);
        paths[id] = (n.parent == 0 ? std::string() : paths[n.parent] + "/") + std::string(n.nameView());
        out[paths[id]] = n.isFolder() ? "F " + std::to_string(n.size) + " files " + std::to_string(n.filesBelow) +
                                            " folders " + std::to_string(n.foldersBelow)
                                      : std::to_string(n.size) + " @" + std::to_string(n.modified);
    }
    return out;
}

class ShareProvider : public svl::RemoteProvider {
public:
    ShareProvider(std::string folder, svl::SmbLogin login, svl::SmbConnectOptions options = {})
        : m_folder(std::move(folder)), m_login(std::move(login)), m_options(std::move(options)) {}
    std::optional<svl::SmbMountInfo> findSmbMount(const std::string& path) override {
        if (path != m_folder)
            return std::nullopt;
        return svl::SmbMountInfo{m_login.server, "", m_login.share, "", m_folder, m_login.user, ""};
    }
    std::unique_ptr<svl::RemoteSource> open(const svl::SmbMountInfo&) override {
        return svl::makeSmbSource(m_login, m_options);
    }

private:
    std::string m_folder;
    svl::SmbLogin m_login;
    svl::SmbConnectOptions m_options;
};

}  // namespace

TEST(SmbSourceTest, ShareReadOverSmbEqualsTheLocalScanOfItsFolder) {
    // Unmangled names, so that a file name holding "?" (which SMB forbids) is listed as it
    // stands; a folder with "?" cannot be opened over SMB at all, so folders go without.
    SambaServer server("  mangled names = no\n  block size = 4096\n");
    if (!server.ok())
        GTEST_SKIP() << server.error();
    const std::string s = server.sharePath();
    for (const char* dir : {"a", "a/b c", "a/b c/deep", "odd %#&; name", "empty", "many", "ünï"})
        ASSERT_EQ(mkdir((s + "/" + dir).c_str(), 0755), 0);
    hmtest::writeFile(s + "/top.txt", "1");
    hmtest::writeFile(s + "/a/zero", "");
    hmtest::writeFile(s + "/a/b c/five k", std::string(5000, 'x'));
    hmtest::writeFile(s + "/a/b c/deep/70k;#.bin", std::string(70000, 'y'));
    hmtest::writeFile(s + "/odd %#&; name/100%&?.txt", std::string(123, 'z'));
    hmtest::writeFile(s + "/ünï/ßtraße €", "euro");
    // More entries than one helper frame carries.
    for (int i = 0; i < 1500; ++i)
        hmtest::writeFile(s + "/many/a fairly long file name to fill the frames " + std::to_string(i), std::to_string(i));
    hmtest::setMtime(s + "/a/b c/five k", 1500000000);
    server.chownShare();

    svl::ScanOptions local;
    const auto expected = svl::scanSingle(s, local, nullptr);
    ShareProvider provider(s, loginFor(server));
    svl::ScanOptions remote;
    remote.provider = &provider;
    svl::ScanProgress progress;
    const auto read = svl::scanSingle(s, remote, &progress);
    ASSERT_TRUE(expected && read);
    EXPECT_TRUE(read->remote);
    EXPECT_EQ(read->errors, 0u);
    EXPECT_DOUBLE_EQ(progress.fraction.load(), 1.0);
    const auto got = flatten(*read), want = flatten(*expected);
    std::string differences;
    for (const auto& [path, text] : got)
        if (!want.count(path) || want.at(path) != text)
            differences += "over SMB: " + path + " " + text + "\n";
    for (const auto& [path, text] : want)
        if (!got.count(path) || got.at(path) != text)
            differences += "local: " + path + " " + text + "\n";
    EXPECT_EQ(differences, "");
    EXPECT_EQ(got.size(), 1500u + 7 + 6);

    // Allocated sizes are the sizes rounded up to the share's allocation unit.
    const std::string top = s + "/top.txt";
    const int64_t topId = read->findPath(top.c_str(), top.size());
    ASSERT_GT(topId, 0);
    const uint64_t unit = read->node(uint32_t(topId)).allocated;
    EXPECT_EQ(unit, 4096u);
    for (uint32_t id = 1; id < read->nodeCount; ++id) {
        const svl::ScanNode& n = read->node(id);
        if (n.isFolder())
            continue;
        EXPECT_EQ(n.allocated % unit, 0u) << n.nameView();
        EXPECT_GE(n.allocated, n.size);
        EXPECT_LT(n.allocated, n.size + unit);
    }
}

TEST(SmbSourceTest, FailedConnectionsGiveTheirTexts) {
    SambaServer server;
    if (!server.ok())
        GTEST_SKIP() << server.error();
    hmtest::SilentListener silent;
    const svl::SmbLogin good = loginFor(server);
    std::string error;
    EXPECT_TRUE(svl::testSmbLogin(good, error)) << error;
    svl::SmbLogin v6 = good;
    v6.server = "[::1]:" + std::to_string(server.port());
    EXPECT_TRUE(svl::testSmbLogin(v6, error)) << error;

    struct Case {
        const char* what;
        svl::SmbLogin login;
        std::string helper;
        std::string text;  // the whole text, or its start when it ends in ":"
        // Only the silent listener is meant to run out of time; the others must answer
        // well inside theirs however busy the machine is.
        std::chrono::milliseconds deadline;
    };
    svl::SmbLogin wrongPassword = good, noShare = good, closed = good, mute = good;
    wrongPassword.password = "wrong";
    noShare.share = "nosuchshare";
    closed.server = "127.0.0.1:" + std::to_string(hmtest::closedPort());
    mute.server = "127.0.0.1:" + std::to_string(silent.port());
    const Case cases[] = {
        {"wrong password", wrongPassword, "", svl::kSmbRefused, std::chrono::seconds(10)},
        {"unknown share", noShare, "", std::string(svl::kSmbCouldNotConnect) + ":", std::chrono::seconds(10)},
        {"closed port", closed, "", svl::kSmbRefused, std::chrono::seconds(10)},
        {"silent listener", mute, "", svl::kSmbTimedOut, std::chrono::milliseconds(700)},
        {"no helper program", good, "/nonexistent/hollowmere-smb-helper", svl::kSmbSetupFailed,
         std::chrono::seconds(10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        svl::SmbConnectOptions options;
        options.connectDeadline = c.deadline;
        options.helperPath = c.helper;
        const auto began = std::chrono::steady_clock::now();
        error.clear();
        EXPECT_FALSE(svl::testSmbLogin(c.login, error, options));
        auto source = svl::makeSmbSource(c.login, options);
        Listed listed;
        std::string walkError;
        EXPECT_EQ(walk(*source, "", listed, walkError), -1);
        EXPECT_TRUE(listed.order.empty());
        EXPECT_LT(std::chrono::steady_clock::now() - began, 2 * c.deadline + std::chrono::seconds(10));
        for (const std::string& text : {error, walkError}) {
            if (c.text.back() == ':')
                EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
            else
                EXPECT_EQ(text, c.text);
        }
    }

    // Cancelled while the silent server holds the connection: no wait for the 30 s deadline.
    auto source = svl::makeSmbSource(mute);
    Listed listed;
    const auto began = std::chrono::steady_clock::now();
    const auto waited = [&] { return std::chrono::steady_clock::now() - began > std::chrono::milliseconds(300); };
    EXPECT_EQ(walk(*source, "", listed, error, waited), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
}

TEST(SmbSourceTest, StartFolderDescendFlagsAndCancel) {
    SambaServer server;
    if (!server.ok())
        GTEST_SKIP() << server.error();
    const std::string s = server.sharePath();
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(s + "/x/y z/w") + " " + hmtest::shQuote(s + "/x/v")), 0);
    hmtest::writeFile(s + "/x/y z/f", "abc");
    server.chownShare();
    auto source = svl::makeSmbSource(loginFor(server));
    std::string error;

    Listed below;
    EXPECT_EQ(walk(*source, "x", below, error), 0) << error;
    EXPECT_EQ(below.order.front(), "x");
    EXPECT_EQ(below.errors, (std::map<std::string, int>{{"x", 0}, {"x/y z", 0}, {"x/y z/w", 0}, {"x/v", 0}}));
    EXPECT_EQ(below.entries.at("x/y z/f").size, 3u);

    Listed onlyStart;
    EXPECT_EQ(walk(*source, "", onlyStart, error, {}, true), 0);
    EXPECT_EQ(onlyStart.order, std::vector<std::string>{""});

    Listed missing;
    EXPECT_EQ(walk(*source, "no such folder", missing, error), 0);
    EXPECT_EQ(missing.errors.at("no such folder"), ENOENT);

    Listed cancelledAtOnce;
    EXPECT_EQ(walk(*source, "", cancelledAtOnce, error, [] { return true; }), 1);
    EXPECT_TRUE(cancelledAtOnce.order.empty());

    Listed cancelledLater;
    EXPECT_EQ(walk(*source, "", cancelledLater, error, [&] { return !cancelledLater.order.empty(); }), 1);
    EXPECT_LT(cancelledLater.order.size(), 5u);
}

TEST(SmbSourceTest, LinkBackUpTheTreeDoesNotMakeTheWalkEndless) {
    // Samba follows links that stay inside the share.
    SambaServer server("  follow symlinks = yes\n");
    if (!server.ok())
        GTEST_SKIP() << server.error();
    const std::string s = server.sharePath();
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(s + "/top/mid") + " && ln -s .. " +
                         hmtest::shQuote(s + "/top/mid/up")),
              0);
    server.chownShare();
    auto source = svl::makeSmbSource(loginFor(server));
    Listed listed;
    std::string error;
    EXPECT_EQ(walk(*source, "", listed, error), 0) << error;
    ASSERT_TRUE(listed.entries.count("top/mid/up"));
    EXPECT_TRUE(listed.entries.at("top/mid/up").isDir);
    // The link's target is listed once more at most, then the repeated folder is refused.
    EXPECT_LE(listed.order.size(), 6u);
    int loops = 0;
    for (const auto& [folder, err] : listed.errors)
        loops += err == 40;
    EXPECT_EQ(loops, 1);

    // A link back to the start folder is refused at once: the start is not listed again.
    ASSERT_EQ(hmtest::sh("ln -s .. " + hmtest::shQuote(s + "/top/up")), 0);
    server.chownShare();
    Listed again;
    EXPECT_EQ(walk(*source, "", again, error), 0) << error;
    ASSERT_TRUE(again.errors.count("top/up"));
    EXPECT_EQ(again.errors.at("top/up"), 40);
    EXPECT_FALSE(again.entries.count("top/up/top"));
}

namespace {

using namespace svl::smbwire;

std::string frame(Message type, const std::function<void(FrameWriter&)>& fill = {}) {
    std::string out;
    FrameWriter w(out, type);
    if (fill)
        fill(w);
    EXPECT_TRUE(w.finish());
    return out;
}

WireEntry entry(std::string_view name, bool dir = false, uint64_t size = 0) {
    WireEntry e;
    e.name = name;
    e.isDir = dir;
    e.size = size;
    return e;
}

}  // namespace

// A helper program that plays a recorded stream and then stays or leaves.
TEST(SmbSourceTest, DamagedOrHostileHelperStreamsEndTheWalkCleanly) {
    hmtest::TempDir dir("hm-smbfake");
    // The helper sends what follows this mark only after it has read the crawler's login and
    // its request for the start folder.
    const std::string kAfterRequest = "--after-request--";
    std::string asked;
    ASSERT_TRUE(appendLogin(asked, Login{"h", 0, "s", "u", "p", ""}));
    asked += frame(Message::List, [](FrameWriter& w) { w.u32(1).bytes(""); });
    const std::string connected = frame(Message::Connected, [](FrameWriter& w) { w.u64(4096); });
    const std::string hostileNames =
        frame(Message::Entries, [](FrameWriter& w) {
            w.u32(1).entry(entry("")).entry(entry("../../../home/u", true)).entry(entry(std::string_view("n\0ul", 4)));
            w.entry(entry(".")).entry(entry("ok", false, 4097)).entry(entry("huge", false, UINT64_MAX));
        }) +
        frame(Message::ListEnd, [](FrameWriter& w) { w.u32(1).u32(0); });
    struct Case {
        const char* what;
        std::string stream;
        bool stays;
        int result;
        int rootError;          // -1: root not listed
        size_t entries;
        unsigned long dropped;
    };
    const Case cases[] = {
        {"names that would leave the folder are dropped and counted", connected + kAfterRequest + hostileNames, true, 0,
         0, 2, 3},
        {"helper leaves mid-walk", connected, false, 0, 5, 0, 0},
        {"length past the limit", connected + kAfterRequest + std::string("\xff\xff\xff\x7f" "E", 5), true, 0, 5, 0, 0},
        {"listing of a folder never asked for",
         connected + kAfterRequest + frame(Message::ListEnd, [](FrameWriter& w) { w.u32(9).u32(0); }), true, 0, 5,
         0, 0},
        {"truncated entry", connected + kAfterRequest + frame(Message::Entries, [](FrameWriter& w) { w.u32(1).u8(1).u32(0); }),
         true, 0, 5, 0, 0},
        {"failed listing", connected + kAfterRequest + frame(Message::ListEnd, [](FrameWriter& w) { w.u32(1).u32(13); }), true, 0,
         13, 0, 0},
        {"never answers the login", "", true, -1, -1, 0, 0},
        {"refuses the login", frame(Message::ConnectFailed, [](FrameWriter& w) { w.u32(13); }), true, -1, -1, 0, 0},
        {"garbage instead of a reply", std::string("\x03\x00\x00\x00Cxy", 7), true, -1, -1, 0, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string stream = dir / ("stream" + std::to_string(n));
        const std::string helper = dir / ("helper" + std::to_string(n++) + ".sh");
        const size_t mark = c.stream.find(kAfterRequest);
        hmtest::writeFile(stream + "a", c.stream.substr(0, mark));
        hmtest::writeFile(stream + "b", mark == std::string::npos ? "" : c.stream.substr(mark + kAfterRequest.size()));
        const std::string waitForRequest =
            mark == std::string::npos ? "" : "head -c " + std::to_string(asked.size()) + " <&3 >/dev/null\n";
        hmtest::writeFile(helper, "#!/bin/sh\ncat " + hmtest::shQuote(stream + "a") + " >&3\n" + waitForRequest +
                                      "cat " + hmtest::shQuote(stream + "b") + " >&3\n" +
                                      (c.stays ? "exec sleep 30\n" : "exit 0\n"));
        chmod(helper.c_str(), 0755);
        svl::SmbConnectOptions options;
        options.connections = 1;
        options.helperPath = helper;
        // A started shell may take long on a busy machine; only the helper that never
        // answers the login is meant to run out of time.
        options.connectDeadline = c.stream.empty() ? std::chrono::milliseconds(500) : std::chrono::seconds(10);
        svl::SmbSource source(svl::SmbLogin{"h", "s", "u", "p", ""}, options);
        Listed listed;
        std::string error;
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(walk(source, "", listed, error), c.result) << error;
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
        EXPECT_EQ(listed.errors.count("") ? listed.errors.at("") : -1, c.rootError);
        EXPECT_EQ(listed.entries.size(), c.entries);
        EXPECT_EQ(source.droppedEntries(), c.dropped);
        if (c.entries == 2) {
            EXPECT_EQ(listed.entries.at("ok").size, 4097u);
            EXPECT_EQ(listed.entries.at("ok").allocated, 8192u);
            EXPECT_EQ(listed.entries.at("huge").allocated, UINT64_MAX);
        }
        if (c.dropped > 0) {
            // The scan counts the dropped names as errors.
            hmtest::TempDir mounted("hm-smbfakemount");
            char* real = realpath(mounted.path().c_str(), nullptr);
            ShareProvider provider(real, svl::SmbLogin{"h", "s", "u", "p", ""}, options);
            free(real);
            svl::ScanOptions scan;
            scan.provider = &provider;
            const auto tree = svl::scanSingle(mounted.path(), scan, nullptr);
            ASSERT_TRUE(tree && tree->remote);
            EXPECT_EQ(tree->errors, c.dropped);
            EXPECT_EQ(tree->nodeCount, 3u);
        }
    }

    // Helpers that connect and then never answer: a cancel still ends the walk at once.
    // Asked for 100 connections, the crawler starts 32.
    const std::string silent = dir / "silent.sh";
    hmtest::writeFile(dir / "connected", connected);
    hmtest::writeFile(silent, "#!/bin/sh\necho started >> " + hmtest::shQuote(dir / "started") + "\ncat " +
                                  hmtest::shQuote(dir / "connected") + " >&3\nexec sleep 30\n");
    chmod(silent.c_str(), 0755);
    svl::SmbConnectOptions options;
    options.connections = 100;
    options.helperPath = silent;
    svl::SmbSource source(svl::SmbLogin{"h", "s", "u", "p", ""}, options);
    Listed listed;
    std::string error;
    const auto began = std::chrono::steady_clock::now();
    const auto waited = [&] { return std::chrono::steady_clock::now() - began > std::chrono::milliseconds(300); };
    EXPECT_EQ(walk(source, "", listed, error, waited), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3));
    EXPECT_TRUE(listed.order.empty());
    EXPECT_EQ(hmtest::shOutput("wc -l < " + hmtest::shQuote(dir / "started")), "32\n");

    // Without a cancel, the silent helpers are given up after the listing deadline.
    options.connections = 2;
    options.listingDeadline = std::chrono::milliseconds(400);
    svl::SmbSource patient(svl::SmbLogin{"h", "s", "u", "p", ""}, options);
    Listed givenUp;
    EXPECT_EQ(walk(patient, "", givenUp, error), 0);
    EXPECT_EQ(givenUp.errors, (std::map<std::string, int>{{"", 5}}));
}
