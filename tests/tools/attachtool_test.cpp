// build/bin/attachtool as operators run it: arguments, output, exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_root.h"
#include "support/tool_run.h"

using testing_support::TestRoot;
using testing_support::ToolRun;

namespace {

// Runs attachtool with `args` in the root; WEBMAIL_ROOT is already set.
ToolRun Attachtool(const TestRoot& root, const std::vector<std::string>& args) {
  return testing_support::RunAttachtool(root, args);
}

class AttachtoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root.Write("httpd/conf/mime.types", "image/jpeg jpeg jpg\ntext/plain txt\n");
    root.Write("httpd/conf/magic", "0 string \\x89PNG image/png\n");
    root.Write("files/photo.JPG", "not really a photo");
    root.Write("files/data.xyz", std::string("\x89PNG\r\n\x1a\n\0\0\0\r", 12));
    root.Write("files/notes", "line one\nline two\n");
  }
  std::string File(const char* name) const { return root.Path("files/") + name; }
  TestRoot root;
};

TEST_F(AttachtoolTest, TypesEachFile) {
  ToolRun run = Attachtool(root, {"type", File("photo.JPG"), File("data.xyz"), File("notes")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, File("photo.JPG") + "\timage/jpeg\n" + File("data.xyz") + "\timage/png\n" +
                         File("notes") + "\ttext/plain\n");
  EXPECT_EQ(run.err, "");
}

TEST_F(AttachtoolTest, UnreadableFileIsReportedAndTheRestTyped) {
  ToolRun run = Attachtool(root, {"type", File("missing.bin"), File("notes")});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, File("notes") + "\ttext/plain\n");
  EXPECT_NE(run.err.find(File("missing.bin")), std::string::npos) << run.err;
}

TEST_F(AttachtoolTest, MagicMessagesStayOffStandardOutput) {
  ASSERT_EQ(unlink(root.Path("httpd/conf/magic").c_str()), 0);
  ToolRun run = Attachtool(root, {"type", "--", File("data.xyz")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, File("data.xyz") + "\tapplication/octet-stream\n");
  EXPECT_EQ(run.err, "couldn't find any magic files\n");

  // Rules libmagic rejects, with its warning for the line.
  root.Write("httpd/conf/magic", "0 string \\x89PNG image/png\n!:mime a/b\n!:mime c/d\n");
  run = Attachtool(root, {"type", File("data.xyz")});
  EXPECT_EQ(run.out, File("data.xyz") + "\tapplication/octet-stream\n");
  EXPECT_NE(run.err.find("Warning"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("not loaded"), std::string::npos) << run.err;
}

TEST_F(AttachtoolTest, CompileMagicWritesTheCompiledRules) {
  ToolRun run = Attachtool(root, {"compile-magic"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(root.Exists("httpd/conf/magic.mgc"));
  run = Attachtool(root, {"type", File("data.xyz")});
  EXPECT_EQ(run.out, File("data.xyz") + "\timage/png\n");
  EXPECT_EQ(run.err, "");
}

TEST_F(AttachtoolTest, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"type"}, {"type", "-x", "file"}, {"nonsense"}, {"compile-magic", "extra"}};
  for (const auto& args : cases) {
    ToolRun run = Attachtool(root, args);
    std::string shown = args.empty() ? "(none)" : args[0];
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_EQ(run.out, "") << shown;
    EXPECT_NE(run.err.find("usage: attachtool"), std::string::npos) << shown << ": " << run.err;
  }
  ToolRun help = Attachtool(root, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("attachtool type"), std::string::npos) << help.out;
}

}  // namespace
