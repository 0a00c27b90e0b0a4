// The upload list operations the upload receiver uses to write the list:
// adding, removing (which deletes the stored file) and writing.
#include <cstring>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/account/session.h"
#include "host/base/process.h"
#include "support/test_root.h"
#include "uploadsend/upload_list.h"

using testing_support::TestRoot;

namespace {

class UploadListTest : public testing::Test {
 protected:
  void SetUp() override {
    host::ReloadEnv();
    Session s;
    s.user_id = "alice";
    SetSessionForTest(s, Preference{});
    UPL_Table().count = 0;
  }
  UploadRecord Record(const std::string& name, const std::string& path, int size) {
    UploadRecord r{};
    std::strncpy(r.name, name.c_str(), sizeof r.name - 1);
    std::strncpy(r.path, path.c_str(), sizeof r.path - 1);
    r.size = size;
    return r;
  }
  TestRoot root;
};

TEST_F(UploadListTest, WrittenListsReadBackAsWritten) {
  const std::string list = UPL_ListPath(42);
  EXPECT_EQ(list, root.Path("tmp/alice_42_Upload.dat"));
  ASSERT_EQ(UPL_ListAdd(Record("a;b.txt", root.Path("tmp/u1"), 42)), 1);
  ASSERT_EQ(UPL_ListAdd(Record("two\r\nlines.txt", root.Path("tmp/u2"), 7)), 1);
  ASSERT_EQ(UPL_ListAdd(Record("semi.txt", root.Path("tmp/x;y"), 1)), 1);
  EXPECT_EQ(UPL_ListWrite(list), 3);
  EXPECT_EQ(root.Read("tmp/alice_42_Upload.dat"),
            "a;b.txt;" + root.Path("tmp/u1") + ";42\n" + "two__lines.txt;" + root.Path("tmp/u2") +
                ";7\n" + "semi.txt;" + root.Path("tmp/x_y") + ";1\n");
  ASSERT_EQ(UPL_ListRead(list), 3);
  EXPECT_STREQ(UPL_Table().records[0].name, "a;b.txt");
  EXPECT_EQ(UPL_Table().records[0].size, 42);

  UPL_Table().count = 0;
  EXPECT_EQ(UPL_ListWrite(list), 0);
  EXPECT_FALSE(root.Exists("tmp/alice_42_Upload.dat"));
}

TEST_F(UploadListTest, RemovingDeletesOnlyFilesBelowTmp) {
  root.Write("tmp/u1", "1");
  root.Write("kept.txt", "k");
  UPL_ListAdd(Record("outside", root.Path("kept.txt"), 1));
  UPL_ListAdd(Record("inside", root.Path("tmp/u1"), 1));
  EXPECT_EQ(UPL_ListRemove(2), -1);
  EXPECT_EQ(UPL_ListRemove(-1), -1);
  EXPECT_EQ(UPL_ListRemove(1), 1);
  EXPECT_FALSE(root.Exists("tmp/u1"));
  EXPECT_EQ(UPL_ListRemove(0), 1);
  EXPECT_TRUE(root.Exists("kept.txt"));
  EXPECT_EQ(UPL_Table().count, 0);
  EXPECT_EQ(UPL_ListRemove(0), -1);
}

}  // namespace
