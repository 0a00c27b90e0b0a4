// attachtool reap as operators run it: which windows go, which stay, and
// that nothing else is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "host/files/hashed_store.h"
#include "support/test_root.h"
#include "support/tool_run.h"

using testing_support::TestRoot;
using testing_support::ToolRun;
using testing_support::Visible;

namespace {

namespace fs = std::filesystem;

constexpr int kOld = 30;  // hours: beyond the default period of 24

class ReapTest : public ::testing::Test {
 protected:
  ToolRun Reap(std::vector<std::string> args = {}) const {
    args.insert(args.begin(), "reap");
    return testing_support::RunAttachtool(root, args);
  }

  // Sets the modification time of `sub` (a link itself, not its target) to
  // `hours` ago.
  void Age(const std::string& sub, int hours) const {
    timespec t[2] = {{std::time(nullptr) - hours * 3600L, 0}, {std::time(nullptr) - hours * 3600L, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, root.Path(sub).c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << sub;
  }
  // A file in tmp/ modified `hours` ago.
  void Tmp(const std::string& name, const std::string& content, int hours = kOld) const {
    root.Write("tmp/" + name, content);
    Age("tmp/" + name, hours);
  }
  std::string T(const std::string& name) const { return root.Path("tmp/" + name); }
  static std::string StoreSub(const std::string& name) {
    return "httpd/html/hashed_store/" + HashedStoreSubdir(name) + "/" + name;
  }
  // A background in the hashed store; its path.
  std::string Stored(const std::string& name) const {
    root.Write(StoreSub(name), "image bytes");
    return root.Path(StoreSub(name));
  }
  // The bytes of files below the root, to tell what a reap should count.
  std::size_t Bytes(std::initializer_list<std::string> subs) const {
    std::size_t sum = 0;
    for (const std::string& sub : subs) sum += fs::file_size(root.Path(sub));
    return sum;
  }
  // Every file below tmp/ and the store with its size and time.
  std::string Snapshot() const {
    std::string all;
    for (const char* top : {"tmp", "httpd/html/hashed_store", "log"}) {
      for (const auto& e : fs::recursive_directory_iterator(root.Path(top))) {
        struct stat st {};
        lstat(e.path().c_str(), &st);
        all += e.path().string() + " " + std::to_string(st.st_size) + " " +
               std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "\n";
      }
    }
    return all;
  }

  TestRoot root;
};

TEST_F(ReapTest, OldWindowsGoWholeAndWindowsInUseStayWhole) {
  Tmp("alice_1_Attach.dat", "0;;utf-8;a.txt;" + T("alice_1_A_10_0") + ";5\n");
  Tmp("alice_1_A_10_0", "aaaaa");
  Tmp("alice_1_H_10", "hhh");
  Tmp("alice_1_Attach.dat.tmp.10", "half");
  Tmp("a_b_2_BS.dat", "s.mp3;/nowhere;1;0\n");
  Tmp("a_b_2_Attach.dat.lock", "");  // left by a request that ended
  Tmp("alice_3_Attach.dat", "0;;;b.txt;" + T("alice_3_A_11_0") + ";1\n", 0);
  Tmp("alice_3_A_11_0", "b", 0);
  Tmp("bob_4_Attach.dat", "x");
  Tmp("bob_4_A_12_0", "yy");
  Tmp("bob_4_A_13_0", "zzz", 1);  // one file of the window is fresh
  Tmp("cal_bob_x.ics", "BEGIN:VCALENDAR", 48);
  Tmp("cal_bob_y.ics", "BEGIN:VCALENDAR", 0);
  const std::size_t alice1 = Bytes({"tmp/alice_1_Attach.dat", "tmp/alice_1_A_10_0",
                                    "tmp/alice_1_H_10", "tmp/alice_1_Attach.dat.tmp.10"});
  const std::size_t alice3 = Bytes({"tmp/alice_3_Attach.dat", "tmp/alice_3_A_11_0"});

  ToolRun run = Reap();
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string lines = "reaped a_b 2 2 files 19 bytes\n"
                            "reaped alice 1 4 files " + std::to_string(alice1) + " bytes\n"
                            "reaped bob cal/x 1 files 15 bytes\n"
                            "reaped 3 windows, 7 files, " + std::to_string(alice1 + 34) +
                            " bytes\n";
  EXPECT_EQ(run.out, lines) << Visible(run.out);
  EXPECT_EQ(root.TmpFiles(), (std::vector<std::string>{"alice_3_A_11_0", "alice_3_Attach.dat",
                                                       "bob_4_A_12_0", "bob_4_A_13_0",
                                                       "bob_4_Attach.dat", "cal_bob_y.ics"}));
  // The same lines in the error log.
  const std::string log = root.Read("log/error.log");
  for (std::size_t at = 0, nl; (nl = lines.find('\n', at)) != std::string::npos; at = nl + 1) {
    EXPECT_NE(log.find("] attachtool reap: " + lines.substr(at, nl - at + 1)), std::string::npos)
        << log;
  }

  // A period of 0 hours takes every window nobody holds.
  run = Reap({"--older-than", "0"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("reaped alice 3 2 files " + std::to_string(alice3) + " bytes\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(root.TmpFiles(), std::vector<std::string>{});
}

TEST_F(ReapTest, AWindowWhoseTurnIsHeldStays) {
  Tmp("alice_5_Attach.dat", "0;;;a;" + T("alice_5_A_1_0") + ";1\n");
  Tmp("alice_5_A_1_0", "a");
  Tmp("alice_5_Attach.dat.lock", "");
  int held = open(T("alice_5_Attach.dat.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);

  for (const char* dry : {"--dry-run", ""}) {
    ToolRun run = Reap(*dry ? std::vector<std::string>{dry} : std::vector<std::string>{});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, std::string("busy alice 5\n") + (*dry ? "would reap" : "reaped") +
                           " 0 windows, 0 files, 0 bytes\n");
    EXPECT_EQ(root.TmpFiles("alice_5").size(), 3u);
  }

  close(held);  // the request ended without deleting its lock file
  const std::string bytes = std::to_string(Bytes({"tmp/alice_5_Attach.dat"}) + 1);
  ToolRun run = Reap();
  EXPECT_EQ(run.out, "reaped alice 5 3 files " + bytes + " bytes\nreaped 1 windows, 3 files, " +
                         bytes + " bytes\n")
      << run.out;
  EXPECT_EQ(root.TmpFiles(), std::vector<std::string>{});
}

TEST_F(ReapTest, LinksFoldersAndForeignNamesAreLeftAndTold) {
  root.Write("outside/secret", "keep me");
  Age("outside/secret", kOld);
  for (const char* link : {"alice_6_A_1_0", "alice_6_Attach.dat"}) {
    ASSERT_EQ(symlink(root.Path("outside/secret").c_str(), T(link).c_str()), 0);
    Age(std::string("tmp/") + link, kOld);
  }
  Tmp("alice_6_A_1_1/inner", "in a folder");
  Age("tmp/alice_6_A_1_1", kOld);
  ASSERT_EQ(mkfifo(T("alice_6_BG.dat").c_str(), 0600), 0);  // never opened
  Age("tmp/alice_6_BG.dat", kOld);
  Tmp("alice_6_A_1_2", "the window's own");
  Tmp("notes.txt", "an operator's");
  Tmp("odd name\n", "");
  Tmp(".dc_0", std::string(1024, '\0'));  // the cabinet's cache, not told
  Tmp("123.ZIP", "PK");                   // a scan's temporary archive, not told

  ToolRun run = Reap();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "left alice_6_A_1_0\nleft alice_6_A_1_1\nleft alice_6_Attach.dat\n"
            "left alice_6_BG.dat\nleft notes.txt\nleft odd\\x20name\\x0A\n"
            "reaped alice 6 1 files 16 bytes\nreaped 1 windows, 1 files, 16 bytes\n")
      << Visible(run.out);
  EXPECT_EQ(root.Read("outside/secret"), "keep me");
  EXPECT_EQ(root.TmpFiles(),
            (std::vector<std::string>{".dc_0", "123.ZIP", "alice_6_A_1_0", "alice_6_A_1_1",
                                      "alice_6_Attach.dat", "alice_6_BG.dat", "notes.txt",
                                      "odd name\n"}));
  EXPECT_TRUE(root.Exists("tmp/alice_6_A_1_1/inner"));
}

// A background list's files of the store go with the window, and only when
// they are the user's backgrounds where the store keeps them; a list never
// takes anything outside tmp/ with it.
TEST_F(ReapTest, ListsTakeOnlyTheUsersStoredBackgrounds) {
  root.Write("outside/a", "a");
  root.Write("tmp/sub/c", "c");
  const std::string sky = Stored("1alicesky.png");
  const std::string bobs = Stored("1bobsong.mp3");
  // A name in a folder that is not its own.
  const std::string misplaced_sub = HashedStoreSubdir("2alicewrong.png") == "00/00"
                                        ? "httpd/html/hashed_store/00/01/2alicewrong.png"
                                        : "httpd/html/hashed_store/00/00/2alicewrong.png";
  root.Write(misplaced_sub, "x");
  // A folder of the store that is a link leading out of it.
  const std::string linked = "4alicelink.png";
  const std::string first = HashedStoreSubdir(linked).substr(0, 2);
  const std::string second = HashedStoreSubdir(linked).substr(3);
  ASSERT_FALSE(root.Exists("httpd/html/hashed_store/" + first));
  root.Write("elsewhere/" + second + "/" + linked, "x");
  ASSERT_EQ(symlink(root.Path("elsewhere").c_str(),
                    root.Path("httpd/html/hashed_store/" + first).c_str()),
            0);

  Tmp("alice_7_Attach.dat", "0;;;a;" + root.Path("outside/a") + ";1\n0;;;b;" +
                                T("../outside/a") + ";1\n0;;;c;" + T("sub/c") + ";1\n");
  Tmp("alice_7_BG.dat", "sky.png;" + sky + ";11;0\n");
  Tmp("alice_7_BS.dat", "song.mp3;" + bobs + ";11;0\n");
  Tmp("alice_8_BG.dat", "w.png;" + root.Path(misplaced_sub) + ";1;0\nl.png;" +
                            root.Path("httpd/html/hashed_store/" + HashedStoreSubdir(linked) +
                                      "/" + linked) +
                            ";1;0\n");
  Tmp("alice_8_BS.dat", "d.png;" + root.Path("httpd/html/hashed_store/00/../" +
                                             HashedStoreSubdir("1alicesky.png") + "/x") +
                            ";1;0\n");

  const std::size_t seven =
      Bytes({"tmp/alice_7_Attach.dat", "tmp/alice_7_BG.dat", "tmp/alice_7_BS.dat"}) + 11;
  ToolRun run = Reap();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("reaped alice 7 4 files " + std::to_string(seven) + " bytes\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("reaped alice 8 2 files "), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(sky));
  EXPECT_TRUE(fs::exists(bobs));
  EXPECT_TRUE(root.Exists(misplaced_sub));
  EXPECT_TRUE(root.Exists("elsewhere/" + second + "/" + linked));
  EXPECT_TRUE(root.Exists("outside/a"));
  EXPECT_TRUE(root.Exists("tmp/sub/c"));
}

// Windows whose lists name one another's files, or the same background, go
// or stay together.
TEST_F(ReapTest, WindowsListingEachOthersFilesStayTogether) {
  Tmp("alice_123abc_Attach.dat", "0;;;u.pdf;" + T("alice_123_U_9_0") + ";3\n", 0);
  Tmp("alice_123_U_9_0", "pdf");
  Tmp("alice_123_Upload.dat", "");
  const std::string sea = Stored("1alicesea.png");
  Tmp("alice_20_BG.dat", "sea.png;" + sea + ";11;0\n");
  Tmp("alice_21_BG.dat", "sea.png;" + sea + ";11;2\n", 0);

  ToolRun run = Reap();
  EXPECT_EQ(run.out, "reaped 0 windows, 0 files, 0 bytes\n");
  EXPECT_EQ(root.TmpFiles().size(), 5u);
  EXPECT_TRUE(fs::exists(sea));

  run = Reap({"--older-than", "0"});
  EXPECT_NE(run.out.find("reaped 4 windows, 6 files, "), std::string::npos) << run.out;
  EXPECT_EQ(root.TmpFiles(), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(sea));
}

TEST_F(ReapTest, ADryRunChangesNothingAndTellsWhatGoes) {
  Tmp("alice_1_Attach.dat", "0;;;a;" + T("alice_1_A_1_0") + ";1\n");
  Tmp("alice_1_A_1_0", "a");
  Tmp("alice_1_BG.dat", "sky.png;" + Stored("1alicesky.png") + ";11;0\n");
  Tmp("alice_2_A_1_0", "fresh", 0);
  Tmp("cal_alice_t.ics", "ics");
  Tmp("stray", "");
  const std::string before = Snapshot();

  ToolRun dry = Reap({"--dry-run"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(Snapshot(), before);
  EXPECT_FALSE(root.Exists("log/error.log"));

  ToolRun run = Reap();
  std::string said = dry.out;
  for (std::size_t at; (at = said.find("would reap")) != std::string::npos;) {
    said.replace(at, 10, "reaped");
  }
  EXPECT_EQ(run.out, said);
  EXPECT_NE(run.out.find("left stray\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("reaped 2 windows, 5 files, "), std::string::npos) << run.out;
}

TEST_F(ReapTest, TenThousandWindowsInOneRun) {
  constexpr int kWindows = 10000;
  const timespec old[2] = {{std::time(nullptr) - kOld * 3600L, 0},
                           {std::time(nullptr) - kOld * 3600L, 0}};
  std::size_t bytes = 0;
  for (int w = 0; w < kWindows; ++w) {
    const std::string stem = "user" + std::to_string(w % 100) + "_" + std::to_string(w) + "_";
    const std::string files[5][2] = {
        {stem + "Attach.dat", "0;;;a.txt;" + T(stem + "A_7_0") + ";4\n"},
        {stem + "A_7_0", "aaaa"},
        {stem + "A_7_1", "bbbbbbbb"},
        {stem + "H_7", "h"},
        {stem + "BS.dat", "s.mp3;/nowhere;1;0\n"},
    };
    for (const auto& [name, content] : files) {
      const int fd = open(T(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      ASSERT_GE(fd, 0) << name;
      ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
      ASSERT_EQ(futimens(fd, old), 0);
      close(fd);
      bytes += content.size();
    }
  }

  ToolRun run = Reap();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(root.TmpFiles(), std::vector<std::string>{});
  EXPECT_TRUE(run.out.ends_with("\nreaped 10000 windows, 50000 files, " + std::to_string(bytes) +
                                " bytes\n"))
      << run.out.substr(run.out.size() > 200 ? run.out.size() - 200 : 0);
}

TEST_F(ReapTest, UsageErrorsAndAnUnreadableTmpFolder) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--older-than"},
                                             {"--older-than", "-1"},
                                             {"--older-than", "1.5"},
                                             {"--older-than", "x"},
                                             {"--older-than", "99999999999999999999"},
                                             {"extra"},
                                             {"--dry-run", "--bogus"}}) {
    ToolRun run = Reap(args);
    EXPECT_EQ(run.status, 2) << args.back();
    EXPECT_EQ(run.out, "") << args.back();
  }
  fs::remove_all(root.Path("tmp"));
  ToolRun run = Reap();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("cannot read"), std::string::npos) << run.err;
}

}  // namespace
