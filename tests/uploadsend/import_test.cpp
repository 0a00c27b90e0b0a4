// The import of the upload control's files ("atid" "axcompose" + number), with
// uploadsend run as a CGI program.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/uploadsend/uploadsend_fixture.h"

using testing::ElementsAre;
using testing::HasSubstr;
using namespace uploadsend_test;
namespace fs = std::filesystem;

namespace {

class ImportTest : public UploadsendTest {
 protected:
  std::string Line(const std::string& name, const std::string& stored, size_t size) {
    return "0;;;" + name + ";" + root.Path("tmp/" + stored) + ";" + std::to_string(size);
  }
};

TEST_F(ImportTest, UploadsJoinTheListWhereTheyLie) {
  // An entry attachdesk listed stays byte for byte, five fields and all.
  const std::string old = "0;;utf-8;caf&#233;.txt;" + root.Path("tmp/alice_7_A_1_0") + ";5\n";
  root.Write("tmp/alice_7_A_1_0", "hello");
  root.Write("tmp/alice_7_Attach.dat", old);
  std::string list = Upload("up1", "aaa", "report.pdf") + Upload("up2", "bb", "a;b.txt") +
                     Upload("up3", "c", "C:\\dir\\x.bin");
  root.Write("tmp/alice_7_Upload.dat", list);

  CgiResult r = Get("atid=axcompose7");
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=4|A=compose7|P=7|"));
  EXPECT_EQ(root.Read("tmp/alice_7_Attach.dat"), old + Line("report.pdf", "up1", 3) + "\n" +
                                                     Line("a&#59;b.txt", "up2", 2) + "\n" +
                                                     Line("C:\\dir\\x.bin", "up3", 1) + "\n");
  // The upload list is consumed; the uploads stay where they are.
  EXPECT_FALSE(root.Exists("tmp/alice_7_Upload.dat"));
  EXPECT_EQ(root.Read("tmp/up1"), "aaa");
  EXPECT_THAT(root.TmpFiles(), ElementsAre("alice_7_A_1_0", "alice_7_Attach.dat", "up1", "up2", "up3"));

  // A second import finds nothing to take.
  r = Get("atid=axcompose7");
  EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=4|"));
}

// The number of the upload list is the identifier's leading digits; the
// attachment list is named by the whole identifier.
TEST_F(ImportTest, ListNamesFollowTheIdentifier) {
  struct Case {
    const char* atid;
    const char* upload_list;
    const char* attach_list;
  } cases[] = {
      {"axcompose", "tmp/alice_0_Upload.dat", "tmp/alice__Attach.dat"},
      {"axcompose12x", "tmp/alice_12_Upload.dat", "tmp/alice_12x_Attach.dat"},
      {"axcomposeabc", "tmp/alice_0_Upload.dat", "tmp/alice_abc_Attach.dat"},
  };
  for (const Case& c : cases) {
    root.ClearTmp();
    root.Write(c.upload_list, Upload("u", "data", "n.txt"));
    CgiResult r = Get(std::string("atid=") + c.atid);
    EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=1|")) << c.atid;
    EXPECT_FALSE(root.Exists(c.upload_list)) << c.atid;
    EXPECT_THAT(root.Read(c.attach_list), HasSubstr(";n.txt;")) << c.atid;
  }
}

// Lines the list file cannot vouch for are skipped; none of them is read,
// listed or deleted, and the page shows no error for them.
TEST_F(ImportTest, MalformedUploadListLinesAreSkipped) {
  root.Write("outside.txt", "secret");
  fs::create_directory(root.Path("tmp/sub"));
  std::string list;
  list += "no separator at all\n";
  list += "one;separator\n";
  list += ";" + root.Path("tmp/noname") + ";3\n";                       // empty name
  list += "abs.txt;" + root.Path("outside.txt") + ";6\n";               // outside tmp/
  list += "rel.txt;tmp/u1;1\n";                                         // not absolute
  list += "up.txt;" + root.Path("tmp/../outside.txt") + ";6\n";         // climbs out
  list += "neg.txt;" + root.Path("tmp/u1") + ";-5\n";                   // negative size
  list += std::string(1100, 'L') + ";" + root.Path("tmp/u1") + ";1\n";  // over 1023 bytes
  std::string crlf = Upload("u1", "1", "crlf.txt");
  crlf.insert(crlf.size() - 1, "\r");  // CR before the newline
  list += crlf;
  list += "garbage.txt;" + root.Path("tmp/u2") + ";zz\n";  // no digits: size 0
  list += "sub.txt;" + root.Path("tmp/sub/u3") + ";7abc";  // no final newline
  root.Write("tmp/u2", "22");
  root.Write("tmp/sub/u3", "3333333");
  root.Write("tmp/alice_4_Upload.dat", list);

  CgiResult r = Get("atid=axcompose4");
  EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=3|"));
  EXPECT_THAT(root.ListLines("4"), ElementsAre(Line("crlf.txt", "u1", 1), Line("garbage.txt", "u2", 0),
                                          Line("sub.txt", "sub/u3", 7)));
  EXPECT_EQ(root.Read("outside.txt"), "secret");
}

TEST_F(ImportTest, ListStopsAt256RecordsAndTheCountLimit) {
  root.Site("AttachCountLimit = 255");
  std::string list;
  for (int i = 0; i < 300; ++i) list += Upload("u" + std::to_string(i), "x", "f.bin");
  root.Write("tmp/alice_1_Upload.dat", list);
  CgiResult r = Get("atid=axcompose1");
  // 256 records are read; the 256th passes the count limit of 255.
  EXPECT_THAT(r.page, HasSubstr("E=1|V=/|N=255|"));
  EXPECT_FALSE(root.Exists("tmp/alice_1_Upload.dat"));
  EXPECT_EQ(root.TmpFiles("u").size(), 300u);  // nothing of the receiver's is deleted
}

// The size limit counts what the list held before the import: repeated
// imports cannot pass the level's limit. Equality passes.
TEST_F(ImportTest, SizeLimitCountsTheListedSizes) {
  root.Site("Level0.AttachSizeKB = 1");  // 1024 bytes
  List("2", 2);                          // 30 bytes
  struct Case {
    size_t size;
    const char* page;
  } cases[] = {
      {994, "E=0|V=/|N=3|A=compose2|P=2|L=17/0|"},
      {995, "E=2|V=/|N=2|A=compose2|P=2|L=18/994|"},
  };
  for (const Case& c : cases) {
    root.Write("tmp/alice_2_Upload.dat", Upload("big", std::string(c.size, 'b'), "big.bin"));
    CgiResult r = Get("atid=axcompose2");
    EXPECT_THAT(r.page, HasSubstr(c.page)) << c.size;
    EXPECT_FALSE(root.Exists("tmp/alice_2_Upload.dat"));
    List("2", 2);
  }
  // The import stops at the file that crosses the limit; those before stay.
  root.Write("tmp/alice_2_Upload.dat", Upload("a", std::string(500, 'a'), "a.bin") +
                                           Upload("b", std::string(494, 'b'), "b.bin") +
                                           Upload("c", "c", "c.bin"));
  CgiResult r = Get("atid=axcompose2");
  EXPECT_THAT(r.page, HasSubstr("E=2|V=/|N=4|"));
  EXPECT_EQ(root.Read("tmp/c"), "c");
}

TEST_F(ImportTest, PageSendTakesFramelessHtmlAsTheBody) {
  Template(
      "E=$ERRORMSG|N=$count|B=$content|F=$purefname"
      "|<!--$ifedit-->EDIT<!--/$ifedit--><!--$ifnedit-->NEDIT<!--/$ifnedit-->"
      "|<!--$ifurl-->URL<!--/$ifurl--><!--$ifnurl-->NURL<!--/$ifnurl-->"
      "|<!--$ifhtml-->HTML<!--/$ifhtml--><!--$ifnhtml-->NHTML<!--/$ifnhtml-->\n");
  struct Case {
    const char* name;
    std::string list;
    const char* act;
    const char* page;
    std::vector<std::string> listed;
  } cases[] = {
      {"one page",
       Upload("a1", "<html><b>Hi</b></html>", "dir/page.html"),
       "pgsend",
       "N=0|B=&lt;html&gt;&lt;b&gt;Hi&lt;/b&gt;&lt;/html&gt;|F=page.html|EDIT|NURL|HTML",
       {}},
      {"frameset in upper case",
       Upload("b1", "<html><FRAMESET><Frame src=a></FRAMESET></html>", "f.html"),
       "pgsend",
       "N=1|B=|F=f.html|NEDIT|NURL|HTML",
       {";f.html;"}},
      {"two pages in list order, then a plain file",
       Upload("c1", "<p>one</p>", "1.htm") + Upload("c2", "<p>two</p>", "2.html") +
           Upload("c3", "[InternetShortcut]\nURL=http://x/\n", "Link.URL"),
       "pgsend",
       "N=1|B=&lt;p&gt;one&lt;/p&gt;&lt;p&gt;two&lt;/p&gt;|F=Link.URL|EDIT|URL|HTML",
       {";Link.URL;"}},
      {"no page send",
       Upload("d1", "<p>x</p>", "x.html"),
       "send",
       "N=1|B=|F=|EDITNEDIT|URLNURL|HTMLNHTML",
       {";x.html;"}},
  };
  for (const Case& c : cases) {
    fs::remove(root.Path("tmp/alice_3_Attach.dat"));
    root.Write("tmp/alice_3_Upload.dat", c.list);
    CgiResult r = Get(std::string("atid=axcompose3&act=") + c.act);
    EXPECT_THAT(r.page, HasSubstr(c.page)) << c.name;
    std::vector<std::string> lines = root.ListLines("3");
    ASSERT_EQ(lines.size(), c.listed.size()) << c.name;
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_THAT(lines[i], HasSubstr(c.listed[i]));
  }
  EXPECT_EQ(root.Read("tmp/a1"), "<html><b>Hi</b></html>");
}

// With privilege 128 every upload is scanned as attachdesk scans a new file;
// without it the engine is not called.
TEST_F(ImportTest, UploadsAreScannedWhenTheLevelAsks) {
  Engine();
  const std::string list = Upload("u1", "clean", "clean.txt") +
                           Upload("u2", "xx VIRUS-MARKER <Evil> xx", "C:\\in\\bad<1>.exe") +
                           Upload("u3", "later", "later.txt");
  root.Write("tmp/alice_5_Upload.dat", list);
  CgiResult r = Get("atid=axcompose5");
  EXPECT_THAT(r.page, HasSubstr("E=0|V=/|N=3|"));
  EXPECT_EQ(root.Read("engine.log").find("scan\t"), std::string::npos);

  fs::remove(root.Path("tmp/alice_5_Attach.dat"));
  root.Site("Level0.Privileges = 128");
  root.Write("tmp/alice_5_Upload.dat", list);
  r = Get("atid=axcompose5");
  EXPECT_THAT(r.page, HasSubstr("E=4|V=bad&lt;1&gt;.exe/&lt;Evil&gt;|N=1|"));
  EXPECT_THAT(root.ListLines("5"), ElementsAre(Line("clean.txt", "u1", 5)));
  EXPECT_THAT(VirusLog(), testing::MatchesRegex("[0-9/]+ [0-9:]+\t<Evil>\talice@localhost\t"
                                                "alice@localhost\tC:.*ATTACH\t.*\n"));
  EXPECT_TRUE(root.Exists("tmp/u2"));
}

// When the attachment list cannot be written, the page says so and the upload
// list is put back for the next import.
TEST_F(ImportTest, AListThatCannotBeWrittenKeepsTheUploadList) {
  List("9", 1);
  const std::string before = root.Read("tmp/alice_9_Attach.dat");
  const std::string uploads = Upload("u1", "data", "a.txt");
  root.Write("tmp/alice_9_Upload.dat", uploads);
  CgiRequest req;
  req.query = "atid=axcompose9";
  std::string tmp = root.Path("tmp");
  req.in_child = [tmp] {
    // The temporary list name of this process is taken by a folder.
    std::string blocker = tmp + "/alice_9_Attach.dat.tmp." + std::to_string(getpid());
    if (mkdir(blocker.c_str(), 0700) != 0) _exit(99);
  };
  CgiResult r = testing_support::RunCgi("uploadsend", root.path(), req);
  EXPECT_THAT(r.page, HasSubstr("E=6|V=/|N=1|")) << r.error;
  EXPECT_EQ(root.Read("tmp/alice_9_Attach.dat"), before);
  EXPECT_EQ(root.Read("tmp/alice_9_Upload.dat"), uploads);
  EXPECT_THAT(root.TmpFiles(".import."), ElementsAre());
}

}  // namespace
