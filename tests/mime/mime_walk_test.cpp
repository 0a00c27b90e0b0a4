// The decoding walk: bodies, charsets, names, uuencoded files and classes.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "common/mime/mime.h"
#include "common/mime/mime_internal.h"
#include "host/account/safe_name.h"
#include "host/base/pool.h"
#include "host/charset/charset.h"
#include "mime/mime_test_tree.h"

namespace {

using mime_test::Body;
using mime_test::Dump;
using mime_test::Parsed;
using mime_test::Parts;

const auto* const kRoot = ::testing::AddGlobalTestEnvironment(new mime_test::TypesRoot);

std::string Multipart(const std::string& parts) {
  return "Content-Type: multipart/mixed; boundary=b\n\n" + parts + "--b--\n";
}

struct WalkCase {
  const char* name;
  std::string text;
  int options;
  const char* dump;
};

// gtest names a failing case by this, not by the struct's bytes.
void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

const WalkCase kWalks[] = {
    {"Base64",
     Multipart("--b\nContent-Type: application/pdf; name=\"r.pdf\"\n"
               "Content-Transfer-Encoding: base64\n\nSGVs\nbG8=\n"),
     kMimeDefaultOptions, "0 7 multipart/mixed - [*]\n1 9 application/pdf r.pdf [Hello]\n"},
    {"Base64Off",
     Multipart("--b\nContent-Type: application/pdf; name=\"r.pdf\"\n"
               "Content-Transfer-Encoding: base64\n\nSGVsbG8=\n"),
     kMimeDefaultOptions & ~kMimeDecodeBase64,
     "0 7 multipart/mixed - [*]\n1 9 application/pdf r.pdf [SGVsbG8=]\n"},
    {"QuotedPrintable", "Content-Transfer-Encoding: quoted-printable\n\na=3Db=\nc",
     kMimeDefaultOptions, "0 2 text/plain - [a=bc]\n"},
    {"UuencodedBody",
     Multipart("--b\nContent-Type: application/x-y\nContent-Transfer-Encoding: x-uuencode\n\n"
               "begin 644 cat.txt\n#0V%T\n`\nend\n"),
     kMimeDefaultOptions, "0 7 multipart/mixed - [*]\n1 9 application/x-y cat.txt [Cat]\n"},
    // Names are generated in order: the attached message gets the next one.
    {"GeneratedNames",
     Multipart("--b\nContent-Type: image/png\nContent-Id: <i>\n\npng\n"
               "--b\nContent-Type: message/rfc822\nContent-Disposition: attachment\n\n"
               "Subject: s\n\nm\n"
               "--b\nContent-Type: application/x-unknown-thing\n\nz\n"),
     kMimeDefaultOptions | kMimeMessagesWhole,
     "0 7 multipart/mixed - [*]\n1 4 image/png 00.png [png]\n"
     "1 1 message/rfc822 01.eml.eml [Subject: s\\n\\nm]\n1 9 application/x-unknown-thing 02 [z]\n"},
    {"DescriptionAsName",
     Multipart("--b\nContent-Type: application/x-y\nContent-Disposition: attachment\n"
               "Content-Description: Q1 report\n\nz\n"),
     kMimeDefaultOptions, "0 7 multipart/mixed - [*]\n1 9 application/x-y Q1 report [z]\n"},
    // Text parts without Content-Id, -Location or -Disposition stay unnamed.
    {"UnnamedText", Multipart("--b\nContent-Type: text/plain\n\nhi\n"), kMimeDefaultOptions,
     "0 7 multipart/mixed - [*]\n1 2 text/plain - [hi]\n"},
    {"TwoUuBlocks",
     Multipart("--b\nContent-Type: text/plain\n\nIntro\nbegin 644 a.txt\n#0V%T\n`\nend\nmiddle\n"
               "begin 600 \"pic.zzq\"\n&1TE&.#EA\n`\nend\ntail\n"
               "--b\nContent-Type: text/html\n\n<p>x</p>\n"),
     kMimeDefaultOptions,
     "0 7 multipart/mixed - [*]\n1 2 text/plain - [Intro\\n]\n1 2 text/plain a.txt [Cat]\n"
     "1 4 image/gif pic.zzq [GIF89a]\n1 3 text/html - [<p>x</p>]\n"},
    {"UuModeAbove5000", "Subject: x\n\nbegin 5001 a.txt\n#0V%T\n`\nend\n", kMimeDefaultOptions,
     "0 2 text/plain - [begin 5001 a.txt\\n#0V%T\\n`\\nend\\n]\n"},
    {"UuNotAtLineStart", "Subject: x\n\nsee begin 644 a.txt\n#0V%T\n`\nend\n", kMimeDefaultOptions,
     "0 2 text/plain - [see begin 644 a.txt\\n#0V%T\\n`\\nend\\n]\n"},
    {"UuWithoutEnd", "Subject: x\n\nbegin 644 a.txt\n#0V%T\n", kMimeDefaultOptions,
     "0 2 text/plain - [begin 644 a.txt\\n#0V%T\\n]\n"},
    // The body's end closes an "end" line that the boundary's line break ends.
    {"UuEndAtBodyEnd", Multipart("--b\n\nbegin 644 a.txt\n#0V%T\n`\nend\n"), kMimeDefaultOptions,
     "0 7 multipart/mixed - [*]\n1 2 text/plain - []\n1 2 text/plain a.txt [Cat]\n"},
    {"UuSplitOff", "Subject: x\n\nbegin 644 a.txt\n#0V%T\n`\nend\n",
     kMimeDefaultOptions & ~kMimeSplitUu,
     "0 2 text/plain - [begin 644 a.txt\\n#0V%T\\n`\\nend\\n]\n"},
    {"VcardByName", Multipart("--b\nContent-Type: text/plain; name=card.VCF\n\nBEGIN:VCARD\n"),
     kMimeDefaultOptions, "0 7 multipart/mixed - [*]\n1 10 text/plain card.VCF [BEGIN:VCARD]\n"},
    {"RetypedOctetStream",
     Multipart("--b\nContent-Type: application/octet-stream; name=a.png\n\nx\n"
               "--b\nContent-Type: application/octet-stream; name=b.mp3\n\nx\n"
               "--b\nContent-Type: application/octet-stream; name=c.tif\n\nx\n"
               "--b\nContent-Type: application/octet-stream; name=d.zzq\n\nx\n"),
     kMimeDefaultOptions,
     "0 7 multipart/mixed - [*]\n1 4 application/octet-stream a.png [x]\n"
     "1 14 application/octet-stream b.mp3 [x]\n1 16 application/octet-stream c.tif [x]\n"
     "1 9 application/octet-stream d.zzq [x]\n"},
    {"AlternativeInlineLosesNames",
     "Content-Type: multipart/alternative; boundary=b\n\n--b\nContent-Type: text/plain\n"
     "Content-Disposition: inline\n\nt\n--b\nContent-Type: text/html\n"
     "Content-Disposition: inline; filename=x.html\n\n<p>\n--b\nContent-Type: image/png\n"
     "Content-Disposition: inline; filename=i.png\n\np\n--b--\n",
     kMimeDefaultOptions,
     "0 6 multipart/alternative - [*]\n1 2 text/plain - [t]\n1 3 text/html - [<p>]\n"
     "1 4 image/png i.png [p]\n"},
    // Whatever a name holds, it is made a safe file name.
    {"UnsafeNames",
     Multipart("--b\nContent-Type: application/x-y; name=\"../../etc/passwd\"\n\nz\n"
               "--b\n\nbegin 644 ../up.txt\n#0V%T\n`\nend\n"),
     kMimeDefaultOptions,
     "0 7 multipart/mixed - [*]\n1 9 application/x-y _.._etc_passwd [z]\n1 2 text/plain - []\n"
     "1 2 text/plain _up.txt [Cat]\n"},
};

class WalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(WalkTest, Dump) {
  const WalkCase& c = GetParam();
  Parsed p(c.text, c.options);
  EXPECT_EQ(Dump(p.env), c.dump);
}

INSTANTIATE_TEST_SUITE_P(Mime, WalkTest, ::testing::ValuesIn(kWalks),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MimeWalk, NumbersAndFoundBits) {
  Parsed p(
      Multipart("--b\n\nplain\n--b\nContent-Type: image/png\nContent-Id: <a>\n\np\n"
                "--b\n\nbegin 644 a.txt\n#0V%T\n`\nend\n"
                "--b\nContent-Type: application/x-y; name=z.bin\n\nz\n"));
  std::vector<std::string> numbers;
  for (auto [depth, part] : Parts(&p.env.root)) {
    if (part->header != nullptr && part->header->number[0] != '\0') {
      numbers.push_back(std::string(part->header->number) + ":" + part->header->filename);
    }
  }
  EXPECT_EQ(numbers, (std::vector<std::string>{"1:00.png", "2:a.txt", "3:z.bin"}));
  EXPECT_EQ(p.env.found, kMimeFoundName | kMimeFoundContentId);
  EXPECT_EQ(p.env.sequence, 3);
}

// Past the largest number the field holds, a part stays unnumbered rather
// than get a number cut short.
TEST(MimeWalk, NumbersStopAtTheLargestTheFieldHolds) {
  Parsed p("Subject: x\n\ny\n");
  p.env.sequence = kMimeMaxNumber - 1;
  MIME_Header last{};
  MIME_Number(&last, p.env);
  EXPECT_STREQ(last.number, "999999999");
  MIME_Header over{};
  MIME_Number(&over, p.env);
  EXPECT_STREQ(over.number, "");
  EXPECT_EQ(p.env.sequence, kMimeMaxNumber);
}

TEST(MimeWalk, UuPartsSitBetweenTheTextAndItsNextSibling) {
  Parsed p(Multipart("--b\n\nx\nbegin 644 a.txt\n#0V%T\n`\nend\nafter\n--b\n\nlast\n"));
  const MIME_Part* text = p.env.root.child;
  ASSERT_NE(text->next, nullptr);
  const MIME_Part* uu = text->next;
  EXPECT_STREQ(uu->header->filename, "a.txt");
  ASSERT_NE(uu->next, nullptr);
  EXPECT_EQ(Body(uu->next), "last");
  std::string original =
      Multipart("--b\n\nx\nbegin 644 a.txt\n#0V%T\n`\nend\nafter\n--b\n\nlast\n");
  std::size_t begin = original.find("begin");
  EXPECT_EQ(uu->offset, static_cast<int>(begin));
  EXPECT_EQ(uu->length, static_cast<int>(original.find("\nend\n") + 5 - begin));
}

TEST(MimeWalk, Rfc2231NameWithCharset) {
  Parsed p(
      Multipart("--b\nContent-Type: application/x-y\nContent-Disposition: attachment;\n"
                " filename*0*=utf-8''%E2%82%AC%20;\n filename*1=\"rate.txt\"\n\nz\n"));
  const MIME_Header* h = p.env.root.child->header;
  EXPECT_STREQ(h->filename, "\xE2\x82\xAC rate.txt");
  EXPECT_STREQ(h->charset_name, "utf-8");
  EXPECT_EQ(h->charset_code, 3);
}

TEST(MimeWalk, ParamGet) {
  struct Row {
    const char* value;
    const char* want;  // null: absent
    const char* charset;
  };
  const Row rows[] = {
      {"attachment; filename=\"a.txt\"; size=3", "\"a.txt\"; size=3", ""},
      {"attachment; x-name-type=1; filename=b.txt", "b.txt", ""},
      {"attachment; NAME = c.txt", "c.txt", ""},
      {"attachment; filename*=utf-8'en'%41%42.txt", "AB.txt", "utf-8"},
      {"attachment; filename*=%41b", "Ab", ""},
      {"a; filename*1=b; filename*0=a", "ab", ""},
      {"a; name*0=\"my \"; name*1=\"file.txt\"", "my file.txt", ""},
      {"a; name*0*=iso-8859-1''caf%E9; name*1*=%21", "caf\xE9!", "iso-8859-1"},
      {"attachment", nullptr, ""},
  };
  for (const Row& r : rows) {
    char out[64], charset[16];
    const char* got = MIME_ParamGet(r.value, "name", out, sizeof out, charset, sizeof charset);
    if (r.want == nullptr) {
      EXPECT_EQ(got, nullptr) << r.value;
      continue;
    }
    ASSERT_NE(got, nullptr) << r.value;
    EXPECT_STREQ(got, r.want) << r.value;
    EXPECT_STREQ(charset, r.charset) << r.value;
  }
  char small[5];
  EXPECT_STREQ(MIME_ParamGet("name=abcdefgh", "name", small, sizeof small, nullptr, 0), "abcd");
}

TEST(MimeWalk, MbStrChr) {
  struct Row {
    const char* name;
    const char* text;
    char byte;
    int scheme;
    long at;  // -1: not found
  };
  const Row rows[] = {
      {"Single", "a\\b", '\\', kSchemeSingleByte, 1},
      {"ShiftJisTrail", "\x95\\x\\", '\\', kSchemeShiftJis, 3},
      {"SingleSeesTrail", "\x95\\x\\", '\\', kSchemeSingleByte, 1},
      {"Big5Trail", "\xA5\\;", '\\', kSchemeBig5, -1},
      {"CharRef", "a&#59;b;c", ';', kSchemeSingleByte, 7},
      {"NotACharRef", "a&#;b", ';', kSchemeSingleByte, 3},
      {"Utf8", "\xE2\x82\xAC;", ';', kSchemeUtf8, 3},
      {"Utf8LeadTakesNext", "\xC3;x;", ';', kSchemeUtf8, 3},
      {"EucLoneByte", "\xA4\xA2\xA2", '\xA2', kSchemeEuc, 2},
      {"OtherScheme", "\x81\\\\", '\\', 9, 2},
      {"LeadAtEnd", "ab\x95", ';', kSchemeShiftJis, -1},
  };
  for (const Row& r : rows) {
    const char* got = MIME_MbStrChr(r.text, r.byte, r.scheme);
    if (r.at < 0) {
      EXPECT_EQ(got, nullptr) << r.name;
    } else {
      EXPECT_EQ(got, r.text + r.at) << r.name;
    }
  }
}

TEST(MimeWalk, Unquote) {
  const std::pair<const char*, const char*> rows[] = {
      {"  \"a b\" rest", "a b"}, {"\"open", "open"}, {"\"a\nb\"", "a"},
      {"plain\nnext", "plain"},  {"", ""},
  };
  for (auto [in, want] : rows) {
    std::string text = in;
    EXPECT_STREQ(MIME_Unquote(text.data()), want) << in;
  }
}

TEST(MimeWalk, CharsetCheck) {
  struct Row {
    const char* name;
    std::string body;
    bool reset;
  };
  const Row rows[] = {
      {"Ascii", "plain text\n", true},
      {"EucPairs", "\xA4\xB3\xA4\xF3", true},
      {"Latin1BeforeLetter", "caf\xE9s", true},  // looks like a pair
      {"Latin1BeforeSpace", "caf\xE9 au lait", false},
      {"Byte80", "a\x80", false},
      {"LeadAtEnd", "ab\xA4", false},
  };
  for (const Row& r : rows) {
    std::string text = "Content-Type: text/plain; charset=ISO-8859-1\n\n" + r.body;
    Parsed p(text);
    const MIME_Header* h = p.env.root.header;
    EXPECT_EQ(h->charset_name[0] == '\0', r.reset) << r.name;
    EXPECT_EQ(h->charset_code, r.reset ? 0 : 6) << r.name;
  }
  Parsed jp("Content-Type: text/plain; charset=iso-8859-2\n\nascii", kMimeDefaultOptions,
            "iso-2022-jp");
  EXPECT_EQ(jp.env.root.header->charset_code, 1);  // the environment's default
}

TEST(MimeWalk, HeaderWordsAreDecoded) {
  Parsed p("Subject: =?utf-8?B?w6k=?= x\nContent-Type: text/plain\n\nbody");
  const MIME_Header* h = p.env.root.header;
  EXPECT_STREQ(h->index[kIndexSubject], "\xC3\xA9 x");
  EXPECT_EQ(h->fields->charset_value, kCharsetUtf8);
  EXPECT_STREQ(h->charset_name, "utf-8");
  EXPECT_EQ(h->charset_code, 3);
  Parsed off("Subject: =?utf-8?B?w6k=?=\n\nbody", kMimeDefaultOptions & ~kMimeDecodeHeaders);
  EXPECT_STREQ(off.env.root.header->index[kIndexSubject], "=?utf-8?B?w6k=?=");
}

TEST(MimeWalk, MixedCharsetsBecomeUtf8) {
  Parsed p(
      "Subject: =?utf-8?B?w6k=?=\nContent-Type: text/plain; charset=iso-8859-1\n\ncaf\xE9 au lait");
  const MIME_Header* h = p.env.root.header;
  EXPECT_STREQ(h->charset_name, "utf-8");
  EXPECT_EQ(h->charset_code, 3);
  EXPECT_EQ(Body(&p.env.root), "caf\xC3\xA9 au lait");
  EXPECT_STREQ(h->index[kIndexSubject], "\xC3\xA9");
  // The content type field still points at the header's value.
  EXPECT_STREQ(h->content_type, "text/plain; charset=iso-8859-1");
  Parsed kept(
      "Subject: =?utf-8?B?w6k=?=\nContent-Type: text/plain; charset=iso-8859-1\n\ncaf\xE9 au lait",
      kMimeDefaultOptions & ~kMimeMixedToUtf8);
  EXPECT_STREQ(kept.env.root.header->charset_name, "iso-8859-1");
  EXPECT_EQ(Body(&kept.env.root), "caf\xE9 au lait");
}

TEST(MimeWalk, JapaneseBodies) {
  const std::string jis = "Content-Type: text/plain; charset=iso-2022-jp\n\n\x1b$B$3$s\x1b(B";
  Parsed on(jis);
  EXPECT_EQ(Body(&on.env.root), "\x82\xB1\x82\xF1");
  MIME_Env env;
  env.jconv = 0;
  std::string text = jis;
  MIME_Init(env, text.data(), text.size(), 0, "utf-8");
  MIME_Parse(env);
  EXPECT_EQ(Body(&env.root), "\x1b$B$3$s\x1b(B");
  MIME_Free(env);
  Parsed euc("Content-Type: text/plain; charset=EUC-JP\n\n\xA4\xB3\xA4\xF3");
  EXPECT_EQ(Body(&euc.env.root), "\x82\xB1\x82\xF1");
}

TEST(MimeWalk, EmptyBodiesAreTextsOfTheirOwn) {
  Parsed p(Multipart("--b\nContent-Type: image/png\nContent-Id: <a>\n\n\n"));
  const MIME_Part* part = p.env.root.child;
  EXPECT_EQ(part->body_length, 0);
  ASSERT_NE(part->body, nullptr);
  EXPECT_EQ(part->body[0], '\0');
  EXPECT_FALSE(part->body >= p.text.data() && part->body <= p.text.data() + p.text.size());
}

int tnef_calls = 0;
MIME_Part* CountTnef(MIME_Part* part, MIME_Env&) {
  ++tnef_calls;
  return nullptr;
}

// The walk goes on with the TNEF part's next sibling, whatever the expansion
// answers (the parts it adds are complete and not walked).
TEST(MimeWalk, TnefHookRunsOnceAndTheWalkGoesOn) {
  std::string text = Multipart(
      "--b\nContent-Type: application/ms-tnef\n\nx\n"
      "--b\nContent-Type: application/pdf; name=after.pdf\n\ny\n");
  MIME_Env env;
  env.options = kMimeDefaultOptions | kMimeExpandTnef;
  env.tnef_expand = &CountTnef;
  MIME_Init(env, text.data(), text.size(), 0, "utf-8");
  MIME_Parse(env);
  EXPECT_EQ(tnef_calls, 1);
  EXPECT_EQ(env.root.child->header->cls, kClassTnef);
  EXPECT_STREQ(env.root.child->next->header->filename, "after.pdf");
  MIME_Free(env);
}

TEST(MimeWalk, DeepTreesDoNotRecurse) {
  // A tree far deeper than any parse makes: the walk keeps its own stack.
  MIME_Env env;
  std::string text = "x";
  MIME_Init(env, text.data(), text.size(), 0, "utf-8");
  MIME_Part* p = &env.root;
  for (int i = 0; i < 200000; ++i) {
    p->child = new (my_Xalloc(env.pool, sizeof(MIME_Part))) MIME_Part{};
    p = p->child;
  }
  MIME_DecodeWalk(&env.root, env);
  EXPECT_EQ(MIME_FirstCharset(&env.root), nullptr);
  MIME_Free(env);
}

}  // namespace
