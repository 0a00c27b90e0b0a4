// What the directory tests share: a root with users, contexts, and a check
// that the group store and the users' lists agree.
#pragma once

#include <dirent.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/directory/app/mdsap.h"
#include "common/directory/groupstore/lgrp.h"
#include "common/directory/mds.h"
#include "host/files/files.h"
#include "support/test_root.h"

namespace directory_test {

using testing_support::TestRoot;

inline std::string Lib(const char* name) {
  return std::string(AD_LIB_DIR) + "/" + name;
}

inline std::vector<std::string> Strings(const MdsStringList& list) {
  std::vector<std::string> out;
  for (const char* s : list) out.emplace_back(s ? s : "(null)");
  return out;
}

inline std::vector<std::string> Firsts(const MdsMemberList& list) {
  std::vector<std::string> out;
  for (const MDS_Member& m : list) out.emplace_back(m.first ? m.first : "(null)");
  return out;
}

inline std::string ReadText(const std::string& path) {
  std::string text;
  MFILE_Read(path, text);
  return text;
}

// Every way the store and the users' lists disagree, one text each: a member
// or administrator whose list lacks the group, or a list entry that no
// user.list or admin.list backs.
inline std::vector<std::string> StoreProblems(const TestRoot& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> problems;
  std::map<std::string, std::set<std::string>> expected;  // user -> entries
  fs::path grp = fs::path(root.Path("public/grp"));
  auto users_of = [](const fs::path& file) {
    std::vector<std::string> users;
    std::string text = ReadText(file.string());
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t nl = text.find('\n', at);
      if (nl == std::string::npos) nl = text.size();
      if (nl > at) users.push_back(text.substr(at, nl - at));
      at = nl + 1;
    }
    return users;
  };
  std::error_code ec;
  if (fs::exists(grp, ec)) {
    for (auto it = fs::recursive_directory_iterator(grp, ec); it != fs::end(it); ++it) {
      if (!it->is_directory()) continue;
      std::string id = "/" + fs::relative(it->path(), grp).string();
      bool admin_dir = fs::exists(it->path() / "admin.list");
      for (const std::string& u : users_of(it->path() / "user.list")) {
        std::set<std::string>& e = expected[u];
        if (!e.count("+" + id)) e.insert(id);
      }
      if (admin_dir) {
        for (const std::string& u : users_of(it->path() / "admin.list")) {
          expected[u].erase(id);
          expected[u].insert("+" + id);
        }
      }
    }
  }
  for (const auto& home : fs::directory_iterator(root.Path("home"), ec)) {
    std::string user = home.path().filename().string();
    std::set<std::string> have;
    for (const std::string& line : users_of(home.path() / "Group.list")) have.insert(line);
    for (const std::string& e : expected[user]) {
      if (!have.count(e)) problems.push_back(user + " lacks " + e);
    }
    for (const std::string& e : have) {
      if (!expected[user].count(e)) problems.push_back(user + " has stray " + e);
    }
  }
  return problems;
}

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* u : {"alice", "bob", "carol", "dave"}) root.AddUser(u);
  }

  // A built-in context, closed by the test's end.
  MDS_Context* Open(const char* assignment = nullptr) {
    sessions_.push_back(std::make_unique<MdsSession>(nullptr, assignment));
    EXPECT_TRUE(sessions_.back()->ok());
    return sessions_.back()->get();
  }

  int Create(MDS_Context* ctx, const char* id, const char* level = nullptr,
             const char* account = nullptr) {
    MdsGroupInfoRecord info;
    info.rec.f[0] = MdsStrDup(id);
    if (account) info.rec.f[1] = MdsStrDup(account);
    if (level) info.rec.f[3] = MdsStrDup(level);
    return MDS_GroupCreate(ctx, &info.rec);
  }

  std::vector<std::string> UserGroups(MDS_Context* ctx, const char* user) {
    MdsStringList list;
    EXPECT_EQ(MDS_UserGListGet(ctx, user, &list.items, &list.count), 0) << user;
    return Strings(list);
  }

  std::vector<std::string> Members(MDS_Context* ctx, const char* id, bool admins = false) {
    MdsMemberList list;
    int r = admins ? MDS_GroupAListGet(ctx, id, &list.items, &list.count)
                   : MDS_GroupUListGet(ctx, id, &list.items, &list.count);
    EXPECT_EQ(r, 0) << id;
    return Firsts(list);
  }

  std::string Log(const char* name) const { return root.Read(std::string("log/") + name); }

  TestRoot root;

 private:
  std::vector<std::unique_ptr<MdsSession>> sessions_;
};

}  // namespace directory_test
