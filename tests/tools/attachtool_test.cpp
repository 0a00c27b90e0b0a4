// build/bin/attachtool as operators run it: arguments, output, exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_root.h"

using testing_support::TestRoot;

namespace {

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs attachtool with `args` in the root; WEBMAIL_ROOT is already set.
ToolRun Attachtool(const TestRoot& root, const std::vector<std::string>& args) {
  std::string program = std::string(AD_BIN_DIR) + "/attachtool";
  std::string out = root.Path("tmp/attachtool.out");
  std::string err = root.Path("tmp/attachtool.err");
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv{program.data()};
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  ToolRun run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = root.Read("tmp/attachtool.out");
  run.err = root.Read("tmp/attachtool.err");
  return run;
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
