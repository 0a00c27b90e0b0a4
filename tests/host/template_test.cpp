#include "host/template/template.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/account/session.h"
#include "support/test_root.h"

namespace {

using namespace std::string_literals;
using Setup = std::function<void(OML_Handle&)>;

// Runs the template to its end, closing every loop at once; the page without
// the header.
std::string Render(const std::string& text, const Setup& setup = {},
                   std::vector<OML_Decl> decls = {}) {
  OML_Handle h;
  if (OML_InitText(text, h, decls) != 0) return "LOAD FAILED: " + OML_LoadError();
  if (setup) setup(h);
  testing::internal::CaptureStdout();
  OML_HeaderPrint(0);  // printed once per process: keep it out of the page
  std::string page = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  for (int i = 0; i < 100 && OML_Execute(h) != 0; ++i) OML_ExitLoop(h);
  return testing::internal::GetCapturedStdout();
}

struct Case {
  const char* name;
  std::string text;
  Setup setup;
  std::string want;
  std::vector<OML_Decl> decls = {};
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(Render(c.text, c.setup, c.decls), c.want) << c.name << ": " << c.text;
  }
}

TEST(Template, Variables) {
  RunCases({
      {"longest name wins", "[$size][$sizek]",
       [](OML_Handle& h) {
         OML_StrSet(h, "$size", "S");
         OML_IntSet(h, "$sizek", 7);
       },
       "[S][7]"},
      {"name followed by text", "$countx", [](OML_Handle& h) { OML_IntSet(h, "$count", 5); }, "5x"},
      {"unknown names stay", "$nope $ $$count$", [](OML_Handle& h) { OML_IntSet(h, "$count", -3); },
       "$nope $ $-3$"},
      {"declared names take part",
       "$abc|$a|$t|$n|$b",
       [](OML_Handle& h) { OML_StrSet(h, "$a", "A"); },
       "c|A|dflt|0|2",
       {{"$ab", OML_TEXT, nullptr},
        {"$t", OML_TEXT, "dflt"},
        {"$n", OML_INT, nullptr},
        {"$b", OML_BLOCK, "2"}}},
      {"values are not rescanned", "$x",
       [](OML_Handle& h) {
         OML_StrDup(h, "$x", "$y");
         OML_StrDup(h, "$y", "Y");
       },
       "$y"},
      {"last binding holds, copied", "$x",
       [](OML_Handle& h) {
         std::string v = "one";
         OML_StrSet(h, "$x", v.c_str());
         v = "two";
         OML_StrSet(h, "$x", nullptr);
         OML_StrDup(h, "$x", v);
         v = "gone";
       },
       "two"},
      {"plain comments are text", "<!-- $x --><!--$x --><!--loop$x--><!--$x=-->",
       [](OML_Handle& h) { OML_StrSet(h, "$x", "X"); }, "<!-- X --><!--X --><!--loopX--><!--X=-->"},
  });
}

TEST(Template, BadNamesAreRefused) {
  OML_Handle h;
  EXPECT_EQ(OML_StrSet(h, "$a", "x"), -1);  // no template
  ASSERT_EQ(OML_InitText("", h, {}), 0);
  EXPECT_EQ(OML_StrSet(h, "a", "x"), -1);
  EXPECT_EQ(OML_IntSet(h, "$", 1), -1);
  OML_Decl bad[] = {{nullptr, OML_TEXT, nullptr}};
  EXPECT_NE(OML_InitText("", h, bad), 0);
}

TEST(Template, Blocks) {
  auto set = [](int a, int b) {
    return [a, b](OML_Handle& h) {
      if (a) OML_IntSet(h, "$a", a);
      if (b) OML_IntSet(h, "$b", b);
    };
  };
  const std::string nested = "1<!--$a-->2<!--$b-->3<!--/$b-->4<!--/$a-->5";
  const std::string same = "<!--$a-->x<!--$a-->y<!--/$a-->z<!--/$a-->.";
  RunCases({
      {"never set shows", nested, {}, "12345"},
      {"1 shows", nested, set(1, 1), "12345"},
      {"inner hidden", nested, set(1, 2), "1245"},
      {"outer hides inner", nested, set(2, 1), "15"},
      {"other values show", nested, set(3, 0), "12345"},
      {"same name nests", same, set(1, 0), "xyz."},
      {"same name hidden", same, set(2, 0), "."},
      {"declared default hides", "<!--$d-->x<!--/$d-->", {}, "", {{"$d", OML_BLOCK, "2"}}},
      {"text switch", "<!--$d-->x<!--/$d-->", [](OML_Handle& h) { OML_StrSet(h, "$d", "2"); }, ""},
  });
}

TEST(Template, MessageSelector) {
  std::string text = "[";
  for (int n = 0; n <= 5; ++n) {
    text += "<!--$msg=" + std::to_string(n) + "-->m" + std::to_string(n) + "<!--/$msg-->";
  }
  text += "]";
  for (int v = 0; v <= 6; ++v) {
    std::string want = v <= 5 ? "[m" + std::to_string(v) + "]" : "[]";
    EXPECT_EQ(
        Render(text, [v](OML_Handle& h) { OML_IntSet(h, "$msg", v); }, {{"$msg", OML_SELECT, "4"}}),
        want);
  }
  EXPECT_EQ(Render(text, {}, {{"$msg", OML_SELECT, "4"}}), "[m4]");
  EXPECT_EQ(Render(text), "[m0]");  // never declared nor set: 0
  EXPECT_EQ(Render("<!--$s=-7-->neg<!--/$s-->", [](OML_Handle& h) { OML_IntSet(h, "$s", -7); }),
            "neg");
}

TEST(Template, CallbacksPrintInPlace) {
  int a = 1, b = 2;
  auto print = [](void* arg) { std::printf("<%d>", *static_cast<int*>(arg)); };
  EXPECT_EQ(Render("x$cb1y$cb2z$cb3",
                   [&](OML_Handle& h) {
                     OML_FPSet(h, "$cb1", print, &a);
                     OML_FPSet(h, "$cb2", print, &b);
                   },
                   {{"$cb3", OML_CALLBACK, nullptr}}),
            "x<1>y<2>z");
}

TEST(Template, Loops) {
  OML_Handle h;
  ASSERT_EQ(OML_InitText("a<!--loop $floop-->[$i$x]<!--/loop $floop-->b"
                         "<!--$hide--><!--loop $never-->n<!--/loop $never--><!--/$hide-->"
                         "<!--loop $skip-->s<!--/loop $skip-->c",
                         h, {}),
            0);
  OML_IntSet(h, "$hide", 2);
  OML_StrSet(h, "$x", "!");
  std::string loop;
  testing::internal::CaptureStdout();
  OML_HeaderPrint(0);
  std::string page = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  EXPECT_EQ(OML_ExitLoop(h), -1);  // none open yet
  EXPECT_EQ(OML_Execute(h, &loop), 1);
  EXPECT_EQ(loop, "$floop");
  for (int i = 1; i <= 3; ++i) {
    OML_IntSet(h, "$i", i);
    if (i == 3) OML_StrSet(h, "$x", "?");
    EXPECT_EQ(OML_Execute(h, &loop), 1);
    EXPECT_EQ(loop, "$floop");
  }
  EXPECT_EQ(OML_ExitLoop(h), 0);
  EXPECT_EQ(OML_Execute(h, &loop), 1);
  EXPECT_EQ(loop, "$skip");
  EXPECT_EQ(OML_ExitLoop(h), 0);
  EXPECT_EQ(OML_Execute(h, &loop), 0);
  EXPECT_EQ(OML_Execute(h, &loop), 0);  // finished: nothing more
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "a[1!][2!][3?]bc");
}

TEST(Template, NestedLoops) {
  OML_Handle h;
  ASSERT_EQ(
      OML_InitText("<!--loop $o-->($o:<!--loop $i-->$i<!--/loop $i-->)<!--/loop $o-->.", h, {}), 0);
  std::string trace, loop;
  testing::internal::CaptureStdout();
  OML_HeaderPrint(0);
  testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  ASSERT_EQ(OML_Execute(h, &loop), 1);
  for (int o = 1; o <= 2; ++o) {
    OML_IntSet(h, "$o", o);
    ASSERT_EQ(OML_Execute(h, &loop), 1);
    ASSERT_EQ(loop, "$i");
    for (int i = 0; i < o; ++i) {
      OML_IntSet(h, "$i", 10 * o + i);
      ASSERT_EQ(OML_Execute(h, &loop), 1);
    }
    OML_ExitLoop(h);
    ASSERT_EQ(OML_Execute(h, &loop), 1);  // the outer iteration ends
    ASSERT_EQ(loop, "$o");
  }
  OML_ExitLoop(h);
  EXPECT_EQ(OML_Execute(h, &loop), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "(1:10)(2:2021).");
}

TEST(Template, HeaderOncePerProcess) {
  SetSessionForTest(Session{}, Preference{.charset = "iso-8859-1"});
  OML_HeaderResetForTest();
  OML_Handle a, b;
  ASSERT_EQ(OML_InitText("A", a, {}), 0);
  ASSERT_EQ(OML_InitText("B", b, {}), 0);
  testing::internal::CaptureStdout();
  std::printf("Cache-Control: no-cache\n");
  EXPECT_FALSE(OML_HeaderPrinted());
  OML_Execute(a);
  EXPECT_TRUE(OML_HeaderPrinted());
  OML_HeaderPrint(kOmlHeaderHtml);
  OML_Execute(b);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Cache-Control: no-cache\nContent-Type: text/html; charset=iso-8859-1\n\nAB");
  SetSessionForTest(Session{}, Preference{});
}

TEST(Template, SuiteDefaults) {
  Session s;
  s.user_id = "a<b>&\"'@x";
  s.server_name = "mail.example";
  s.scheme = "https";
  s.m = 3;
  s.logged_in = true;
  SetSessionForTest(s, Preference{.charset = "utf-8", .language = "fr"});
  EXPECT_EQ(Render("$cgibin|$userid|$charset|$language|$m|$server|$scheme",
                   [](OML_Handle& h) { form_setdefault(h); }),
            "/cgi-bin|a&lt;b&gt;&amp;&quot;&#39;@x|utf-8|fr|3|mail.example|https");
  SetSessionForTest(Session{}, Preference{});
}

TEST(Template, MalformedTemplates) {
  struct Bad {
    std::string text;
    bool loads;
  };
  std::string deep_ok, deep_bad, deeper;
  for (int i = 0; i < OML_MAX_DEPTH; ++i) deep_ok = "<!--$d-->" + deep_ok + "<!--/$d-->";
  deep_bad = "<!--$d-->" + deep_ok + "<!--/$d-->";
  for (int i = 0; i < 100000; ++i) deeper += "<!--loop $l-->";
  const std::vector<Bad> cases = {
      {"<!--$a-->open", false},
      {"<!--loop $a-->open", false},
      {"<!--$a=1-->open", false},
      {"stray<!--/$a-->", false},
      {"stray<!--/loop $a-->", false},
      {"<!--$a--><!--$b--><!--/$a--><!--/$b-->", false},
      {"<!--loop $a-->x<!--/$a-->", false},
      {"<!--$a-->x<!--/loop $a-->", false},
      {deep_bad, false},
      {deeper, false},
      {deep_ok, true},
      {"<!--<!--$-->$<!--", true},
      {"<!--$a=99999999999-->x-->", true},
      {"nul\0$a\0<!--$a-->\0<!--/$a-->"s, true},
  };
  for (const Bad& c : cases) {
    OML_Handle h;
    int rc = OML_InitText(c.text, h, {});
    EXPECT_EQ(rc == 0, c.loads) << c.text.substr(0, 60) << " " << OML_LoadError();
    if (rc != 0) {
      EXPECT_FALSE(h);
      EXPECT_NE(OML_LoadError(), "");
    }
  }
  EXPECT_EQ(Render(deep_ok, [](OML_Handle& h) { OML_IntSet(h, "$d", 1); }), "");
  EXPECT_EQ(Render("<!--/$x-->"), "LOAD FAILED: line 1: end marker without its begin marker");
}

TEST(Template, LoadsFiles) {
  testing_support::TestRoot root;
  root.Write("t/page.dat", "<p>$v</p>\n");
  OML_Handle h;
  ASSERT_EQ(OML_Open(root.Path("t/page.dat"), 1, h), 0);
  EXPECT_NE(OML_Init(root.Path("t/none.dat"), 1, h, {}), 0);
  EXPECT_FALSE(h);
  EXPECT_NE(OML_LoadError().find("none.dat"), std::string::npos);
  EXPECT_NE(OML_Open(root.Path("t"), 1, h), 0);  // a folder
  root.Write("t/bad.dat", "a\nb\n<!--$x-->");
  EXPECT_NE(OML_Open(root.Path("t/bad.dat"), 1, h), 0);
  EXPECT_NE(OML_LoadError().find("line 3"), std::string::npos) << OML_LoadError();
}

}  // namespace
