// The compose flow: removals, uploads, the URL and cabinet files, with
// uploadsend run as a CGI program.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cabinet/cabinet_fixture.h"
#include "support/http_server.h"
#include "tests/uploadsend/uploadsend_fixture.h"

using testing::ElementsAre;
using testing::HasSubstr;
using namespace uploadsend_test;
namespace fs = std::filesystem;

namespace {

// The process id in a stored name "alice_<cpid>_A_<pid>_<i>".
std::string PidOf(const std::string& stored) {
  size_t a = stored.find("_A_");
  if (a == std::string::npos) a = stored.find("_H_");
  std::string rest = stored.substr(a + 3);
  return rest.substr(0, rest.find('_'));
}

class ComposeTest : public UploadsendTest {
 protected:
  std::string Line(const std::string& name, const std::string& stored, size_t size) {
    return "0;;;" + name + ";" + root.Path("tmp/" + stored) + ";" + std::to_string(size);
  }
};

// Names are listed as the client sent them, made safe for the list file; a
// field with a name but no data is passed over without an error.
TEST_F(ComposeTest, UploadsAreStoredPerFieldAndListedUnderTheirNames) {
  Multipart form;
  form.Field("atid", "compose9");
  form.File("newfile", "C:\\docs\\a.txt", "aaa");
  form.File("newfile01", "b;c\t0;;;x.bin", "bb");
  form.File("newfile05", "empty.bin", "");
  form.File("newfile255", "e.bin", "e");
  CgiResult r = Post(form);
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=3|A=compose9|P=9|"));
  std::vector<std::string> stored = root.TmpFiles("_A_");
  ASSERT_EQ(stored.size(), 3u);
  std::string prefix = "alice_9_A_" + PidOf(stored[0]) + "_";
  EXPECT_THAT(root.ListLines("9"), ElementsAre(Line("C:\\docs\\a.txt", prefix + "0", 3),
                                          Line("b&#59;c_0&#59;&#59;&#59;x.bin", prefix + "1", 2),
                                          Line("e.bin", prefix + "255", 1)));
  struct stat st;
  ASSERT_EQ(stat(root.Path("tmp/" + prefix + "0").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_THAT(root.TmpFiles(".lock"), ElementsAre());
}

// Positions name the list as shown: each is lowered by the entries already
// removed; values that name nothing do not count.
TEST_F(ComposeTest, ChoicesRemoveTheEntriesAsShown) {
  struct Case {
    const char* query;
    std::vector<int> kept;
  } cases[] = {
      {"atid=6&choice=1&choice=3", {0, 2, 4}},
      {"atid=6&choice=x&choice=9&choice=1&choice=3", {0, 2, 4}},
      {"atid=6&choice=3&choice=1", {1, 2, 4}},  // 3, then 1 - 1 = 0
      {"atid=6&choice=-1&choice=5", {0, 1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    root.ClearTmp();
    List("6", 5);
    CgiResult r = Get(c.query);
    EXPECT_THAT(r.page, HasSubstr("E=0|")) << c.query;
    std::vector<std::string> lines = root.ListLines("6");
    ASSERT_EQ(lines.size(), c.kept.size()) << c.query;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_THAT(lines[i], HasSubstr(";old" + std::to_string(c.kept[i]) + ".txt;")) << c.query;
    }
    for (int k = 0; k < 5; ++k) {
      bool kept = std::find(c.kept.begin(), c.kept.end(), k) != c.kept.end();
      EXPECT_EQ(root.Exists("tmp/alice_6_A_1_" + std::to_string(k)), kept) << c.query << k;
    }
  }
}

TEST_F(ComposeTest, LimitsStopAtTheFileBeyondThem) {
  struct Case {
    const char* name;
    const char* site;
    int listed;
    size_t first;
    const char* page;
    size_t stored;
  } cases[] = {
      {"count", "AttachCountLimit = 3\n", 2, 1, "E=1|V=/|N=3|", 1},
      {"size, exactly the limit", "Level0.AttachSizeKB = 1\n", 0, 1024, "E=2|V=/|N=1|", 1},
      {"size, one byte more", "Level0.AttachSizeKB = 1\n", 0, 1025, "E=2|V=/|N=0|", 0},
  };
  for (const Case& c : cases) {
    root.ClearTmp();
    root.Write("etc/site.conf", c.site);
    List("3", c.listed);
    Multipart form;
    form.Field("atid", "3");
    form.File("newfile", "first.bin", std::string(c.first, 'f'));
    form.File("newfile01", "second.bin", "s");
    CgiResult r = Post(form);
    EXPECT_THAT(r.page, HasSubstr(c.page)) << c.name;
    EXPECT_EQ(root.TmpFiles("_A_").size() - static_cast<size_t>(c.listed), c.stored) << c.name;
  }
}

TEST_F(ComposeTest, InfectedUploadIsNeitherStoredNorListed) {
  root.Site("Level0.Privileges = 128");
  Engine();
  Multipart form;
  form.Field("atid", "1");
  form.File("newfile", "clean.txt", "nothing here");
  form.File("newfile01", "C:\\dir\\bad<1>.exe", "xx VIRUS-MARKER <Evil> xx");
  form.File("newfile02", "later.txt", "never reached");
  CgiResult r = Post(form);
  EXPECT_THAT(r.page, HasSubstr("E=4|V=bad&lt;1&gt;.exe/&lt;Evil&gt;|N=1|"));
  EXPECT_EQ(root.TmpFiles("_A_").size(), 1u);
  ASSERT_EQ(root.ListLines("1").size(), 1u);
  EXPECT_THAT(VirusLog(), HasSubstr("\t<Evil>\talice@localhost\talice@localhost\t"));
}

TEST_F(ComposeTest, WithoutAComposeIdentifierNoFileIsTouched) {
  List("", 1);
  Multipart form;
  form.File("newfile", "a.bin", "data");
  CgiResult r = Post(form);
  EXPECT_THAT(r.page, HasSubstr("E=8|V=/|N=0|A=|P=|"));
  EXPECT_EQ(root.TmpFiles("_A_").size(), 1u);  // the old entry's file only
  EXPECT_EQ(root.ListLines("").size(), 1u);
  EXPECT_THAT(Get("").page, HasSubstr("E=0|V=/|N=0|A=|P=|"));
}

// The cabinet: without a base or folder the request is logged and changes
// nothing.
TEST_F(ComposeTest, CabinetFilesNeedABaseAndAFolder) {
  List("2", 1);
  const std::string before = root.Read("tmp/alice_2_Attach.dat");
  CgiResult r = Get("atid=2&doc=1&dc_base=&dir_path=%2Fa%0Ab&name=x.txt");
  EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=1|"));
  EXPECT_THAT(root.Read("log/error.log"),
              HasSubstr("] attachdesk: attach_main():dc_base=(),dir_path=(/a_b).\n"));
  r = Get("atid=2&doc&dir_path=/a");
  EXPECT_THAT(root.Read("log/error.log"),
              HasSubstr("] attachdesk: attach_main():dc_base=(),dir_path=(/a).\n"));
  EXPECT_EQ(root.Read("tmp/alice_2_Attach.dat"), before);
  EXPECT_EQ(root.TmpFiles("_A_").size(), 1u);
}

// alice's cabinet: files, a folder, links leading out, a file with a virus
// marker; her folder /shared is granted to bob (read, with what lies below).
class ComposeCabinetTest : public ComposeTest {
 protected:
  void SetUp() override {
    ComposeTest::SetUp();
    root.AddUser("bob");
    Engine();
    root.Write("home/alice/dc/docs/a.txt", "alpha\n");
    root.Write("home/alice/dc/docs/empty.txt", "");
    root.Write("home/alice/dc/docs/b;c.txt", "bravo charlie\n");
    root.Write("home/alice/dc/docs/sub/d.txt", "delta\n");
    root.Write("home/alice/dc/docs/bad.exe", "xx VIRUS-MARKER Evil xx");
    root.Write("home/alice/dc/docs/fit.bin", std::string(1008, 'f'));
    root.Write("home/alice/dc/docs/over.bin", std::string(1009, 'o'));
    root.Write("home/alice/dc/docs/huge.bin", "");
    std::filesystem::resize_file(root.Path("home/alice/dc/docs/huge.bin"), 5ULL << 30);
    root.Write("home/alice/dc/shared/plan.txt", "plan\n");
    root.Write("secret.txt", "secret\n");
    root.Write("elsewhere/x.txt", "x\n");
    symlink(root.Path("secret.txt").c_str(), root.Path("home/alice/dc/docs/leak.txt").c_str());
    symlink(root.Path("elsewhere").c_str(), root.Path("home/alice/dc/outdir").c_str());
    mkfifo(root.Path("home/alice/dc/docs/fifo").c_str(), 0600);
    cabinet_test::AddGrant("alice", "/shared", "bob", 2, 1);
  }
};

// Copies are numbered by the copies made before them and listed under the
// "name" value as sent (made safe for the list); every refusal keeps what
// was copied before it.
TEST_F(ComposeCabinetTest, CabinetFilesAreCopiedAndListed) {
  struct Added {
    std::string listed, data;
  };
  struct Case {
    const char* what;
    std::string query;  // after "atid=5&doc=1&"
    std::string page;
    std::vector<Added> added = {};
    std::string site = {};
    int listed_before = 0;  // entries of 10, 20, ... bytes
    std::string user = "alice";
  } cases[] = {
      {"a folder, a link leading out and a FIFO take no number",
       "dc_base=alice&dir_path=/docs&name=a.txt&name=sub&name=leak.txt&name=fifo&name=b%3Bc.txt",
       "E=0|V=/|N=2|",
       {{"a.txt", "alpha\n"}, {"b&#59;c.txt", "bravo charlie\n"}}},
      {"a name into a folder below is listed as sent",
       "dc_base=alice&dir_path=/docs&name=sub/d.txt",
       "E=0|V=/|N=1|",
       {{"sub/d.txt", "delta\n"}}},
      {"an empty file",
       "dc_base=alice&dir_path=/docs&name=empty.txt",
       "E=0|V=/|N=1|",
       {{"empty.txt", ""}}},
      {"a folder link leading out", "dc_base=alice&dir_path=/outdir&name=x.txt", "E=0|V=/|N=0|"},
      {"a missing file: error 3, the copy before it kept",
       "dc_base=alice&dir_path=/docs&name=a.txt&name=nope.txt&name=b%3Bc.txt",
       "E=3|V=/|N=1|",
       {{"a.txt", "alpha\n"}}},
      {"names end at the first empty value",
       "dc_base=alice&dir_path=/docs&name=a.txt&name=&name=b%3Bc.txt",
       "E=0|V=/|N=1|",
       {{"a.txt", "alpha\n"}}},
      {"the count limit counts the list as loaded",
       "dc_base=alice&dir_path=/docs&name=a.txt&name=b%3Bc.txt",
       "E=1|V=/|N=2|",
       {{"a.txt", "alpha\n"}},
       "AttachCountLimit = 2\n",
       1},
      {"the size limit: exactly the limit passes",
       "dc_base=alice&dir_path=/docs&name=a.txt&name=fit.bin",
       "E=0|V=/|N=3|",
       {{"a.txt", "alpha\n"}, {"fit.bin", std::string(1008, 'f')}},
       "Level0.AttachSizeKB = 1\n",
       1},
      {"the size limit: one byte more",
       "dc_base=alice&dir_path=/docs&name=a.txt&name=over.bin&name=b%3Bc.txt",
       "E=2|V=/|N=2|",
       {{"a.txt", "alpha\n"}},
       "Level0.AttachSizeKB = 1\n",
       1},
      {"a file over the room left with the list full: the count limit is told",
       "dc_base=alice&dir_path=/docs&name=over.bin",
       "E=1|V=/|N=1|",
       {},
       "AttachCountLimit = 1\nLevel0.AttachSizeKB = 1\n",
       1},
      {"a file larger than the address space is refused by its size",
       "dc_base=alice&dir_path=/docs&name=a.txt&name=huge.bin",
       "E=2|V=/|N=1|",
       {{"a.txt", "alpha\n"}}},
      {"a virus: error 4, the file not stored",
       "dc_base=alice&dir_path=/docs&name=a.txt&name=bad.exe&name=b%3Bc.txt",
       "E=4|V=bad.exe/Evil|N=1|",
       {{"a.txt", "alpha\n"}},
       "Level0.Privileges = 128\n"},
      {"a folder another user granted",
       "dc_base=*alice&dir_path=/shared&name=plan.txt",
       "E=0|V=/|N=1|",
       {{"plan.txt", "plan\n"}},
       {},
       0,
       "bob"},
      {"a folder another user did not grant",
       "dc_base=*alice&dir_path=/docs&name=a.txt",
       "E=3|V=/|N=0|",
       {},
       {},
       0,
       "bob"},
  };
  for (const Case& c : cases) {
    root.ClearTmp();
    root.Write("etc/site.conf", c.site);
    List("5", c.listed_before);
    CgiResult r = Get("atid=5&doc=1&" + c.query, c.user);
    ASSERT_EQ(r.status, 0) << c.what << "\n" << r.error;
    EXPECT_THAT(r.page, HasSubstr(c.page)) << c.what;

    std::vector<std::string> lines = root.ListLines("5", c.user);
    std::vector<std::string> copies;  // this request's: the old entries' are of process 1
    for (const std::string& name : root.TmpFiles(c.user + "_5_A_")) {
      if (PidOf(name) != "1") copies.push_back(name);
    }
    ASSERT_EQ(copies.size(), c.added.size()) << c.what;
    ASSERT_EQ(lines.size(), c.listed_before + c.added.size()) << c.what;
    for (size_t i = 0; i < c.added.size(); ++i) {
      const std::string copy = c.user + "_5_A_" + PidOf(copies[0]) + "_" + std::to_string(i);
      EXPECT_EQ(lines[c.listed_before + i], Line(c.added[i].listed, copy, c.added[i].data.size()))
          << c.what;
      EXPECT_EQ(root.Read("tmp/" + copy), c.added[i].data) << c.what;
      struct stat st;
      ASSERT_EQ(lstat(root.Path("tmp/" + copy).c_str(), &st), 0) << c.what;
      EXPECT_EQ(st.st_mode & 07777, 0600u) << c.what;
      EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
    }
  }
  EXPECT_EQ(root.Read("secret.txt"), "secret\n");
}

class ComposeUrlTest : public ComposeTest {
 protected:
  void SetUp() override {
    ComposeTest::SetUp();
    root.Site("FetchAllowPrivate = 1");
    Template(std::string(kProbe) + "F=$FETCHMSG/$fetchstatus/$fetcherror\n");
  }
  CgiResult Fetch(const std::string& url, const std::string& atid = "1") {
    Multipart form;
    form.Field("atid", atid).Field("newfile2", url);
    return Post(form);
  }
  testing_support::HttpServer server;
};

TEST_F(ComposeUrlTest, FetchedFileIsListedUnderItsUrl) {
  server.Serve("/dir/file.txt", "file text\n");
  CgiResult r = Fetch(server.Host() + "/dir/file.txt");
  EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=1|"));
  std::vector<std::string> fetched = root.TmpFiles("_H_");
  ASSERT_EQ(fetched.size(), 1u);
  EXPECT_THAT(root.ListLines("1"),
              ElementsAre(Line("http://" + server.Host() + "/dir/file.txt", fetched[0], 10)));
}

// A fetched file a limit refuses is deleted; a failed fetch leaves nothing
// and the page says why.
TEST_F(ComposeUrlTest, RefusedOrFailedFetchesLeaveNoFile) {
  root.Site("Level0.AttachSizeKB = 1");
  server.Serve("/over", std::string(1025, 'o'));
  EXPECT_THAT(Fetch(server.Host() + "/over").page, HasSubstr("E=2|V=/|N=0|"));
  EXPECT_THAT(root.TmpFiles("_H_"), ElementsAre());

  CgiResult r = Fetch(server.Host() + "/missing");
  EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=0|"));
  EXPECT_THAT(r.page, HasSubstr("F=4/404/The address answered with HTTP status 404."));
  EXPECT_THAT(root.TmpFiles("_H_"), ElementsAre());
}

}  // namespace
