// Golden files of the part tree: each tests/data/mime/NAME.eml is parsed by
// `attachtool mime` and its listing must equal NAME.expected byte for byte.
// NAME.options (a hexadecimal option word) and NAME.charset, when present,
// become the tool's --options and --charset.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_root.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TestRoot;

const fs::path kDataDir = fs::path(AD_SOURCE_DIR) / "tests/data/mime";
const std::string kTool = AD_BIN_DIR "/attachtool";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The first line of a small option file, without its line end.
std::string FirstLine(const fs::path& path) {
  std::string text = ReadFile(path);
  return text.substr(0, text.find_first_of("\r\n"));
}

struct ToolRun {
  int status = -1;
  std::string out;
};

// Runs the tool with `args`, its standard output captured (standard error is
// left to the test's own).
ToolRun RunTool(const std::vector<std::string>& args) {
  ToolRun run;
  int fds[2];
  if (pipe(fds) != 0) return run;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(kTool.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(kTool.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) run.out.append(buffer, n);
  close(fds[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A line of the listing with its TABs shown as " | ", and bytes outside
// printable ASCII as \xNN, so columns can be told apart in a failure.
std::string Show(const std::string& line) {
  std::string out;
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char c : line) {
    if (c == '\t') {
      out += " | ";
    } else if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A line diff (longest common subsequence): "-" lines are expected only,
// "+" lines printed only.
std::string Diff(const std::string& expected, const std::string& actual) {
  std::vector<std::string> a = Lines(expected), b = Lines(actual);
  std::vector<std::vector<int>> lcs(a.size() + 1, std::vector<int>(b.size() + 1, 0));
  for (size_t i = a.size(); i-- > 0;) {
    for (size_t j = b.size(); j-- > 0;) {
      lcs[i][j] = a[i] == b[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    }
  }
  std::string out;
  size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    if (i < a.size() && j < b.size() && a[i] == b[j]) {
      out += "  " + Show(a[i]) + "\n";
      ++i, ++j;
    } else if (i < a.size() && (j == b.size() || lcs[i + 1][j] >= lcs[i][j + 1])) {
      out += "- " + Show(a[i++]) + "\n";
    } else {
      out += "+ " + Show(b[j++]) + "\n";
    }
  }
  return out;
}

std::vector<std::string> GoldenNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(kDataDir, ec)) {
    if (e.path().extension() == ".eml") names.push_back(e.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A root with the shipped type list and magic rules, which decide generated
// names and the types of uuencoded files.
class MimeGolden : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    for (const char* name : {"mime.types", "magic"}) {
      fs::path from = fs::path(AD_SOURCE_DIR) / "conf" / name;
      if (fs::exists(from)) root_.Write(std::string("httpd/conf/") + name, ReadFile(from));
    }
  }
  TestRoot root_;
};

TEST_P(MimeGolden, ListingMatches) {
  const std::string& name = GetParam();
  fs::path eml = kDataDir / (name + ".eml");
  fs::path expected_file = kDataDir / (name + ".expected");
  ASSERT_TRUE(fs::exists(expected_file)) << expected_file << " is missing";

  std::vector<std::string> args{"mime"};
  if (fs::exists(kDataDir / (name + ".options"))) {
    args.insert(args.end(), {"--options", FirstLine(kDataDir / (name + ".options"))});
  }
  if (fs::exists(kDataDir / (name + ".charset"))) {
    args.insert(args.end(), {"--charset", FirstLine(kDataDir / (name + ".charset"))});
  }
  args.push_back(eml.string());

  ToolRun run = RunTool(args);
  ASSERT_EQ(run.status, 0) << kTool << " failed on " << eml;
  std::string expected = ReadFile(expected_file);
  EXPECT_TRUE(run.out == expected) << name << ": listing differs (- expected, + printed; "
                                   << "columns: depth | number | class | encoding | type | "
                                   << "name | charset | offset | length | body length | hash)\n"
                                   << Diff(expected, run.out);
}

INSTANTIATE_TEST_SUITE_P(Messages, MimeGolden, testing::ValuesIn(GoldenNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string id = info.param;
                           for (char& c : id) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return id;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(MimeGolden);

TEST(MimeGoldenFiles, Present) {
  if (GoldenNames().empty()) GTEST_SKIP() << "no golden messages (*.eml) in " << kDataDir;
  for (const std::string& name : GoldenNames()) {
    EXPECT_TRUE(fs::exists(kDataDir / (name + ".expected"))) << name << ".expected is missing";
  }
}

// Arguments the tool refuses, and files it cannot read: exit status 2 and no
// listing.
TEST(MimeTool, RefusesWhatItCannotRead) {
  TestRoot root;
  root.Write("tmp/a.eml", "Subject: x\n\nbody\n");
  struct Case {
    const char* what;
    std::vector<std::string> args;
  } cases[] = {
      {"missing file", {"mime", root.Path("tmp/none.eml")}},
      {"a folder", {"mime", root.Path("tmp")}},
      {"no file", {"mime"}},
      {"option word not hexadecimal", {"mime", "--options", "0xzz", root.Path("tmp/a.eml")}},
  };
  for (const Case& c : cases) {
    ToolRun run = RunTool(c.args);
    EXPECT_EQ(run.status, 2) << c.what;
    EXPECT_EQ(run.out, "") << c.what;
  }
  // The option word in hex with or without "0x" gives the same listing.
  ToolRun with = RunTool({"mime", "--options", "0x5ef", root.Path("tmp/a.eml")});
  ToolRun without = RunTool({"mime", root.Path("tmp/a.eml")});
  EXPECT_EQ(with.status, 0);
  EXPECT_EQ(with.out, without.out);
  EXPECT_EQ(RunTool({"mime", "--options", "5EF", root.Path("tmp/a.eml")}).out, without.out);
}

}  // namespace
