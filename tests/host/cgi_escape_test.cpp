#include "host/text/cgi_escape.h"

#include <string>

#include <gtest/gtest.h>

namespace {

struct Row {
  std::string in;
  std::string want;
};

TEST(Escape, Html) {
  for (const Row& r : std::vector<Row>{
           {"", ""},
           {"plain text", "plain text"},
           {"<a href=\"x\">'&'</a>", "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;"},
           {"&amp;", "&amp;amp;"},
           {"\xE2\x82\xAC\r\n", "\xE2\x82\xAC\r\n"},
       }) {
    EXPECT_EQ(HtmlEscape(r.in), r.want) << r.in;
    char buf[64];
    EXPECT_EQ(MCGI_HTMLEscape(r.in, buf, sizeof buf, 0), 0) << r.in;
    EXPECT_STREQ(buf, r.want.c_str());
  }
}

TEST(Escape, HtmlIntoTooSmallBufferLeavesEmpty) {
  char buf[8] = "garbage";
  EXPECT_EQ(MCGI_HTMLEscape("a&b", buf, 8, 0), 0);  // "a&amp;b" and its NUL: 8 bytes
  EXPECT_STREQ(buf, "a&amp;b");
  EXPECT_EQ(MCGI_HTMLEscape("a&bc", buf, 8, 0), -1);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(MCGI_HTMLEscape("", buf, 0, 0), -1);
}

TEST(Escape, Uri) {
  for (const Row& r : std::vector<Row>{
           {"AZaz09-_.~", "AZaz09-_.~"},
           {"a b+c/d?e=f&g", "a%20b%2Bc%2Fd%3Fe%3Df%26g"},
           {"\xE2\x82\xAC\n%", "%E2%82%AC%0A%25"},
       }) {
    EXPECT_EQ(MCGI_URIEscapeStr(r.in), r.want) << r.in;
    char buf[64];
    EXPECT_EQ(MCGI_URIEscape(r.in, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, r.want.c_str());
  }
  char small[4];
  EXPECT_EQ(MCGI_URIEscape("a b", small, sizeof small), -1);  // "a%20b" does not fit
  EXPECT_STREQ(small, "");
  EXPECT_EQ(MCGI_Escape("a b+c"), "a+b%2Bc");
}

TEST(Escape, UnescapeUndoesEscapeAndKeepsMalformed) {
  for (const Row& r : std::vector<Row>{
           {"a+b%2Bc", "a b+c"},
           {"%e2%82%AC", "\xE2\x82\xAC"},
           {"%zz%4%", "%zz%4%"},
           {"100%", "100%"},
           {"%%41", "%A"},
       }) {
    std::string text = r.in;
    EXPECT_EQ(MCGI_URIUnescape(text), r.want.size()) << r.in;
    EXPECT_EQ(text, r.want) << r.in;
  }
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  std::string round = MCGI_Escape(all);
  MCGI_URIUnescape(round);
  EXPECT_EQ(round, all);
}

TEST(Escape, JavaScript) {
  for (const Row& r : std::vector<Row>{
           {"it's \"x\" \\ y", "it\\'s \\\"x\\\" \\\\ y"},
           {"a\nb\r\tc\x01\x7f", "a\\nb\\r\\tc\\x01\\x7F"},
           {"</script><!--&amp;", "\\x3C/script\\x3E\\x3C!--\\x26amp;"},
           {"\xE2\x80\xA8|\xE2\x80\xA9|\xE2\x82\xAC", "\\u2028|\\u2029|\xE2\x82\xAC"},
           {"\xE2\x80", "\xE2\x80"},
       }) {
    EXPECT_EQ(MCGI_JSEscape(r.in), r.want) << r.in;
  }
}

}  // namespace
