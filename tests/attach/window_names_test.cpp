#include "common/attach/window_names.h"

#include <gtest/gtest.h>

#include <string>

#include "common/attach/background_list.h"

namespace {

using window_names::FileKind;
using window_names::Form;

// Every name the programs make reads back as the file it is, also where the
// user id holds "_" and the identifier looks like a part of another name.
TEST(WindowNamesTest, NamesMadeReadBack) {
  struct Case {
    std::string name;
    FileKind kind;
    Form form;
    std::string user, window;
  } cases[] = {
      {window_names::ListName(FileKind::kAttachList, "alice", "1234"), FileKind::kAttachList,
       Form::kFile, "alice", "1234"},
      {window_names::ListName(FileKind::kImageList, "a_b", "A"), FileKind::kImageList, Form::kFile,
       "a_b", "A"},
      {window_names::ListName(FileKind::kSoundList, "bob@x.org", ""), FileKind::kSoundList,
       Form::kFile, "bob@x.org", ""},
      {window_names::ListName(FileKind::kUploadList, "alice", "-5"), FileKind::kUploadList,
       Form::kFile, "alice", "-5"},
      {"alice_77_Attach.dat.lock", FileKind::kAttachList, Form::kLock, "alice", "77"},
      {"alice_77_BG.dat.tmp.4242", FileKind::kImageList, Form::kTemporary, "alice", "77"},
      {"alice_77_Upload.dat.tmp.1700000000.99.3", FileKind::kUploadList, Form::kTemporary, "alice",
       "77"},
      {"alice_77_Upload.dat.import.99", FileKind::kUploadList, Form::kClaimed, "alice", "77"},
      {window_names::StoredName(FileKind::kCopy, "u_A_1", "x.tmp.5", 12, 0), FileKind::kCopy,
       Form::kFile, "u_A_1", "x.tmp.5"},
      {window_names::StoredName(FileKind::kFetched, "alice", "H", 12), FileKind::kFetched,
       Form::kFile, "alice", "H"},
      {window_names::TakenName("alice_9_A_12_3", 2), FileKind::kCopy, Form::kFile, "alice", "9"},
      {"alice_9_U_31_0.1", FileKind::kUpload, Form::kFile, "alice", "9"},
      {window_names::CalendarExportName("a_b", "team"), FileKind::kCalendarExport, Form::kFile,
       "a_b", "team"},
  };
  for (const Case& c : cases) {
    auto parsed = window_names::Parse(c.name);
    ASSERT_TRUE(parsed) << c.name;
    EXPECT_EQ(parsed->kind, c.kind) << c.name;
    EXPECT_EQ(parsed->form, c.form) << c.name;
    EXPECT_EQ(parsed->user, c.user) << c.name;
    EXPECT_EQ(parsed->window, c.window) << c.name;
  }
}

TEST(WindowNamesTest, OtherNamesAreNotTheProgramsNames) {
  for (const char* name :
       {"notes.txt", "_1_Attach.dat", ".x_1_Attach.dat", "alice_1_Attach.dat.old",
        "alice_x_Upload.dat", "alice_1_BG.dat.lock", "alice_1_Attach.dat.import.3",
        "alice_1_Attach.dat.tmp.", "alice_1_Attach.dat.tmp.x", "alice_1_A_5_0.tmp.3",
        "alice_1_A_x_0", "alice_1_A_5", "alice_1_B_5_0", "alice_x_U_5_0", "alice_1_H_5_0",
        "alice_1_A_5_0.", "A_5_0", "cal__x.ics", "cal_alice_.ics", "cal_alice.ics",
        "alice_.._Attach.dat", ".dc_0", "123.ZIP", "alice_1_Attach.dat/x"}) {
    EXPECT_FALSE(window_names::Parse(name)) << name;
  }
  // A window identifier of 65 bytes is never made.
  EXPECT_FALSE(window_names::Parse("alice_" + std::string(65, '7') + "_Attach.dat"));
}

TEST(WindowNamesTest, BackgroundStoredNamesTellTheirUser) {
  const std::string head = BG_StoredNameHead(0x1F, "ada");
  EXPECT_EQ(head, "1Fada");
  EXPECT_TRUE(BG_IsStoredNameOf(head + "sky.png", "ada"));
  EXPECT_TRUE(BG_IsStoredNameOf("1FAada", "Aada"));  // hex digits the user id begins with
  EXPECT_FALSE(BG_IsStoredNameOf("1Fbob", "ada"));
  EXPECT_FALSE(BG_IsStoredNameOf("ada.png", "ada"));  // no process id
  EXPECT_FALSE(BG_IsStoredNameOf("1fada", "ada"));    // lower-case hex is not "%X"
  EXPECT_FALSE(BG_IsStoredNameOf("1F", ""));
}

}  // namespace
