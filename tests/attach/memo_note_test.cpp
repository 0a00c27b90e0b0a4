// The memo note store: the index read field by field from damaged files,
// folders confined to the note root, notes reached only through the index,
// and the writers' rules.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/attach/notes/memo_note.h"
#include "host/account/session.h"
#include "support/memo_notes.h"
#include "support/test_root.h"

using testing::ElementsAre;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class MemoNoteTest : public testing::Test {
 protected:
  void SetUp() override { root.AddUser("alice"); }

  std::string Folder(const std::string& sub = "") {
    return root.Path("home/alice/note" + (sub.empty() ? "" : "/" + sub));
  }
  // A folder with the index `index` and note files name -> text.
  void Make(const std::string& sub, const std::string& index,
            std::initializer_list<std::pair<std::string, std::string>> files = {}) {
    root.Write("home/alice/note/" + (sub.empty() ? "" : sub + "/") + ".index", index);
    for (const auto& [name, text] : files) {
      root.Write("home/alice/note/" + (sub.empty() ? "" : sub + "/") + name, text);
    }
  }
  MNOTE_Context Loaded(const std::string& sub = "", int expect = kMnoteOk) {
    MNOTE_Context c;
    EXPECT_EQ(MNOTE_Open(&c, Folder(sub).c_str(), 0), kMnoteOk);
    EXPECT_EQ(MNOTE_Load(&c), expect);
    return c;
  }

  TestRoot root;
};

TEST(MemoNoteLayout, FieldsAreReadLittleEndianAndWithinTheirSlots) {
  std::string index = RawNoteEntry("abc123", "Title", 0x01020304, 0x0a0b0c0d, 1, 3) +
                      RawNoteEntry("12345678", std::string(448, 'T')) +  // no NUL in either
                      std::string(300, 'x');                         // a partial entry
  std::vector<MNOTE_Entry> e = MNOTE_ParseIndex(index);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].key, "abc123");
  EXPECT_EQ(e[0].title, "Title");
  EXPECT_EQ(e[0].mtime, 0x01020304u);
  EXPECT_EQ(e[0].length, 0x0a0b0c0du);
  EXPECT_EQ(e[0].dated, 1);
  EXPECT_EQ(e[0].charset, 3);
  EXPECT_EQ(e[1].key, "12345678");
  EXPECT_EQ(e[1].title.size(), 448u);
  // Encoding a decoded entry gives its bytes back, the kept bytes included.
  auto bytes = MNOTE_EncodeEntry(e[0]);
  EXPECT_EQ(std::string(bytes.data(), bytes.size()), index.substr(0, 512));
  EXPECT_TRUE(MNOTE_ParseIndex(std::string(511, 'a')).empty());
}

TEST_F(MemoNoteTest, OpenStoresOneFolderPathOrRefuses) {
  struct Case {
    const char* path;
    int answer;
    const char* stored;
  } cases[] = {
      {"//home/x//", kMnoteOk, "/home/x"},
      {"a/b", kMnoteOk, "/a/b"},
      {"/", kMnoteOk, "/"},
      {nullptr, kMnoteRefused, ""},
  };
  for (const Case& c : cases) {
    MNOTE_Context ctx;
    ctx.path = "/old";
    EXPECT_EQ(MNOTE_Open(&ctx, c.path, kMnoteOpenAppend), c.answer);
    EXPECT_EQ(ctx.path, c.stored);
  }
  // A path too long for the context is refused, never cut to a shorter one.
  std::string long_path = "/" + std::string(242, 'a');
  MNOTE_Context ctx;
  EXPECT_EQ(MNOTE_Open(&ctx, long_path.c_str(), kMnoteOpenAppend), kMnoteOk);
  EXPECT_EQ(ctx.append, kMnoteAppendMode);
  EXPECT_EQ(MNOTE_Open(&ctx, (long_path + "b").c_str(), 0), kMnoteRefused);
  EXPECT_EQ(MNOTE_Open(nullptr, "/a", 0), kMnoteRefused);
}

TEST_F(MemoNoteTest, DamagedIndexFiles) {
  struct Case {
    const char* what;
    std::size_t size;  // bytes of "x" after one good entry
    int answer;
    unsigned count;
  } cases[] = {
      {"1100 bytes: two whole entries", 1100 - 512, kMnoteOk, 2},
      {"a partial entry only", 0, kMnoteOk, 1},
      {"over the entry limit", kMnoteMaxEntries * 512, kMnoteFailed, 0},
  };
  for (const Case& c : cases) {
    Make("", RawNoteEntry("k1", "one"));
    if (c.size) truncate(root.Path("home/alice/note/.index").c_str(), 512 + c.size);
    MNOTE_Context ctx = Loaded("", c.answer);
    EXPECT_EQ(ctx.count, c.count) << c.what;
  }
  Make("", std::string(300, 'x'));
  EXPECT_EQ(Loaded().count, 0u);
  fs::remove(Folder() + "/.index");
  EXPECT_EQ(Loaded().count, 0u);  // no index: no entries
  // An index that is a link or no file is not read.
  root.Write("elsewhere", RawNoteEntry("k1", "x"));
  symlink(root.Path("elsewhere").c_str(), (Folder() + "/.index").c_str());
  Loaded("", kMnoteFailed);
  fs::remove(Folder() + "/.index");
  fs::create_directory(Folder() + "/.index");
  Loaded("", kMnoteFailed);
  // A FIFO in its place is never waited on, by the reader or the writers
  // (which leave no note behind).
  fs::remove(Folder() + "/.index");
  mkfifo((Folder() + "/.index").c_str(), 0600);
  Loaded("", kMnoteFailed);
  pid_t writer = fork();
  if (writer == 0) {
    alarm(10);
    MNOTE_Context w;
    MNOTE_Open(&w, Folder().c_str(), 0);
    bool failed = MNOTE_Add(&w, {"t", "x", false, 0}, nullptr) == kMnoteFailed &&
                  MNOTE_Delete(&w, "k1") == kMnoteFailed;
    _exit(failed ? 0 : 1);
  }
  int status = 0;
  waitpid(writer, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(std::distance(fs::directory_iterator(Folder()), fs::directory_iterator()), 1);
  fs::remove(Folder() + "/.index");

  MNOTE_Context missing;
  MNOTE_Open(&missing, Folder("none").c_str(), 0);
  EXPECT_EQ(MNOTE_Load(&missing), kMnoteNotFound);
  EXPECT_EQ(MNOTE_Load(nullptr), kMnoteRefused);
}

TEST_F(MemoNoteTest, LoadingTwiceKeepsTheEntries) {
  Make("", RawNoteEntry("k1", "one") + RawNoteEntry("k2", "two"));
  MNOTE_Context ctx = Loaded();
  Make("", RawNoteEntry("k3", "three"));
  EXPECT_EQ(MNOTE_Load(&ctx), kMnoteRefused);
  ASSERT_EQ(ctx.count, 2u);
  EXPECT_EQ(ctx.entries[1].key, "k2");
  MNOTE_Close(&ctx);
  EXPECT_TRUE(ctx.path.empty());
  EXPECT_EQ(ctx.count, 0u);
}

TEST_F(MemoNoteTest, KeysReachFilesOnlyThroughTheirEntries) {
  Make("",
       RawNoteEntry("good", "Good", 0, 99) + RawNoteEntry(std::string("\0gone", 5), "Deleted") +
           RawNoteEntry("../x", "Climbs") + RawNoteEntry("link", "Link") + RawNoteEntry("fifo", "FIFO") +
           RawNoteEntry("absent", "No file") + RawNoteEntry("8bytekey", "No NUL"),
       {{"good", "text"}, {"gone", "old"}, {"secret", "s"}, {"8bytekey", "eight"}});
  root.Write("home/alice/x", "outside");
  symlink("good", (Folder() + "/link").c_str());  // a link to a note of its own folder
  mkfifo((Folder() + "/fifo").c_str(), 0600);
  MNOTE_Context ctx = Loaded();
  struct Case {
    const char* key;
    int answer;
    const char* text;
  } cases[] = {
      {"good", kMnoteOk, "text"},
      {"8bytekey", kMnoteOk, "eight"},
      {"8bytekeyX", kMnoteNotFound, ""},  // compared within the field only
      {"gone", kMnoteNotFound, ""},       // deleted
      {"", kMnoteNotFound, ""},           // matches a deleted entry only
      {"secret", kMnoteNotFound, ""},     // a file, but not in the index
      {"../x", kMnoteNotFound, ""},       // an entry, but no file name
      {"link", kMnoteFailed, ""},
      {"fifo", kMnoteFailed, ""},
      {"absent", kMnoteFailed, ""},
  };
  for (const Case& c : cases) {
    MNOTE_Entry entry;
    std::string text;
    EXPECT_EQ(MNOTE_Read(&ctx, c.key, &entry, &text), c.answer) << c.key;
    EXPECT_EQ(text, c.text) << c.key;
  }
  EXPECT_FALSE(fs::exists(Folder() + "/absent"));  // reading never makes a note
  MNOTE_Entry entry;
  EXPECT_EQ(MNOTE_Get(&ctx, 7, &entry, nullptr), kMnoteNotFound);
  EXPECT_EQ(MNOTE_Get(&ctx, -1, &entry, nullptr), kMnoteNotFound);
  EXPECT_EQ(MNOTE_Get(&ctx, 0, &entry, nullptr), kMnoteOk);
  EXPECT_EQ(entry.length, 99u);
  EXPECT_EQ(MNOTE_Find(&ctx, nullptr, nullptr), kMnoteRefused);
}

TEST_F(MemoNoteTest, FoldersStayInsideTheNoteRoot) {
  std::string out;
  EXPECT_FALSE(MNOTE_RootPath("alice"));
  EXPECT_EQ(MNOTE_FolderPath("alice", "", out), kMnoteOk);  // made now
  EXPECT_EQ(out, fs::canonical(Folder()).string());
  EXPECT_EQ(MNOTE_FolderPath("alice", "", out), kMnoteExists);
  fs::create_directories(Folder("work/2024"));
  fs::create_directories(root.Path("home/alice/note2"));
  fs::create_directories(root.Path("outside"));
  symlink(root.Path("outside").c_str(), Folder("out").c_str());
  symlink("work", Folder("alias").c_str());
  root.Write("home/alice/note/afile", "x");
  struct Case {
    std::string folder;
    int answer;
  } cases[] = {
      {"work", kMnoteExists},
      {"work/2024/", kMnoteExists},
      {"alias", kMnoteExists},            // a link inside
      {"work/../work", kMnoteExists},
      {"missing", kMnoteNotFound},
      {"afile", kMnoteNotFound},          // no folder
      {"..", kMnoteRefused},
      {"../note2", kMnoteRefused},        // a sibling beginning with the root's name
      {"../missing", kMnoteRefused},
      {"out", kMnoteRefused},             // a link leading out
      {"/etc", kMnoteRefused},
      {std::string(600, 'a'), kMnoteRefused},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MNOTE_FolderPath("alice", c.folder, out), c.answer) << c.folder;
  }
  EXPECT_EQ(MNOTE_FolderPath("", "", out), kMnoteRefused);
  EXPECT_EQ(MNOTE_FolderPath("../bob", "", out), kMnoteRefused);
  EXPECT_EQ(MNOTE_FolderPath("nohome", "", out), kMnoteFailed);

  for (const char* bad : {"a//b", "../x", "x/./y", "/abs", "out/x", "bad\nname"}) {
    EXPECT_EQ(MNOTE_FolderMake("alice", bad, out), kMnoteRefused) << bad;
  }
  EXPECT_FALSE(fs::exists(root.Path("outside/x")));
  EXPECT_EQ(MNOTE_FolderMake("alice", "new/deep", out), kMnoteExists);
  EXPECT_TRUE(fs::is_directory(Folder("new/deep")));
}

TEST_F(MemoNoteTest, WritersKeepTheLayout) {
  std::string path;
  ASSERT_EQ(MNOTE_FolderMake("alice", "w", path), kMnoteExists);
  MNOTE_Context ctx;
  MNOTE_Open(&ctx, path.c_str(), 0);
  std::string first, second, third;
  ASSERT_EQ(MNOTE_Add(&ctx, {"First", "one", false, 1}, &first), kMnoteOk);
  ASSERT_EQ(MNOTE_Add(&ctx, {"", "two!", true, 0}, &second), kMnoteOk);
  EXPECT_EQ(first.size(), kMnoteNewKeyLength);
  EXPECT_NE(first, second);
  struct stat st;
  ASSERT_EQ(stat((path + "/" + first).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777 & ~0640u, 0u);

  ASSERT_EQ(MNOTE_Load(&ctx), kMnoteOk);
  ASSERT_EQ(ctx.count, 2u);  // new notes go to the front
  EXPECT_EQ(ctx.entries[0].key, second);
  EXPECT_EQ(ctx.entries[0].dated, 1);
  EXPECT_EQ(ctx.entries[0].length, 4u);
  EXPECT_EQ(ctx.entries[0].mtime, static_cast<std::uint32_t>(st.st_mtime));
  EXPECT_EQ(ctx.entries[1].title, "First");
  EXPECT_EQ(ctx.entries[1].charset, 1);

  // A deletion clears the key's first byte and removes the file.
  EXPECT_EQ(MNOTE_Delete(&ctx, first.c_str()), kMnoteOk);
  EXPECT_EQ(MNOTE_Delete(&ctx, first.c_str()), kMnoteNotFound);
  EXPECT_FALSE(fs::exists(path + "/" + first));
  EXPECT_EQ(fs::file_size(path + "/.index"), 1024u);

  // Append mode keeps the index as it stands (deleted entry included, a
  // partial entry dropped) and adds at the end; the next insert drops the
  // deleted entry.
  truncate((path + "/.index").c_str(), 1024 + 100);
  MNOTE_Open(&ctx, path.c_str(), kMnoteOpenAppend);
  ASSERT_EQ(MNOTE_Add(&ctx, {"Appended", "3", false, 0}, &third), kMnoteOk);
  ASSERT_EQ(MNOTE_Load(&ctx), kMnoteOk);
  ASSERT_EQ(ctx.count, 3u);
  EXPECT_TRUE(ctx.entries[1].deleted());
  EXPECT_EQ(ctx.entries[2].key, third);
  MNOTE_Open(&ctx, path.c_str(), 0);
  ASSERT_EQ(MNOTE_Add(&ctx, {"Front", "4", false, 0}, nullptr), kMnoteOk);
  MNOTE_Load(&ctx);
  ASSERT_EQ(ctx.count, 3u);
  EXPECT_EQ(ctx.entries[0].title, "Front");
  EXPECT_EQ(ctx.entries[2].key, third);

  EXPECT_EQ(MNOTE_Add(&ctx, {std::string(448, 't'), "x", false, 0}, nullptr), kMnoteRefused);
  EXPECT_EQ(MNOTE_Add(&ctx, {std::string("a\0b", 3), "x", false, 0}, nullptr), kMnoteRefused);
  EXPECT_EQ(MNOTE_Delete(&ctx, "../w"), kMnoteRefused);
}

// Writers in several processes take turns: no entry is lost.
TEST_F(MemoNoteTest, ConcurrentWritersLoseNoNote) {
  std::string path;
  ASSERT_EQ(MNOTE_FolderMake("alice", "busy", path), kMnoteExists);
  constexpr int kWriters = 4, kNotes = 25;
  for (int w = 0; w < kWriters; ++w) {
    if (fork() == 0) {
      MNOTE_Context ctx;
      MNOTE_Open(&ctx, path.c_str(), w % 2 ? kMnoteOpenAppend : 0);
      int failed = 0;
      for (int i = 0; i < kNotes; ++i) failed += MNOTE_Add(&ctx, {"n", "t", false, 0}, nullptr) != 0;
      _exit(failed);
    }
  }
  for (int w = 0; w < kWriters; ++w) {
    int status = 0;
    wait(&status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  MNOTE_Context ctx;
  MNOTE_Open(&ctx, path.c_str(), 0);
  ASSERT_EQ(MNOTE_Load(&ctx), kMnoteOk);
  std::set<std::string> keys;
  for (const MNOTE_Entry& e : ctx.entries) keys.insert(e.key);
  EXPECT_EQ(keys.size(), static_cast<std::size_t>(kWriters * kNotes));
}

TEST_F(MemoNoteTest, FolderListingMakesNothingAndFollowsNoLink) {
  EXPECT_TRUE(MNOTE_Folders("alice").empty());
  EXPECT_FALSE(MNOTE_HasNotes("alice"));
  EXPECT_FALSE(fs::exists(Folder()));
  fs::create_directories(Folder("b/c"));
  fs::create_directories(Folder("a"));
  fs::create_directories(root.Path("outside"));
  root.Write("outside/.index", RawNoteEntry("k", "x"));
  symlink(root.Path("outside").c_str(), Folder("link").c_str());
  EXPECT_FALSE(MNOTE_HasNotes("alice"));
  Make("b/c", RawNoteEntry(std::string("\0x", 2), "deleted") + RawNoteEntry("k1", "one"));
  EXPECT_TRUE(MNOTE_HasNotes("alice"));
  std::vector<std::string> names;
  for (const MNOTE_Folder& f : MNOTE_Folders("alice")) {
    names.push_back(f.name + ":" + std::to_string(f.notes));
  }
  EXPECT_THAT(names, ElementsAre(":0", "a:0", "b:0", "b/c:1"));
}

}  // namespace
