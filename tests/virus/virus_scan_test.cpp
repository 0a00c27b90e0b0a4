// Scanning with the test engines of tests/engines: modes and fallbacks, part
// names, archives through a temporary file, rebuilding with infected parts
// replaced, the report and the virus log, and `attachtool scan`.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "common/virus/avscan.h"
#include "common/virus/virus_scan.h"
#include "host/base/time_text.h"
#include "host/text/mail/mime_boundary.h"
#include "support/test_root.h"

using testing_support::TestRoot;
using testing_support::Visible;

namespace {

std::string Lib(const char* name) {
  return std::string(AD_LIB_DIR) + "/lib" + name + ".so";
}

// A part tree laid over a message text by hand: a part's header is the first
// occurrence of `header` (from `from` on) and its body the next occurrence of
// `body` after it, which ends the part.
class Tree {
 public:
  explicit Tree(std::string text) : text_(std::move(text)) {}
  MIME_Part* Part(unsigned char cls, const char* filename, const std::string& header,
                  const std::string& body, const char* ctype = nullptr) {
    std::size_t h = text_.find(header, from_);
    std::size_t b = text_.find(body, h + header.size());
    EXPECT_NE(b, std::string::npos) << body;
    from_ = h + header.size();
    MIME_Header& hd = headers_.emplace_back();
    hd.cls = cls;
    hd.filename = filename ? names_.emplace_back(filename).data() : nullptr;
    hd.content_type = ctype;
    MIME_Part& part = parts_.emplace_back();
    part.offset = static_cast<int>(h);
    part.length = static_cast<int>(b + body.size() - h);
    part.body_length = static_cast<int>(body.size());
    part.header_start = text_.data() + h;
    part.header_end = text_.data() + b;
    part.header = &hd;
    part.body = text_.data() + b;
    return &part;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  std::size_t from_ = 0;
  std::deque<MIME_Part> parts_;
  std::deque<MIME_Header> headers_;
  std::deque<std::string> names_;
};

// multipart/mixed: an unnamed text part, an unnamed HTML part, a named
// attachment; `attachment` is the attachment's body.
struct Mixed {
  explicit Mixed(const std::string& attachment, const char* name = "a.bin")
      : tree(
            "Content-Type: multipart/mixed; boundary=b\n\n--b\nH1: text\n\nhello\n"
            "--b\nH2: html\n\n<p>hi</p>\n--b\nH3: file\n\n" +
            attachment + "\n--b--\n") {
    root = tree.Part(kClassMixed, nullptr, "Content-Type", "--b\nH1");
    root->length = static_cast<int>(tree.text().size());
    root->body_length = root->length - static_cast<int>(tree.text().find("--b\nH1"));
    MIME_Part* text = root->child = tree.Part(kClassText, nullptr, "H1: text", "hello\n");
    MIME_Part* html = text->next = tree.Part(kClassHtml, nullptr, "H2: html", "<p>hi</p>\n");
    html->next = tree.Part(kClassOther, name, "H3: file", attachment + "\n", "application/x-a");
  }
  Tree tree;
  MIME_Part* root;
};

class VirusScan : public testing::Test {
 protected:
  void SetUp() override { setenv("AD_ENGINE_LOG", root.Path("engine.log").c_str(), 1); }
  void TearDown() override {
    AVS_Close(&ctx);
    unsetenv("AD_ENGINE_LOG");
  }
  void Open(const std::string& conf, const char* lib = "tav_marker") {
    root.Write("etc/avscan.conf", conf + "\nEngineLib = " + Lib(lib) + "\n");
    ASSERT_EQ(AVS_Open(ctx, nullptr), 1);
    root.Write("engine.log", "");
  }
  // The names the engine was asked to scan, in order.
  std::vector<std::string> Scanned() const {
    std::vector<std::string> names;
    std::string log = root.Read("engine.log");
    for (std::size_t at = 0; (at = log.find("scan\t", at)) != std::string::npos;) {
      at += 5;
      names.push_back(log.substr(at, log.find('\t', at) - at));
    }
    root.Write("engine.log", "");
    return names;
  }
  int Scan(int action, const std::string* data, MIME_Part* tree) {
    return VIR_Scan(ctx, action, data ? data->data() : nullptr,
                    data ? static_cast<int>(data->size()) : 0, tree, &out, &out_length);
  }
  TestRoot root;
  AVS_Context ctx;
  char* out = reinterpret_cast<char*>(1);
  int out_length = 7;
};

using Names = std::vector<std::string>;

TEST_F(VirusScan, ModesAndSecondaryScan) {
  Mixed clean("plain bytes");
  Mixed cannot("CANNOT-SCAN");
  Mixed infected("VIRUS-MARKER Eicar");
  const std::string& text = infected.tree.text();
  struct Case {
    const char* conf;
    const Mixed* message;
    int result;
    Names scanned;
  } cases[] = {
      {"", &infected, 1, {"0.eml"}},
      {"EngineConfig = eml=7", &clean, 7, {"0.eml"}},  // taken unchanged
      {"EngineConfig = eml=-2", &infected, 1, {"0.eml", "00", "|mailtext", "a.bin"}},
      {"EngineConfig = eml=-2\nSecondaryScan = off", &infected, -2, {"0.eml"}},
      {"ScanMode = MIME", &infected, 1, {"00", "|mailtext", "a.bin"}},
      {"ScanMode = MIME\nEngineConfig = eml=5", &cannot, 5, {"00", "|mailtext", "a.bin", "0.eml"}},
      {"ScanMode = MIME\nEngineConfig = eml=5\nSecondaryScan = 0",
       &cannot,
       -2,
       {"00", "|mailtext", "a.bin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.conf);
    Open(c.conf);
    EXPECT_EQ(Scan(AVS_ACTION_NONE, &c.message->tree.text(), c.message->root), c.result);
    EXPECT_EQ(Scanned(), c.scanned);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(out_length, 0);
    AVS_Close(&ctx);
  }

  // With only a tree an ENTIRE scan goes part by part; nothing to scan, or a
  // context not loaded, answers 0 without calling the engine.
  Open("");
  EXPECT_EQ(Scan(AVS_ACTION_NONE, nullptr, infected.root), 1);
  EXPECT_EQ(Visible(ctx.report), Visible("a.bin\tEicar\t1\n"));
  EXPECT_EQ(Scan(AVS_ACTION_NONE, nullptr, nullptr), 0);
  AVS_Close(&ctx);
  EXPECT_EQ(Scan(AVS_ACTION_NONE, &text, nullptr), 0);
  EXPECT_EQ(Scanned(), (Names{"00", "|mailtext", "a.bin"}));
}

TEST_F(VirusScan, PartsErrorsAndReport) {
  Open("ScanMode = MIME");
  // A container with sub-parts is not scanned itself; a message/rfc822 part
  // without a parsed child is; the last positive answer wins over errors.
  Tree tree("M: 1\n\nX: inner\n\nVIRUS-MARKER Worm\nE: 1\n\nENGINE-ERROR\n");
  MIME_Part* message = tree.Part(kClassMessage, "fwd.eml", "M: 1", "X: inner");
  message->body_length = 28;  // up to the next part
  message->next = tree.Part(kClassText, "err.txt", "E: 1", "ENGINE-ERROR\n");
  errno = 0;
  EXPECT_EQ(VIR_Scan(ctx, 0, nullptr, 0, message, nullptr, nullptr), 1);
  EXPECT_EQ(Scanned(), (Names{"fwd.eml", "err.txt"}));
  EXPECT_EQ(Visible(ctx.report), Visible("fwd.eml\tWorm\t1\n"));
  message->body_length = 5;  // now clean: the error is the answer, with its errno
  EXPECT_EQ(VIR_Scan(ctx, 0, nullptr, 0, message, nullptr, nullptr), -1);
  EXPECT_EQ(errno, EIO);

  // An engine writing past the report size, in a part scan or a whole-file
  // scan, spoils nothing: the report is cut to 511.
  Mixed longer("LONG-REPORT");
  for (int mode : {AVS_SCAN_MIME, AVS_SCAN_ENTIRE}) {
    ctx.ScanMode = mode;
    EXPECT_EQ(Scan(AVS_ACTION_NONE, &longer.tree.text(), longer.root), 1);
    EXPECT_EQ(std::strlen(ctx.report), 511u);
    const char* name = mode == AVS_SCAN_MIME ? "a.bin" : "0.eml";
    EXPECT_TRUE(std::string(ctx.report).starts_with(name + std::string("\tLong.Report\t1\nxxx")))
        << ctx.report;
    EXPECT_EQ(ctx.report_size, 512);
    EXPECT_TRUE(ctx.library && ctx.scan && ctx.close);
  }
  ctx.ScanMode = AVS_SCAN_MIME;

  // Trees deep in children and siblings are walked without recursion; a
  // loop ends.
  Scanned();
  std::string body = "VIRUS-MARKER Deep";
  std::deque<MIME_Part> chain(200000);
  MIME_Header multipart{}, leaf{};
  multipart.cls = kClassMultipart;
  leaf.cls = kClassText;
  for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
    if (i % 2 == 0) {
      chain[i].header = &multipart;
      chain[i].child = &chain[i + 1];
    } else {
      chain[i].next = &chain[i + 1];  // no header: not scanned itself
    }
  }
  chain.back().header = &leaf;
  chain.back().body = body.data();
  chain.back().next = &chain.back();
  EXPECT_EQ(VIR_Scan(ctx, 0, nullptr, 0, &chain[0], nullptr, nullptr), 1);
  EXPECT_EQ(Scanned(), Names{"00"});
}

TEST_F(VirusScan, OstrelArchivesAndHeaders) {
  std::string zip = root.Path("tmp/" + std::to_string(getpid()) + ".ZIP");
  Open("Vendor = ostrel\nScanMode = MIME", "ostrel_test");
  Mixed mixed("VIRUS-MARKER Zipped", "report.Zip");
  root.Write("tmp/" + std::to_string(getpid()) + ".ZIP", std::string(500, 'z'));  // stale
  EXPECT_EQ(Scan(AVS_ACTION_NONE, nullptr, mixed.root), 1);
  EXPECT_EQ(Visible(ctx.report), Visible("report.Zip\tZipped\t0\n"));
  std::string log = root.Read("engine.log");
  EXPECT_NE(log.find("scan\t" + zip + "\t20\t0\t0\n"), std::string::npos) << log;  // truncated
  EXPECT_EQ(Scanned(), (Names{"|mailformat", "00", "|mailformat", "|mailtext", "|mailformat", zip,
                              "|mailformat"}));
  EXPECT_FALSE(root.Exists("tmp/" + std::to_string(getpid()) + ".ZIP"));

  // A link in the archive's place is not followed: that part cannot be scanned.
  root.Write("elsewhere", "keep");
  ASSERT_EQ(symlink(root.Path("elsewhere").c_str(), zip.c_str()), 0);
  EXPECT_EQ(Scan(AVS_ACTION_NONE, nullptr, mixed.root), -1);
  EXPECT_EQ(root.Read("elsewhere"), "keep");
  unlink(zip.c_str());

  // A whole-message answer goes through unchanged; clean (100) is 0 per part.
  const std::string& text = mixed.tree.text();
  ctx.ScanMode = AVS_SCAN_ENTIRE;
  EXPECT_EQ(Scan(AVS_ACTION_NONE, &text, nullptr), 101);
  Mixed clean("nothing", "report.Zip");
  EXPECT_EQ(Scan(AVS_ACTION_NONE, nullptr, clean.root), 0);

  // A general-family engine scans archives from memory under their name.
  AVS_Close(&ctx);
  Open("ScanMode = MIME");
  EXPECT_EQ(Scan(AVS_ACTION_NONE, nullptr, mixed.root), 1);
  EXPECT_EQ(Scanned(), (Names{"00", "|mailtext", "report.Zip"}));
}

TEST_F(VirusScan, DeleteRebuildsTheMessage) {
  Open("ScanMode = MIME\nReplaceMsg = [$filename $ctype $x]");
  Mixed mixed("VIRUS-MARKER Eicar");
  const std::string& text = mixed.tree.text();
  ASSERT_EQ(Scan(AVS_ACTION_DELETE, &text, mixed.root), 1);
  std::string expected = text;
  std::size_t body = expected.find("VIRUS-MARKER");
  expected.replace(body, 19, "[a.bin application/x-a $x]\n");
  ASSERT_EQ(out_length, static_cast<int>(expected.size()));
  EXPECT_EQ(Visible(std::string(out, out_length)), Visible(expected));
  std::free(out);

  // DeleteHeader: the part's header goes too (its boundary line stays).
  ctx.DeleteHeader = 1;
  ASSERT_EQ(Scan(AVS_ACTION_DELETE, &text, mixed.root), 1);
  expected = text;
  expected.replace(expected.find("H3: file"), 29, "[a.bin application/x-a $x]\n");
  EXPECT_EQ(Visible(std::string(out, out_length)), Visible(expected));
  std::free(out);

  // An infected part inside an infected part: only the outer is replaced.
  ctx.DeleteHeader = 0;
  Tree nested("T: 1\r\n\r\nVIRUS-MARKER Outer [I: 2\n\nVIRUS-MARKER Inner]\nrest");
  MIME_Part* tnef = nested.Part(kClassTnef, nullptr, "T: 1", "VIRUS-MARKER Outer");
  tnef->child = nested.Part(kClassText, "in.txt", "I: 2", "VIRUS-MARKER Inner");
  tnef->body_length = 0;  // the body up to its NUL: both markers
  tnef->length = static_cast<int>(nested.text().size()) - 5;  // all but "\nrest"
  ASSERT_EQ(VIR_Scan(ctx, AVS_ACTION_DELETE, nested.text().data(),
                     static_cast<int>(nested.text().size()), tnef, &out, &out_length),
            1);
  EXPECT_EQ(Visible(std::string(out, out_length)),
            Visible("T: 1\r\n\r\n[00 application/unknown $x]\n\nrest"));
  std::free(out);

  // At most 128 parts are replaced.
  std::string many;
  for (int i = 0; i < 200; ++i) many += "P: " + std::to_string(i) + "\n\nVIRUS-MARKER V\n";
  Tree wide(many);
  MIME_Part* first = nullptr;
  MIME_Part** link = &first;
  for (int i = 0; i < 200; ++i) {
    *link = wide.Part(kClassText, "f", "P: " + std::to_string(i) + "\n", "VIRUS-MARKER V\n");
    link = &(*link)->next;
  }
  ASSERT_EQ(VIR_Scan(ctx, AVS_ACTION_DELETE, many.data(), static_cast<int>(many.size()), first,
                     &out, &out_length),
            1);
  std::string rebuilt(out, out_length);
  std::free(out);
  EXPECT_EQ(rebuilt.find("VIRUS-MARKER"), rebuilt.find("P: 128\n") + 8);
  EXPECT_EQ(rebuilt.substr(0, 40), "P: 0\n\n[f application/unknown $x]\nP: 1\n\n[");
}

// A real message through the parser: decoded bodies are scanned, the
// infected attachment is replaced in the caller's text.
// Parts past the parse's part limit are in no part: the whole message is
// scanned as well.
TEST_F(VirusScan, ContentBeyondThePartLimitIsScannedWhole) {
  Open("ScanMode = MIME");
  std::string text = "Subject: many\nContent-Type: multipart/mixed; boundary=b\n\n";
  for (int i = 0; i < 10100; ++i) text += "--b\n\nclean\n";
  text += "--b\n\nVIRUS-MARKER Late\n--b--\n";
  EXPECT_EQ(Scan(AVS_ACTION_NONE, &text, nullptr), 1);
  EXPECT_EQ(Scanned().back(), "0.eml");
}

TEST_F(VirusScan, ParsedMessageWithDelete) {
  Open("ScanMode = MIME\nReplaceMsg = Removed $filename");
  const std::string text =
      "Subject: t\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"xyz\"\n\n"
      "--xyz\nContent-Type: text/plain\n\nhello\n"
      "--xyz\nContent-Type: text/html\n\n<p>hi</p>\n"
      "--xyz\nContent-Type: application/octet-stream\n"
      "Content-Disposition: attachment; filename=\"a.bin\"\n"
      "Content-Transfer-Encoding: base64\n\n"
      "VklSVVMtTUFSS0VSIEVuY29kZWQ=\n"  // "VIRUS-MARKER Encoded"
      "--xyz--\n";
  ASSERT_EQ(Scan(AVS_ACTION_DELETE, &text, nullptr), 1);
  EXPECT_EQ(Scanned(), (Names{"00", "|mailtext", "a.bin"}));
  EXPECT_EQ(Visible(ctx.report), Visible("a.bin\tEncoded\t1\n"));
  ASSERT_GT(out_length, 0);
  std::string rebuilt(out, out_length);
  std::free(out);
  std::string expected = text;
  std::size_t body = expected.find("VklS");
  // The part ends before the line break of the boundary line that follows it.
  expected.replace(body, expected.find("\n--xyz--") - body, "Removed a.bin\n");
  EXPECT_EQ(Visible(rebuilt), Visible(expected));
}

TEST(VirusReplace, ItemsOutsideOrInsideOthers) {
  std::string message = "0123456789";
  std::vector<VIR_Replacement> items = {
      {4, 2, "<b>", 0}, {0, 2, "<a>", 0}, {5, 4, "<in>", 0}, {8, 5, "<out>", 0}, {-1, 1, "x", 0}};
  char* rebuilt = nullptr;
  ASSERT_EQ(MIME_ReplaceParts(message.data(), 10, items, &rebuilt), 12);
  EXPECT_STREQ(rebuilt, "<a>23<b>6789");
  std::free(rebuilt);
  items.clear();
  EXPECT_EQ(MIME_ReplaceParts(message.data(), 10, items, &rebuilt), 10);
  EXPECT_EQ(rebuilt, nullptr);

  AVS_Context ctx;
  std::string name(20000, 'n');
  std::string replace;
  while (replace.size() < 4000) replace += "$filename";
  std::strcpy(ctx.ReplaceMsg, replace.c_str());
  MIME_Header header{};
  header.filename = name.data();
  MIME_Part part{};
  part.header = &header;
  EXPECT_EQ(VIR_ReplaceText(ctx, part).size(), 8u * 1024 * 1024 - 1);
}

TEST(VirusReport, ReportLinesAndLog) {
  char file[512], virus[512];
  int code = 0;
  const char* cursor = nullptr;
  std::string report = "a.doc\tMacro.X\t3\nno tabs here\n" + std::string(600, 'f') + "\tV\t-2";
  EXPECT_EQ(VIR_ReportNext(report.c_str(), file, virus, &code, &cursor), 0);
  EXPECT_STREQ(file, "a.doc");
  EXPECT_STREQ(virus, "Macro.X");
  EXPECT_EQ(code, 3);
  EXPECT_EQ(VIR_ReportNext(nullptr, file, virus, &code, &cursor), -1);
  EXPECT_STREQ(virus, "Macro.X");
  EXPECT_EQ(VIR_ReportNext(nullptr, file, virus, &code, &cursor), 0);
  EXPECT_EQ(std::strlen(file), 511u);
  EXPECT_EQ(code, -2);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(VIR_ReportNext(nullptr, file, virus, &code, &cursor), 1);
  EXPECT_EQ(VIR_ReportNext("", file, virus, &code, &cursor), 1);

  TestRoot root;
  VIR_Log("ATTACH", nullptr, "a\tb.exe", "me@x", nullptr, "/tmp/a\r\nforged\tline");
  std::string log = root.Read("log/virus.log." + MTM_ToStr("%y%m%d"));
  EXPECT_EQ(Visible(log.substr(19)),
            Visible("\t \tme@x\t \t/tmp/a__forged_line\tATTACH\ta_b.exe\n"));
  EXPECT_EQ(log.substr(0, 10), MTM_ToStr("%Y/%m/%d"));
}

TEST(VirusNotify, SubjectAndMailTemplate) {
  EXPECT_EQ(VIR_NotifySubject(nullptr), "Virus Mail--%s");
  EXPECT_EQ(VIR_NotifySubject("To: x\nSubject: \t[50%] $subject!\nBody"), "[50%%] %s!");
  EXPECT_EQ(VIR_NotifySubject("Subject: fixed\r\n"), "fixed");

  TestRoot root;
  root.Write("mail.eml", std::string(2048, 'm'));
  std::string path = root.Path("mail.eml");
  const char* tmpl =
      "S=$subject V=$virus F=$file $sizek/$size $bogus$$from>$to\n"
      "$vret==1 one $virus$$vret\n$vret==2 two$$vret\n$vret!=1.3 three$$vret\n"
      "$vret==1.4 four$$vret\n$vret==9";
  ASSERT_EQ(VIR_NotifyMail(tmpl, nullptr, path.c_str(), nullptr, 0, "x.exe\tW32\t1\n", "a@b", "c@d",
                           "Hi", 0, 3, 1),
            1);
  EXPECT_EQ(root.Read("mail.eml"), "S=Hi V=W32 F=x.exe 3/2048 bogusa@b>c@d\n one W32 three9");
  EXPECT_EQ(
      VIR_NotifyMail(tmpl, nullptr, root.Path("none").c_str(), nullptr, 0, "", "", "", "", 0, 0, 0),
      -1);

  // "$date" in RFC 822 form, "$boundary" fresh each time.
  setenv("TZ", "UTC", 1);
  tzset();
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  const char* dated = "$date|$boundary|$boundary";
  ASSERT_EQ(VIR_NotifyMail(dated, out, nullptr, "m", 1, nullptr, 0, 0, 0, 1230768000, 0, 0), 1);
  std::rewind(out);
  char line[512] = {};
  ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
  std::fclose(out);
  std::string text = line;
  EXPECT_TRUE(text.starts_with("Thu, 01 Jan 2009 00:00:00 +0000|")) << text;
  std::string boundary = text.substr(text.find('|') + 1);
  boundary = boundary.substr(0, boundary.find('|'));
  EXPECT_EQ(text.substr(text.rfind('|') + 1), boundary);  // one boundary per mail
  EXPECT_TRUE(boundary.size() >= 20 && boundary.size() <= 127) << boundary;
  EXPECT_NE(mime_boundary(), mime_boundary());
  unsetenv("TZ");
  tzset();
}

// `attachtool scan`, with its output and exit status.
TEST_F(VirusScan, AttachtoolScan) {
  auto run = [&](const std::string& args, std::string& output) {
    std::string command = std::string(AD_BIN_DIR) + "/attachtool scan " + args + " >" +
                          root.Path("tool.out") + " 2>" + root.Path("tool.err");
    int status = std::system(command.c_str());
    output = root.Read("tool.out");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  root.Write("clean.txt", "nothing here");
  root.Write("bad.txt", "one VIRUS-MARKER Eicar two VIRUS-MARKER Other");
  root.Write("cannot.txt", "CANNOT-SCAN");
  std::string output;
  EXPECT_EQ(run(root.Path("clean.txt"), output), 2);  // no avscan.conf
  EXPECT_EQ(output, "");
  Open("SecondaryScan = off");
  EXPECT_EQ(run(root.Path("clean.txt"), output), 0);
  EXPECT_EQ(output, "result\t0\n");
  EXPECT_EQ(run("--action 1 --out " + root.Path("fixed.txt") + " " + root.Path("bad.txt"), output),
            1);
  EXPECT_EQ(output, "result\t2\n0.eml\tEicar\t1\n0.eml\tOther\t1\n");
  EXPECT_EQ(root.Read("fixed.txt"), "one CLEANED-MARK Eicar two CLEANED-MARK Other");
  EXPECT_EQ(run(root.Path("cannot.txt"), output), 2);
  EXPECT_EQ(output, "result\t-2\n");
  EXPECT_EQ(run("--action x " + root.Path("bad.txt"), output), 2);
  EXPECT_EQ(output, "");
}

}  // namespace
