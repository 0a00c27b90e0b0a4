// The part tree: structure, headers, boundaries, limits and hostile input.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "common/mime/mime.h"
#include "common/mime/mime_internal.h"
#include "mime/mime_test_tree.h"

namespace {

using mime_test::Dump;
using mime_test::Parsed;
using mime_test::Parts;

const auto* const kRoot = ::testing::AddGlobalTestEnvironment(new mime_test::TypesRoot);

// The walk decodes base64 only, so bodies are the parse's.
constexpr int kParseOnly = kMimeDecodeBase64;

struct TreeCase {
  const char* name;
  const char* text;
  int options;
  const char* dump;
  int status;
};

// gtest names a failing case by this, not by the struct's bytes.
void PrintTo(const TreeCase& c, std::ostream* os) { *os << c.name; }

const TreeCase kTrees[] = {
    {"PlainMessage", "Subject: hi\n\nHello\n", kParseOnly, "0 2 text/plain - [Hello\\n]\n", 0},
    // The whole text is header, and stays body too.
    {"NoBlankLine", "Subject: hi\nFrom: a\n", kParseOnly,
     "0 2 text/plain - [Subject: hi\\nFrom: a\\n]\n", kMimeNoHeaderEnd},
    {"Multipart",
     "Content-Type: multipart/mixed; boundary=\"b1\"\n\npreamble\n--b1\n"
     "Content-Type: text/plain\n\none\n--b1\nContent-Type: text/html\n\n<p>two</p>\n--b1--\n",
     kParseOnly,
     "0 7 multipart/mixed - [*]\n1 2 text/plain - [one]\n1 3 text/html - [<p>two</p>]\n", 0},
    // What follows the closing boundary is parsed as a message of its own.
    {"Epilogue", "Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\n--b--\nepilogue\n",
     kParseOnly,
     "0 7 multipart/mixed - [*]\n1 2 text/plain - [one]\n0 2 text/plain - [epilogue\\n]\n",
     kMimeNoHeaderEnd},
    {"TwoMessagesNoBlank",
     "Content-Type: message/rfc822\n\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\none\n"
     "--b--\nSubject: second\n\ntwo\n",
     kParseOnly,
     "0 1 message/rfc822 00.eml.eml [*]\n1 7 multipart/mixed - [*]\n2 2 text/plain - [one]\n"
     "0 2 text/plain - [two\\n]\n",
     0},
    {"TwoMessages",
     "Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\n--b--\nSubject: second\n\ntwo\n",
     kParseOnly, "0 7 multipart/mixed - [*]\n1 2 text/plain - [one]\n0 2 text/plain - [two\\n]\n",
     0},
    // "--b--" closes only before CR, LF or the text end.
    {"ClosingAtTextEnd", "Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\n--b--",
     kParseOnly, "0 7 multipart/mixed - [*]\n1 2 text/plain - [one]\n", 0},
    {"DashDashThenText",
     "Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\n--b--x\n\ntwo\n--b--\n", kParseOnly,
     "0 7 multipart/mixed - [*]\n1 2 text/plain - [one]\n1 2 text/plain - [two]\n", 0},
    {"CrLf",
     "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/html\r\n\r\n"
     "one\r\n--b\r\n\r\ntwo\r\n--b--\r\n",
     kParseOnly, "0 7 multipart/mixed - [*]\n1 3 text/html - [one]\n1 2 text/plain - [two]\n", 0},
    {"FoldedBoundary",
     "Content-Type: multipart/mixed; boundary=\"ab\n cd\"\n\n--abcd\n\none\n--abcd--\n", kParseOnly,
     "0 7 multipart/mixed - [*]\n1 2 text/plain - [one]\n", 0},
    {"BoundaryAfterSemicolon", "Content-Type: multipart/mixed;boundary=zz\n\n--zz\n\none\n--zz--\n",
     kParseOnly, "0 7 multipart/mixed - [*]\n1 2 text/plain - [one]\n", 0},
    // Unknown types are text only for the first header of a parse.
    {"OctetStreamRoot", "Content-Type: application/octet-stream\n\nxyz", kParseOnly,
     "0 2 application/octet-stream - [xyz]\n", 0},
    {"OctetStreamSubPart",
     "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/octet-stream\n"
     "\nxyz\n--b--\n",
     kParseOnly, "0 7 multipart/mixed - [*]\n1 9 application/octet-stream 00.bin [xyz]\n", 0},
    {"AttachedMessageWhole",
     "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/rfc822\n"
     "Content-Disposition: attachment\n\nSubject: inner\n\nbody\n--b--\n",
     kParseOnly | kMimeMessagesWhole,
     "0 7 multipart/mixed - [*]\n1 1 message/rfc822 00.eml.eml [Subject: inner\\n\\nbody]\n", 0},
    {"AttachedMessageDivided",
     "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/rfc822\n"
     "Content-Disposition: attachment\n\nSubject: inner\n\nbody\n--b--\n",
     kParseOnly,
     "0 7 multipart/mixed - [*]\n1 1 message/rfc822 00.eml.eml [*]\n2 2 text/plain - [body\\n]\n",
     0},
    {"Digest", "Content-Type: multipart/digest; boundary=d\n\n--d\n\nSubject: m1\n\nfirst\n--d--\n",
     kParseOnly,
     "0 8 multipart/digest - [*]\n1 1 message/rfc822 00.eml.eml [*]\n2 2 text/plain - [first\\n]\n",
     0},
    // A missing first boundary leaves the multipart without children.
    {"NoFirstBoundary", "Content-Type: multipart/mixed; boundary=b\n\nno parts here\n", kParseOnly,
     "0 7 multipart/mixed - [no parts here\\n]\n", 0},
    {"NeverCloses", "Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\ntwo\n", kParseOnly,
     "0 7 multipart/mixed - [*]\n1 2 text/plain - [one\\ntwo\\n]\n", kMimeNoClosingBoundary},
    // Broken inner structure stays inside its part: the part after it in the
    // outer multipart is still found, and nothing overlaps it.
    {"InnerNeverCloses",
     "Content-Type: multipart/mixed; boundary=outer\n\n--outer\n"
     "Content-Type: multipart/alternative; boundary=inner\n\n--inner\n\nin1\n--outer\n\nafter\n"
     "--outer--\n",
     kParseOnly,
     "0 7 multipart/mixed - [*]\n1 6 multipart/alternative - [*]\n2 2 text/plain - [in1]\n"
     "1 2 text/plain - [after]\n",
     kMimeNoClosingBoundary},
    {"SubPartWithoutBlankLine",
     "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/html\n--b\n"
     "Content-Type: text/plain\n\ntwo\n--b--\n",
     kParseOnly,
     "0 7 multipart/mixed - [*]\n1 3 text/html - [Content-Type: text/html]\n"
     "1 2 text/plain - [two]\n",
     kMimeNoHeaderEnd},
    // An empty part has no header and is not processed; the next one is.
    {"EmptyPart", "Content-Type: multipart/mixed; boundary=b\n\n--b\n--b\n\ntwo\n--b--\n",
     kParseOnly, "0 7 multipart/mixed - [*]\n1 - - []\n1 2 text/plain - [two]\n", kMimeNoHeaderEnd},
    {"EncodedAttachedMessage",
     "Content-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\nU3ViamVjdDogeAoKeQ==\n",
     kParseOnly, "0 1 message/rfc822 00.eml.eml [Subject: x\\n\\ny]\n", 0},
};

class TreeTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(TreeTest, Dump) {
  const TreeCase& c = GetParam();
  Parsed p(c.text, c.options);
  EXPECT_EQ(Dump(p.env), c.dump);
  EXPECT_EQ(p.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Mime, TreeTest, ::testing::ValuesIn(kTrees),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MimeTree, PositionsPointIntoTheText) {
  // The text as it was (the walk writes NUL bytes into the parsed copy).
  const std::string whole =
      "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\none\n"
      "--b--\n";
  Parsed p(whole, kParseOnly);
  const char* text = p.text.data();
  const MIME_Part* sub = p.env.root.child;
  ASSERT_NE(sub, nullptr);
  std::size_t header_at = whole.find("Content-Type: text/plain");
  EXPECT_EQ(sub->offset, static_cast<int>(header_at));
  EXPECT_EQ(sub->header_start, text + header_at);
  EXPECT_EQ(sub->header_end, text + whole.find("\n\none"));
  EXPECT_EQ(sub->body, text + whole.find("one"));
  EXPECT_EQ(sub->end, text + whole.find("\n--b--"));
  EXPECT_EQ(sub->length, static_cast<int>(whole.find("\n--b--") - header_at));
  EXPECT_EQ(p.env.root.offset, 0);
  EXPECT_EQ(p.env.root.length, static_cast<int>(whole.size()));
}

TEST(MimeTree, MessagesOfOneTextDoNotOverlap) {
  const std::string whole =
      "Content-Type: message/rfc822\n\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\none\n"
      "--b--\nSubject: second\n\ntwo\n";
  Parsed p(whole, kParseOnly, "utf-8", 0);
  const MIME_Part* second = p.env.root.next;
  ASSERT_NE(second, nullptr);
  std::size_t at = whole.find("Subject");
  EXPECT_EQ(second->header_start, p.text.data() + at);
  EXPECT_STREQ(second->header->fields->name, "Subject");  // its first byte survived the walk
  EXPECT_EQ(p.env.root.offset + p.env.root.length, static_cast<int>(at) - 1);
  // A multipart root keeps the text end as its end (nothing is written there).
  Parsed multipart(
      "Content-Type: multipart/mixed; boundary=b\n\n--b\n\none\n--b--\nSubject: 2\n\nx");
  EXPECT_EQ(multipart.env.root.end, multipart.env.text_end);
  EXPECT_EQ(p.env.root.child->end, p.env.root.end);
}

TEST(MimeTree, CrLfAndLfHeadersSplitAlike) {
  auto fields = [](const char* text) {
    Parsed p(text, 0);
    std::vector<std::string> out;
    for (const MIME_HeaderField* f = p.env.root.header->fields; f != nullptr; f = f->next) {
      out.push_back(std::string(f->name) + "=" + f->value);
    }
    return out;
  };
  std::vector<std::string> want = {"Subject=a\n b", "From=x", "junk line=junk line"};
  EXPECT_EQ(fields("Subject: a\n b\nFrom:\tx\njunk line\n\nbody"), want);
  EXPECT_EQ(fields("Subject: a\r\n b\r\nFrom:\tx\r\njunk line\r\n\r\nbody"), want);
}

TEST(MimeTree, HeaderSplitInPlaceWithoutStripping) {
  Parsed p("Subject: a\r\nTo: b\r\n\r\nbody", 0, "utf-8", 0);
  const MIME_HeaderField* f = p.env.root.header->fields;
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f->value, "a\r");  // the CR stays
  EXPECT_GE(f->value, p.text.data());
  EXPECT_LT(f->value, p.text.data() + p.text.size());
}

TEST(MimeTree, RawCopyOfAnAttachedMessage) {
  const char* text =
      "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/rfc822\n\n"
      "Subject: inner\nTo: x\n\nbody\n--b--\n";
  for (int strip : {1, 0}) {
    Parsed p(text, kParseOnly, "utf-8", strip);
    const MIME_Part* message = p.env.root.child;
    ASSERT_NE(message->child, nullptr);
    EXPECT_STREQ(message->header->raw_copy, "Subject: inner\nTo: x\n\nbody\n") << strip;
  }
}

TEST(MimeTree, ContentFieldsAndFoundBits) {
  Parsed p(
      "Content-Type: text/plain\nContent-Type: text/html\ncontent-id: <a>\n"
      "Content-Location: x\nContent-Transfer-Encoding: 7BIT\nX-Tolvane-Content-Type: y\n\nb",
      0);
  const MIME_Header* h = p.env.root.header;
  EXPECT_STREQ(h->content_type, "text/html");  // a later field wins
  EXPECT_EQ(h->cls, kClassHtml);
  EXPECT_EQ(h->encoding, kEncoding7bit);
  EXPECT_STREQ(h->content_id, "<a>");
  EXPECT_STREQ(h->x_content_type, "y");
  EXPECT_EQ(h->disposition, nullptr);
  EXPECT_EQ(p.env.found, kMimeFoundContentId | kMimeFoundContentLocation);
}

TEST(MimeTree, MessageIndex) {
  Parsed p("To:\nfrom: first\nFrom: second\nTo: r\nSubject: s\nReferences: <x>\n\nbody", 0);
  const char** index = p.env.root.header->index;
  ASSERT_NE(index, nullptr);
  EXPECT_STREQ(index[kIndexFrom], "first");
  EXPECT_STREQ(index[kIndexTo], "r");  // only a To with a value
  EXPECT_STREQ(index[kIndexSubject], "s");
  EXPECT_STREQ(index[kIndexReferences], "<x>");
  EXPECT_EQ(index[kIndexCc], nullptr);
  // Parts of a multipart/related are not parsed as messages.
  Parsed related("Content-Type: multipart/related; boundary=b\n\n--b\nFrom: x\n\ny\n--b--\n", 0);
  EXPECT_EQ(related.env.root.child->header->index, nullptr);
}

TEST(MimeTree, ClassTableSubtleties) {
  struct Row {
    const char* type;
    bool later;
    int cls;
  };
  const Row rows[] = {
      {"Message/Delivery-Status", true, 2},
      {"multipart/x-other", true, 5},
      {"text/enriched", true, 2},
      {"text", true, 2},
      {"text;x", true, 2},
      {"text/csv", true, 9},
      {"image/tiff", true, 16},
      {"application/pdf", false, 2},
      {"application/pdf", true, 9},
      {"", true, 9},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(MIME_ClassOf(r.type, r.later), r.cls) << r.type << " later=" << r.later;
  }
}

TEST(MimeTree, FindBoundaryLines) {
  struct Row {
    const char* name;
    const char* text;
    std::size_t from;
    long line;  // offset of the "--", -1 for none
    long end;
  };
  const Row rows[] = {
      {"AtFrom", "x\n--b\n", 2, 2, 1},
      {"AfterLf", "x\n--b\n", 0, 2, 1},
      {"AfterCrLf", "x\r\n--b\r\n", 0, 3, 1},
      {"Closing", "x\n--b--", 0, 2, 1},
      {"NeedsLineEnd", "x\n--bc\n--b\n", 0, 7, 6},
      {"NotAtLineStart", "x --b\n", 0, -1, -1},
      {"NothingAfter", "x\n--b", 0, -1, -1},
  };
  for (const Row& r : rows) {
    std::string text = r.text;
    char* t = text.data();
    char* end = t + text.size();
    MimeBoundaryHit hit = MIME_FindBoundary(t + r.from, end, end, t, "b", 1);
    if (r.line < 0) {
      EXPECT_EQ(hit.line, nullptr) << r.name;
      continue;
    }
    EXPECT_EQ(hit.line, t + r.line) << r.name;
    EXPECT_EQ(hit.end, t + r.end) << r.name;
  }
  // Nothing at or beyond the stop is found.
  std::string text = "x\n--b\n";
  char* t = text.data();
  EXPECT_EQ(MIME_FindBoundary(t, t + 2, t + text.size(), t, "b", 1).line, nullptr);
  EXPECT_EQ(MIME_FindBoundary(t, t + 3, t + text.size(), t, "b", 1).line, t + 2);
}

TEST(MimeTree, MessageDepthLimit) {
  std::string text;
  for (int i = 0; i < 12; ++i) text += "Content-Type: message/rfc822\n\n";
  text += "Subject: deep\n\nbody\n";
  Parsed p(text, kParseOnly);
  int deepest = 0;
  for (auto [depth, part] : Parts(&p.env.root)) deepest = std::max(deepest, depth);
  EXPECT_EQ(deepest, kMimeMaxDepth + 1);
  EXPECT_TRUE(p.status & kMimeTooDeep);
  // The too-deep message keeps its header.
  const MIME_Part* last = nullptr;
  for (auto [depth, part] : Parts(&p.env.root)) last = part;
  ASSERT_NE(last->header, nullptr);
  EXPECT_EQ(last->header->cls, kClassMessage);
  EXPECT_EQ(last->child, nullptr);
}

TEST(MimeTree, InitAndReuse) {
  MIME_Env env;
  EXPECT_EQ(MIME_Init(env, nullptr, 0, 0, "utf-8"), -1);
  EXPECT_EQ(MIME_Parse(env), 0);  // nothing to parse
  std::string a = "Subject: a\n\nfirst";
  ASSERT_EQ(MIME_Init(env, a.data(), a.size(), 7, "ISO-2022-JP"), 0);
  EXPECT_EQ(env.caller_code, 7);
  EXPECT_EQ(env.default_iso2022jp, 1);
  MIME_Parse(env);
  EXPECT_GT(env.pool.bytes_used(), 0u);
  MIME_Free(env);
  EXPECT_EQ(env.pool.bytes_used(), 0u);
  std::string b = "Content-Type: application/x-y\n\nsecond";
  ASSERT_EQ(MIME_Init(env, b.data(), b.size(), 0, "utf-8"), 0);
  EXPECT_EQ(env.caller_code, 7);  // kept
  EXPECT_EQ(env.default_iso2022jp, 0);
  MIME_Parse(env);
  EXPECT_EQ(env.root.header->cls, kClassText);  // the first header of this parse again
  EXPECT_EQ(std::string(env.root.body, 6), "second");
  MIME_Free(env);
}

TEST(MimeTree, RootTakesTheFirstCharset) {
  const char* text =
      "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nplain\n--b\n"
      "Content-Type: text/plain; charset=big5\n\nbig\n--b--\n";
  Parsed p(text, kParseOnly);
  EXPECT_STREQ(p.env.root.header->charset_name, "big5");
  EXPECT_EQ(p.env.root.header->charset_code, 2);
  EXPECT_STREQ(MIME_FirstCharset(&p.env.root), "big5");
  Parsed kept(text, kParseOnly | kMimeNoRootCharset);
  EXPECT_STREQ(kept.env.root.header->charset_name, "");
}

// Hostile input: every case must finish quickly with bounded memory.
class MimeHostile : public ::testing::Test {
 protected:
  void TearDown() override {
    auto took = std::chrono::steady_clock::now() - start_;
    // Generous for sanitizer builds; a quadratic cost would take minutes.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 20000);
  }
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

TEST_F(MimeHostile, HundredThousandEmptyParts) {
  std::string text = "Content-Type: multipart/mixed; boundary=b\n\n";
  for (int i = 0; i < 100000; ++i) text += "--b\n";
  text += "--b--\n";
  Parsed p(text);
  EXPECT_LE(p.env.parts, kMimeMaxParts);
  EXPECT_TRUE(p.status & kMimeTooMany);
  EXPECT_LT(p.env.pool.bytes_used(), 16u << 20);
}

TEST_F(MimeHostile, ManyEmptyHeaderParts) {
  // Parts with headers: the part limit bounds the pool too.
  std::string text = "Content-Type: multipart/mixed; boundary=b\n\n";
  for (int i = 0; i < 50000; ++i) text += "--b\nContent-Language: x\n\n";
  Parsed p(text);
  EXPECT_LE(p.env.parts, kMimeMaxParts);
  EXPECT_LT(p.env.pool.bytes_used(), 32u << 20);
}

TEST_F(MimeHostile, BoundaryNeverCloses) {
  std::string text = "Content-Type: multipart/mixed; boundary=b\n\n--b\n\n";
  text.append(4 << 20, 'x');
  Parsed p(text);
  EXPECT_TRUE(p.status & kMimeNoClosingBoundary);
  EXPECT_EQ(p.env.root.child->body_length, 4 << 20);
}

TEST_F(MimeHostile, MegabyteHeaderLines) {
  std::string text = "Subject: " + std::string(1 << 20, 'a') + "\nContent-Type: multipart/mixed;" +
                     std::string(1 << 20, ' ') + "boundary=b\n" + std::string(1 << 20, 'z') +
                     "\n\n--b\n\none\n--b--\n";
  Parsed p(text);
  EXPECT_EQ(Dump(p.env), "0 7 multipart/mixed - [*]\n1 2 text/plain - [one]\n");
}

TEST_F(MimeHostile, ThousandsOfHeaderFields) {
  std::string text;
  for (int i = 0; i < 150000; ++i) text += "X-" + std::to_string(i) + ": v\n";
  text += "\nbody";
  Parsed p(text);
  EXPECT_TRUE(p.status & kMimeTooMany);
  EXPECT_EQ(p.env.fields, kMimeMaxFields);
  EXPECT_EQ(mime_test::Body(&p.env.root), "body");
}

TEST_F(MimeHostile, Base64Garbage) {
  std::string text = "Content-Transfer-Encoding: base64\n\n";
  for (int i = 0; i < (1 << 20); ++i) text += static_cast<char>("!@#$%^&*()\x01\xff"[i % 12]);
  text += "QUJD";
  Parsed p(text);
  EXPECT_EQ(mime_test::Body(&p.env.root), "ABC");
}

TEST_F(MimeHostile, HundredThousandNestedMultiparts) {
  constexpr int kLevels = 100000;
  std::string text;
  for (int i = 0; i < kLevels; ++i) {
    text += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" +
            std::to_string(i) + "\n";
  }
  text += "\nleaf\n";
  for (int i = kLevels - 1; i >= 0; --i) text += "--b" + std::to_string(i) + "--\n";
  Parsed p(text);
  EXPECT_TRUE(p.status & kMimeTooDeep);
  int deepest = 0;
  for (auto [depth, part] : Parts(&p.env.root)) deepest = std::max(deepest, depth);
  EXPECT_EQ(deepest, kMimeMaxNesting + 1);
}

TEST_F(MimeHostile, NestedMultipartsWithoutClosingBoundaries) {
  std::string text;
  for (int i = 0; i < 5000; ++i) {
    text += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" +
            std::to_string(i) + "\n";
  }
  text.append(1 << 20, 'x');
  Parsed p(text);
  EXPECT_TRUE(p.status & kMimeNoClosingBoundary);
  EXPECT_TRUE(p.status & kMimeTooDeep);
}

TEST_F(MimeHostile, DeepMessages) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "Content-Type: message/rfc822\n\n";
  Parsed p(text);
  EXPECT_TRUE(p.status & kMimeTooDeep);
  EXPECT_LE(Parts(&p.env.root).size(), static_cast<std::size_t>(kMimeMaxDepth + 2));
}

}  // namespace
