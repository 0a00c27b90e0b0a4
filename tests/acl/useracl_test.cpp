// The grants file ".useracl": its layout, matching, the user's bits, batch
// changes, damaged files and concurrent writers.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet/cabinet_fixture.h"
#include "common/acl/useracl/useracl.h"
#include "support/test_root.h"

using testing_support::TestRoot;

namespace {

class UserAclTest : public testing::Test {
 protected:
  void SetUp() override {
    root.AddUser("alice");
    root.AddUser("bob");
    path = root.Path("home/alice/.useracl");
  }

  // Adds grants to alice's file: resource, pattern, set, inherit, kind.
  void Grant(const std::string& resource, const std::string& pattern, int set, int inherit,
             std::uint8_t kind = kMaclGrant) {
    cabinet_test::AddGrant("alice", resource, pattern, set, inherit, kind);
  }

  std::string Match(const std::string& resource, const std::string& user, int mode = 3) {
    MACL_Handle h;
    EXPECT_EQ(MACL_Open(h, path, kMaclReadOnlyHandle), 0);
    MACL_Record r;
    int got = MACL_RecordMatch(h, resource, mode, user, r);
    return got == 0 ? r.resource : "(" + std::to_string(got) + ")";
  }

  std::int32_t Bits(const std::string& resource, const std::string& user, int retry = 1) {
    std::int32_t bits = -1;
    MACL_UserPerm("alice", user, retry, resource, 3, bits);
    return bits;
  }

  TestRoot root;
  std::string path;
};

TEST_F(UserAclTest, NewFileAndEmptyFile) {
  {
    MACL_Handle h;
    ASSERT_EQ(MACL_Open(h, path, kMaclCreate | kMaclReadWrite), 0);
    EXPECT_EQ(h.header.version, 1);
    EXPECT_EQ(h.header.blocks, 1);
  }
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 9248);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  root.Write("home/bob/.useracl", "");
  MACL_Handle h;
  ASSERT_EQ(MACL_Open(h, root.Path("home/bob/.useracl"), kMaclReadOnlyHandle), 0);
  EXPECT_NE(root.Read("log/error.log").find("Create header failed, permission denied"),
            std::string::npos);
  std::vector<MACL_Record> records;
  EXPECT_EQ(MACL_RecordsRead(h, records), 0);
  EXPECT_TRUE(records.empty());
  MACL_Record r;
  EXPECT_EQ(MACL_RecordAdd(h, r, 0), kMaclReadOnly);
  MACL_PrivSet s;
  EXPECT_EQ(MACL_SetAdd(h, s), kMaclReadOnly);
}

TEST_F(UserAclTest, MatchStopsAtFolderBoundaries) {
  Grant("/a", "*", 2, 1);
  Grant("/a/b", "b*", 3, 1);
  Grant("/a/b/c", "bob", 1, 0);
  Grant("/x", "*", 2, 0);
  Grant("/", "carol", 2, 1);
  Grant("/gone", "*", 2, 1, kMaclDeleted);
  struct Case {
    const char* resource;
    const char* user;
    const char* want;
  } cases[] = {
      {"/a/b/c", "bob", "/a/b/c"},  // the exact grant wins
      {"/a/b/c/d", "bob", "/a/b"},  // inherit 0 covers only itself
      {"/a/b/c", "dave", "/a"},     // pattern b* does not match dave
      {"/a/q", "bob", "/a"},
      {"/ab", "bob", "(-4)"},  // /a never covers /ab
      {"/a", "bob", "/a"},
      {"/x/y", "bob", "(-4)"},  // not inherited
      {"/x", "bob", "/x"},
      {"/anything/deep", "carol", "/"},  // a grant on / covers the cabinet
      {"/gone/x", "bob", "(-4)"},        // deleted grants never answer
      {"/gone", "bob", "(-4)"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Match(c.resource, c.user), c.want) << c.resource << " " << c.user;
  EXPECT_EQ(Match("/a/b/c/d", "bob", 1), "(-4)");  // mode 1: exact only
}

TEST_F(UserAclTest, UserBitsAndTheEveryoneRetry) {
  Grant("/docs", "bob", 8, 1);  // bob's own grant, first: no bits
  Grant("/docs", "*", 2, 1);
  Grant("/rw", "bob", 3, 0);
  EXPECT_EQ(Bits("/docs/a/b", "bob"), 0x010);  // retried as "*"
  EXPECT_EQ(Bits("/docs/a/b", "bob", 0), 0);
  EXPECT_EQ(Bits("/docs", "carol"), 0x010);
  EXPECT_EQ(Bits("/rw", "bob"), 0x110);
  EXPECT_EQ(Bits("/other", "bob"), 0);
  std::int32_t bits = 5;
  EXPECT_EQ(MACL_UserPerm("nobody", "bob", 1, "/docs", 3, bits), kMaclNotFound);  // no file
  EXPECT_EQ(bits, 0);
  EXPECT_EQ(MACL_UserPerm("alice", "", 1, "/docs", 3, bits), kMaclBadArgument);
  EXPECT_EQ(MACL_UserPerm("../alice", "bob", 1, "/docs", 3, bits), kMaclNotFound);
}

TEST_F(UserAclTest, SetsRecordsAndUpdates) {
  MACL_Handle h;
  ASSERT_EQ(MACL_Open(h, path, kMaclCreate | kMaclReadWrite), 0);
  MACL_PrivSet a{"mine", 0, 0x110, kMaclSetStored, 0};
  MACL_PrivSet b{"other", 0, 0x010, 0, 0};
  ASSERT_EQ(MACL_SetAdd(h, a), 0);
  ASSERT_EQ(MACL_SetAdd(h, b), 0);
  EXPECT_EQ(a.id, 257);
  EXPECT_EQ(b.id, 258);
  MACL_PrivSet got;
  ASSERT_EQ(MACL_SetGet(h, 258, got), 0);
  EXPECT_EQ(got.name, "other");
  EXPECT_EQ(got.cls, kMaclSetStored);
  ASSERT_EQ(MACL_SetDelete(h, 257), 0);
  EXPECT_EQ(MACL_SetGet(h, 257, got), kMaclNotFound);
  EXPECT_EQ(MACL_SetGet(h, 4, got), 0);
  EXPECT_EQ(got.bits, 0x011);
  std::vector<MACL_PrivSet> sets;
  ASSERT_EQ(MACL_SetsList(h, sets, 1, kMaclSetStored | kMaclSetDeleted), 0);
  ASSERT_EQ(sets.size(), 10u);
  EXPECT_EQ(sets[8].id, 257);
  MACL_PrivSet c{"third", 0, 0, kMaclSetStored, 0};
  ASSERT_EQ(MACL_SetAdd(h, c), 0);
  EXPECT_EQ(c.id, 259);  // one more than the largest, deleted ones counted
  for (int i = 3; i < 32; ++i) {
    MACL_PrivSet s{"s", 0, 0, kMaclSetStored, 0};
    ASSERT_EQ(MACL_SetAdd(h, s), 0) << i;
  }
  MACL_PrivSet full{"full", 0, 0, kMaclSetStored, 0};
  EXPECT_EQ(MACL_SetAdd(h, full), kMaclIoError);  // the area does not grow

  MACL_Record r;
  r.resource = "/a";
  r.access_id = "bob";
  r.set_id = 2;
  r.kind = kMaclGrant;
  ASSERT_EQ(MACL_RecordAdd(h, r, 1), 0);
  EXPECT_EQ(MACL_RecordAdd(h, r, 1), kMaclDuplicate);
  MACL_Record values;
  values.note = "a note";
  values.set_id = 3;
  ASSERT_EQ(MACL_RecordUpdate(h, "/a", "bob", values, kMaclRecNote | kMaclRecSetId), 0);
  MACL_Record back;
  ASSERT_EQ(MACL_RecordGet(h, "/a", "bob", back), 0);
  EXPECT_EQ(back.note, "a note");
  EXPECT_EQ(back.has_note, 1);
  EXPECT_EQ(back.set_id, 3);
  ASSERT_EQ(MACL_RecordDelete(h, "/a", "bob"), 0);
  EXPECT_EQ(MACL_RecordGet(h, "/a", "bob", back), kMaclNotFound);
  EXPECT_EQ(MACL_RecordAdd(h, r, 1), 0);  // a deleted record is no duplicate
  std::vector<MACL_Record> records;
  ASSERT_EQ(MACL_RecordsByKind(h, records, kMaclDeleted), 0);
  EXPECT_EQ(records.size(), 1u);
  MACL_Filter f;
  f.flags = kMaclFilterResource | kMaclFilterKind;
  f.record.resource = "/a";
  f.record.kind = kMaclGrant | kMaclDeleted;
  ASSERT_EQ(MACL_RecordsFilter(h, records, f), 0);
  EXPECT_EQ(records.size(), 2u);
}

TEST_F(UserAclTest, BatchRenameAndDeleteKeepToTheSubtree) {
  Grant("/a", "bob", 2, 1);
  Grant("/a/x", "bob", 2, 1);
  Grant("/ab", "bob", 2, 1);
  Grant("/b", "bob", 2, 1);
  EXPECT_EQ(MACL_BatchRsrcIDUpdate("alice", "/a", "/z", 1), 0);
  EXPECT_EQ(Match("/z", "bob", 1), "/z");
  EXPECT_EQ(Match("/z/x", "bob", 1), "/z/x");
  EXPECT_EQ(Match("/ab", "bob", 1), "/ab");
  EXPECT_EQ(MACL_BatchRsrcIDUpdate("alice", "/nothing", "/y", 1), kMaclNotFound);
  EXPECT_EQ(MACL_BatchRsrcDel("alice", "/z", 0), 0);
  EXPECT_EQ(Match("/z", "bob", 1), "(-4)");
  EXPECT_EQ(Match("/z/x", "bob", 1), "/z/x");
  EXPECT_EQ(MACL_BatchRsrcDel("alice", "/z", 1), 0);
  EXPECT_EQ(Match("/z/x", "bob", 1), "(-4)");
}

// Damaged files: nothing is read past the file's end, nothing is written
// into a file whose header does not fit it, and a partial record is ignored.
TEST_F(UserAclTest, DamagedLayouts) {
  auto header = [](std::int32_t version, std::int32_t blocks) {
    std::string h(32, '\0');
    for (int i = 0; i < 4; ++i) {
      h[i] = static_cast<char>((version >> (8 * i)) & 0xff);
      h[4 + i] = static_cast<char>((blocks >> (8 * i)) & 0xff);
    }
    return h;
  };
  std::string record(1024, '\0');
  record.replace(0, 2, "/a");
  record.replace(512, 1, "*");
  record[768] = 2;
  record[772] = 1;
  record[904] = 1;
  std::string set_area(9216, '\0');
  struct Case {
    const char* what;
    std::string file;
    int want_records;  // -1: reads fail
  } cases[] = {
      {"block count past the end", header(1, 3) + set_area + record, -1},
      {"negative block count", header(1, -1) + set_area + record, -1},
      {"huge block count", header(1, 0x7fffffff) + set_area, -1},
      {"no set area", header(1, 0) + record, 1},
      {"partial record", header(1, 1) + set_area + record + record.substr(0, 700), 1},
      {"resource without NUL", header(1, 1) + set_area + std::string(1024, 'r'), 1},
      {"header cut short", header(1, 1).substr(0, 20), 0},
  };
  for (const Case& c : cases) {
    root.Write("home/alice/.useracl", c.file);
    MACL_Handle h;
    ASSERT_EQ(MACL_Open(h, path, kMaclReadWrite), 0) << c.what;
    std::vector<MACL_Record> records;
    int r = MACL_RecordsRead(h, records);
    if (c.want_records < 0) {
      EXPECT_EQ(r, kMaclIoError) << c.what;
      MACL_Record add;
      EXPECT_EQ(MACL_RecordAdd(h, add, 0), kMaclIoError) << c.what;
      std::vector<MACL_PrivSet> sets;
      EXPECT_EQ(MACL_SetsRead(h, sets), kMaclIoError) << c.what;
      std::int32_t bits = 0;
      MACL_Close(h);
      EXPECT_NE(MACL_UserPerm("alice", "bob", 1, "/a", 3, bits), 0) << c.what;
      EXPECT_EQ(root.Read("home/alice/.useracl"), c.file) << c.what << ": the file was changed";
    } else {
      EXPECT_EQ(r, 0) << c.what;
      EXPECT_EQ(static_cast<int>(records.size()), c.want_records) << c.what;
      // A text without NUL is its whole field, never more.
      if (!records.empty()) EXPECT_LE(records[0].resource.size(), 512u) << c.what;
    }
  }
}

// Several processes add records to one file at once: every record is there.
TEST_F(UserAclTest, ConcurrentWritersLoseNothing) {
  constexpr int kProcesses = 6;
  constexpr int kEach = 40;
  int failed = cabinet_test::RunInProcesses(kProcesses, [&](int p) {
    int failures = 0;
    for (int i = 0; i < kEach; ++i) {
      MACL_Handle h;
      if (MACL_Open(h, path, kMaclCreate | kMaclReadWrite) != 0) ++failures;
      MACL_Record r;
      r.resource = "/p" + std::to_string(p) + "/" + std::to_string(i);
      r.access_id = "bob";
      r.set_id = 2;
      r.kind = kMaclGrant;
      if (MACL_RecordAdd(h, r, 1) != 0) ++failures;
    }
    return failures == 0;
  });
  EXPECT_EQ(failed, 0);
  MACL_Handle h;
  ASSERT_EQ(MACL_Open(h, path, kMaclReadOnlyHandle), 0);
  std::vector<MACL_Record> records;
  ASSERT_EQ(MACL_RecordsRead(h, records), 0);
  EXPECT_EQ(records.size(), static_cast<std::size_t>(kProcesses * kEach));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 9248 + kProcesses * kEach * 1024);
}

}  // namespace
