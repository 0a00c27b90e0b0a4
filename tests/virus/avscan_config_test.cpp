// Scan configuration and engine loading, with the test engines of
// tests/engines (each records its calls into AD_ENGINE_LOG).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/virus/avscan.h"
#include "common/virus/virus_scan.h"
#include "support/test_root.h"

using testing_support::TestRoot;
using testing_support::Visible;

namespace {

std::string Lib(const char* name) {
  return std::string(AD_LIB_DIR) + "/lib" + name + ".so";
}

AVS_Context Parsed(const std::string& text) {
  AVS_Context ctx;
  AVS_ConfigParse(ctx, text.c_str());
  return ctx;
}

TEST(AvsConfigParse, KeysValuesAndDefaults) {
  AVS_Context none = Parsed("# nothing\n");
  EXPECT_EQ(none.ScanMode, AVS_SCAN_ENTIRE);
  EXPECT_EQ(none.SecondaryScan, 1);
  EXPECT_STREQ(none.ReplaceMsg, kAvsDefaultReplaceMsg);

  struct Case {
    const char* text;
    int scan_mode, secondary, action, delete_header;
  } cases[] = {
      {"ScanMode = mime\n", AVS_SCAN_MIME, 1, 0, 0},
      {"ScanMode = MIME\nScanMode = bogus\n", AVS_SCAN_MIME, 1, 0, 0},
      {"ScanMode = MIME\r\nScanMode=Entire\n", AVS_SCAN_ENTIRE, 1, 0, 0},
      {"SecondaryScan = OFF\n", 1, 0, 0, 0},
      {"SecondaryScan = 0\n", 1, 0, 0, 0},
      {"SecondaryScan = no\n", 1, 1, 0, 0},
      {"ActionMode = delete\nActionMode = junk\n", 1, 1, 2, 0},
      {"ActionMode=Repair\nDeleteHeader = 3\n", 1, 1, 1, 3},
      {"DeleteHeader = yes\n", 1, 1, 0, 0},
      {"scanmode = MIME\n ScanMode = MIME\nScanMode\n", 1, 1, 0, 0},  // case, leading space
  };
  for (const Case& c : cases) {
    AVS_Context ctx = Parsed(c.text);
    SCOPED_TRACE(Visible(c.text));
    EXPECT_EQ(ctx.ScanMode, c.scan_mode);
    EXPECT_EQ(ctx.SecondaryScan, c.secondary);
    EXPECT_EQ(ctx.ActionMode, c.action);
    EXPECT_EQ(ctx.DeleteHeader, c.delete_header);
  }

  AVS_Context ctx =
      Parsed(" Vendor = ostrel\nEngine = /a.so\nPattern=/p  \nServer = host:1  \nEngineConfig = x");
  EXPECT_STREQ(ctx.Vendor, "");
  EXPECT_STREQ(ctx.EngineLib, "/a.so");
  EXPECT_STREQ(ctx.PatternFile, "/p");
  EXPECT_STREQ(ctx.Server, "host:1");
  ctx = Parsed("Server = host  ");  // the last line, without a newline, keeps its spaces
  EXPECT_STREQ(ctx.Server, "host  ");

  // Text fields not named keep what they held; too long values are cut.
  ctx = AVS_Context{};
  std::strcpy(ctx.Vendor, "kept");
  AVS_ConfigParse(ctx, ("Server = " + std::string(600, 's') + "\n").c_str());
  EXPECT_STREQ(ctx.Vendor, "kept");
  EXPECT_EQ(std::string(ctx.Server), std::string(255, 's'));
}

TEST(AvsConfigParse, ReplaceMsgContinuation) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"ReplaceMsg = Removed $filename\n\\ (type $ctype)\n", "Removed $filename\n (type $ctype)\n"},
      {"ReplaceMsg = A\n# note\n\\B\n#\n\\C", "A\nB\nC"},
      {"ReplaceMsg = A\nVendor = v\n\\B\n", "A\n"},  // an ordinary line ends it
      {"\\B\nReplaceMsg = A  \n", "A\n"},            // no continuation before it
      {"ReplaceMsg = A\nReplaceMsg = Z\n\\Y\n", "Z\nY\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Visible(Parsed(c.text).ReplaceMsg), Visible(c.message)) << Visible(c.text);
  }

  // Continuations stop at 4095 characters; a line that does not fit is
  // dropped and the next that fits is still taken.
  std::string text = "ReplaceMsg = A\n";
  std::string line = "\\" + std::string(998, 'x') + "\n";  // 999 characters kept each
  for (int i = 0; i < 5; ++i) text += line;
  text += "\\tail\n";
  std::string message = Parsed(text).ReplaceMsg;
  EXPECT_EQ(message.size(), 2 + 4 * 999 + 5u);
  EXPECT_TRUE(message.ends_with("x\ntail\n"));
}

class AvsLoad : public testing::Test {
 protected:
  void SetUp() override { setenv("AD_ENGINE_LOG", root.Path("engine.log").c_str(), 1); }
  void TearDown() override { unsetenv("AD_ENGINE_LOG"); }
  std::string Log() const { return root.Read("engine.log"); }
  TestRoot root;
};

TEST_F(AvsLoad, InitTextOfBothFamilies) {
  struct Case {
    std::string conf;
    std::string init;
    int report_size;
  } cases[] = {
      {"EngineConfig = A\nServer = B\n", "init\tA\tB\n", 512},
      {"Server = B\n", "init\tB\n", 512},
      {"EngineConfig = " + std::string(250, 'e') + "\nServer = " + std::string(20, 's') + "\n",
       "init\t" + std::string(250, 'e') + "\t" + std::string(4, 's') + "\n", 512},
      {"Vendor = OSTREL\n", "init\t" + root.Path("ostrelscan/ostrel.conf") + "\n", 0},
      {"Vendor = ostrel\nEngineConfig = /o.conf\nServer = B\n", "init\t/o.conf\n", 0},
  };
  for (const Case& c : cases) {
    bool ostrel = c.report_size == 0;
    root.Write("engine.log", "");
    root.Write("etc/avscan.conf",
               c.conf + "EngineLib = " + Lib(ostrel ? "ostrel_test" : "tav_marker") + "\n");
    AVS_Context ctx;
    ASSERT_EQ(AVS_Open(ctx, nullptr), 1) << c.conf;
    EXPECT_EQ(ctx.report_size, c.report_size);
    EXPECT_EQ(ctx.close != nullptr, !ostrel);
    EXPECT_EQ(Log(), c.init);
    EXPECT_EQ(AVS_Close(&ctx), 1);
  }
}

TEST_F(AvsLoad, LifecycleAndPatternFile) {
  const std::string lib = Lib("tav_marker");
  EXPECT_EQ(dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);  // only opening loads it
  root.Write("etc/pattern.dat", "12345");
  std::string conf = "EngineLib = " + lib + "\nPatternFile = " + root.Path("etc/pattern.dat") +
                     "\nEngineConfig = A\nServer = B\n";
  AVS_Context ctx;
  ASSERT_EQ(AVS_Open(ctx, conf.c_str()), 1);
  EXPECT_EQ(ctx.loaded, 1);
  EXPECT_EQ(ctx.pattern_length, 5);
  void* probe = dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(probe, nullptr);
  if (probe) dlclose(probe);

  // A reload reads the configuration afresh: the engine gets "A TAB B" again.
  ASSERT_EQ(AVS_Reload(ctx, conf.c_str()), 1);
  EXPECT_EQ(AVS_Close(&ctx), 1);
  EXPECT_EQ(AVS_Close(&ctx), 0);
  EXPECT_EQ(AVS_Close(nullptr), 0);
  EXPECT_EQ(Log(), "init\tA\tB\ninit\tA\tB\nclose\n");
  EXPECT_EQ(dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);

  // A missing pattern file fails the open and closes the initialised engine.
  root.Write("engine.log", "");
  std::string missing = "EngineLib = " + lib + "\nPattern = " + root.Path("etc/none") + "\n";
  EXPECT_EQ(AVS_Open(ctx, missing.c_str()), 0);
  EXPECT_EQ(ctx.loaded, 0);
  EXPECT_EQ(Log(), "init\t\nclose\n");

  // Without TAV_Close the engine opens and closes all the same.
  root.Write("engine.log", "");
  ASSERT_EQ(AVS_Open(ctx, ("Engine = " + Lib("tav_noclose")).c_str()), 1);
  EXPECT_EQ(AVS_Close(&ctx), 1);
  EXPECT_EQ(Log(), "init\t\n");
}

// Two engines open side by side, both exporting a function of the same
// name: each calls its own.
TEST_F(AvsLoad, EnginesOpenTogetherKeepTheirOwnSymbols) {
  AVS_Context first, second;
  ASSERT_EQ(AVS_Open(first, ("EngineLib = " + Lib("tav_marker")).c_str()), 1);
  ASSERT_EQ(AVS_Open(second, ("EngineLib = " + Lib("tav_noclose")).c_str()), 1);
  const std::string data = "WHO-AM-I";
  for (AVS_Context* ctx : {&second, &first}) {
    EXPECT_EQ(VIR_Scan(*ctx, AVS_ACTION_NONE, data.data(), static_cast<int>(data.size()), nullptr,
                       nullptr, nullptr),
              1);
  }
  EXPECT_EQ(Visible(first.report), Visible("0.eml\ttav_marker\t1\n"));
  EXPECT_EQ(Visible(second.report), Visible("0.eml\ttav_noclose\t1\n"));
  AVS_Close(&second);
  AVS_Close(&first);
}

TEST_F(AvsLoad, FailuresAndTheirMessages) {
  struct Case {
    std::string conf;  // "-": no avscan.conf
    std::string message;
  } cases[] = {
      {"-", ""},
      {"", ""},
      {"EngineLib = " + Lib("tav_initfail") + "\n", ""},
      {"Vendor = ostrel\nEngineConfig = /refuse\nEngineLib = " + Lib("ostrel_test") + "\n", ""},
      {"EngineLib = " + Lib("no_such_engine") + "\n", "dlopen " + Lib("no_such_engine") + ": "},
      {"EngineLib = " + Lib("tav_noscan") + "\n", "dlsym(TAV_Scan): "},
      {"Vendor = ostrel\nEngineLib = " + Lib("tav_marker") + "\n", "dlsym(TAV_Init): "},
      {"ScanMode = MIME\n", "dlopen : "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.conf);
    if (c.conf == "-") {
      std::remove(root.Path("etc/avscan.conf").c_str());
    } else {
      root.Write("etc/avscan.conf", c.conf);
    }
    AVS_Context ctx;
    testing::internal::CaptureStderr();
    EXPECT_EQ(AVS_Open(ctx, nullptr), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ctx.loaded, 0);
    EXPECT_FALSE(ctx.library);
    EXPECT_EQ(AVS_Close(&ctx), 0);
    if (c.message.empty()) {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_TRUE(err.starts_with(c.message) && err.ends_with("\n")) << err;
    }
  }
}

}  // namespace
