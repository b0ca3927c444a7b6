#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "core/scan/MountTable.h"
#include "core/smb/SmbMount.h"
#include "tests/support/TestSupport.h"

namespace svl {
void PrintTo(const SmbMountInfo& m, std::ostream* os) {
    *os << m.server << "|" << m.address << "|" << m.share << "|" << m.path << "|" << m.mountPoint << "|" << m.user
        << "|" << m.domain;
}
}  // namespace svl

namespace {

std::vector<svl::MountEntry> table(const std::string& extra) {
    return svl::parseMountInfo("20 1 8:1 / / rw - ext4 /dev/sda1 rw\n" + extra);
}

std::optional<svl::SmbMountInfo> cifs(const std::string& lines, const std::string& path) {
    return svl::cifsSmbMountFor(table(lines), path);
}

const char* const kGvfs = "50 20 0:55 / /run/user/1000/gvfs rw - fuse.gvfsd-fuse gvfsd-fuse rw,user_id=1000\n";

}  // namespace

TEST(SmbMountTest, CifsSourceOptionsAndPathInsideTheShare) {
    const std::string films =
        "40 20 0:60 / /mnt/films rw - cifs //nas/media/films/ rw,vers=3.1.1,username=,user=bob,domain=,workgroup=HOME,"
        "addr=192.168.1.5\n";
    auto info = cifs(films, "/mnt/films/2020/x");
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, (svl::SmbMountInfo{"nas", "192.168.1.5", "media", "films/2020/x", "/mnt/films", "bob", "HOME"}));
    EXPECT_EQ(cifs(films, "/mnt/films")->path, "films");
    EXPECT_EQ(cifs(films, "/mnt/films/")->path, "films");
    EXPECT_FALSE(cifs(films, "/mnt/filmsx"));

    auto backslashes = cifs("41 20 0:61 / /mnt/b rw - smb3 \\134\\134nas\\134media rw,ip=10.0.0.2\n", "/mnt/b/c/");
    ASSERT_TRUE(backslashes);
    EXPECT_EQ(backslashes->server, "nas");
    EXPECT_EQ(backslashes->share, "media");
    EXPECT_EQ(backslashes->path, "c");
    EXPECT_EQ(backslashes->address, "10.0.0.2");

    // Options are whole items: "usernamex=" is not "username".
    auto exact = cifs("42 20 0:62 / /mnt/e rw - cifs //s/h rw,usernamex=no,username=yes,addr=\n", "/mnt/e");
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->user, "yes");
    EXPECT_EQ(exact->address, "");
    EXPECT_EQ(exact->path, "");

    // A share mounted on / itself.
    auto onRoot = svl::cifsSmbMountFor(svl::parseMountInfo("1 0 0:9 / / rw - cifs //s/h/base rw\n"), "/a/b");
    ASSERT_TRUE(onRoot);
    EXPECT_EQ(onRoot->path, "base/a/b");
}

TEST(SmbMountTest, CifsRejectsBadSourcesAndOtherCoveringMounts) {
    EXPECT_FALSE(cifs("40 20 0:60 / /mnt/n rw - cifs //nas rw\n", "/mnt/n"));
    EXPECT_FALSE(cifs("40 20 0:60 / /mnt/n rw - cifs ///media rw\n", "/mnt/n"));
    EXPECT_FALSE(cifs("40 20 0:60 / /mnt/n rw - cifs //nas/ rw\n", "/mnt/n"));
    EXPECT_FALSE(cifs("40 20 0:60 / /mnt/n rw - cifs nas/media rw\n", "/mnt/n"));
    EXPECT_FALSE(cifs("40 20 0:60 / /mnt/n rw - cifs // rw\n", "/mnt/n"));
    EXPECT_FALSE(cifs("40 20 0:60 / /mnt/n rw - cifs\n", "/mnt/n"));  // no source at all
    EXPECT_FALSE(cifs("40 20 0:60 / /mnt/n rw cifs //nas/media\n", "/mnt/n"));  // no separator

    const std::string nested = "40 20 8:2 / /mnt rw - ext4 /dev/sda2 rw\n"
                               "41 40 0:60 / /mnt/share rw - cifs //nas/media rw\n"
                               "42 41 8:3 / /mnt/share/local rw - ext4 /dev/sda3 rw\n";
    EXPECT_EQ(cifs(nested, "/mnt/share/x")->path, "x");
    EXPECT_FALSE(cifs(nested, "/mnt/share/local/x"));
    EXPECT_FALSE(cifs(nested, "/mnt/other"));
    // Equal mount points: the later line wins.
    const std::string over = "41 20 0:60 / /mnt/s rw - cifs //old/a rw\n"
                             "42 20 0:61 / /mnt/s rw - cifs //new/b rw\n";
    EXPECT_EQ(cifs(over, "/mnt/s")->server, "new");
}

TEST(SmbMountTest, GvfsShareFolderText) {
    auto info = svl::gvfsSmbMountFor("/run/user/1000/gvfs/smb-share:server=nas,share=my%20files,user=bob/docs/a");
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, (svl::SmbMountInfo{"nas", "", "my files", "docs/a",
                                        "/run/user/1000/gvfs/smb-share:server=nas,share=my%20files,user=bob", "bob",
                                        ""}));
    auto odd = svl::gvfsSmbMountFor("/x/.gvfs/smb-share:server=S,share=a%zz%4,junk,domain=W%2c,share=b%41");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->share, "bA");
    EXPECT_EQ(odd->domain, "W,");
    EXPECT_EQ(odd->path, "");
    auto bad = svl::gvfsSmbMountFor("/x/gvfs/smb-share:server=S,share=a%zz%4");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->share, "a%zz%4");
    EXPECT_FALSE(svl::gvfsSmbMountFor("/x/gvfs/smb-share:server=nas"));
    EXPECT_FALSE(svl::gvfsSmbMountFor("/x/notgvfs/smb-share:server=nas,share=s"));
    EXPECT_FALSE(svl::gvfsSmbMountFor("smb-share:server=nas,share=s"));
    EXPECT_FALSE(svl::gvfsSmbMountFor(""));
}

TEST(SmbMountTest, GvfsCountsOnlyOnTheGvfsMount) {
    const std::string path = "/run/user/1000/gvfs/smb-share:server=nas,share=s/d";
    EXPECT_TRUE(svl::smbMountFor(table(kGvfs), path));
    // A folder that only looks like a share folder is a plain local folder.
    EXPECT_FALSE(svl::smbMountFor(table(""), path));
    EXPECT_FALSE(svl::smbMountFor(table("50 20 8:5 / /run/user/1000/gvfs rw - ext4 /dev/sda5 rw\n"), path));
    // The share folder must lie inside the gvfs mount, not above it.
    EXPECT_FALSE(svl::smbMountFor(
        table("50 20 0:55 / /h/gvfs/smb-share:server=a,share=b/x rw - fuse.gvfsd-fuse gvfsd-fuse rw\n"),
        "/h/gvfs/smb-share:server=a,share=b/x/y"));
    // cifs is asked first.
    const auto both = svl::smbMountFor(table(std::string(kGvfs) + "60 50 0:60 / " +
                                             "/run/user/1000/gvfs/smb-share:server=nas,share=s rw - cifs //k/c rw\n"),
                                       path);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->server, "k");
}

TEST(SmbMountTest, ListingGvfsFoldersSortedAndCheckedAgainstTheMount) {
    hmtest::TempDir tmp("hm-gvfs");
    const std::string gvfs = tmp / "gvfs";
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(gvfs) + " && cd " + hmtest::shQuote(gvfs) +
                         " && mkdir 'smb-share:server=b,share=x,user=u' 'smb-share:server=a,share=z' "
                         "'smb-share:server=a,share=y,user=v' 'smb-share:server=a,share=y,user=t' "
                         "'smb-share:server=only' 'sftp:host=h' && touch 'smb-share:server=c,share=f'"),
              0);
    const auto mounts = table("50 20 0:55 / " + gvfs + " rw - fuse.gvfsd-fuse gvfsd-fuse rw\n");
    const auto list = svl::listGvfsSmbMounts(gvfs, mounts);
    ASSERT_EQ(list.size(), 5u);
    std::vector<std::string> order;
    for (const auto& m : list)
        order.push_back(m.server + "/" + m.share + "/" + m.user);
    EXPECT_EQ(order, (std::vector<std::string>{"a/y/t", "a/y/v", "a/z/", "b/x/u", "c/f/"}));
    EXPECT_EQ(list[0].mountPoint, gvfs + "/smb-share:server=a,share=y,user=t");

    EXPECT_TRUE(svl::listGvfsSmbMounts(gvfs, table("")).empty());
    EXPECT_TRUE(svl::listGvfsSmbMounts(gvfs).empty());  // the real table has no gvfs mount here
    EXPECT_TRUE(svl::listGvfsSmbMounts(tmp / "missing", mounts).empty());

    // The user's own folder: XDG_RUNTIME_DIR, and /run/user/<uid> when that is empty.
    const char* saved = getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    setenv("XDG_RUNTIME_DIR", tmp.path().c_str(), 1);
    EXPECT_EQ(svl::listGvfsSmbMounts("", mounts).size(), 5u);
    setenv("XDG_RUNTIME_DIR", "", 1);
    const std::string userRun = "/run/user/" + std::to_string(getuid());
    const auto fallback = table("50 20 0:55 / " + userRun + "/gvfs rw - fuse.gvfsd-fuse gvfsd-fuse rw\n");
    // Only where no session owns the folder: make it, look, and take it away again.
    if (access(userRun.c_str(), F_OK) != 0 &&
        hmtest::sh("mkdir -p '" + userRun + "/gvfs/smb-share:server=q,share=r' 2>/dev/null") == 0) {
        const auto own = svl::listGvfsSmbMounts("", fallback);
        ASSERT_EQ(own.size(), 1u);
        EXPECT_EQ(own[0].server, "q");
        hmtest::sh("rm -rf " + hmtest::shQuote(userRun));
    }
    if (saved)
        setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}

TEST(SmbMountTest, DefaultProviderLookupReadsTheRealTable) {
    struct Provider : svl::RemoteProvider {
        std::unique_ptr<svl::RemoteSource> open(const svl::SmbMountInfo&) override { return nullptr; }
    } provider;
    hmtest::TempDir tmp("hm-smbdefault");
    EXPECT_FALSE(provider.findSmbMount(tmp.path()));
    // A local folder named like a gvfs share is no share.
    const std::string fake = tmp / "gvfs/smb-share:server=nas,share=s";
    ASSERT_EQ(hmtest::sh("mkdir -p " + hmtest::shQuote(fake)), 0);
    EXPECT_FALSE(provider.findSmbMount(fake));
}
