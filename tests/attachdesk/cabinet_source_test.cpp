// The cabinet source ("doc") and the cabinet page of attachdesk, run as a
// CGI program: the own, a shared and the public cabinet, error 3, and what
// never leaves a cabinet.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cabinet/cabinet_fixture.h"
#include "common/acl/acl_object.h"
#include "common/cabinet/permission/dc_permission.h"
#include "host/files/files.h"
#include "support/cgi_run.h"
#include "support/test_root.h"

using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::Not;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr char kProbe[] = "E=$ERRORMSG|N=$count|T=$ins_text\n";

class CabinetSourceTest : public testing::Test {
 protected:
  void SetUp() override {
    root.AddUser("alice");
    root.AddUser("bob");
    root.Write("httpd/template/en/attach.dat", kProbe);
    root.Write("httpd/template/en/dc_attach.dat", kProbe);
    for (const char* conf : {"mime.types", "magic"}) {
      std::string data;
      MFILE_Read(std::string(AD_SOURCE_DIR) + "/conf/" + conf, data);
      root.Write(std::string("httpd/conf/") + conf, data);
    }
    root.Write("home/alice/dc/docs/a.txt", "alpha\n");
    root.Write("home/alice/dc/docs/b.png", std::string("\x89PNG\r\n\x1a\n", 8) + "img");
    root.Write("home/alice/dc/docs/sub/c.txt", "gamma\n");
    root.Write("home/alice/dc/docs/.finfo", "a.txt\tA\n");
    root.Write("home/alice/dc/.quota", "20");
    root.Write("home/alice/dc/shared/plan.txt", "plan\n");
    root.Write("home/alice/dc/top.txt", "top\n");
    root.Write("secret.txt", "secret\n");
    root.Write("elsewhere/x.txt", "x\n");
    symlink(root.Path("secret.txt").c_str(), root.Path("home/alice/dc/leak.txt").c_str());
    symlink(root.Path("elsewhere").c_str(), root.Path("home/alice/dc/outdir").c_str());
    symlink("docs/a.txt", root.Path("home/alice/dc/alias.txt").c_str());
    mkfifo(root.Path("home/alice/dc/fifo").c_str(), 0600);
    cabinet_test::AddGrant("alice", "/shared", "bob", 2, 1);
    root.Write("public/dc/reports/q.txt", "quarter\n");
    root.Write("public/dc/reports/pay.txt", "pay\n");
    MdsSession dir(nullptr, nullptr);
    ACL_Object everyone;
    everyone.name = "/";
    everyone.owner = "alice";
    everyone.permission = 0x0744;
    ACL_Object closed = everyone;
    closed.name = "/reports/pay.txt";
    closed.permission = 0x0700;
    ASSERT_EQ(ACL_ObjectAdd(dir.get(), root.Path("public/dc/.acl"), everyone), 0);
    ASSERT_EQ(ACL_ObjectAdd(dir.get(), root.Path("public/dc/.acl"), closed), 0);
  }

  CgiResult Get(const std::string& query, const std::string& user = "alice") {
    CgiRequest req;
    req.query = query;
    req.remote_user = user;
    return RunCgi("attachdesk", root.path(), req);
  }

  // The names of the list of window 1, in order.
  std::vector<std::string> Listed(const std::string& user = "alice") {
    std::vector<std::string> names;
    std::string text = root.Read("tmp/" + user + "_1_Attach.dat");
    for (std::size_t at = 0; at < text.size();) {
      std::size_t nl = text.find('\n', at);
      std::string line = text.substr(at, nl - at);
      at = nl + 1;
      std::size_t n3 = 0;
      for (int i = 0; i < 3; ++i) n3 = line.find(';', n3) + 1;
      names.push_back(line.substr(n3, line.find(';', n3) - n3));
    }
    return names;
  }

  // The stored copies' suffixes after the process id, sorted.
  TestRoot root;
};

TEST_F(CabinetSourceTest, SourcesAndRefusals) {
  struct Case {
    const char* what;
    std::string user;
    std::string query;  // after "atid=1&doc=1&"
    const char* code;
    std::vector<std::string> listed;
    std::vector<std::string> stored;
  } cases[] = {
      {"own cabinet",
       "alice",
       "dc_base=alice&dir_path=/docs&name=a.txt&name=b.png",
       "0",
       {"a.txt", "b.png"},
       {"0", "1"}},
      {"a folder is skipped and takes no number",
       "alice",
       "dc_base=alice&dir_path=/docs&name=sub&name=b.png",
       "0",
       {"b.png"},
       {"0"}},
      {"files before a refusal stay",
       "alice",
       "dc_base=alice&dir_path=/docs&name=a.txt&name=nope.txt&name=b.png",
       "3",
       {"a.txt"},
       {"0"}},
      {"a name into a folder below",
       "alice",
       "dc_base=alice&dir_path=/docs&name=sub/c.txt",
       "0",
       {"c.txt"},
       {"0"}},
      {"a name climbing out", "alice", "dc_base=alice&dir_path=/docs&name=../top.txt", "3", {}, {}},
      {"an absolute name stays inside",
       "alice",
       "dc_base=alice&dir_path=/&name=/etc/passwd",
       "3",
       {},
       {}},
      {"metadata files",
       "alice",
       "dc_base=alice&dir_path=/docs&name=.finfo&name=.quota&name=.acl&name=a.txt",
       "0",
       {"a.txt"},
       {"0"}},
      {"the cabinet's own quota file",
       "alice",
       "dc_base=alice&dir_path=/&name=.quota",
       "0",
       {},
       {}},
      {"a link leading out",
       "alice",
       "dc_base=alice&dir_path=/&name=leak.txt&name=top.txt",
       "0",
       {"top.txt"},
       {"0"}},
      {"a folder link leading out",
       "alice",
       "dc_base=alice&dir_path=/outdir&name=x.txt",
       "0",
       {},
       {}},
      {"a link inside",
       "alice",
       "dc_base=alice&dir_path=/&name=alias.txt",
       "0",
       {"alias.txt"},
       {"0"}},
      {"a FIFO",
       "alice",
       "dc_base=alice&dir_path=/&name=fifo&name=top.txt",
       "0",
       {"top.txt"},
       {"0"}},
      {"org_name wins over name",
       "alice",
       "dc_base=alice&dir_path=/docs&name=b.png&org_name=a.txt",
       "0",
       {"a.txt"},
       {"0"}},
      {"names end at an empty one",
       "alice",
       "dc_base=alice&dir_path=/docs&name=a.txt&name=&name=b.png",
       "0",
       {"a.txt"},
       {"0"}},
      {"a shared folder",
       "bob",
       "dc_base=*alice&dir_path=/shared&name=plan.txt",
       "0",
       {"plan.txt"},
       {"0"}},
      {"outside the shared folder", "bob", "dc_base=*alice&dir_path=/docs&name=a.txt", "3", {}, {}},
      {"the public cabinet",
       "bob",
       "dc_base=@&dir_path=/reports&name=q.txt&name=pay.txt",
       "3",
       {"q.txt"},
       {"0"}},
      {"not a cabinet", "alice", "dc_base=/etc&dir_path=/&name=passwd", "3", {}, {}},
  };
  for (const Case& c : cases) {
    root.ClearTmp();
    CgiResult r = Get("atid=1&doc=1&" + c.query, c.user);
    ASSERT_EQ(r.status, 0) << c.what << "\n" << r.error;
    EXPECT_THAT(r.page, HasSubstr(std::string("E=") + c.code + "|")) << c.what;
    EXPECT_THAT(Listed(c.user), ElementsAreArray(c.listed)) << c.what;
    EXPECT_THAT(root.StoredCopyNumbers(), ElementsAreArray(c.stored)) << c.what;
  }
  EXPECT_EQ(root.Read("secret.txt"), "secret\n");
}

TEST_F(CabinetSourceTest, StoredCopiesAndInsertMode) {
  CgiResult r = Get("atid=1&doc=1&dc_base=alice&dir_path=/docs&name=a.txt");
  EXPECT_THAT(r.page, HasSubstr("E=0|N=1|"));
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(root.Path("tmp"))) {
    names.push_back(e.path().filename().string());
  }
  std::string copy;
  for (const std::string& n : names) {
    if (n.find("_A_") != std::string::npos) copy = n;
  }
  ASSERT_FALSE(copy.empty());
  EXPECT_EQ(root.Read("tmp/" + copy), "alpha\n");
  struct stat st;
  ASSERT_EQ(lstat(root.Path("tmp/" + copy).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(root.Read("home/alice/dc/.quota"), "20");  // the cabinet is only read

  root.ClearTmp();
  // A text file goes into the message and takes no number; the picture is
  // the request's first stored copy.
  r = Get("atid=insert1&doc=1&dc_base=alice&dir_path=/docs&name=a.txt&name=b.png");
  EXPECT_THAT(r.page, HasSubstr("E=0|N=1|T=alpha\n"));
  EXPECT_THAT(Listed(), ElementsAreArray({"b.png"}));
  EXPECT_THAT(root.StoredCopyNumbers(), ElementsAreArray({"0"}));

  root.ClearTmp();
  r = Get("doc=1&dc_base=alice&dir_path=/docs&name=a.txt");  // no compose window
  EXPECT_THAT(r.page, HasSubstr("E=8|N=0|"));
  EXPECT_THAT(root.StoredCopyNumbers(), ElementsAreArray(std::vector<std::string>{}));
}

TEST_F(CabinetSourceTest, MissingBaseOrFolderIsLoggedOnOneLine) {
  CgiResult r = Get("atid=1&doc=1&dc_base=%0Dx%0Ay&name=a.txt");
  EXPECT_THAT(r.page, HasSubstr("E=0|N=0|"));
  std::string log = root.Read("log/error.log");
  EXPECT_THAT(log, HasSubstr("attachdesk: attach_main():dc_base=(_x_y),dir_path=().\n"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
}

TEST_F(CabinetSourceTest, HomeMovedBehindALinkStillServes) {
  fs::rename(root.Path("home/alice"), root.Path("moved-alice"));
  ASSERT_EQ(symlink(root.Path("moved-alice").c_str(), root.Path("home/alice").c_str()), 0);
  CgiResult r = Get("atid=1&doc=1&dc_base=alice&dir_path=/docs&name=a.txt&name=../../secret.txt");
  EXPECT_THAT(r.page, HasSubstr("E=3|N=1|"));
  EXPECT_THAT(Listed(), ElementsAreArray({"a.txt"}));
}

TEST_F(CabinetSourceTest, CabinetPage) {
  root.InstallTemplates("en");
  root.Write("etc/dc_type.conf", "*\tFile\t9\n");
  CgiResult own = Get("atid=1&dcview=1&dc_base=alice&dir_path=/");
  ASSERT_EQ(own.status, 0) << own.error;
  EXPECT_THAT(own.page, HasSubstr("My cabinet: /"));
  EXPECT_THAT(own.page, HasSubstr("value=\"top.txt\""));
  EXPECT_THAT(own.page, HasSubstr("value=\"alias.txt\""));
  EXPECT_THAT(own.page, Not(HasSubstr("leak.txt")));
  EXPECT_THAT(own.page, Not(HasSubstr("outdir")));
  EXPECT_THAT(own.page, HasSubstr("dir_path=%2Fdocs"));
  EXPECT_THAT(own.page, Not(HasSubstr("$f")));
  CgiResult out = Get("atid=1&dcview=1&dc_base=alice&dir_path=/outdir");
  EXPECT_THAT(out.page, HasSubstr("This folder could not be opened."));
  EXPECT_THAT(out.page, Not(HasSubstr("x.txt")));

  CgiResult closed = Get("atid=1&dcview=1&dc_owner=alice", "bob");
  EXPECT_THAT(closed.page, HasSubstr("Cabinet of alice: /"));
  EXPECT_THAT(closed.page, HasSubstr("You may not open this folder."));
  EXPECT_THAT(closed.page, Not(HasSubstr("top.txt")));

  CgiResult shared = Get("atid=1&dcview=1&dc_owner=alice&dir_path=/shared", "bob");
  EXPECT_THAT(shared.page, HasSubstr("value=\"plan.txt\""));
  EXPECT_THAT(shared.page, HasSubstr("name=dc_base value=\"*alice\""));

  CgiResult escaped = Get("atid=%3Cb%3E&dcview=1&dc_base=%40&dir_path=/reports");
  EXPECT_THAT(escaped.page, HasSubstr("value=\"&lt;b&gt;\""));
  EXPECT_THAT(escaped.page, HasSubstr("atid=%3Cb%3E"));
  EXPECT_THAT(escaped.page, HasSubstr("value=\"pay.txt\""));  // listed; attaching it is refused
}

}  // namespace
