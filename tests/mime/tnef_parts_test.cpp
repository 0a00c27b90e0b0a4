// TNEF parts expanded into file parts: placement, numbers, names, charsets,
// types, safe names, limits, damaged streams, and the real samples checked
// against the listings of an independent reader (tests/data/tnef/).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/mime/mime.h"
#include "common/mime/tnef_parts.h"
#include "mime/mime_test_tree.h"
#include "mime/tnef_test_stream.h"
#include "support/test_root.h"

namespace {

namespace fs = std::filesystem;
using mime_test::Body;
using mime_test::Parsed;
using mime_test::Parts;
using mime_test::TypeWord;
using testing_support::Visible;
using tnef_test::Props;
using tnef_test::Stream;
using tnef_test::Utf16;

const auto* const kRoot = ::testing::AddGlobalTestEnvironment(new mime_test::TypesRoot);

constexpr int kExpand = kMimeDefaultOptions | kMimeExpandTnef;

std::string Base64(const std::string& in) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    std::uint32_t v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += i + 1 < in.size() ? kAlphabet[v >> 6 & 63] : '=';
    out += i + 2 < in.size() ? kAlphabet[v & 63] : '=';
    if (out.size() % 77 == 76) out += '\n';
  }
  return out;
}

// A message: a text part, the TNEF stream as a base64 part, a PDF attachment.
std::string Message(const std::string& tnef) {
  return "Content-Type: multipart/mixed; boundary=b\n\n"
         "--b\nContent-Type: text/plain\n\nhello\n"
         "--b\nContent-Type: application/ms-tnef; name=\"winmail.dat\"\n"
         "Content-Transfer-Encoding: base64\n\n" +
         Base64(tnef) +
         "\n--b\nContent-Type: application/pdf; name=after.pdf\n\n%PDF-1.4 after\n--b--\n";
}

std::string Field(const char* text) {
  return text == nullptr || *text == '\0' ? "-" : text;
}

// One line per part: depth, number, class, type, name, charset, body.
std::string Listing(const MIME_Env& env) {
  std::string out;
  for (auto [depth, p] : Parts(&env.root)) {
    const MIME_Header* h = p->header;
    out += std::to_string(depth);
    if (h != nullptr) {
      out += " " + Field(h->number) + " " + std::to_string(h->cls) + " " +
             TypeWord(h->content_type) + " " + Field(h->filename) + " " + Field(h->charset_name);
    }
    out += p->child != nullptr ? " [*]\n" : " [" + mime_test::Escaped(Body(p)) + "]\n";
  }
  return out;
}

// The parts the expansion added after the TNEF part.
std::vector<const MIME_Part*> Added(const MIME_Env& env) {
  std::vector<const MIME_Part*> out;
  for (auto [depth, p] : Parts(&env.root)) {
    if (p->header != nullptr && p->header->cls == kClassTnef) {
      for (const MIME_Part* q = p->next; q != nullptr && q->header_start == nullptr; q = q->next) {
        out.push_back(q);
      }
    }
  }
  return out;
}

const MIME_Part* TnefPart(const MIME_Env& env) {
  for (auto [depth, p] : Parts(&env.root)) {
    if (p->header != nullptr && p->header->cls == kClassTnef) return p;
  }
  return nullptr;
}

TEST(TnefParts, FilesStandBetweenTheTnefPartAndItsNextSibling) {
  Stream s;
  s.CodePage(950)
      .File()
      .Title("a.txt")
      .Data("alpha\n")
      .File()
      .Data("\x89PNG\r\n\x1a\n....")
      .Properties(Props().String8(0x3704, "B.PNG").Unicode(0x3707, Utf16("b.png")));
  Parsed p(Message(s.bytes()), kExpand);
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(Listing(p.env),
            "0 - 7 multipart/mixed - big5 [*]\n"
            "1 - 2 text/plain - - [hello]\n"
            "1 1 17 application/ms-tnef winmail.dat - [" +
                mime_test::Escaped(s.bytes()) +
                "]\n"
                "1 2 2 text/plain a.txt big5 [alpha\\n]\n"
                "1 3 4 image/png b.png big5 [\x89PNG\\r\\n\x1a\\n....]\n"
                "1 4 9 application/pdf after.pdf - [%PDF-1.4 after]\n");
  // Every file part, the last one too, keeps its file's bytes and length,
  // which lie inside the TNEF part's decoded body.
  const MIME_Part* tnef = TnefPart(p.env);
  std::vector<const MIME_Part*> added = Added(p.env);
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[1]->body_length, 12);
  for (const MIME_Part* f : added) {
    EXPECT_GE(f->body, tnef->body);
    EXPECT_LE(f->body + f->body_length, tnef->body + tnef->body_length);
    EXPECT_EQ(f->header->encoding, kEncodingNone);
    EXPECT_EQ(f->offset, tnef->offset);
    EXPECT_EQ(f->length, tnef->length);
  }
}

TEST(TnefParts, OnlyTheExpandOptionExpands) {
  Stream s;
  s.File().Title("a.txt").Data("alpha");
  const std::string text = Message(s.bytes());
  struct Case {
    int options;
    std::size_t added;
  };
  for (Case c : {Case{kMimeDefaultOptions, 0}, Case{kMimeDefaultOptions | kMimeMessagesWhole, 0},
                 Case{0x7ef, 1}, Case{0x201, 1}}) {
    SCOPED_TRACE(c.options);
    Parsed p(text, c.options);
    EXPECT_EQ(Added(p.env).size(), c.added);
  }
  // Inside an attached message only where the message is divided and walked.
  const std::string forwarded =
      "Content-Type: multipart/mixed; boundary=o\n\n--o\nContent-Type: message/rfc822\n"
      "Content-Disposition: attachment\n\n" +
      text + "--o--\n";
  for (Case c :
       {Case{0x201, 1}, Case{0x201 | kMimeMessagesWhole, 0}, Case{0x201 | kMimeSkipMessages, 0}}) {
    SCOPED_TRACE(c.options);
    Parsed p(forwarded, c.options);
    EXPECT_EQ(Added(p.env).size(), c.added);
  }
  // A TNEF part that is the whole message adds parts beside the root.
  Parsed whole("Content-Type: application/ms-tnef\n\n" + s.bytes(), kExpand);
  ASSERT_NE(whole.env.root.next, nullptr);
  EXPECT_STREQ(whole.env.root.next->header->filename, "a.txt");
  EXPECT_EQ(whole.env.root.next->next, nullptr);
}

// The name comes from the source of the highest priority; of equal ones the
// later wins; the extension counts only while the name is the default.
TEST(TnefParts, NamePriorities) {
  struct Case {
    const char* name;
    Stream stream;
    const char* want;
    bool utf8 = false;
  };
  auto file = [] { return Stream().File().Data("x"); };
  const Case cases[] = {
      {"Default", file(), "Untitled"},
      {"Title", file().Title("t.txt"), "t.txt"},
      {"LongNameOverTitle", file().Title("T.TXT").Properties(Props().String8(0x3707, "long.txt")),
       "long.txt"},
      {"LongNameBeforeTheTitle",
       Stream().File().Properties(Props().String8(0x3707, "l.txt")).Title("t.txt").Data("x"),
       "l.txt"},
      {"ExtensionOnly", file().Properties(Props().String8(0x3703, ".doc")), "Untitled.doc"},
      {"ExtensionThenFileName",
       file().Properties(Props().String8(0x3703, ".doc").String8(0x3704, "F.DOC")), "F.DOC"},
      {"ExtensionNotAfterTitle", file().Title("t").Properties(Props().String8(0x3703, ".doc")),
       "t"},
      {"ExtensionNotAfterFileName",
       file().Properties(Props().String8(0x3704, "F.DOC").String8(0x3703, ".doc")), "F.DOC"},
      {"DisplayOverFileName",
       file().Properties(Props().String8(0x3704, "F.DOC").String8(0x3001, "Display.doc")),
       "Display.doc"},
      {"LowerLaterLoses",
       file().Properties(Props().String8(0x3001, "Display.doc").String8(0x3704, "F.DOC")),
       "Display.doc"},
      {"LongOverDisplay",
       file().Properties(Props().String8(0x3707, "long.doc").String8(0x3001, "Display")),
       "long.doc"},
      {"EmptyTitle", file().Title(""), ""},
      {"EmptyDisplayNameWins", file().Title("t").Properties(Props().String8(0x3001, "")), ""},
      {"Utf16Name", file().Properties(Props().Unicode(0x3707, Utf16("caf\xe9.txt"))),
       "caf\xc3\xa9.txt", true},
      {"Utf16Extension", file().Properties(Props().Unicode(0x3703, Utf16(".txt"))), "Untitled.txt",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TnefStream out;
    ASSERT_EQ(TNEF_Read(c.stream.span(), out), 0);
    ASSERT_EQ(out.files.size(), 1u);
    char name[512];
    bool utf8 = !c.utf8;
    ASSERT_EQ(TNEF_AttachName(out.files[0], name, sizeof name, &utf8), 0);
    EXPECT_EQ(Visible(name), Visible(c.want));
    EXPECT_EQ(utf8, c.utf8);
  }
}

TEST(TnefParts, NameAndCharsetResultCodes) {
  TnefStream out;
  Stream s;
  s.CodePage(950).File().Title(std::string(600, 'n')).Data("x");
  ASSERT_EQ(TNEF_Read(s.span(), out), 0);
  const TnefAttachment& f = out.files[0];
  char buf[512];
  EXPECT_EQ(TNEF_AttachName(f, nullptr, sizeof buf), kTnefBadArgument);
  EXPECT_EQ(TNEF_AttachName(f, buf, 0), kTnefBadArgument);
  EXPECT_EQ(TNEF_AttachName(TnefAttachment{}, buf, sizeof buf), kTnefBadArgument);
  ASSERT_EQ(TNEF_AttachName(f, buf, sizeof buf), 0);
  EXPECT_EQ(std::strlen(buf), 511u);
  EXPECT_EQ(TNEF_AttachCharset(f, buf, 0), kTnefBadArgument);
  ASSERT_EQ(TNEF_AttachCharset(f, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "big5");
  TnefAttachment unlisted = f;
  unlisted.code_page = 437;
  EXPECT_EQ(TNEF_AttachCharset(unlisted, buf, sizeof buf), kTnefUnlistedCodePage);
  EXPECT_STREQ(buf, "");
}

// Every file of the stream carries the charset of its code page when the
// host knows the name; none otherwise.
TEST(TnefParts, CharsetOfTheCodePage) {
  struct Case {
    int code_page;  // -1: no code page attribute
    const char* charset;
  };
  for (Case c : {Case{950, "big5"}, Case{65001, "utf-8"}, Case{1252, "windows-1252"},
                 Case{932, "shift-jis"}, Case{1251, "-"}, Case{437, "-"}, Case{-1, "-"}}) {
    SCOPED_TRACE(c.code_page);
    Stream s;
    if (c.code_page >= 0) s.CodePage(static_cast<std::uint32_t>(c.code_page));
    s.File().Title("a.txt").Data("a").File().Data("b");
    Parsed p(Message(s.bytes()), kExpand);
    std::vector<const MIME_Part*> added = Added(p.env);
    ASSERT_EQ(added.size(), 2u);
    for (const MIME_Part* f : added) EXPECT_EQ(Field(f->header->charset_name), c.charset);
  }
}

// Names are safe file names: no "/", "\", control bytes; never empty, "."
// or ".."; the last component's text survives.
TEST(TnefParts, SafeNames) {
  struct Case {
    const char* name;
    Stream stream;
    const char* want;
  };
  auto titled = [](const std::string& title) {
    return Stream().CodePage(1252).File().Title(title).Data("plain text");
  };
  const std::string long300 = std::string(296, 'n') + ".txt";
  const Case cases[] = {
      {"Slashes", titled("dir/sub/x.txt"), "dir_sub_x.txt"},
      {"Backslashes", titled("..\\..\\evil.exe"), "_.._evil.exe"},
      {"Dot", titled("."), "_"},
      {"DotDot", titled(".."), "_"},
      {"ControlBytes",
       titled("a\x01"
              "b\x7f"
              "c\x1f.txt"),
       "a_b_c_.txt"},
      {"Quoted", titled("\"quoted.txt\""), "quoted.txt"},
      {"Utf16Slash",
       Stream().File().Data("x").Properties(Props().Unicode(0x3707, Utf16("C:\\dir/\xe9.txt"))),
       "C__dir_\xc3\xa9.txt"},
      // Names in the code page become UTF-8: the Shift_JIS character 0x95 0x5C
      // holds no backslash any more, and survives whole.
      {"ShiftJisTrailByte", Stream().CodePage(932).File().Title("\x95\x5c.txt").Data("x"),
       "\xe8\xa1\xa8.txt"},
      {"Windows1252", titled("caf\xe9.txt"), "caf\xc3\xa9.txt"},
      {"NotTextOfTheCodePage", Stream().CodePage(932).File().Title("\x81\x5c\xff.txt").Data("x"),
       "\x81_\xff.txt"},
      {"NoCodePage", Stream().File().Title("\x95\x5c.txt").Data("x"), "\x95_.txt"},
      {"Long300KeptWhole", titled(long300), long300.c_str()},
      {"EmptyGetsAGeneratedName", titled(""), "00.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Parsed p(Message(c.stream.bytes()), kExpand);
    std::vector<const MIME_Part*> added = Added(p.env);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(Visible(Field(added[0]->header->filename)), Visible(c.want));
  }
  Parsed p(Message(titled(std::string(700, 'z')).bytes()), kExpand);
  ASSERT_EQ(Added(p.env).size(), 1u);
  EXPECT_LE(std::strlen(Added(p.env)[0]->header->filename), 511u);
}

// The type follows the name through the type list, else the bytes; the
// class follows the type. A file that is a TNEF stream itself is one part.
TEST(TnefParts, TypesAndClasses) {
  Stream inner;
  inner.File().Title("deep.txt").Data("deep");
  struct Case {
    const char* title;
    std::string data;
    const char* type;
    int cls;
  };
  const Case cases[] = {
      {"report.PDF", "not really a pdf", "application/pdf", kClassOther},
      {"noext", "\x89PNG\r\n\x1a\nxxxxxxxx", "image/png", kClassImage},
      {"scan.tif", "II*", "image/tiff", kClassTiff},
      {"page.html", "<p>", "text/html", kClassHtml},
      {"card.vcf", "BEGIN:VCARD", "text/vcard", kClassOther},
      {"clip.mp4", "....", "video/mp4", kClassVideo},
      {"song.mp3", "....", "audio/mpeg", kClassAudio},
      {"inner.dat", inner.bytes(), "application/ms-tnef", kClassOther},
      {"inner.tnef", inner.bytes(), "application/vnd.ms-tnef", kClassOther},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Stream s;
    s.File().Title(c.title).Data(c.data);
    Parsed p(Message(s.bytes()), kExpand);
    std::vector<const MIME_Part*> added = Added(p.env);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_STREQ(added[0]->header->content_type, c.type);
    EXPECT_EQ(added[0]->header->cls, c.cls);
  }
}

// At the parse's part limit the TNEF part keeps the rest of its files, the
// status says the limit was met, and the rest of the message is listed.
TEST(TnefParts, TwentyThousandTinyFilesMeetThePartLimit) {
  Stream s;
  for (int i = 0; i < 20000; ++i) s.File().Title("f.txt").Data(std::string(1, 'a' + i % 26));
  Parsed p(Message(s.bytes()), kExpand);
  EXPECT_EQ(p.status, kMimeTooMany);
  std::vector<const MIME_Part*> added = Added(p.env);
  EXPECT_EQ(added.size(), static_cast<std::size_t>(kMimeMaxParts - 4));
  for (std::size_t i = 0; i < added.size(); ++i) {
    ASSERT_EQ(Body(added[i]), std::string(1, static_cast<char>('a' + i % 26)));
  }
  ASSERT_NE(added.back()->next, nullptr);
  EXPECT_STREQ(added.back()->next->header->filename, "after.pdf");
}

// A damaged stream adds the files it holds (whole, or a leading piece) and
// leaves every other part as it would be without the expansion.
TEST(TnefParts, DamagedStreamsLeaveTheRestAsItWas) {
  const std::string file_a = "first file";
  Stream good;
  good.File().Title("a.txt").Data(file_a);
  struct Case {
    const char* name;
    std::string stream;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"NotTnef", "PK\x03\x04 a zip", {}},
      {"CutInTheTitle", good.bytes().substr(0, 20), {}},
      {"CutInTheData", good.bytes().substr(0, good.bytes().size() - 6), {"first "}},
      {"LengthMax",
       Stream(good).File().CutAttr(tnef_test::kData, 0xffffffff, "rest").bytes(),
       {file_a, "rest"}},
      {"BadChecksums", Stream().File().Attr(tnef_test::kData, file_a, 2, false).bytes(), {file_a}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = Message(c.stream);
    Parsed plain(text, kMimeDefaultOptions);
    Parsed expanded(text, kExpand);
    EXPECT_EQ(expanded.status, plain.status);
    std::vector<const MIME_Part*> added = Added(expanded.env);
    std::vector<std::string> files;
    for (const MIME_Part* f : added) files.push_back(Body(f));
    EXPECT_EQ(files, c.files);
    // The other parts: the same lines but for the numbers after the files.
    std::vector<std::pair<int, const MIME_Part*>> a = Parts(&plain.env.root);
    std::vector<std::pair<int, const MIME_Part*>> b = Parts(&expanded.env.root);
    ASSERT_EQ(b.size(), a.size() + added.size());
    b.erase(b.begin() + 3, b.begin() + 3 + static_cast<std::ptrdiff_t>(added.size()));
    for (std::size_t i = 0; i < a.size(); ++i) {
      const MIME_Header* x = a[i].second->header;
      const MIME_Header* y = b[i].second->header;
      EXPECT_EQ(Field(x->filename), Field(y->filename));
      EXPECT_EQ(x->cls, y->cls);
      EXPECT_EQ(Field(x->charset_name), Field(y->charset_name));
      EXPECT_EQ(Body(a[i].second), Body(b[i].second));
    }
  }
}

// --- The real samples against `tnef` (tests/data/tnef/NAME.oracle) ---

const fs::path kCorpus = fs::path(AD_SOURCE_DIR) / "tests/data/tnef";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Fnv(const char* data, std::size_t length) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (std::size_t i = 0; i < length; ++i) {
    h ^= static_cast<unsigned char>(data[i]);
    h *= 0x100000001b3ULL;
  }
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
  return out;
}

struct OracleFile {
  std::string name;
  std::size_t size = 0;
  std::string hash;
  std::string hash_after_iid;
};

std::vector<OracleFile> Oracle(const std::string& sample) {
  std::vector<OracleFile> out;
  std::istringstream in(ReadFile(kCorpus / (sample + ".oracle")));
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    OracleFile o;
    std::string size;
    std::getline(f, o.name, '\t');
    std::getline(f, size, '\t');
    std::getline(f, o.hash, '\t');
    std::getline(f, o.hash_after_iid, '\t');
    o.size = std::stoul(size);
    out.push_back(o);
  }
  return out;
}

// Where we differ from `tnef`, and why.
struct Difference {
  const char* sample;
  std::size_t file;
  const char* name;  // ours, or null when the names agree
  enum { kNone, kAfterIid, kOwnBytes } bytes;
  std::size_t size;  // kOwnBytes: our file
  const char* hash;
};
const Difference kDifferences[] = {
    // An embedded message: `tnef` takes the object property (with its 16-byte
    // interface id); the file's bytes are its attAttachData (the placeholder
    // text of 89 bytes). The display name outranks the title.
    {"IPM-DistList", 0, "XXXXnews", Difference::kOwnBytes, 89, "37715e7635959205"},
    // An attached object without attAttachData: we take the object without
    // its interface id. Its display name is empty and outranks the title, so
    // the name is generated (no extension is listed for the storage type).
    {"MAPI_OBJECT", 0, "00", Difference::kAfterIid, 0, nullptr},
};

TEST(TnefParts, RealSamplesAgreeWithTheTnefProgram) {
  const char* samples[] = {
      "IPM-DistList", "MAPI_ATTACH_DATA_OBJ",  "MAPI_OBJECT",         "bad_checksum",
      "body",         "duplicate_filename",    "multi-name-property", "one-file",
      "triples",      "unicode-mapi-attr-name"};
  for (const char* sample : samples) {
    SCOPED_TRACE(sample);
    Parsed p(Message(ReadFile(kCorpus / (std::string(sample) + ".tnef"))), 0x7ef);
    EXPECT_EQ(p.status, 0);
    std::vector<OracleFile> oracle = Oracle(sample);
    std::vector<const MIME_Part*> added = Added(p.env);
    ASSERT_EQ(added.size(), oracle.size());
    for (std::size_t i = 0; i < added.size(); ++i) {
      SCOPED_TRACE(i);
      const MIME_Header* h = added[i]->header;
      const Difference* diff = nullptr;
      for (const Difference& d : kDifferences) {
        if (d.sample == std::string(sample) && d.file == i) diff = &d;
      }
      const std::string body = Body(added[i]);
      const std::string hash = Fnv(body.data(), body.size());
      EXPECT_EQ(Field(h->filename), diff != nullptr && diff->name ? diff->name : oracle[i].name);
      EXPECT_STREQ(h->charset_name, "windows-1252");
      if (diff == nullptr || diff->bytes == Difference::kNone) {
        EXPECT_EQ(body.size(), oracle[i].size);
        EXPECT_EQ(hash, oracle[i].hash);
      } else if (diff->bytes == Difference::kAfterIid) {
        EXPECT_EQ(body.size(), oracle[i].size - 16);
        EXPECT_EQ(hash, oracle[i].hash_after_iid);
      } else {
        EXPECT_EQ(body.size(), diff->size);
        EXPECT_EQ(hash, diff->hash);
      }
    }
  }
}

}  // namespace
