// attachdesk run as a CGI program against a temporary root.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/cgi_run.h"
#include "support/test_root.h"

using testing::HasSubstr;
using testing::Not;
using namespace testing_support;

namespace {

// A template that shows every variable of the list page in a fixed shape.
constexpr char kProbe[] =
    "E=$ERRORMSG<!--$ERRORMSG=4-->|V=$virusfile/$virusmsg<!--/$ERRORMSG-->"
    "|<!--$hasdata-->HAS<!--/$hasdata--><!--$ifhelp-->HELP<!--/$ifhelp-->"
    "|N=$count|K=$keepname|C=$choice|S=$size|A=$atid|H=$ishtml"
    "|<!--$ifinsert-->INS<!--/$ifinsert--><!--$ifninsert-->NINS<!--/$ifninsert-->"
    "|T=$ins_text|U=$auth|<!--$ifdc-->DC<!--/$ifdc-->|M=$m\n";

class AttachdeskTest : public testing::Test {
 protected:
  void SetUp() override {
    root.AddUser("alice");
    root.Write("httpd/template/en/attach.dat", kProbe);
    root.Write("httpd/template/en/dc_attach.dat", std::string("DC:") + kProbe);
  }

  CgiResult Get(const std::string& query, const std::string& user = "alice") {
    CgiRequest req;
    req.query = query;
    req.remote_user = user;
    return RunCgi("attachdesk", root.path(), req);
  }

  CgiResult Post(const Multipart& form, const std::string& query = "") {
    CgiRequest req;
    req.method = "POST";
    req.query = query;
    req.content_type = form.ContentType();
    req.body = form.Body();
    return RunCgi("attachdesk", root.path(), req);
  }

  // A list of entries with stored files below tmp, sizes 10, 20, 30, ...
  void List(const std::string& cpid, int entries) {
    std::string text;
    for (int i = 0; i < entries; ++i) {
      std::string stored = root.Path("tmp/alice_" + cpid + "_A_1_" + std::to_string(i));
      root.Write("tmp/alice_" + cpid + "_A_1_" + std::to_string(i), "x");
      text += "0;;utf-8;file" + std::to_string(i) + ".txt;" + stored + ";" +
              std::to_string(10 * (i + 1)) + "\n";
    }
    root.Write("tmp/alice_" + cpid + "_Attach.dat", text);
  }

  std::string ListFile(const std::string& cpid) {
    return root.Read("tmp/alice_" + cpid + "_Attach.dat");
  }

  std::vector<std::string> TmpFiles() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(root.Path("tmp"))) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TestRoot root;
};

TEST_F(AttachdeskTest, ListPageShowsEntriesChoicesAndTotal) {
  List("1234", 3);
  CgiResult r = Get("atid=1234");
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(r.headers, "Content-Type: text/html; charset=utf-8\n");
  EXPECT_EQ(r.page,
            "E=0|HAS|N=3|K=<input type=hidden name=NN value=\"file0.txt\">\n"
            "<input type=hidden name=NN value=\"file1.txt\">\n"
            "<input type=hidden name=NN value=\"file2.txt\">\n"
            "|C=<select name=choice size=3 multiple>\n"
            "<option value=0>file0.txt,&nbsp; 10 bytes</option>\n"
            "<option value=1>file1.txt,&nbsp; 20 bytes</option>\n"
            "<option value=2>file2.txt,&nbsp; 30 bytes</option>\n"
            "</select>\n"
            "|S=60|A=1234|H=|NINS|T=|U=||M=0\n")
      << Visible(r.page);
}

TEST_F(AttachdeskTest, EmptyListHidesTheListAndShowsHelp) {
  CgiResult r = Get("atid=1234");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.page, "E=0|HELP|N=0|K=|C=|S=0|A=1234|H=|NINS|T=|U=||M=0\n");
}

TEST_F(AttachdeskTest, ModesFollowTheAtidWord) {
  List("1234", 1);
  List("compose7", 1);
  List("b", 1);
  root.Write("httpd/template/en/background.dat", "BG:$atid");
  root.Write("httpd/template/en/backsound.dat", "BS:$atid");
  root.Write("httpd/template/en/imageadd.dat", "IMG:$atid");
  struct Case {
    const char* atid;
    int status;
    const char* expect;
  } cases[] = {
      {"compose7", 0, "N=1"},            // not the compose mode: identifier compose7
      {"b", 0, "N=1"},                   // shorter than every mode word
      {"insert1234", 0, "|INS|"},        // insert mode, identifier 1234
      {"1234", 0, "|NINS|"},
      {"bg1234", 0, "BG:bg1234"},
      {"bs1234", 0, "BS:bs1234"},
      {"img1234", 1, "IMG:img1234"},  // the image page returns to the entry
  };
  for (const Case& c : cases) {
    CgiResult r = Get(std::string("atid=") + c.atid);
    EXPECT_EQ(r.status, c.status) << c.atid;
    EXPECT_THAT(r.output, HasSubstr(c.expect)) << c.atid << "\n" << Visible(r.output);
  }
  EXPECT_THAT(Get("atid=insert1234").page, HasSubstr("N=1|"));
}

TEST_F(AttachdeskTest, ComposeModeRedirectsWithItsOwnProcessIdAndDropsAStaleList) {
  CgiRequest req;
  req.query = "atid=compose&m=3";
  std::string tmp = root.Path("tmp");
  req.in_child = [tmp] {
    std::ofstream(tmp + "/alice_" + std::to_string(getpid()) + "_Attach.dat")
        << "0;;;stale.txt;/nowhere;5\n";
  };
  CgiResult r = RunCgi("attachdesk", root.path(), req);
  EXPECT_EQ(r.status, 1000 & 0xff);
  ASSERT_THAT(r.output, testing::StartsWith("Location: /cgi-bin/genMail?keep_attach=1&cpid="));
  std::string pid = r.output.substr(r.output.find("cpid=") + 5);
  pid = pid.substr(0, pid.find('&'));
  EXPECT_EQ(r.output, "Location: /cgi-bin/genMail?keep_attach=1&cpid=" + pid + "&m=3\r\n\r\n");
  EXPECT_FALSE(root.Exists("tmp/alice_" + pid + "_Attach.dat"));
}

TEST_F(AttachdeskTest, MissingTemplate) {
  std::filesystem::remove(root.Path("httpd/template/en/attach.dat"));
  CgiResult r = Get("atid=1234");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.page, "Missing System File.");
}

TEST_F(AttachdeskTest, RemovalPositionsAreLoweredByTheRemovalsBefore) {
  List("1", 3);
  CgiResult r = Get("atid=1&choice=2&choice=0");  // 2, then 0-1 = -1: ignored
  EXPECT_THAT(r.page, HasSubstr("N=2|"));
  EXPECT_THAT(ListFile("1"), HasSubstr("file0.txt"));
  EXPECT_THAT(ListFile("1"), Not(HasSubstr("file2.txt")));
  EXPECT_FALSE(root.Exists("tmp/alice_1_A_1_2"));

  List("2", 3);
  r = Get("atid=2&choice=0&choice=2");  // 0, then 2-1 = 1: the former entry 2
  EXPECT_THAT(r.page, HasSubstr("N=1|"));
  EXPECT_EQ(ListFile("2"), "0;;utf-8;file1.txt;" + root.Path("tmp/alice_2_A_1_1") + ";20\n");
  EXPECT_FALSE(root.Exists("tmp/alice_2_A_1_0"));
  EXPECT_FALSE(root.Exists("tmp/alice_2_A_1_2"));

  List("3", 2);
  r = Get("atid=3&choice=x&choice=9&choice=0&choice=1");  // removes entry 0 only
  EXPECT_THAT(r.page, HasSubstr("N=2|"));  // 0-2 and 1-3 are out of range
}

TEST_F(AttachdeskTest, RemovingEveryEntryDeletesTheList) {
  List("5", 1);
  Get("atid=5&choice=0");
  EXPECT_FALSE(root.Exists("tmp/alice_5_Attach.dat"));
}

TEST_F(AttachdeskTest, InitAndOtherSourcesChangeNothing) {
  List("1", 2);
  std::string before = ListFile("1");
  for (const char* q : {"atid=1&init=1&choice=0", "atid=1&doc=1&choice=0",
                        "atid=1&mnote=1&choice=0", "atid=1&cal=1&choice=0"}) {
    CgiResult r = Get(q);
    EXPECT_EQ(r.status, 0) << q;
    EXPECT_THAT(r.page, HasSubstr("E=0|HAS|N=2|")) << q;
    EXPECT_EQ(ListFile("1"), before) << q;
  }
}

TEST_F(AttachdeskTest, WithoutAtidNoComposeFilesAreTouched) {
  List("", 1);  // a list a bare identifier would name
  auto before = TmpFiles();
  CgiResult r = Get("choice=0");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.page, HasSubstr("E=0|HELP|N=0|"));
  EXPECT_EQ(TmpFiles(), before);
}

TEST_F(AttachdeskTest, MultipartValuesAndEscaping) {
  List("77", 1);
  Multipart form;
  form.Field("ishtml", "1").Field("auth", "<a&b>");
  form.File("atid", "x.txt", "77");  // only as a part with a file name
  CgiResult r = Post(form);
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_THAT(r.page, HasSubstr("N=1|"));
  EXPECT_THAT(r.page, HasSubstr("|A=77|H=1|"));
  EXPECT_THAT(r.page, HasSubstr("|U=&lt;a&amp;b&gt;|"));

  r = Get("atid=%3Cb%3E&ishtml=%22x%22");
  EXPECT_THAT(r.page, HasSubstr("|A=&lt;b&gt;|H=&quot;x&quot;|"));
}

TEST_F(AttachdeskTest, ListNamesAreEscapedAndConverted) {
  root.Write("tmp/alice_9_Attach.dat",
             "0;;utf-8;C:\\docs\\<b>.txt;/elsewhere/a;1\n"
             "0;;iso-8859-1;caf\xe9.txt;/elsewhere/b;2\n"
             "0;;;caf&#233; &amp&#59; report&#59;v2 &#0; &#xD800; &#12.txt;/elsewhere/c;3\n");
  CgiResult r = Get("atid=9");
  EXPECT_THAT(r.page, HasSubstr("<option value=0>&lt;b&gt;.txt,&nbsp; 1 bytes</option>"));
  EXPECT_THAT(r.page, HasSubstr("<option value=1>caf\xc3\xa9.txt,&nbsp; 2 bytes</option>"));
  // Numeric character references are the list's characters; any other "&" is
  // text.
  EXPECT_THAT(r.page, HasSubstr("<option value=2>caf&#233; &amp;amp&#59; report&#59;v2 &amp;#0; "
                                "&amp;#xD800; &amp;#12.txt,&nbsp; 3 bytes</option>"));
  EXPECT_THAT(r.page, HasSubstr("value=\"caf&#233; &amp;amp&#59; report&#59;v2"));
}

TEST_F(AttachdeskTest, CabinetBlockFollowsTheLevelFlags) {
  EXPECT_THAT(Get("atid=1").page, HasSubstr("||M=0"));
  root.Site("Level0.Flags = 2");
  EXPECT_THAT(Get("atid=1").page, HasSubstr("|DC|"));
}

TEST_F(AttachdeskTest, RefusedRequestsWriteNothing) {
  List("1", 1);
  auto before = TmpFiles();
  struct Case {
    const char* name;
    CgiRequest req;
    const char* status;
  };
  auto get = [](std::string q, std::string user = "alice") {
    CgiRequest r;
    r.query = std::move(q);
    r.remote_user = std::move(user);
    return r;
  };
  std::vector<Case> cases = {
      {"no user", get("atid=1&choice=0", ""), "403"},
      {"unknown user", get("atid=1&choice=0", "mallory"), "403"},
      {"bad user id", get("atid=1&choice=0", "../alice"), "403"},
      {"slash", get("atid=a/b&choice=0"), "400"},
      {"dots", get("atid=..&choice=0"), "400"},
      {"underscore", get("atid=1_A&choice=0"), "400"},
      {"control", get("atid=1%0A&choice=0"), "400"},
      {"insert dots", get("atid=insert..&choice=0"), "400"},
      {"too long", get("atid=" + std::string(65, '1')), "400"},
  };
  CgiRequest put = get("atid=1&choice=0");
  put.method = "PUT";
  cases.push_back({"method", put, "405"});
  CgiRequest bad;
  bad.method = "POST";
  bad.query = "atid=1&choice=0";
  bad.content_type = "multipart/form-data; boundary=zz";
  bad.body = "--zz\r\nContent-Disposition: form-data; name=\"choice\"\r\n\r\n0\r\n";
  cases.push_back({"no closing boundary", bad, "400"});
  CgiRequest nobound = bad;
  nobound.content_type = "multipart/form-data";
  cases.push_back({"no boundary", nobound, "400"});
  for (auto& c : cases) {
    CgiResult r = RunCgi("attachdesk", root.path(), c.req);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_THAT(r.output, testing::StartsWith(std::string("Status: ") + c.status)) << c.name;
    EXPECT_THAT(r.headers, HasSubstr("Content-Type: text/plain")) << c.name;
    EXPECT_EQ(TmpFiles(), before) << c.name;
  }
}

TEST_F(AttachdeskTest, BodyOverTheLimitIsRefusedBeforeReading) {
  root.Site("RequestMaxKB = 1");
  Multipart form;
  form.Field("atid", "1").File("newfile", "big.bin", std::string(4096, 'x'));
  CgiResult r = Post(form);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.output, testing::StartsWith("Status: 413"));
}

TEST_F(AttachdeskTest, ShippedTemplatesRenderInEveryLanguage) {
  List("1", 2);
  for (const char* lang : {"en", "ja"}) {
    root.InstallTemplates(lang);
    root.Write("home/alice/.prefs", std::string("language = ") + lang + "\n");
    CgiResult r = Get("atid=1");
    ASSERT_EQ(r.status, 0) << lang;
    EXPECT_THAT(r.page, HasSubstr("<option value=1>file1.txt,&nbsp; 20 bytes</option>")) << lang;
    EXPECT_THAT(r.page, HasSubstr("name=newfile>")) << lang;
    EXPECT_THAT(r.page, Not(HasSubstr("<!--$"))) << lang;
  }
}

}  // namespace
