// The memo note ("mnote") and calendar ("cal") sources and the note page of
// attachdesk, run as a CGI program.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/files/files.h"
#include "support/cgi_run.h"
#include "support/memo_notes.h"
#include "support/test_root.h"

using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::Not;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr char kProbe[] = "E=$ERRORMSG|N=$count|V=$virusfile|T=$ins_text\n";
constexpr std::uint32_t kTime = 1700000000;  // 2023-11-14 22:13:20 UTC

struct Listed {
  std::string charset, name, size;
  bool operator==(const Listed&) const = default;
};

void PrintTo(const Listed& l, std::ostream* os) {
  *os << "{" << l.charset << ", " << l.name << ", " << l.size << "}";
}

class NoteSourceTest : public testing::Test {
 protected:
  void SetUp() override {
    root.AddUser("alice");
    root.AddUser("bob");
    root.Write("home/alice/.prefs", "charset = UTF-8\n");
    root.Write("httpd/template/en/attach.dat", kProbe);
    for (const char* conf : {"mime.types", "magic"}) {
      std::string data;
      MFILE_Read(std::string(AD_SOURCE_DIR) + "/conf/" + conf, data);
      root.Write(std::string("httpd/conf/") + conf, data);
    }
    Folder("work",
           RawNoteEntry("w1", "Plan: a/b\\c", kTime, 10, 0, 1) +
               RawNoteEntry("w2", "", kTime, 5, 1) +
               RawNoteEntry("w3", "Long", kTime, 1000) +   // recorded beyond the file
               RawNoteEntry("w4", "Short", kTime, 2) +     // recorded below it
               RawNoteEntry("w5", "sj", kTime, 3, 0, 3) +
               RawNoteEntry("lnk", "Link") + RawNoteEntry("../w1", "Climbs") +
               RawNoteEntry("w7", std::string(448, 'x'), kTime, 1),
           {{"w1", "plan text\n"}, {"w2", "dated"}, {"w3", "short"}, {"w4", "whole text"},
            {"w5", "sjs"}, {"w7", "x"}, {"hidden", "not in the index"}});
    symlink("w1", root.Path("home/alice/note/work/lnk").c_str());
    Folder("", RawNoteEntry("r1", "Top", kTime, 3), {{"r1", "top"}});
    root.Write("home/alice/note2/.index", RawNoteEntry("s1", "Sibling", kTime, 1));
    root.Write("home/alice/note2/s1", "s");
  }

  void Folder(const std::string& sub, const std::string& index,
              std::initializer_list<std::pair<std::string, std::string>> files) {
    std::string dir = "home/alice/note/" + (sub.empty() ? "" : sub + "/");
    root.Write(dir + ".index", index);
    for (const auto& [name, text] : files) root.Write(dir + name, text);
  }

  CgiResult Get(const std::string& query, const std::string& user = "alice") {
    CgiRequest req;
    req.query = query;
    req.remote_user = user;
    req.env["TZ"] = "UTC";
    return RunCgi("attachdesk", root.path(), req);
  }

  // Charset, name and size of each line of window 1's list.
  std::vector<Listed> List() {
    std::vector<Listed> out;
    std::string text = root.Exists("tmp/alice_1_Attach.dat") ? root.Read("tmp/alice_1_Attach.dat") : "";
    for (std::size_t at = 0; at < text.size();) {
      std::size_t nl = text.find('\n', at);
      std::string line = text.substr(at, nl - at);
      at = nl + 1;
      std::vector<std::string> f;
      for (std::size_t p = 0, q; (q = line.find(';', p)) != std::string::npos; p = q + 1) {
        f.push_back(line.substr(p, q - p));
      }
      out.push_back({f[2], f[3], line.substr(line.rfind(';') + 1)});
    }
    return out;
  }

  TestRoot root;
};

TEST_F(NoteSourceTest, NotesAreAttachedThroughTheirIndex) {
  const std::string plan = "Plan__a_b_c.txt";
  struct Case {
    const char* what;
    std::string query;  // after "atid=1&mnote=1&"
    std::vector<Listed> listed;
  } cases[] = {
      {"three keys in the one folder named",
       "cate=work&file=w1&file=w3&file=w4",
       {{"utf-8", plan, "10"}, {"UTF-8", "Long.txt", "5"}, {"UTF-8", "Short.txt", "10"}}},
      {"a folder per key, the last one after they run out",
       "file=r1&cate=&file=w1&cate=work&file=w5",
       {{"UTF-8", "Top.txt", "3"}, {"utf-8", plan, "10"}, {"Shift_JIS", "sj.txt", "3"}}},
      {"a missing folder skips its key only",
       "cate=none&file=w1&cate=work&file=w1",
       {{"utf-8", plan, "10"}}},
      {"no cate: the note root", "file=r1&file=w1", {{"UTF-8", "Top.txt", "3"}}},
      {"keys reach files only through the index",
       "cate=work&file=hidden&file=../w1&file=lnk&file=&file=w1",
       {{"utf-8", plan, "10"}}},
      {"a sibling of the note root", "cate=../note2&file=s1", {}},
      {"a folder outside", "cate=/etc&file=w1", {}},
      {"a dated note", "cate=work&file=w2", {{"UTF-8", "2023-11-14 22:13.txt", "5"}}},
      {"a title longer than a name", "cate=work&file=w7",
       {{"UTF-8", std::string(251, 'x') + ".txt", "1"}}},
  };
  for (const Case& c : cases) {
    root.ClearTmp();
    CgiResult r = Get("atid=1&mnote=1&" + c.query);
    ASSERT_EQ(r.status, 0) << c.what << "\n" << r.error;
    EXPECT_THAT(r.page, HasSubstr("E=0|")) << c.what;
    EXPECT_THAT(List(), ElementsAreArray(c.listed)) << c.what;
    std::vector<std::string> numbers;
    for (std::size_t i = 0; i < c.listed.size(); ++i) numbers.push_back(std::to_string(i));
    EXPECT_THAT(root.StoredCopyNumbers(), ElementsAreArray(numbers)) << c.what;
  }
  // The copy holds the note's bytes, whatever length its entry records.
  root.ClearTmp();
  Get("atid=1&mnote=1&cate=work&file=w4");
  std::string copy;
  for (const auto& e : fs::directory_iterator(root.Path("tmp"))) {
    if (e.path().string().find("_A_") != std::string::npos) copy = e.path().string();
  }
  EXPECT_EQ(root.Read(copy.substr(root.path().size() + 1)), "whole text");
}

TEST_F(NoteSourceTest, InsertModeLimitsAndTheVirusCheck) {
  CgiResult r = Get("atid=insert1&ishtml=1&mnote=1&cate=work&file=w1&file=w3");
  EXPECT_THAT(r.page, HasSubstr("E=0|N=0|V=|T=&lt;PRE&gt;plan text\n&lt;/PRE&gt;&lt;PRE&gt;short"));
  EXPECT_TRUE(root.StoredCopyNumbers().empty());

  root.Site("AttachCountLimit = 2");
  r = Get("atid=1&mnote=1&cate=work&file=w1&file=w3&file=w4");
  EXPECT_THAT(r.page, HasSubstr("E=1|N=2|"));
  EXPECT_EQ(List().size(), 2u);

  root.ClearTmp();
  root.Site("Level0.Privileges = 128");
  root.Write("etc/avscan.conf",
             "Vendor = test\nEngineLib = " + std::string(AD_LIB_DIR) + "/libtav_marker.so\n");
  root.Write("home/alice/note/work/w3", "x VIRUS-MARKER Evil x");
  r = Get("atid=1&mnote=1&cate=work&file=w1&file=w3&file=w4");
  EXPECT_THAT(r.page, HasSubstr("E=4|N=1|V=w3|"));
  EXPECT_THAT(root.StoredCopyNumbers(), ElementsAreArray({"0"}));
  std::string log;
  for (const auto& e : fs::directory_iterator(root.Path("log"))) {
    if (e.path().filename().string().starts_with("virus.log.")) {
      MFILE_Read(e.path().string(), log);
    }
  }
  const std::string folder = fs::canonical(root.Path("home/alice/note/work")).string();
  EXPECT_THAT(log, HasSubstr("\t" + folder + "/w3\tATTACH\tw3\n"));
}

TEST_F(NoteSourceTest, SourceChoiceAndTheWindow) {
  // Without a compose window nothing is looked up or stored.
  CgiResult r = Get("mnote=1&cate=work&file=w1");
  EXPECT_THAT(r.page, HasSubstr("E=8|N=0|"));
  // A user without notes gets a note root, and nothing else.
  r = Get("atid=1&mnote=1&file=w1", "bob");
  EXPECT_THAT(r.page, HasSubstr("E=0|N=0|"));
  EXPECT_TRUE(fs::is_directory(root.Path("home/bob/note")));

  root.Write("tmp/cal_alice_e1.ics", "BEGIN:VCALENDAR\r\n");
  r = Get("atid=1&doc=1&mnote=1&cal=1&cate=work&file=w1&fname=e1");  // the cabinet's
  EXPECT_THAT(r.page, HasSubstr("E=0|N=0|"));
  r = Get("atid=1&mnote=&cal=1&cate=work&file=w1&fname=e1");  // the notes'
  EXPECT_THAT(List(), ElementsAreArray({Listed{"utf-8", "Plan__a_b_c.txt", "10"}}));
}

TEST_F(NoteSourceTest, CalendarExports) {
  const std::string ics = "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n";
  root.Write("tmp/cal_alice_e1.ics", ics);
  root.Write("tmp/cal_alice_e2.ics", ics + ics);
  root.Write("secret.ics", "secret");
  symlink(root.Path("secret.ics").c_str(), root.Path("tmp/cal_alice_ln.ics").c_str());
  struct Case {
    const char* what;
    std::string query;  // after "cal=1&"
    std::vector<Listed> listed;
  } cases[] = {
      {"titles pair with names by position",
       "atid=1&fname=e1&title=Team/Weekly%20sync&fname=e2",
       {{"utf-8", "Weekly sync.ics", "32"}, {"utf-8", "untitled.ics", "64"}}},
      {"names end at the first empty one", "atid=1&fname=e1&title=&fname=&fname=e2",
       {{"utf-8", "untitled.ics", "32"}}},
      {"an export behind a link", "atid=1&fname=ln&fname=e1", {{"utf-8", "untitled.ics", "32"}}},
      {"never diverted in insert mode", "atid=insert1&fname=e1&title=T",
       {{"utf-8", "T.ics", "32"}}},
  };
  for (const Case& c : cases) {
    root.ClearTmp();
    root.Write("tmp/cal_alice_e1.ics", ics);
    root.Write("tmp/cal_alice_e2.ics", ics + ics);
    symlink(root.Path("secret.ics").c_str(), root.Path("tmp/cal_alice_ln.ics").c_str());
    CgiResult r = Get("cal=1&" + c.query);
    ASSERT_EQ(r.status, 0) << c.what << "\n" << r.error;
    EXPECT_THAT(r.page, HasSubstr("E=0|")) << c.what;
    EXPECT_THAT(List(), ElementsAreArray(c.listed)) << c.what;
  }
}

TEST_F(NoteSourceTest, UnsafeExportNamesTouchNothing) {
  for (const char* bad : {"a_b", "x/y", "..", ".", "a%0Ab", "a%7F", "e1&fname=a_b"}) {
    root.ClearTmp();
    CgiResult r = Get(std::string("atid=1&cal=1&fname=") + bad);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_THAT(r.headers, HasSubstr("Status: 400")) << bad;
    EXPECT_THAT(r.headers, HasSubstr("text/plain")) << bad;
    EXPECT_TRUE(fs::is_empty(root.Path("tmp"))) << bad;
  }
  // Names after the first empty one are never used, so never checked.
  root.Write("tmp/cal_alice_e1.ics", "x");
  CgiResult r = Get("atid=1&cal=1&fname=e1&fname=&fname=a_b");
  EXPECT_THAT(r.page, HasSubstr("E=0|N=1|"));
}

TEST_F(NoteSourceTest, ExportsAreAwaitedFourSecondsPerRequest) {
  // Written two seconds after the request starts: attached.
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    root.Write("tmp/cal_alice_late.ics", "late");
  });
  CgiResult r = Get("atid=1&cal=1&fname=late");
  writer.join();
  EXPECT_THAT(List(), ElementsAreArray({Listed{"utf-8", "untitled.ics", "4"}}));

  // The first missing export spends the four waits; the second is skipped at
  // once, and an export present is still attached.
  root.ClearTmp();
  root.Write("tmp/cal_alice_e1.ics", "x");
  auto start = std::chrono::steady_clock::now();
  r = Get("atid=1&cal=1&fname=gone1&fname=gone2&fname=e1");
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::seconds(4));
  EXPECT_LT(took, std::chrono::seconds(7));
  EXPECT_EQ(List().size(), 1u);
}

TEST_F(NoteSourceTest, NotePageIsOfferedToUsersWithNotes) {
  root.InstallTemplates("en");
  Folder("work/<b>", RawNoteEntry("b1", "<i>Bold</i>", kTime, 2), {{"b1", "bb"}});
  CgiResult window = Get("atid=1");
  EXPECT_THAT(window.page, HasSubstr("id=mnote_link href=\"/cgi-bin/attachdesk?mnoteview=1&amp;atid=1\""));
  CgiResult none = Get("atid=1", "bob");
  EXPECT_THAT(none.page, Not(HasSubstr("id=mnote_link")));
  EXPECT_FALSE(fs::exists(root.Path("home/bob/note")));  // a page makes no note root

  CgiResult page = Get("atid=1&mnoteview=1&cate=work/%3Cb%3E");
  ASSERT_EQ(page.status, 0) << page.error;
  EXPECT_THAT(page.page, HasSubstr("cate=work%2F%3Cb%3E"));
  EXPECT_THAT(page.page, HasSubstr("value=\"work/&lt;b&gt;\""));
  EXPECT_THAT(page.page, HasSubstr("value=\"b1\""));
  EXPECT_THAT(page.page, HasSubstr("&lt;i&gt;Bold&lt;/i&gt;"));
  EXPECT_THAT(page.page, Not(HasSubstr("$n")));
  EXPECT_THAT(page.page, Not(HasSubstr("$f")));

  CgiResult first = Get("atid=1&mnoteview=1");  // the root holds notes: it comes first
  EXPECT_THAT(first.page, HasSubstr("value=\"r1\""));
  CgiResult outside = Get("atid=1&mnoteview=1&cate=../note2");
  EXPECT_THAT(outside.page, HasSubstr("There is no such note folder."));
  EXPECT_THAT(outside.page, Not(HasSubstr("s1")));
}

}  // namespace
