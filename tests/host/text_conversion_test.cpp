// Text conversions of the host: HTML to text, Japanese widths and copies cut
// at whole characters, client names into Unicode.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/charset/charset.h"
#include "host/charset/japanese_width.h"
#include "host/charset/unicode_text.h"
#include "host/text/html_text.h"
#include "support/test_root.h"

using namespace testing_support;

namespace {

TEST(HtmlTagRemove, KeepsTheText) {
  struct Case {
    std::string html;
    std::string text;
  } cases[] = {
      {"<p>a</p><p>b</p>", "a\nb\n"},
      {"line<br>\nnext<br/>end", "line\nnext\nend"},
      {"<a href=\"x>y\" title='>'>link</a>", "link"},
      {"a < b && c > d", "a < b && c > d"},
      {"<!-- <p>hidden</p> -->shown<!DOCTYPE html><?xml x?>", "shown"},
      {"<SCRIPT type=x>if (a<b) {}</script >after<style>p{}</STYLE>", "after"},
      {"&lt;&gt;&amp;&quot;&apos;&nbsp;&#65;&#x42;", "<>&\"' AB"},
      {"&eacute;&#233;&#0;&;&amp", "&eacute;&#233;&#0;&;&amp"},  // kept as written
      {"text<b", "text"},                                        // an open tag at the end
      {"<script>never closed", ""},
  };
  for (const Case& c : cases) {
    std::vector<char> out(c.html.size() + 1);
    size_t length = c.html.size();
    EXPECT_EQ(MCC_HtmlTagRemove(c.html.data(), c.html.size(), out.data(), &length), c.text.size())
        << c.html;
    EXPECT_EQ(std::string(out.data(), length), c.text) << c.html;
    std::string in_place = c.html;
    in_place.resize(MLG_HtmlTagRemove(in_place.data(), in_place.size()));
    EXPECT_EQ(in_place, c.text) << c.html;
  }
  char small[4];
  size_t room = sizeof small;
  EXPECT_EQ(MCC_HtmlTagRemove("<b>abcdef</b>", 13, small, &room), 4u);
  EXPECT_EQ(std::string(small, room), "abcd");
}

TEST(JapaneseWidth, WidensHalfWidthKatakana) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"\xb1\xb2.txt", "\x83\x41\x83\x43.txt"},                  // ｱｲ: アイ
      {"\xb6\xde\xca\xdf\xb3\xde", "\x83\x4b\x83\x70\x83\x94"},  // ｶﾞﾊﾟｳﾞ: ガパヴ
      {"\xb1\xdf", "\x83\x41\x81\x4b"},                          // ｱﾟ: no combined form
      {"\x83\xb1", "\x83\xb1"},  // a two-byte character whose second byte is 0xB1
      {"\xdf\xa1", "\x81\x4b\x81\x42"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::string(MLG_JPH2F(c.in.data(), c.in.size(), 0)), c.out) << Visible(c.in);
  }
  char buf[6];
  EXPECT_EQ(MLG_Copy(buf, sizeof buf, "ab\x83\x41\x83\x43", kCharsetShiftJis), 4u);
  EXPECT_STREQ(buf, "ab\x83\x41");
  EXPECT_EQ(MLG_Copy(buf, sizeof buf, "abc\xc3\xa9\xc3\xa9", kCharsetUtf8), 5u);
  EXPECT_EQ(MLG_Copy(buf, sizeof buf, "abcd\xc3\xa9", kCharsetUtf8), 4u);
  EXPECT_EQ(MLG_Copy(buf, sizeof buf, "abcdefgh", 0), 5u);
}

TEST(UText2Unicode, ConvertsWhatIsNotUtf8Yet) {
  struct Case {
    std::string name;
    int charset;
    int answer;
    int flag;
    std::string out;
  } cases[] = {
      {"caf\xe9", kCharsetIso8859_1, 1, kUniConverted, "caf\xc3\xa9"},
      {"caf\xc3\xa9", kCharsetIso8859_1, 1, kUniSentAsUtf8, "caf\xc3\xa9"},
      {"\x83\x41.txt", kCharsetShiftJis, 1, kUniConverted, "\xe3\x82\xa2.txt"},
      {"plain.txt", kCharsetShiftJis, 0, 0, ""},
      {"caf\xe9", kCharsetUtf8, 0, 0, ""},
      {"\x83", kCharsetShiftJis, 0, 0, ""},  // does not convert
  };
  for (const Case& c : cases) {
    char out[64] = "";
    int flag = 0;
    EXPECT_EQ(MLC_UText2Unicode(c.name, out, sizeof out, c.charset, &flag), c.answer)
        << Visible(c.name);
    EXPECT_EQ(flag, c.flag) << Visible(c.name);
    EXPECT_EQ(std::string(Uni2Unicode(out, flag)), c.out) << Visible(c.name);
  }
  char tiny[4];
  int flag = 0;
  EXPECT_EQ(MLC_UText2Unicode("caf\xe9", tiny, sizeof tiny, kCharsetIso8859_1, &flag), 0);
}

}  // namespace
