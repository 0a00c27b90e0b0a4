// The hashed store's layout and confinement, and the names that go into it.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "host/files/hashed_store.h"
#include "host/text/mail/stored_names.h"
#include "support/test_root.h"

using testing_support::TestRoot;
using testing_support::VisibleHex;
namespace fs = std::filesystem;

namespace {

TEST(StoredNames, QuotedPrintableOnOneLine) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"sky.png", "sky.png"},
      {"a=b c.png", "a=3Db c.png"},
      {"x;y.png", "x=3By.png"},
      {"cr\r\nlf.png", "cr=0D=0Alf.png"},
      {"tab\tin", "tab\tin"},
      {"ends in space ", "ends in space=20"},
      {"ends in tab\t", "ends in tab=09"},
      {std::string("nul\0.gif", 8), "nul=00.gif"},
      {"caf\xc3\xa9.jpg", "caf=C3=A9.jpg"},
      {"\xff\xfe", "=FF=FE"},
      {"&#65;<>\"'", "&#65=3B<>\"'"},
      {std::string(100, 'x'), std::string(100, 'x')},  // no soft line breaks
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MTX_QPEncLine(c.in), c.out) << VisibleHex(c.in);
  }
}

TEST(StoredNames, SafeForADownloadReference) {
  EXPECT_EQ(safe_cgistr("photo 1.png"), "photo 1.png");
  EXPECT_EQ(safe_cgistr("a/b\\c%d?e#f\r\n.png"), "a_b_c_d_e_f__.png");
  EXPECT_EQ(safe_cgistr(".."), "_");
  EXPECT_EQ(safe_cgistr("."), "_");
  EXPECT_EQ(safe_cgistr("..png"), "..png");
}

TEST(HashedStore, FoldersComeFromTheNameAlone) {
  TestRoot root;
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    std::string sub = HashedStoreSubdir("name" + std::to_string(i));
    ASSERT_EQ(sub.size(), 5u);
    EXPECT_LE(sub.substr(0, 2), "3f") << sub;
    EXPECT_LE(sub.substr(3, 2), "3f") << sub;
    seen.insert(sub);
  }
  EXPECT_GT(seen.size(), 1500u);  // spread over the 4096 folders
  // The download program finds files by the same rule: it is fixed.
  EXPECT_EQ(HashedStoreSubdir("sky.png"), "14/28");
  EXPECT_EQ(HashedStoreSubdir("1alicesky.png"), "20/08");

  std::string folder = filename2path_2level_64_64("1alicesky.png", 0, 13);
  EXPECT_EQ(folder, HashedStoreRoot() + "/" + HashedStoreSubdir("1alicesky.png"));
  // Only the first n bytes count.
  EXPECT_EQ(filename2path_2level_64_64("1alicesky.pngXYZ", 0, 13), folder);
  for (std::string p : {folder, fs::path(folder).parent_path().string()}) {
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0) << p;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << p;
  }
}

TEST(HashedStore, NoLinkBelowTheRootIsFollowed) {
  TestRoot root;
  const std::string name = "5alicex.png";
  const std::string sub = HashedStoreSubdir(name);
  fs::create_directories(root.Path("tmp/outside"));
  fs::create_directories(root.Path("httpd/html/hashed_store"));
  fs::create_directory_symlink(root.Path("tmp/outside"),
                               root.Path("httpd/html/hashed_store/" + sub.substr(0, 2)));
  EXPECT_EQ(filename2path_2level_64_64(name, 0, name.size()), "");
  EXPECT_TRUE(fs::is_empty(root.Path("tmp/outside")));

  root.Write("tmp/outside/" + sub.substr(3, 2) + "/" + name, "secret");
  EXPECT_FALSE(HashedStoreOpen(name).ok());
  EXPECT_NE(HashedStoreUnlink(HashedStoreRoot() + "/" + sub + "/" + name), 0);
  EXPECT_TRUE(root.Exists("tmp/outside/" + sub.substr(3, 2) + "/" + name));
}

TEST(HashedStore, UnlinkAndReferenceStayBelowTheStore) {
  TestRoot root;
  const std::string store = HashedStoreRoot();
  root.Write("httpd/html/hashed_store/0a/0b/f.png", "x");
  root.Write("tmp/victim", "x");
  fs::create_symlink(root.Path("tmp/victim"), root.Path("httpd/html/hashed_store/0a/0b/link"));
  struct Case {
    std::string path;
    bool deleted;
    std::string reference;
  } cases[] = {
      {store + "/../../../tmp/victim", false, ""},
      {store + "/0a/../../../../tmp/victim", false, ""},
      {root.Path("tmp/victim"), false, ""},
      {store + "x/0a/0b/f.png", false, ""},  // a sibling whose name begins like the store
      {store + "/0a//0b/f.png", false, ""},
      {store + "/0a/0b/link", true, "0a/0b/link"},  // the link goes, never its target
      {store + "/0a/0b/f.png", true, "0a/0b/f.png"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HashedStoreReference(c.path), c.reference) << c.path;
    EXPECT_EQ(HashedStoreUnlink(c.path) == 0, c.deleted) << c.path;
  }
  EXPECT_TRUE(root.Exists("tmp/victim"));
  EXPECT_FALSE(root.Exists("httpd/html/hashed_store/0a/0b/f.png"));
}

TEST(HashedStore, OpenTakesRegularFilesByNameOnly) {
  TestRoot root;
  const std::string folder = filename2path_2level_64_64("pic.png", 0, 7);
  root.Write(folder.substr(root.path().size() + 1) + "/pic.png", "png");
  EXPECT_TRUE(HashedStoreOpen("pic.png").ok());
  fs::create_symlink(folder + "/pic.png", filename2path_2level_64_64("ln.png", 0, 6) + "/ln.png");
  for (const char* name : {"ln.png", "", ".", "..", "a/b", "missing.png"}) {
    EXPECT_FALSE(HashedStoreOpen(name).ok()) << name;
  }
}

}  // namespace
