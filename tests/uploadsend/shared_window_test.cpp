// attachdesk and uploadsend at once on one compose window: 50 attachdesk
// requests add a file; of 50 uploadsend requests 20 add a file, 25 remove the
// first entry and 5 import one upload list; a reader watches the list file.
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
constexpr int kDeskAdders = 50;
constexpr int kSendAdders = 20;
constexpr int kRemovers = 25;
constexpr int kImporters = 5;
constexpr int kUploads = 5;

// What is wrong with a list text ("" when nothing): every line is one whole
// entry that some request wrote, with the size its name says, listed once.
std::string Fault(const std::string& text, const std::regex& line, std::set<std::string>* names) {
  if (!text.empty() && text.back() != '\n') return "no line end at the end";
  std::set<std::string> seen;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    std::string l = text.substr(at, nl - at);
    at = nl + 1;
    std::smatch m;
    if (!std::regex_match(l, m, line)) return "malformed line: " + Visible(l);
    int number = std::stoi(m[2]);
    int size = std::stoi(m[4]);
    int expected = m[1] == "init" ? 1000 + number : number + 1;
    if (size != expected) return "size does not match its name: " + l;
    if (!seen.insert(m[1].str() + m[2].str()).second) return "entry listed twice: " + l;
    if (names) names->insert(m[1].str() + m[2].str());
  }
  return "";
}

TEST(MixedConcurrency, AttachdeskAndUploadsendShareOneWindow) {
  TestRoot root;
  root.AddUser("alice");
  root.Site("AttachCountLimit = 200");
  root.Write("httpd/template/en/attach.dat", "E=$ERRORMSG|N=$count\n");
  root.Write("httpd/template/en/uploadsend.dat", "E=$ERRORMSG|N=$count\n");
  const std::string tmp = root.Path("tmp");
  const std::string list = tmp + "/alice_7_Attach.dat";
  std::string text;
  for (int i = 0; i < kInitial; ++i) {
    std::string stored = "tmp/alice_7_A_1_" + std::to_string(i);
    root.Write(stored, "x");
    text += "0;;;init" + std::to_string(i) + ".txt;" + root.Path(stored) + ";" +
            std::to_string(1000 + i) + "\n";
  }
  root.Write("tmp/alice_7_Attach.dat", text);
  std::string uploads;
  for (int j = 0; j < kUploads; ++j) {
    std::string stored = "tmp/up" + std::to_string(j);
    root.Write(stored, std::string(static_cast<size_t>(j) + 1, 'u'));
    uploads +=
        "u" + std::to_string(j) + ".txt;" + root.Path(stored) + ";" + std::to_string(j + 1) + "\n";
  }
  root.Write("tmp/alice_7_Upload.dat", uploads);
  const std::regex line("0;;;(init|f|g|u)([0-9]+)\\.txt;" + tmp +
                        "/(alice_7_A_[0-9]+_[0-9]+|up[0-9]+);([0-9]+)");

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

  const int total = kDeskAdders + kSendAdders + kRemovers + kImporters;
  std::vector<CgiResult> results(total);
  std::vector<std::thread> requests;
  for (int k = 0; k < total; ++k) {
    requests.emplace_back([&, k] {
      CgiRequest req;
      std::string program = "uploadsend";
      if (k < kDeskAdders + kSendAdders) {
        bool desk = k < kDeskAdders;
        int n = desk ? k : k - kDeskAdders;
        program = desk ? "attachdesk" : "uploadsend";
        Multipart form;
        form.Field("atid", desk ? "7" : "compose7")
            .File("newfile", (desk ? "f" : "g") + std::to_string(n) + ".txt",
                  std::string(static_cast<size_t>(n) + 1, 'a'));
        req.method = "POST";
        req.content_type = form.ContentType();
        req.body = form.Body();
      } else if (k < kDeskAdders + kSendAdders + kRemovers) {
        req.query = "atid=compose7&choice=0";
      } else {
        req.query = "atid=axcompose7";
      }
      results[static_cast<size_t>(k)] = RunCgi(program, root.path(), req);
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

  std::set<std::string> names;
  EXPECT_EQ(Fault(root.Read("tmp/alice_7_Attach.dat"), line, &names), "");
  // No update is lost: the removals took the first initial entries, and every
  // added and imported file is listed, each once.
  std::set<std::string> expected;
  for (int i = kRemovers; i < kInitial; ++i) expected.insert("init" + std::to_string(i));
  for (int k = 0; k < kDeskAdders; ++k) expected.insert("f" + std::to_string(k));
  for (int k = 0; k < kSendAdders; ++k) expected.insert("g" + std::to_string(k));
  for (int j = 0; j < kUploads; ++j) expected.insert("u" + std::to_string(j));
  EXPECT_EQ(names, expected);
  for (int i = 0; i < kRemovers; ++i) {
    EXPECT_FALSE(fs::exists(tmp + "/alice_7_A_1_" + std::to_string(i))) << i;
  }
  EXPECT_FALSE(fs::exists(tmp + "/alice_7_Upload.dat"));
  for (const auto& e : fs::directory_iterator(tmp)) {
    std::string name = e.path().filename().string();
    EXPECT_THAT(name, testing::Not(testing::HasSubstr(".lock")));
    EXPECT_THAT(name, testing::Not(testing::HasSubstr(".tmp.")));
    EXPECT_THAT(name, testing::Not(testing::HasSubstr(".import.")));
  }
}

}  // namespace
