// The attachment intake: uploads, the URL, limits, the virus check, inserted
// text and stored copies, with attachdesk run as a CGI program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "attachdesk/admission/admission.h"
#include "host/account/session.h"
#include "host/charset/charset.h"
#include "host/files/files.h"
#include "support/cgi_run.h"
#include "support/http_server.h"
#include "support/test_root.h"

using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// The page's variables in a fixed shape.
constexpr char kProbe[] =
    "E=$ERRORMSG|V=$virusfile/$virusmsg|N=$count|T=$ins_text"
    "|L=$countlimit/$countleft/$sizelimit/$sizeleft\n";

class IntakeTest : public testing::Test {
 protected:
  void SetUp() override {
    root.AddUser("alice");
    root.Write("httpd/template/en/attach.dat", kProbe);
    root.Write("httpd/template/en/dc_attach.dat", kProbe);
    for (const char* conf : {"mime.types", "magic"}) {
      root.Write(std::string("httpd/conf/") + conf,
                 ReadFile(std::string(AD_SOURCE_DIR) + "/conf/" + conf));
    }
  }

  static std::string ReadFile(const std::string& path) {
    std::string data;
    MFILE_Read(path, data);  // empty when missing
    return data;
  }

  CgiResult Post(const std::string& body, const std::string& content_type,
                 std::function<void()> in_child = nullptr) {
    CgiRequest req;
    req.method = "POST";
    req.content_type = content_type;
    req.body = body;
    req.env["AD_ENGINE_LOG"] = root.Path("engine.log");
    req.in_child = std::move(in_child);
    return RunCgi("attachdesk", root.path(), req);
  }
  CgiResult Post(const Multipart& form, std::function<void()> in_child = nullptr) {
    return Post(form.Body(), form.ContentType(), std::move(in_child));
  }

  // A list of entries with stored files, sizes 10, 20, 30, ...
  void List(const std::string& cpid, int entries) {
    std::string text;
    for (int i = 0; i < entries; ++i) {
      std::string sub = "tmp/alice_" + cpid + "_A_1_" + std::to_string(i);
      root.Write(sub, "x");
      text += "0;;;old" + std::to_string(i) + ".txt;" + root.Path(sub) + ";" +
              std::to_string(10 * (i + 1)) + "\n";
    }
    root.Write("tmp/alice_" + cpid + "_Attach.dat", text);
  }

  std::string Line(const std::string& name, const std::string& stored, size_t size,
                   const std::string& charset = "") {
    return "0;;" + charset + ";" + name + ";" + root.Path("tmp/" + stored) + ";" +
           std::to_string(size);
  }

  void Engine() {
    root.Write("etc/avscan.conf",
               "Vendor = test\nEngineLib = " + std::string(AD_LIB_DIR) + "/libtav_marker.so\n");
    root.Write("engine.log", "");
  }

  TestRoot root;
};

// The process id in a stored name "alice_<cpid>_A_<pid>_<i>".
std::string PidOf(const std::string& stored) {
  size_t a = stored.find("_A_");
  if (a == std::string::npos) a = stored.find("_H_");
  std::string rest = stored.substr(a + 3);
  return rest.substr(0, rest.find('_'));
}

TEST_F(IntakeTest, UploadFieldsNameTheStoredCopies) {
  Multipart form;
  form.Field("atid", "1");
  form.File("newfile", "C:\\docs\\a.txt", "aaa");
  form.File("newfile01", "b.bin", "bb");
  form.File("newfile05", "/home/u/c.bin", "c");
  form.File("newfile100", "d.bin", "dddd");
  form.File("newfile255", "e.bin", "e");
  form.File("newfile1", "not-a-field.bin", "x");  // fields are numbered with two digits
  form.File("newfile256", "beyond.bin", "x");
  CgiResult r = Post(form);
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=5|"));

  std::vector<std::string> stored = root.TmpFiles("_A_");
  ASSERT_EQ(stored.size(), 5u);
  std::string pid = PidOf(stored[0]);
  std::string prefix = "alice_1_A_" + pid + "_";
  EXPECT_THAT(root.ListLines("1"),
              ElementsAre(Line("a.txt", prefix + "0", 3), Line("b.bin", prefix + "1", 2),
                          Line("c.bin", prefix + "5", 1), Line("d.bin", prefix + "100", 4),
                          Line("e.bin", prefix + "255", 1)));
  EXPECT_EQ(root.Read("tmp/" + prefix + "100"), "dddd");
  struct stat st;
  ASSERT_EQ(stat(root.Path("tmp/" + prefix + "0").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_THAT(root.TmpFiles(".lock"), ElementsAre());  // the window's turn leaves no file
}

TEST_F(IntakeTest, RemovalsComeBeforeUploads) {
  List("1", 2);
  Multipart form;
  form.Field("atid", "1").Field("choice", "0").File("newfile", "new.txt", "n");
  CgiResult r = Post(form);
  EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=2|"));
  std::vector<std::string> lines = root.ListLines("1");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr(";old1.txt;"));
  EXPECT_THAT(lines[1], HasSubstr(";new.txt;"));
}

TEST_F(IntakeTest, CountLimitRefusesTheFirstFileBeyondIt) {
  root.Site("AttachCountLimit = 3");
  List("1", 3);
  std::string before = root.Read("tmp/alice_1_Attach.dat");
  Multipart form;
  form.Field("atid", "1").File("newfile", "a.bin", "data");
  CgiResult r = Post(form);
  EXPECT_THAT(r.page, HasSubstr("E=1|V=/|N=3|"));
  EXPECT_THAT(r.page, HasSubstr("|L=3/0/"));
  EXPECT_THAT(root.TmpFiles("_A_"), ElementsAre("alice_1_A_1_0", "alice_1_A_1_1", "alice_1_A_1_2"));
  EXPECT_EQ(root.Read("tmp/alice_1_Attach.dat"), before);
}

TEST_F(IntakeTest, SizeLimitAcceptsTheExactTotal) {
  root.Site("Level0.AttachSizeKB = 1");  // 1024 bytes; the list holds 60
  struct Case {
    size_t size;
    const char* page;
    size_t stored;
  } cases[] = {
      {964, "E=0|V=/|N=4|T=|L=20/16/1024/0\n", 4},
      {965, "E=2|V=/|N=3|T=|L=20/17/1024/964\n", 3},
  };
  for (const Case& c : cases) {
    for (const auto& name : root.TmpFiles()) fs::remove(root.Path("tmp/" + name));
    List("1", 3);
    Multipart form;
    form.Field("atid", "1").File("newfile", "f.bin", std::string(c.size, 'x'));
    CgiResult r = Post(form);
    EXPECT_EQ(r.page, c.page) << c.size;
    EXPECT_EQ(root.TmpFiles("_A_").size(), c.stored) << c.size;
    EXPECT_EQ(root.ListLines("1").size(), c.stored) << c.size;
  }
}

TEST_F(IntakeTest, LimitsAreComputedIn64Bits) {
  // 4 GiB: shifted in 32 bits this limit would be 0.
  root.Site("Level0.AttachSizeKB = 4194304");
  root.Site("AttachCountLimit = 1000");  // more than a list holds: 255
  Multipart form;
  form.Field("atid", "1").File("newfile", "f.bin", "0123456789");
  CgiResult r = Post(form);
  EXPECT_EQ(r.page, "E=0|V=/|N=1|T=|L=255/254/2147483647/2147483647\n");
}

TEST_F(IntakeTest, InsertModeDivertsTextFiles) {
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(24, '\0');
  const std::string html =
      "<html><head><style>p { color: red }</style><title>T</title></head>"
      "<body><p>Hi &amp; <b>you</b></p><script>alert(1)</script></body></html>";
  struct Case {
    const char* name;
    bool ishtml;
    const char* file;
    std::string data;
    const char* ins_text;
  } cases[] = {
      {"plain into HTML", true, "note.txt", "hello <b>\n",
       "&lt;PRE&gt;hello &lt;b&gt;\n&lt;/PRE&gt;"},
      {"HTML into HTML", true, "page.html", "<i>x</i>", "&lt;i&gt;x&lt;/i&gt;"},
      {"HTML into plain", false, "page.html", html, "T\nHi &amp; you\n"},
      {"plain into plain", false, "note.txt", "a<b", "a&lt;b"},
  };
  for (const Case& c : cases) {
    for (const auto& name : root.TmpFiles()) fs::remove(root.Path("tmp/" + name));
    Multipart form;
    form.Field("atid", "insert1");
    if (c.ishtml) form.Field("ishtml", "1");
    form.File("newfile", c.file, c.data).File("newfile01", "pic.png", png);
    CgiResult r = Post(form);
    EXPECT_THAT(r.page, HasSubstr(std::string("N=1|T=") + c.ins_text + "|")) << c.name;
    std::vector<std::string> lines = root.ListLines("1");
    ASSERT_EQ(lines.size(), 1u) << c.name;
    EXPECT_THAT(lines[0], HasSubstr(";pic.png;")) << c.name;
    EXPECT_THAT(lines[0], testing::EndsWith("_1;32")) << c.name;
    EXPECT_THAT(root.TmpFiles("_A_"), testing::SizeIs(1)) << c.name;  // the text file is not stored
  }
}

// A text already taken for the message body stays on the page when a later
// file of the same request is refused.
TEST_F(IntakeTest, InsertedTextSurvivesALaterRefusal) {
  root.Site("AttachCountLimit = 0");
  Multipart form;
  form.Field("atid", "insert1");
  form.File("newfile", "note.txt", "keep me\n");
  form.File("newfile01", "pic.bin", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(24, '\0'));
  CgiResult r = Post(form);
  EXPECT_THAT(r.page, HasSubstr("E=1|"));
  EXPECT_THAT(r.page, HasSubstr("|T=keep me\n|"));
}

TEST_F(IntakeTest, EmptyUploadWithANameGivesCode5AfterTheOthers) {
  Multipart form;
  form.Field("atid", "1");
  form.File("newfile", "empty.txt", "");
  form.File("newfile01", "b.txt", "bb");
  form.File("newfile02", "", "");  // a field left empty: no name, no data
  EXPECT_THAT(Post(form).page, HasSubstr("E=5|V=/|N=1|"));

  Multipart quiet;
  quiet.Field("atid", "2").File("newfile", "", "");
  EXPECT_THAT(Post(quiet).page, HasSubstr("E=0|V=/|N=0|"));
}

TEST_F(IntakeTest, VirusScanFollowsTheLevelAndTheEngine) {
  struct Case {
    const char* name;
    bool privilege;
    bool engine;
    bool scanned;
  } cases[] = {
      {"no privilege 128", false, true, false},
      {"no engine", true, false, false},
  };
  for (const Case& c : cases) {
    for (const auto& name : root.TmpFiles()) fs::remove(root.Path("tmp/" + name));
    root.Write("etc/site.conf", c.privilege ? "Level0.Privileges = 128\n" : "");
    fs::remove(root.Path("etc/avscan.conf"));
    if (c.engine) Engine();
    root.Write("engine.log", "");
    Multipart form;
    form.Field("atid", "1").File("newfile", "bad.bin", "VIRUS-MARKER Eicar");
    CgiResult r = Post(form);
    EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=1|")) << c.name;  // let in unscanned
    EXPECT_EQ(root.Read("engine.log").find("scan\t") != std::string::npos, c.scanned) << c.name;
  }
  EXPECT_THAT(root.Read("log/error.log"), HasSubstr("ScanNewFile: AVS_Open failed"));
}

TEST_F(IntakeTest, InfectedUploadIsRefusedAfterTheFilesBeforeIt) {
  root.Site("Level0.Privileges = 128");
  Engine();
  Multipart form;
  form.Field("atid", "1");
  form.File("newfile", "clean.txt", "nothing here");
  form.File("newfile01", "C:\\dir\\bad<1>.exe", "xx VIRUS-MARKER <Evil> xx");
  form.File("newfile02", "later.txt", "never reached");
  CgiResult r = Post(form);
  EXPECT_THAT(r.page, HasSubstr("E=4|V=bad&lt;1&gt;.exe/&lt;Evil&gt;|N=1|"));
  std::vector<std::string> stored = root.TmpFiles("_A_");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_THAT(stored[0], testing::EndsWith("_0"));
  ASSERT_EQ(root.ListLines("1").size(), 1u);
  EXPECT_THAT(root.ListLines("1")[0], HasSubstr(";clean.txt;"));

  std::string log;
  for (const auto& e : fs::directory_iterator(root.Path("log"))) {
    if (e.path().filename().string().starts_with("virus.log.")) log += ReadFile(e.path());
  }
  EXPECT_THAT(
      log, testing::MatchesRegex("[0-9/]+ [0-9:]+\t<Evil>\talice@localhost\talice@localhost\t"
                                 "C:\\\\dir\\\\bad<1>\\.exe\tATTACH\tC:\\\\dir\\\\bad<1>\\.exe\n"));
}

// A file name in a filename* parameter (RFC 5987), which can carry any byte.
std::string ExtNamePart(const std::string& boundary, const std::string& field,
                        const std::string& encoded, const std::string& data) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + field +
         "\"; filename*=UTF-8''" + encoded + "\r\n\r\n" + data + "\r\n";
}

TEST_F(IntakeTest, ClientNamesNeverAddALine) {
  const std::string b = "zzb";
  std::string body = "--" + b + "\r\nContent-Disposition: form-data; name=\"atid\"\r\n\r\n1\r\n";
  // "a CR LF 0;;;x;evil;1 LF b;c.txt" and "&#59;;&#12": the first would be two
  // lines, the second ends in an unclosed reference that would swallow the
  // field separator after it.
  body += ExtNamePart(b, "newfile", "a%0D%0A0%3B%3B%3Bx%3Bevil%3B1%0Ab%3Bc.txt", "1");
  body += ExtNamePart(b, "newfile01", "%26%2359%3B%3B%26%2312", "22");
  body += "--" + b + "--\r\n";
  CgiResult r = Post(body, "multipart/form-data; boundary=" + b);
  EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=2|"));
  std::vector<std::string> lines = root.ListLines("1");
  ASSERT_EQ(lines.size(), 2u);
  std::string pid = PidOf(root.TmpFiles("_A_")[0]);
  EXPECT_EQ(lines[0],
            Line("a__0&#59;&#59;&#59;x&#59;evil&#59;1_b&#59;c.txt", "alice_1_A_" + pid + "_0", 1));
  EXPECT_EQ(lines[1], Line("&#59;&#59;&#38;#12", "alice_1_A_" + pid + "_1", 2));
}

TEST_F(IntakeTest, NamesAreKeptInUtf8ForAnotherUserCharset) {
  root.Write("home/alice/.prefs", "charset = iso-8859-1\n");
  Multipart form;
  form.Field("atid", "1");
  form.File("newfile", "caf\xe9.txt", "1");         // in the page's charset
  form.File("newfile01", "na\xc3\xafve.txt", "2");  // sent as UTF-8 already
  form.File("newfile02", "plain.txt", "3");         // nothing to convert
  CgiResult r = Post(form);
  ASSERT_THAT(r.page, HasSubstr("E=0|V=/|N=3|"));
  std::vector<std::string> lines = root.ListLines("1");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_THAT(lines[0], HasSubstr(";utf-8;caf\xc3\xa9.txt;"));
  EXPECT_THAT(lines[1], HasSubstr(";utf-8;na\xc3\xafve.txt;"));
  EXPECT_THAT(lines[2], testing::StartsWith("0;;;plain.txt;"));
}

// Large uploads are spooled while the request is read and become their
// stored files; a marker far inside one is still found by the scan, and the
// files before it stay listed.
TEST_F(IntakeTest, LargeUploadsAreStoredWholeAndScanned) {
  root.Site("Level0.Privileges = 128");
  Engine();
  auto bytes = [](std::size_t size, unsigned seed) {
    std::string data;
    while (data.size() < size) {
      seed = seed * 1103515245 + 12345;
      data += (seed >> 28) == 0 ? std::string("\r\n--") : std::string(1, char(seed >> 16));
    }
    return data.substr(0, size);
  };
  const std::string first = bytes(700000, 1);
  const std::string second = bytes(1 << 20, 2);
  std::string infected = bytes(900000, 3);
  infected.replace(800000, 12, "VIRUS-MARKER");
  Multipart form;
  form.Field("atid", "1");
  form.File("newfile", "first.bin", first).File("newfile01", "small.txt", "s");
  form.File("newfile02", "second.bin", second).File("newfile03", "bad.bin", infected);
  CgiResult r = Post(form);
  EXPECT_THAT(r.page, HasSubstr("E=4|V=bad.bin/"));
  std::vector<std::string> stored = root.TmpFiles("_A_");
  ASSERT_EQ(stored.size(), 3u);
  std::string prefix = "alice_1_A_" + PidOf(stored[0]) + "_";
  EXPECT_THAT(root.ListLines("1"), ElementsAre(Line("first.bin", prefix + "0", first.size()),
                                          Line("small.txt", prefix + "1", 1),
                                          Line("second.bin", prefix + "2", second.size())));
  EXPECT_TRUE(root.Read("tmp/" + prefix + "0") == first);
  EXPECT_TRUE(root.Read("tmp/" + prefix + "2") == second);
  struct stat st;
  ASSERT_EQ(stat(root.Path("tmp/" + prefix + "2").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_nlink, 1u);
}

// Checked for a file kept in memory and for one spooled while read: the
// name is taken, so the copy gets the next free one.
TEST_F(IntakeTest, LinkAtAStoredNameIsNeitherFollowedNorReplaced) {
  for (std::size_t size : {std::size_t{4}, std::size_t{600000}}) {
    for (const auto& name : root.TmpFiles()) fs::remove(root.Path("tmp/" + name));
    root.Write("victim", "precious");
    std::string tmp = root.Path("tmp");
    std::string victim = root.Path("victim");
    Multipart form;
    form.Field("atid", "1").File("newfile", "a.bin", std::string(size, 'e'));
    form.File("newfile01", "b.bin", "good");
    CgiResult r = Post(form, [tmp, victim] {
      std::string link = tmp + "/alice_1_A_" + std::to_string(getpid()) + "_0";
      if (symlink(victim.c_str(), link.c_str()) != 0) _exit(99);
    });
    EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=2|")) << size;
    EXPECT_EQ(root.Read("victim"), "precious") << size;
    std::vector<std::string> lines = root.ListLines("1");
    ASSERT_EQ(lines.size(), 2u) << size;
    EXPECT_THAT(lines[0], testing::MatchesRegex(".*;a.bin;.*_A_[0-9]+_0\\.1;[0-9]+"));
    EXPECT_THAT(lines[1], HasSubstr(";b.bin;"));
  }
}

// Two requests of one window that get the same process id (here in pid
// namespaces of their own, where each is process 1) keep both files.
TEST_F(IntakeTest, ARecurringProcessIdNeverReplacesAStoredCopy) {
  if (system("unshare --pid --fork true 2>/dev/null") != 0) {
    GTEST_SKIP() << "no pid namespaces here";
  }
  for (const char* content : {"first", "second"}) {
    CgiRequest req;
    Multipart form;
    form.Field("atid", "w").File("newfile", std::string(content) + ".txt", content);
    req.method = "POST";
    req.content_type = form.ContentType();
    req.body = form.Body();
    req.wrapper = {"unshare", "--pid", "--fork"};
    CgiResult r = RunCgi("attachdesk", root.path(), req);
    EXPECT_THAT(r.page, HasSubstr("E=0|")) << r.error;
  }
  EXPECT_THAT(root.ListLines("w"), ElementsAre(Line("first.txt", "alice_w_A_1_0", 5),
                                          Line("second.txt", "alice_w_A_1_0.1", 6)));
  EXPECT_EQ(root.Read("tmp/alice_w_A_1_0"), "first");
  EXPECT_EQ(root.Read("tmp/alice_w_A_1_0.1"), "second");
}

// A list that cannot be written is told, and the copies the request made go.
TEST_F(IntakeTest, AListThatCannotBeWrittenKeepsNothingOfTheRequest) {
  List("1", 2);
  const std::string before = root.Read("tmp/alice_1_Attach.dat");
  std::string tmp = root.Path("tmp");
  Multipart form;
  form.Field("atid", "1").Field("choice", "0").File("newfile", "new.bin", "new data");
  CgiResult r = Post(form, [tmp] {
    // The temporary list name of this process is taken by a folder.
    std::string blocker = tmp + "/alice_1_Attach.dat.tmp." + std::to_string(getpid());
    if (mkdir(blocker.c_str(), 0700) != 0) _exit(99);
  });
  EXPECT_THAT(r.page, HasSubstr("E=6|V=/|N=2|")) << r.error;
  EXPECT_EQ(root.Read("tmp/alice_1_Attach.dat"), before);
  EXPECT_TRUE(root.Exists("tmp/alice_1_A_1_0"));  // removed from a list that was not saved
  EXPECT_EQ(root.TmpFiles("alice_1_A_").size(), 2u);        // the new copy is gone
  EXPECT_THAT(root.Read("log/error.log"), HasSubstr("could not be written; 1 new files removed"));
}

TEST_F(IntakeTest, ScannerThatCannotCheckAFileFollowsTheSiteSetting) {
  root.Site("Level0.Privileges = 128");
  root.Write("etc/avscan.conf", "Vendor = test\nEngineLib = " + root.Path("lib/missing.so") + "\n");
  Multipart form;
  form.Field("atid", "1").File("newfile", "dir/a.bin", "data");
  EXPECT_THAT(Post(form).page, HasSubstr("E=0|V=/|N=1|"));  // admit, the default
  root.Site("Level0.Privileges = 128\nScanUnavailable = refuse");
  Multipart again;
  again.Field("atid", "2").File("newfile", "dir/<b>.bin", "data");
  EXPECT_THAT(Post(again).page, HasSubstr("E=7|V=&lt;b&gt;.bin/|N=0|"));
  EXPECT_EQ(root.TmpFiles("alice_2_").size(), 0u);
}

// Checked for a file kept in memory and for one too large to spool under
// the limit, which comes back into memory and then cannot be written.
TEST_F(IntakeTest, ShortWriteLeavesNoFile) {
  for (std::size_t size : {std::size_t{100000}, std::size_t{600000}}) {
    for (const auto& name : root.TmpFiles()) fs::remove(root.Path("tmp/" + name));
    Multipart form;
    form.Field("atid", "1");
    form.File("newfile", "big.bin", std::string(size, 'b'));
    form.File("newfile01", "small.bin", "s");
    CgiResult r = Post(form, [] {
      signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
      struct rlimit limit = {8192, 8192};
      setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=1|")) << size;
    std::vector<std::string> stored = root.TmpFiles("_A_");
    ASSERT_EQ(stored.size(), 1u) << size;
    EXPECT_THAT(stored[0], testing::EndsWith("_1"));
    EXPECT_THAT(root.Read("log/error.log"), HasSubstr("StoreCopy: write"));
  }
}

// Files sent without a compose window are not attached, and the user is told.
TEST_F(IntakeTest, WithoutAComposeIdentifierNothingIsStoredOrFetched) {
  std::vector<std::string> before = root.TmpFiles();
  struct Case {
    const char* atid;  // null: none
    bool file;
    const char* url;
    int code;
  } cases[] = {
      {nullptr, true, "127.0.0.1:9/x", 8}, {"insert", true, "", 8}, {nullptr, false, "x.test", 8},
      {nullptr, false, "  ", 0},           {"insert", false, "", 0},
  };
  for (const Case& c : cases) {
    Multipart form;
    if (c.atid) form.Field("atid", c.atid);
    if (c.file) form.File("newfile", "a.bin", "data");
    form.Field("newfile2", c.url);
    CgiResult r = Post(form);
    EXPECT_THAT(r.page, HasSubstr("E=" + std::to_string(c.code) + "|V=/|N=0|")) << c.url;
    EXPECT_EQ(root.TmpFiles(), before);
  }
}

TEST_F(IntakeTest, ComposeModeListsUploadsUnderItsOwnId) {
  Multipart form;
  form.Field("atid", "compose").File("newfile", "a.bin", "data");
  CgiResult r = Post(form);
  std::string pid = r.output.substr(r.output.find("cpid=") + 5);
  pid = pid.substr(0, pid.find('&'));
  EXPECT_EQ(r.output, "Location: /cgi-bin/genMail?keep_attach=1&cpid=" + pid + "&m=0\r\n\r\n");
  EXPECT_THAT(root.ListLines(pid), ElementsAre(Line("a.bin", "alice_" + pid + "_A_" + pid + "_0", 4)));
}

class UrlTest : public IntakeTest {
 protected:
  void SetUp() override {
    IntakeTest::SetUp();
    root.Site("FetchAllowPrivate = 1");
    const std::string probe = std::string(kProbe) + "F=$FETCHMSG/$fetchstatus/$fetcherror\n";
    root.Write("httpd/template/en/attach.dat", probe);
  }
  CgiResult Fetch(const std::string& url, const std::string& atid = "1") {
    Multipart form;
    form.Field("atid", atid).Field("newfile2", url);
    return Post(form);
  }
  HttpServer server;
};

TEST_F(UrlTest, UrlTextIsNormalisedAndTheFileListedWhereItLies) {
  server.Serve("/", "root page\n");
  server.Serve("/dir/file.txt", "file text\n");
  struct Case {
    std::string url;
    const char* target;
    const char* name;
  } cases[] = {
      {server.Host(), "GET / HTTP/1.1", ""},  // "http://" in front, "/" behind
      {server.Host() + "/dir/file.txt", "GET /dir/file.txt HTTP/1.1", "file.txt"},
      {"http://" + server.Host(), "GET / HTTP/1.1", ""},  // "/" behind
      {"  " + server.Host() + "/dir/file.txt\r\n", "GET /dir/file.txt HTTP/1.1", "file.txt"},
  };
  for (const Case& c : cases) {
    for (const auto& name : root.TmpFiles()) fs::remove(root.Path("tmp/" + name));
    CgiResult r = Fetch(c.url);
    EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=1|")) << c.url << r.error;
    EXPECT_THAT(server.Targets(), ElementsAre(c.target)) << c.url;
    std::vector<std::string> fetched = root.TmpFiles("_H_");
    ASSERT_EQ(fetched.size(), 1u) << c.url;
    EXPECT_EQ(fetched[0], "alice_1_H_" + PidOf(fetched[0]));
    std::string body = root.Read("tmp/" + fetched[0]);
    EXPECT_THAT(root.ListLines("1"), ElementsAre(Line(c.name, fetched[0], body.size()))) << c.url;
  }
}

TEST_F(UrlTest, FetchedFileCountsOnceAgainstTheSizeLimit) {
  root.Site("Level0.AttachSizeKB = 1");
  server.Serve("/fit", std::string(964, 'f'));
  server.Serve("/over", std::string(965, 'o'));
  List("1", 3);  // 60 bytes
  EXPECT_THAT(Fetch(server.Host() + "/fit").page, HasSubstr("E=0|V=/|N=4|"));
  List("2", 3);
  EXPECT_THAT(Fetch(server.Host() + "/over", "2").page, HasSubstr("E=2|V=/|N=3|"));
  EXPECT_EQ(root.TmpFiles("alice_2_H_").size(), 0u);  // the refused file is not kept
}

// A fetch that fails or brings nothing adds nothing, leaves nothing in tmp/,
// and the page says why; the page code stays 0.
TEST_F(UrlTest, FailedFetchAddsNothingAndSaysWhy) {
  server.Serve("/empty", "");
  root.Write("etc/site.conf", "FetchAllowPrivate = 1\nFetchMaxKB = 1\n");
  server.Serve("/big", std::string(2000, 'b'));
  struct Case {
    std::string url;
    std::string shown;
  } cases[] = {
      {server.Host() + "/missing", "F=4/404/The address answered with HTTP status 404."},
      {server.Host() + "/empty", "F=8/0/The address answered with an empty file."},
      {server.Host() + "/big", "F=3/0/The file at that address is larger than this server "
                               "fetches (1 KB)."},
      {"ftp://" + server.Host() + "/x", "F=1/0/Only http and https addresses can be attached."},
  };
  for (const Case& c : cases) {
    CgiResult r = Fetch(c.url);
    EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=0|")) << c.url;
    EXPECT_THAT(r.page, HasSubstr(c.shown)) << c.url;
    EXPECT_EQ(root.TmpFiles("_H_").size(), 0u) << c.url;
  }
  root.Write("etc/site.conf", "");  // FetchAllowPrivate = 0
  EXPECT_THAT(Fetch(server.Host() + "/empty").page,
              HasSubstr("F=2/0/This server does not fetch files from that address."));
}

TEST_F(UrlTest, TextIsInsertedInInsertMode) {
  server.Serve("/note.txt", "fetched <text>\n");
  CgiResult r = Fetch(server.Host() + "/note.txt", "insert1");
  EXPECT_THAT(r.page, HasSubstr("N=0|T=fetched &lt;text&gt;\n|"));
  EXPECT_EQ(root.TmpFiles("_H_").size(), 0u);  // its text went into the message
}

// ---- Names as the list holds them.

TEST(NameForCharset, WidensInShiftJisOnly) {
  Session s;
  s.user_id = "alice";
  Preference p;
  p.charset = "Shift_JIS";
  SetSessionForTest(s, p);
  const std::string kana = "\xb6\xde.txt";
  const std::string wide = "\x83\x4b.txt";
  EXPECT_EQ(std::string(AD_NameForCharset(kana.c_str(), "x-SJIS")), wide);
  EXPECT_EQ(std::string(AD_NameForCharset(kana.c_str(), "")), wide);  // the user's
  EXPECT_EQ(std::string(AD_NameForCharset(kana.c_str(), "utf-8")), kana);
  EXPECT_EQ(std::string(AD_NameForUser(kana.c_str())), wide);
  EXPECT_EQ(AD_NameForCharset(nullptr, "shift_jis"), nullptr);
  const char* empty = "";
  EXPECT_EQ(AD_NameForCharset(empty, "shift_jis"), empty);
  // Widened past the buffer: cut before a whole character.
  std::string many(3000, '\xb1');
  EXPECT_EQ(std::strlen(AD_NameForCharset(many.c_str(), "Shift_JIS")), 4094u);
  EXPECT_EQ(std::strlen(AD_NameForUser(many.c_str())), 510u);
}

}  // namespace
