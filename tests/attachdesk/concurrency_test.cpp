// Many requests of one compose window at once: 50 add a file and 50 remove
// the first entry, while a reader watches the list file.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/cgi_run.h"
#include "support/test_root.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr int kInitial = 60;
constexpr int kAdders = 50;
constexpr int kRemovers = 50;

// What is wrong with a list text ("" when nothing): every line must be one
// whole entry that a request wrote, and the text must end with its line end.
std::string Fault(const std::string& text, const std::regex& line,
                  std::vector<std::string>* paths) {
  if (!text.empty() && text.back() != '\n') return "no line end at the end";
  std::set<std::string> seen;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    std::string l = text.substr(at, nl - at);
    at = nl + 1;
    std::smatch m;
    if (!std::regex_match(l, m, line)) return "malformed line: " + Visible(l);
    // An initial entry i has size 1000 + i; an added file k has k + 1 bytes.
    int size = std::stoi(m[5]);
    int expected = m[1].matched ? 1000 + std::stoi(m[1]) : std::stoi(m[2]) + 1;
    if (size != expected) return "size does not match its name: " + l;
    if (m[1].matched && m[4] != "1_" + std::string(m[1])) return "path of another entry: " + l;
    if (m[2].matched && !std::string(m[4]).ends_with("_0")) return "path of another field: " + l;
    if (!seen.insert(m[3]).second) return "entry listed twice: " + l;
    if (paths) paths->push_back(m[3]);
  }
  return "";
}

TEST(Concurrency, OneWindowManyRequests) {
  TestRoot root;
  root.AddUser("alice");
  root.Site("AttachCountLimit = 200");
  root.Write("httpd/template/en/attach.dat", "E=$ERRORMSG|N=$count\n");
  const std::string tmp = root.Path("tmp");
  const std::string list = tmp + "/alice_7_Attach.dat";
  std::string text;
  for (int i = 0; i < kInitial; ++i) {
    std::string stored = tmp + "/alice_7_A_1_" + std::to_string(i);
    root.Write("tmp/alice_7_A_1_" + std::to_string(i), "x");
    text +=
        "0;;;init" + std::to_string(i) + ".txt;" + stored + ";" + std::to_string(1000 + i) + "\n";
  }
  root.Write("tmp/alice_7_Attach.dat", text);
  const std::regex line("0;;;(?:init([0-9]+)|f([0-9]+))\\.txt;(" + tmp +
                        "/alice_7_A_([0-9]+_[0-9]+));([0-9]+)");

  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::string reader_fault;
  std::thread reader([&] {
    while (!done) {
      std::string fault = Fault(root.Read("tmp/alice_7_Attach.dat"), line, nullptr);
      if (!fault.empty() && reader_fault.empty()) reader_fault = fault;
      ++reads;
    }
  });

  std::vector<CgiResult> results(kAdders + kRemovers);
  std::vector<std::thread> requests;
  for (int k = 0; k < kAdders + kRemovers; ++k) {
    requests.emplace_back([&, k] {
      CgiRequest req;
      if (k < kAdders) {
        Multipart form;
        form.Field("atid", "7")
            .File("newfile", "f" + std::to_string(k) + ".txt",
                  std::string(static_cast<size_t>(k) + 1, 'a'));
        req.method = "POST";
        req.content_type = form.ContentType();
        req.body = form.Body();
      } else {
        req.query = "atid=7&choice=0";
      }
      results[static_cast<size_t>(k)] = RunCgi("attachdesk", root.path(), req);
    });
  }
  for (auto& t : requests) t.join();
  done = true;
  reader.join();

  for (size_t k = 0; k < results.size(); ++k) {
    EXPECT_EQ(results[k].status, 0) << k << results[k].error;
    EXPECT_THAT(results[k].page, testing::StartsWith("E=0|")) << k;
  }
  EXPECT_EQ(reader_fault, "");
  EXPECT_GT(reads.load(), 0);

  std::vector<std::string> paths;
  std::string final_list = root.Read("tmp/alice_7_Attach.dat");
  EXPECT_EQ(Fault(final_list, line, &paths), "");
  for (const std::string& p : paths) EXPECT_TRUE(fs::exists(p)) << p;
  // The requests take turns, so no update is lost: the removals took the
  // first 50 initial entries, and every added file is listed.
  EXPECT_EQ(paths.size(), static_cast<size_t>(kInitial + kAdders - kRemovers));
  for (int k = 0; k < kAdders; ++k) {
    EXPECT_THAT(final_list, testing::HasSubstr(";f" + std::to_string(k) + ".txt;")) << k;
  }
  for (int i = 0; i < kRemovers; ++i) {
    EXPECT_FALSE(fs::exists(tmp + "/alice_7_A_1_" + std::to_string(i))) << i;
  }
  // Nothing else is left in the folder: no lock, no temporary list.
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(tmp)) {
    std::string name = e.path().filename().string();
    EXPECT_THAT(name, testing::Not(testing::HasSubstr(".lock")));
    EXPECT_THAT(name, testing::Not(testing::HasSubstr(".tmp.")));
    ++files;
  }
  EXPECT_EQ(files, paths.size() + 1);
}

}  // namespace
