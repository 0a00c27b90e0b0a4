// uploadsend's entry and page: flows and identifiers, the header fields, the
// body, the send mode, the loops, with the program run as a CGI program.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/test_root.h"
#include "tests/uploadsend/uploadsend_fixture.h"

using testing::HasSubstr;
using testing::StartsWith;
using namespace uploadsend_test;

namespace {

constexpr char kFlags[] =
    "A=$atid|P=$cpid|<!--$ifdone-->D<!--/$ifdone--><!--$ifndone-->ND<!--/$ifndone-->"
    "|<!--$ifcompose-->C<!--/$ifcompose--><!--$ifncompose-->NC<!--/$ifncompose-->"
    "|<!--$hasdata-->HAS<!--/$hasdata--><!--$ifhelp-->HELP<!--/$ifhelp-->|E=$ERRORMSG\n";

// The flow and the identifier chosen by "atid"; "$cpid" "PID" stands for the
// process id of the request.
TEST_F(UploadsendTest, AtidChoosesTheFlowAndTheWindow) {
  Template(kFlags);
  root.Write("tmp/alice_123_Attach.dat", "0;;;a.txt;" + root.Path("tmp/a") + ";1\n");
  struct Case {
    std::string atid;
    std::string page;
  } cases[] = {
      {"compose", "A=composePID|P=PID|D|C|HELP|E=0"},
      {"compose0", "A=composePID|P=PID|ND|C|HELP|E=0"},
      {"composex", "A=composePID|P=PID|ND|C|HELP|E=0"},
      {"compose123", "A=compose123|P=123|ND|C|HAS|E=0"},
      {"axcompose123", "A=compose123|P=123|D|C|HAS|E=0"},
      {"compose7&choice=0", "A=compose7|P=7|ND|C|HELP|E=0"},
      {"b%3Cx%3E", "A=b&lt;x&gt;|P=b&lt;x&gt;|ND|NC|HELP|E=0"},
      {"", "A=|P=|ND|NC|HELP|E=0"},
  };
  for (const Case& c : cases) {
    CgiResult r = Get("atid=" + c.atid);
    ASSERT_EQ(r.status, 0) << c.atid << r.error;
    std::string page = r.page;
    std::string pid = page.substr(page.find("|P=") + 3);
    pid = pid.substr(0, pid.find('|'));
    std::string expected = c.page;
    for (size_t at; (at = expected.find("PID")) != std::string::npos;) expected.replace(at, 3, pid);
    EXPECT_EQ(page, expected + "\n") << c.atid;
  }
  // The multipart part "atid" stands in for an empty text.
  Multipart form;
  form.File("atid", "", "axcompose123");
  EXPECT_THAT(Post(form, "atid=").page, StartsWith("A=compose123|P=123|D|"));
}

// A fresh window starts with an empty list, whatever an earlier process with
// the same id left.
TEST_F(UploadsendTest, FreshWindowStartsEmpty) {
  Template(kFlags);
  testing_support::CgiRequest req;
  req.query = "atid=compose";
  std::string leftover = root.Path("tmp/alice_%d_Attach.dat");
  req.in_child = [leftover] {
    char path[512];
    std::snprintf(path, sizeof path, leftover.c_str(), static_cast<int>(getpid()));
    FILE* f = std::fopen(path, "w");
    std::fputs("0;;;stale.txt;/nowhere;1\n", f);
    std::fclose(f);
  };
  CgiResult r = testing_support::RunCgi("uploadsend", root.path(), req);
  EXPECT_THAT(r.page, HasSubstr("|HELP|E=0"));
  EXPECT_EQ(root.TmpFiles("Attach"), std::vector<std::string>{});
}

// Identifiers that could name another window's files, or no file of this
// folder, are refused before any file is read, written or deleted.
TEST_F(UploadsendTest, UnsafeIdentifiersAnswer400) {
  root.Write("tmp/alice_1_Upload.dat", Upload("u", "x", "n.txt"));
  for (const char* atid : {"axcompose1_2", "axcompose..", "compose5%2F..", "a%2Fb", "x_1", ".",
                           "axcompose%0A1", "compose1_x"}) {
    CgiResult r = Get(std::string("atid=") + atid + "&newfile2=x");
    EXPECT_EQ(r.status, 1) << atid;
    EXPECT_THAT(r.headers, HasSubstr("Status: 400")) << atid;
  }
  EXPECT_TRUE(root.Exists("tmp/alice_1_Upload.dat"));
  CgiResult r = Get("atid=axcompose1", "mallory");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.headers, HasSubstr("Status: 403"));
  EXPECT_TRUE(root.Exists("tmp/alice_1_Upload.dat"));
  EXPECT_EQ(root.TmpFiles("Attach"), std::vector<std::string>{});
}

TEST_F(UploadsendTest, HeaderFieldsAreEscapedAndEncoded) {
  Template("T=$to|$encto|C=$cc|$enccc|B=$bcc|$encbcc|S=$subject|$encsubject\n");
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  std::string encoded_all;
  for (char ch : all)
    encoded_all += "%" + std::string(1, "0123456789ABCDEF"[(ch >> 4) & 15]) +
                   std::string(1, "0123456789ABCDEF"[ch & 15]);
  CgiResult r = Get("to=a%20%3Cb%3E%26%22'&cc=&subject=" + encoded_all);
  ASSERT_EQ(r.status, 0) << r.error;
  std::string page = r.page;
  EXPECT_THAT(page, StartsWith("T=a &lt;b&gt;&amp;&quot;&#39;|a%20%3Cb%3E%26%22%27|C=||B=||S="));
  // Percent-encoding leaves only unreserved bytes and decodes to the value.
  std::string enc = page.substr(page.rfind('|') + 1);
  enc.pop_back();
  std::string decoded;
  for (size_t i = 0; i < enc.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(enc[i]);
    ASSERT_TRUE(std::isalnum(c) || std::strchr("-_.~%", c)) << enc;
    if (c == '%') {
      decoded += static_cast<char>(std::stoi(enc.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += static_cast<char>(c);
    }
  }
  EXPECT_EQ(decoded, all);
}

// "$content" comes back whole: no byte lost, doubled or split where the
// 256-byte pieces meet, a piece taking 257 bytes where a two-byte character
// would be cut.
TEST_F(UploadsendTest, ContentComesBackWhole) {
  Template("[$content]\n");
  root.Write("home/alice/.prefs", "charset = Shift_JIS\n");
  struct Case {
    const char* name;
    std::string content;
  } cases[] = {
      {"a two-byte character across byte 256",
       std::string(255, 'a') + "\x83\x41" + std::string(43, 'b')},
      {"markup across byte 256", std::string(254, 'a') + "<&>\"'" + std::string(300, 'c')},
      {"exactly 256 bytes", std::string(256, 'z')},
  };
  for (const Case& c : cases) {
    std::string query = "content=";
    for (unsigned char ch : c.content) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", ch);
      query += hex;
    }
    CgiResult r = Get(query);
    std::string expected;
    for (char ch : c.content) {
      switch (ch) {
        case '<':
          expected += "&lt;";
          break;
        case '>':
          expected += "&gt;";
          break;
        case '&':
          expected += "&amp;";
          break;
        case '"':
          expected += "&quot;";
          break;
        case '\'':
          expected += "&#39;";
          break;
        default:
          expected += ch;
      }
    }
    EXPECT_EQ(r.page, "[" + expected + "]\n") << c.name;
  }
}

TEST_F(UploadsendTest, SendModeShowsItsBlocks) {
  Template(
      "<!--$ifsend-->S<!--/$ifsend--><!--$ifpgsend-->P<!--/$ifpgsend-->"
      "<!--$ifmtsend-->M<!--/$ifmtsend--><!--$iftfsend-->T<!--/$iftfsend-->"
      "|<!--$ifedit-->E<!--/$ifedit--><!--$ifnedit-->NE<!--/$ifnedit-->\n");
  struct Case {
    const char* query;
    const char* page;
  } cases[] = {
      {"act=send", "S|ENE\n"},   {"act=pgsend", "P|NE\n"},  {"act=mtsend", "M|ENE\n"},
      {"act=tfsend", "T|ENE\n"}, {"act=PGSEND", "S|ENE\n"}, {"", "S|ENE\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Get(c.query).page, c.page) << c.query;
}

// "$floop..." loops run once per entry; any other loop renders nothing and
// the page still ends; a missing template says so.
TEST_F(UploadsendTest, LoopsRunOncePerEntry) {
  List("4", 3);
  Template(
      "<!--loop $floopnames-->[<!--$if1st-->first <!--/$if1st-->"
      "<!--$ifn1st-->then <!--/$ifn1st-->$purefname]<!--/loop $floopnames-->"
      "|<!--loop $other-->never<!--/loop $other-->|<!--loop $floop-->.<!--/loop $floop-->"
      "|end\n");
  CgiResult r = Get("atid=4");
  EXPECT_EQ(r.page, "[first old0.txt][then old1.txt][then old2.txt]||...|end\n");
  EXPECT_EQ(Get("atid=5").page, "|||end\n");
  // Loops inside loops: a "$floop" loop runs within each pass of its outer
  // one; another loop inside renders nothing.
  Template(
      "<!--loop $floopa-->[$purefname<!--loop $other-->x<!--/loop $other-->"
      "<!--loop $floopb-->.<!--/loop $floopb-->]<!--/loop $floopa-->|end\n");
  EXPECT_EQ(Get("atid=4").page, "[old0.txt...][old1.txt...][old2.txt...]|end\n");
  Template("<!--loop $floop-->a<!--loop $floop-->b<!--/loop $floop--><!--/loop $floop-->|end\n");
  r = Get("atid=4");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.page.ends_with("|end\n")) << r.page.size() << " bytes";

  std::remove(root.Path("httpd/template/en/uploadsend.dat").c_str());
  r = Get("atid=4");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.page, "Missing System File.");
}

// The list page parts: names shown as their last component, escaped; the
// total after "$choice".
TEST_F(UploadsendTest, ListShowsNamesAndTotal) {
  root.Write("tmp/alice_8_Attach.dat", "0;;;C:\\x\\<b>.txt;" + root.Path("tmp/a") +
                                           ";12\n0;;;caf&#233;.txt;" + root.Path("tmp/b") + ";3\n");
  Template("K=$keepname|C=$choice|S=$size\n");
  EXPECT_EQ(Get("atid=8").page,
            "K=<input type=hidden name=NN value=\"&lt;b&gt;.txt\">\n"
            "<input type=hidden name=NN value=\"caf&#233;.txt\">\n"
            "|C=<select name=choice size=3 multiple>\n"
            "<option value=0>&lt;b&gt;.txt,&nbsp; 12 bytes</option>\n"
            "<option value=1>caf&#233;.txt,&nbsp; 3 bytes</option>\n</select>\n|S=15\n");
}

}  // namespace

namespace {

// The shipped pages render whole in every mode, with no variable left
// unreplaced.
TEST_F(UploadsendTest, ShippedPagesRender) {
  for (const char* lang : {"en", "ja"}) {
    root.InstallTemplates(lang);
    root.Write("home/alice/.prefs", std::string("language = ") + lang + "\n");
    List("3", 2);
    for (const char* query : {"", "atid=compose", "atid=compose3&act=pgsend&to=a%40b&content=x",
                              "atid=axcompose3&act=send", "atid=compose3&act=mtsend"}) {
      CgiResult r = Get(query);
      ASSERT_EQ(r.status, 0) << lang << query << r.error;
      EXPECT_THAT(r.page, testing::EndsWith("</html>\n")) << lang << query;
      EXPECT_THAT(r.page, testing::Not(testing::ContainsRegex("\\$[a-zA-Z]"))) << lang << query;
    }
    CgiResult r = Get("atid=compose3");
    EXPECT_THAT(r.page, HasSubstr("<option value=1>old1.txt,&nbsp; 20 bytes</option>")) << lang;
    EXPECT_THAT(r.page, testing::ContainsRegex(">[^<]*old0.txt[^<]*old1.txt</p>")) << lang;
  }
}

}  // namespace
