// Cabinet entries: storing with free names and the quota, descriptions,
// listing (links that lead out are never listed), link folders, deleting.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet/cabinet_fixture.h"
#include "common/acl/useracl/useracl.h"
#include "common/cabinet/entries/dc_entries.h"
#include "common/cabinet/entries/dc_finfo.h"
#include "common/cabinet/entries/dc_types.h"
#include "support/test_root.h"

using testing_support::TestRoot;

namespace {

class EntriesTest : public testing::Test {
 protected:
  void SetUp() override {
    root.AddUser("alice");
    root.AddUser("bob");
    root.Write("etc/dc_type.conf", "image/\tPicture\t2\n*\tFile\t9\n");
    root.Write("httpd/conf/mime.types", "image/png png\ntext/plain txt\n");
    mkdir(root.Path("home/alice/dc").c_str(), 0755);
  }

  std::vector<std::string> Listed(const std::string& base, const std::string& dir, int key = 1,
                                  int direction = 0) {
    DC_Listing listing;
    EXPECT_EQ(DC_List(base, dir, -1, listing), 0) << base << dir;
    DC_ListSort(listing, key, direction);
    std::vector<std::string> out;
    for (const DC_EntryInfo& e : listing.entries) {
      out.push_back(e.name + ":" + std::to_string(e.type) + ":" + e.description);
    }
    return out;
  }

  TestRoot root;
};

TEST_F(EntriesTest, StoreWithFreeNamesAndTheQuota) {
  DC_NewFile f{"a.txt", ""};
  ASSERT_EQ(DC_FileStore("alice", "/", f, "12345", kDcStoreNumbered), 0);
  DC_NewFile g{"a.txt", "second"};
  ASSERT_EQ(DC_FileStore("alice", "/", g, "123", kDcStoreNumbered), 0);
  EXPECT_EQ(g.name, "(1)a.txt");
  DC_NewFile h{"a.txt", ""};
  ASSERT_EQ(DC_FileStore("alice", "/", h, "1", kDcStoreNumbered), 0);
  EXPECT_EQ(h.name, "(2)a.txt");
  DC_NewFile taken{"a.txt", ""};
  EXPECT_EQ(DC_FileStore("alice", "/", taken, "x", 0), 1);
  DC_NewFile reserved{".finfo", ""};
  EXPECT_EQ(DC_FileStore("alice", "/", reserved, "x", 0), kDcRefusedName);
  DC_NewFile climbing{"../../x", ""};
  EXPECT_EQ(DC_FileStore("alice", "/", climbing, "x", 0), kDcRefusedName);
  EXPECT_EQ(root.Read("home/alice/dc/.quota"), "9");
  DC_NewFile replaced{"a.txt", ""};  // the bytes it replaces leave the quota
  ASSERT_EQ(DC_FileStore("alice", "/", replaced, "54321", kDcStoreReplace), 0);
  EXPECT_EQ(root.Read("home/alice/dc/a.txt"), "54321");
  EXPECT_EQ(root.Read("home/alice/dc/.quota"), "9");
  EXPECT_EQ(root.Read("home/alice/dc/.finfo"), "(1)a.txt\tsecond\n");
  struct stat st;
  ASSERT_EQ(stat(root.Path("home/alice/dc/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0007, 0u);  // 0660 less the umask

  EXPECT_EQ(DC_QuotaUpdate("alice", kDcQuotaSubtract, 100), 0);
  EXPECT_EQ(DC_QuotaCheck("alice", kDcQuotaUsed, 0), 0);
  // A damaged count at the top of the range stays there.
  root.Write("home/alice/dc/.quota", "99999999999999999999");
  EXPECT_EQ(DC_QuotaUpdate("alice", kDcQuotaAdd, 100), 0);
  EXPECT_EQ(root.Read("home/alice/dc/.quota"), "9223372036854775807");
  root.Write("home/alice/dc/sub/.acl", std::string(5000, 'a'));
  root.Write("home/alice/dc/sub/b.bin", std::string(1000, 'b'));
  ASSERT_EQ(DC_QuotaUpdate("alice", kDcQuotaRecount, 0), 0);
  EXPECT_EQ(DC_QuotaCheck("alice", kDcQuotaUsed, 0), 9 + 1000);  // not .acl, .finfo, .quota

  root.Site("Level0.CabinetQuotaKB = 1");
  DC_NewFile big{"big.bin", ""};
  EXPECT_EQ(DC_FileStore("alice", "/", big, std::string(4096, 'x'), 0), 2);
  EXPECT_NE(root.Read("log/error.log").find("DC_FileStore: quota fail (base=alice,file=big.bin)"),
            std::string::npos);
  EXPECT_EQ(DC_FileStore("alice", "/", big, std::string(4096, 'x'), kDcStoreNoQuota), 0);
  EXPECT_EQ(DC_QuotaCheck("@", kDcQuotaRoom, 1 << 30), 0);
  root.Write("domains/d/public/dc.limit", "4");
  root.Write("domains/d/public/dc/.quota", "2048");
  EXPECT_EQ(DC_QuotaCheck("@d", kDcQuotaRoom, 2048), 0);
  EXPECT_EQ(DC_QuotaCheck("@d", kDcQuotaRoom, 4096), -1);
}

TEST_F(EntriesTest, Descriptions) {
  const std::string finfo = root.Path("home/alice/dc/.finfo");
  EXPECT_EQ(DC_DescRemove(finfo, "x"), 1);
  root.Write("home/alice/dc/.finfo", "no tab here\na.txt\tOld\tkey:v1\nb.txt\tBee");
  ASSERT_EQ(DC_DescSetShown(finfo, "a.txt", "New"), 0);
  EXPECT_EQ(root.Read("home/alice/dc/.finfo"), "b.txt\tBee\na.txt\tNew\tkey:v1\n");
  ASSERT_EQ(DC_DescSetExtra(finfo, "b.txt", "k", "v2"), 0);
  EXPECT_EQ(root.Read("home/alice/dc/.finfo"), "a.txt\tNew\tkey:v1\nb.txt\tBee\tk:v2\n");
  EXPECT_EQ(DC_DescSet(finfo, "c\nd.txt", "x"), -1);
  ASSERT_EQ(DC_DescSet(finfo, "c.txt", "two\r\nlines" + std::string(100, 'z')), 0);
  std::vector<std::optional<std::string>> got = DC_DescRead(finfo, {"a.txt", "c.txt", "none"});
  EXPECT_EQ(*got[0], "New\tkey:v1");
  EXPECT_EQ(DC_DescShown(*got[0]), "New");
  EXPECT_EQ(*DC_DescExtra(*got[0]), "v1");
  EXPECT_EQ(got[1]->size(), 63u);
  EXPECT_EQ(got[1]->substr(0, 11), "two  lines" + std::string(1, 'z'));
  EXPECT_FALSE(got[2]);
  ASSERT_EQ(DC_DescRemove(finfo, "a.txt"), 0);
  EXPECT_EQ(root.Read("home/alice/dc/.finfo").find("a.txt"), std::string::npos);
  // The tail of a long line never reads as a line of its own.
  root.Write("home/alice/dc/.finfo", "x.txt\t" + std::string(400, 'y') + "evil.txt\tpwned\n");
  EXPECT_FALSE(DC_DescRead(finfo, {"evil.txt"})[0]);
}

TEST_F(EntriesTest, ListingStaysInsideTheCabinet) {
  root.Write("home/alice/dc/pic.png", "png");
  root.Write("home/alice/dc/zzz.txt", "zz");
  root.Write("home/alice/dc/aaa.bin", "aaaaaa");
  root.Write("home/alice/dc/folder/in.txt", "i");
  root.Write("home/alice/dc/far/.link", "@\n/\n");
  root.Write("home/alice/dc/.finfo", "zzz.txt\tZed\tkey:1\n");
  root.Write("home/alice/dc/.acl", "");
  root.Write("home/alice/dc/.quota", "1");
  root.Write("outside.txt", "secret");
  symlink(root.Path("outside.txt").c_str(), root.Path("home/alice/dc/leak.txt").c_str());
  symlink("/", root.Path("home/alice/dc/rootdir").c_str());
  symlink("folder/in.txt", root.Path("home/alice/dc/alias.txt").c_str());
  symlink("missing", root.Path("home/alice/dc/dangling").c_str());
  mkfifo(root.Path("home/alice/dc/fifo").c_str(), 0600);
  EXPECT_EQ(Listed("alice", "/"),
            (std::vector<std::string>{"folder:0:", "far:1:", "aaa.bin:3:", "alias.txt:3:",
                                      "pic.png:2:", "zzz.txt:3:Zed"}));
  std::vector<std::string> by_size = Listed("alice", "/", kDcSortSize, 1);
  EXPECT_EQ(by_size.front(), "aaa.bin:3:");  // reversed: the largest file first
  EXPECT_EQ(by_size.back(), "folder:0:");    // ... and the folders last
  DC_Listing listing;
  EXPECT_EQ(DC_List("alice", "../x", -1, listing), -1);
  EXPECT_EQ(DC_List("/etc", "/", -1, listing), -1);
  EXPECT_EQ(DC_List("alice", "/none", -1, listing), -1);
  // A folder reached through a link that leads out is not listed either.
  EXPECT_EQ(DC_List("alice", "/rootdir", -1, listing), -1);
  EXPECT_TRUE(listing.entries.empty());
  ASSERT_EQ(DC_List("alice", "/", 1 << 2, listing), 0);  // pictures only
  ASSERT_EQ(listing.entries.size(), 1u);
  EXPECT_EQ(listing.entries[0].name, "pic.png");
  DC_TypeRelease();
}

TEST_F(EntriesTest, LinkFolders) {
  ASSERT_EQ(DC_MakeDirs("alice", "/a/b"), 0);
  EXPECT_EQ(DC_LinkCreate("alice", "/a", "to-public", "@", "/reports"), 0);
  EXPECT_EQ(DC_LinkCreate("alice", "/a", "to-public", "@", "/x"), -1);
  EXPECT_EQ(DC_LinkCreate("alice", "/a", "bad", "@\n", "/x"), -1);
  DC_LinkTarget t;
  ASSERT_EQ(DC_LinkResolve("alice", "/a/to-public", t), 0);
  EXPECT_EQ(t.base, "@");
  EXPECT_EQ(t.path, "/reports");
  ASSERT_EQ(DC_LinkResolve("alice", "/a/b", t), 0);  // not a link: itself
  EXPECT_EQ(t.path, "/a/b");
  EXPECT_EQ(DC_LinkCreate("alice", "/", "loop", "alice", "/loop"), 0);
  EXPECT_EQ(DC_LinkResolve("alice", "/loop", t), -1);
  root.Write("home/alice/dc/short/.link", "alice\n");
  EXPECT_EQ(DC_LinkResolve("alice", "/short", t), -2);
  EXPECT_EQ(DC_LinkResolve("", "/short", t), -7);
}

TEST_F(EntriesTest, DeleteNeedsTheWriteBit) {
  root.Write("home/alice/dc/docs/a.txt", "12345");
  root.Write("home/alice/dc/docs/.finfo", "a.txt\tA\n");
  root.Write("home/alice/dc/.quota", "5");
  cabinet_test::AddGrant("alice", "/docs", "bob", 2, 1);
  EXPECT_EQ(DC_Delete("bob", "*alice", "/docs", "a.txt"), kDcNoPermission);
  EXPECT_TRUE(root.Exists("home/alice/dc/docs/a.txt"));
  EXPECT_EQ(DC_Delete("alice", "alice", "/", "docs"), 0);
  EXPECT_FALSE(root.Exists("home/alice/dc/docs"));
  EXPECT_EQ(root.Read("home/alice/dc/.quota"), "0");
  std::int32_t bits = 0;
  EXPECT_EQ(MACL_UserPerm("alice", "bob", 1, "/docs", 3, bits), kMaclNotFound);  // grant gone

  // Nothing is deleted, stored or made through a folder link that leads out.
  root.Write("outside/keep.txt", "keep");
  symlink(root.Path("outside").c_str(), root.Path("home/alice/dc/out").c_str());
  EXPECT_EQ(DC_Delete("alice", "alice", "/out", "keep.txt"), kDcRefusedName);
  DC_NewFile f{"new.txt", ""};
  EXPECT_EQ(DC_FileStore("alice", "/out", f, "x", 0), kDcRefusedName);
  EXPECT_EQ(DC_MakeDir("alice", "/out", "made"), kDcRefusedName);
  EXPECT_EQ(root.Read("outside/keep.txt"), "keep");
  EXPECT_FALSE(root.Exists("outside/new.txt"));
  EXPECT_FALSE(root.Exists("outside/made"));
}

}  // namespace
