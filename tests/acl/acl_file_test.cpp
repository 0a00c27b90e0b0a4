// The public cabinet's ".acl" and ".acl.ext": reading, changing, the rights
// of a user through the directory, damaged files and concurrent writers.
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet/cabinet_fixture.h"
#include "common/acl/acl_object.h"
#include "directory/directory_fixture.h"

namespace {

using directory_test::DirectoryTest;

ACL_Entry Entry(const std::string& id, std::int16_t type, std::int32_t permission) {
  return ACL_Entry{id, type, permission};
}

ACL_Object Object(const std::string& name, const std::string& owner, const std::string& group,
                  std::int32_t permission, std::vector<ACL_Entry> entries = {}) {
  ACL_Object o;
  o.name = name;
  o.owner = owner;
  o.group = group;
  o.permission = permission;
  o.entries = std::move(entries);
  return o;
}

class AclFileTest : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    ctx = Open();
    path = root.Path("public/dc/.acl");
    root.Write("public/dc/.keep", "");
  }

  std::vector<std::string> Names() {
    std::vector<ACL_Object> all;
    EXPECT_EQ(ACL_ObjectList(path, all), 0);
    std::vector<std::string> names;
    for (const ACL_Object& o : all) names.push_back(o.name);
    return names;
  }

  MDS_Context* ctx = nullptr;
  std::string path;
};

TEST_F(AclFileTest, ManyEntriesGoToTheExtension) {
  std::vector<ACL_Entry> entries;
  for (int i = 0; i < 75; ++i)
    entries.push_back(Entry("user" + std::to_string(i), kAclEverybody, i));
  ASSERT_EQ(ACL_ObjectAdd(ctx, path, Object("/big", "alice", "", 0x0744, entries)), 0);
  ASSERT_EQ(ACL_ObjectAdd(ctx, path, Object("/a", "alice", "", 0x0700)), 0);
  EXPECT_EQ(root.Read("public/dc/.acl").size(), 2 * kAclRecordSize);
  EXPECT_EQ(root.Read("public/dc/.acl.ext").size(), 2 * kAclExtRecordSize);
  ACL_Object got;
  ASSERT_EQ(ACL_ObjectGet(path, "/big", got), 0);
  ASSERT_EQ(got.entries.size(), 75u);
  for (int i = 0; i < 75; ++i) EXPECT_EQ(got.entries[i].permission, i);
  EXPECT_EQ(got.entries[74].access_id, "user74");
  EXPECT_EQ(ACL_ObjectGet(path, "/missing", got), kAclNotFound);
  EXPECT_EQ(ACL_ObjectGet(root.Path("public/dc/none"), "/a", got), kAclNotFound);
  EXPECT_EQ(ACL_ObjectGet("", "/a", got), kAclBadIndex);
  root.Write("public/dc/empty.acl", "");
  EXPECT_EQ(ACL_ObjectGet(root.Path("public/dc/empty.acl"), "/a", got), 0);

  // Removing entries down to ten drops the object's extension records.
  for (int i = 74; i >= 10; --i) {
    ASSERT_EQ(ACL_EntryDel(path, "/big", "user" + std::to_string(i), i), 0) << i;
  }
  EXPECT_EQ(root.Read("public/dc/.acl.ext").size(), 0u);
  ASSERT_EQ(ACL_ObjectGet(path, "/big", got), 0);
  EXPECT_EQ(got.entries.size(), 10u);
}

TEST_F(AclFileTest, ChangesAnswerTheirCodes) {
  ASSERT_EQ(Create(ctx, "/Staff"), 0);
  EXPECT_EQ(ACL_ObjectDel(path, "/x"), kAclEmptyFile);
  ASSERT_EQ(ACL_ObjectAdd(ctx, path, Object("/b", "alice", "/Staff", 0x0744)), 0);
  ASSERT_EQ(ACL_ObjectAdd(ctx, path, Object("/", "/Staff", "", 0x0744)), 0);
  ASSERT_EQ(ACL_ObjectAdd(ctx, path, Object("/a", "alice", "", 0x0744)), 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"/", "/a", "/b"}));
  struct Case {
    const char* what;
    int got;
    int want;
  } cases[] = {
      {"duplicate", ACL_ObjectAdd(ctx, path, Object("/a", "alice", "", 0)), kAclExists},
      {"unknown owner", ACL_ObjectAdd(ctx, path, Object("/c", "zed", "", 0)), kAclUnknownUser},
      {"unknown group", ACL_ObjectAdd(ctx, path, Object("/c", "alice", "/None", 0)),
       kAclUnknownGroup},
      {"unknown owner group", ACL_ObjectAdd(ctx, path, Object("/c", "/None", "", 0)),
       kAclUnknownGroup},
      {"set without replace", ACL_ObjectSet(ctx, path, Object("/a", "bob", "", 0), 0), kAclExists},
      {"set without insert", ACL_ObjectSet(ctx, path, Object("/c", "bob", "", 0), 1), kAclNotFound},
      {"delete missing", ACL_ObjectDel(path, "/zz"), kAclNotFound},
      {"entry of missing object", ACL_EntryAdd(ctx, path, "/zz", Entry("bob", kAclUser, 4)),
       kAclNotFound},
      {"entry of unknown user", ACL_EntryAdd(ctx, path, "/a", Entry("zed", kAclUser, 4)),
       kAclUnknownUser},
      {"entry of unknown group", ACL_EntryAdd(ctx, path, "/a", Entry("/None", kAclGroup, 4)),
       kAclUnknownGroup},
      {"entry added", ACL_EntryAdd(ctx, path, "/a", Entry("bob", kAclUser, 4)), kAclOk},
      {"entry again", ACL_EntryAdd(ctx, path, "/a", Entry("bob", kAclUser, 2)), kAclExists},
      {"second entry", ACL_EntryAdd(ctx, path, "/a", Entry("/Staff", kAclGroup, 4)), kAclOk},
      {"modify to a taken id", ACL_EntryModify(ctx, path, "/a", Entry("bob", kAclUser, 4), 1),
       kAclExists},
      {"modify negative", ACL_EntryModify(ctx, path, "/a", Entry("carol", kAclUser, 4), -1),
       kAclBadIndex},
      {"modify past the end", ACL_EntryModify(ctx, path, "/a", Entry("carol", kAclUser, 4), 2),
       kAclNotFound},
      {"modify", ACL_EntryModify(ctx, path, "/a", Entry("carol", kAclUser, 6), 0), kAclOk},
      {"delete negative", ACL_EntryDel(path, "/a", "carol", -1), kAclBadIndex},
      {"delete another id", ACL_EntryDel(path, "/a", "bob", 0), kAclNotFound},
      {"delete past the end", ACL_EntryDel(path, "/a", "carol", 5), kAclNotFound},
      {"delete entry", ACL_EntryDel(path, "/a", "carol", 0), kAclOk},
      {"set inserts", ACL_ObjectSet(ctx, path, Object("/a/x", "alice", "", 0x0111), 2), kAclOk},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  ACL_Object a;
  ASSERT_EQ(ACL_ObjectGet(path, "/a", a), 0);
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(a.entries[0].access_id, "/Staff");

  // Propagating /a reaches /a/x, never /ab.
  ASSERT_EQ(ACL_ObjectSet(ctx, path, Object("/ab", "alice", "", 0x0111), 2), 0);
  ASSERT_EQ(ACL_ObjectSet(ctx, path, Object("/a", "bob", "", 0x0f00), 1 | 4), 0);
  ACL_Object below;
  ASSERT_EQ(ACL_ObjectGet(path, "/a/x", below), 0);
  EXPECT_EQ(below.owner, "bob");
  EXPECT_EQ(below.name, "/a/x");
  ASSERT_EQ(ACL_ObjectGet(path, "/ab", below), 0);
  EXPECT_EQ(below.owner, "alice");
  EXPECT_EQ(Names(), (std::vector<std::string>{"/", "/a", "/a/x", "/ab", "/b"}));
  ASSERT_EQ(ACL_ObjectDel(path, "/a/x"), 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"/", "/a", "/ab", "/b"}));
}

TEST_F(AclFileTest, RightsThroughTheDirectory) {
  ASSERT_EQ(Create(ctx, "/Staff"), 0);
  ASSERT_EQ(Create(ctx, "/Staff/Sales"), 0);
  ASSERT_EQ(MDS_GroupUserCreate(ctx, "/Staff/Sales", "bob"), 0);
  ASSERT_EQ(MDS_GroupAdmCreate(ctx, "/Staff", "carol"), 0);
  root.Write("etc/privileges.conf", "300 - dave\n");
  struct Case {
    const char* what;
    ACL_Object object;
    const char* user;
    int want;
  } cases[] = {
      {"owner with no owner bits", Object("/o", "alice", "", 0x0000), "alice", 8},
      {"owner ignores case", Object("/o", "Alice", "", 0x0600), "alice", 8 | 4 | 2},
      {"owner's bit 11 is always 8", Object("/o", "alice", "", 0x0100), "alice", 8 | 1},
      {"member of a group below", Object("/o", "alice", "/Staff", 0x0040), "bob", 4},
      {"member whose group bits are 0", Object("/o", "alice", "/Staff", 0x0002), "bob", 2},
      {"not a member", Object("/o", "alice", "/Staff/Other", 0x0042), "bob", 2},
      {"administrator of a group above", Object("/o", "alice", "/Staff/Sales", 0x4000), "carol", 4},
      {"holder of privilege 300", Object("/o", "alice", "/Staff", 0x2000), "dave", 2},
      {"everybody entry", Object("/o", "alice", "", 0x0004, {Entry("", kAclEverybody, 2)}), "eve",
       2},
      {"user entry is exact", Object("/o", "alice", "", 0x0001, {Entry("Bob", kAclUser, 4)}), "bob",
       1},
      {"user entry", Object("/o", "alice", "", 0x0001, {Entry("bob", kAclUser2, 4)}), "bob", 4},
      {"group entry", Object("/o", "alice", "", 0x0001, {Entry("/Staff", kAclGroup, 8)}), "bob", 8},
      {"unknown entry type", Object("/o", "alice", "", 0x0001, {Entry("bob", 3, 8)}), "bob", 1},
      {"empty user", Object("/o", "", "", 0x000f), "", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ACL_UserRights(c.object, c.user), c.want) << c.what;
  }
}

TEST_F(AclFileTest, DamagedFilesReadWithinTheirBounds) {
  ACL_Object good = Object("/a", "alice", "", 0x0744, {Entry("bob", kAclUser, 4)});
  std::string record = ACL_EncodeRecord(good);
  std::string count_past_end = record;
  count_past_end[390] = 50;  // fifty entries declared, no extension file
  std::string negative = record;
  negative[390] = static_cast<char>(0xff);
  negative[391] = static_cast<char>(0xff);
  std::string no_nul = std::string(256, 'n') + record.substr(256);
  struct Case {
    const char* what;
    std::string main;
    std::string ext;
    std::string name;
    int want;
    std::size_t entries;
  } cases[] = {
      {"partial record after", record + record.substr(0, 500), "", "/a", 0, 1},
      {"only a partial record", record.substr(0, 1111), "", "/a", 5, 0},
      {"count past the end", count_past_end, "", "/a", 0, 50},
      {"count past the extension", count_past_end, std::string(4864 + 100, '\0'), "/a", 0, 50},
      {"negative count", negative, "", "/a", 0, 0},
      {"name without NUL", no_nul, "", std::string(256, 'n'), 0, 1},
  };
  for (const Case& c : cases) {
    root.Write("public/dc/.acl", c.main);
    root.Write("public/dc/.acl.ext", c.ext);
    ACL_Object got;
    EXPECT_EQ(ACL_ObjectGet(path, c.name, got), c.want) << c.what;
    EXPECT_EQ(got.entries.size(), c.entries) << c.what;
    EXPECT_LE(got.name.size(), 256u) << c.what;
    EXPECT_EQ(ACL_UserRights(got, "eve"), c.want == 0 ? 4 : 0) << c.what;
    std::vector<ACL_Object> all;
    EXPECT_EQ(ACL_ObjectList(path, all), 0) << c.what;
  }
  // The extension's entries are taken from records of the object's name only,
  // 64 a record, and a partial record is ignored.
  std::string twelve = ACL_EncodeRecord(good);
  twelve[390] = 12;
  std::string ext(4864, '\0');
  ext.replace(0, 2, "/a");
  ext.replace(256, 5, "extra");
  ext[256 + 64] = kAclEverybody;
  ext[256 + 68] = 2;
  std::string other(4864, '\0');
  other.replace(0, 2, "/b");
  other[256 + 64] = kAclEverybody;
  other[256 + 68] = 8;
  root.Write("public/dc/.acl", twelve);
  root.Write("public/dc/.acl.ext", other + ext + ext.substr(0, 300));
  ACL_Object got;
  ASSERT_EQ(ACL_ObjectGet(path, "/a", got), 0);
  ASSERT_EQ(got.entries.size(), 12u);
  EXPECT_EQ(got.entries[10].access_id, "extra");
  EXPECT_EQ(got.entries[11].id_type, 0);
  EXPECT_EQ(ACL_UserRights(got, "eve"), 2);  // not the /b record's 8
}

// Several processes add objects and entries to one file at once: every one
// of them is there, and the file stays sorted.
TEST_F(AclFileTest, ConcurrentWritersLoseNothing) {
  ASSERT_EQ(ACL_ObjectAdd(ctx, path, Object("/shared", "alice", "", 0x0744)), 0);
  constexpr int kProcesses = 5;
  constexpr int kEach = 12;
  int failed = cabinet_test::RunInProcesses(kProcesses, [&](int p) {
    MdsSession dir(nullptr, nullptr);
    int failures = dir.ok() ? 0 : 1;
    for (int i = 0; i < kEach; ++i) {
      std::string name = "/p" + std::to_string(p) + "_" + std::to_string(i);
      if (ACL_ObjectAdd(dir.get(), path, Object(name, "alice", "", 0x0744)) != 0) ++failures;
      if (ACL_EntryAdd(dir.get(), path, "/shared", Entry(name, kAclEverybody, 4)) != 0) ++failures;
    }
    return failures == 0;
  });
  EXPECT_EQ(failed, 0);
  std::vector<std::string> names = Names();
  EXPECT_EQ(names.size(), static_cast<std::size_t>(1 + kProcesses * kEach));
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  ACL_Object shared;
  ASSERT_EQ(ACL_ObjectGet(path, "/shared", shared), 0);
  EXPECT_EQ(shared.entries.size(), static_cast<std::size_t>(kProcesses * kEach));
}

}  // namespace
