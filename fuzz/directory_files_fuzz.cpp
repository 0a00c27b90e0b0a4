// The files of the directory service as a request could find them: the first
// byte chooses the file ('0' a Group.list, '1' a user's Group.list, '2' a
// .userinfo, '3' a .forward, '4' a user.list), the rest is its content. Every
// reader stays inside its limits, and what is written back reads back as
// written:
//   Group.list  the records rewritten read back equal
//   user list   an entry added and removed again leaves none
//   .userinfo   stored, read and stored again gives the same file
//   .forward    the entries rewritten (with one added) read back equal
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/directory/app/mdsap.h"
#include "common/directory/groupstore/lgrp.h"
#include "common/directory/groupstore/lgrp_files.h"
#include "common/directory/mds.h"
#include "host/account/user_info.h"
#include "host/base/process.h"
#include "host/base/strings.h"
#include "host/files/files.h"

namespace {

namespace fs = std::filesystem;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "directory_files_fuzz: %s\n", what);
    std::abort();
  }
}

// A root of its own, made once and removed at exit: user "fuzz" and account
// "list".
struct RootDir {
  std::string path;
  RootDir() {
    const char* base = std::getenv("TMPDIR");
    path = std::string(base && *base ? base : "/tmp") + "/directory_fuzz.XXXXXX";
    if (!mkdtemp(path.data())) std::abort();
    for (const char* d : {"etc", "log", "public/grp/1", "home/fuzz", "home/list"}) {
      fs::create_directories(path + "/" + d);
    }
    std::ofstream(path + "/etc/passwd") << "fuzz:0:*\nlist:0:*\n";
    setenv("WEBMAIL_ROOT", path.c_str(), 1);
    host::ReloadEnv();
  }
  ~RootDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

const std::string& Root() {
  static const RootDir root;
  return root.path;
}

void Put(const std::string& sub, std::string_view data) {
  std::ofstream(Root() + "/" + sub, std::ios::binary | std::ios::trunc)
      .write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string Get(const std::string& sub) {
  std::string text;
  MFILE_Read(Root() + "/" + sub, text);
  return text;
}

bool Same(const LGRP_Group& a, const LGRP_Group& b) {
  return a.id == b.id && a.name == b.name && a.reserved == b.reserved && a.account == b.account &&
         a.text5 == b.text5 && a.text6 == b.text6 && a.text7 == b.text7 && a.created == b.created &&
         a.value9 == b.value9 && a.level == b.level;
}

void GroupList(std::string_view data, MDS_Context* ctx) {
  Put("public/grp/Group.list", data);
  std::vector<LGRP_Group> records;
  Check(LGRP_GetGroupFIDs("/", records) == 0, "Group.list unreadable");
  std::string text;
  for (const LGRP_Group& r : records) {
    Check(LGRP_GroupDir(r.id).has_value(), "a record's id names no folder");
    Check(r.name.size() <= kLgrpNameMax && r.account.size() <= kLgrpAccountMax &&
              r.text5.size() <= kLgrpText5Max && r.text6.size() <= kLgrpText6Max &&
              r.text7.size() <= kLgrpText7Max && r.reserved.size() <= kLgrpReservedMax,
          "a field past its width");
    text += LgrpFormatLine(r);
  }
  Put("public/grp/Group.list", text);
  std::vector<LGRP_Group> again;
  Check(LGRP_GetGroupFIDs("/", again) == 0 && again.size() == records.size(), "rewrite count");
  for (std::size_t i = 0; i < records.size(); ++i) {
    // Names and texts holding a TAB cannot have been read; a CR may.
    Check(Same(records[i], again[i]), "a rewritten record reads back changed");
  }
  MdsStringList names;
  MDS_GroupGListGet(ctx, "/", &names.items, &names.count);
  MdsGroupInfoList infos;
  MDS_GroupGInfoListGet(ctx, "/", &infos.items, &infos.count);
}

void UserGroupList(std::string_view data, MDS_Context* ctx) {
  Put("home/fuzz/Group.list", data);
  std::vector<std::string> entries;
  Check(LGRP_GetUserGroupList("fuzz", entries) == 0, "user list unreadable");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    Check(!entries[i].empty(), "an empty entry");
  }
  MdsStringList groups;
  MDS_UserGListGet(ctx, "fuzz", &groups.items, &groups.count);
  MDSAP_IsInGroupTree(ctx, "fuzz", "/");
  MDS_GroupIsAdm(ctx, "fuzz");
  LGRP_IsGroupAdm("fuzz", "/1");
  Check(LGRP_UserGroupListAdd("fuzz", "/1", true) == 0, "add");
  Check(LGRP_UserGroupListDel("fuzz", "/1", false) == 0, "del");
  Check(LGRP_GetUserGroupList("fuzz", entries) == 0, "user list unreadable after a change");
  for (const std::string& e : entries) Check(e != "/1" && e != "+/1", "a removed entry stays");
}

void UserInfo(std::string_view data) {
  Put("home/fuzz/.userinfo", data);
  UINFO first;
  Check(uinfo_get("fuzz", first) == 0, "uinfo_get");
  Check(uinfo_store("fuzz", first) == 0, "uinfo_store");
  std::string stored = Get("home/fuzz/.userinfo");
  UINFO second;
  Check(uinfo_get("fuzz", second) == 0, "uinfo_get after a store");
  Check(uinfo_store("fuzz", second) == 0, "uinfo_store again");
  Check(Get("home/fuzz/.userinfo") == stored, "a stored record reads back changed");
}

bool SameEntries(const std::vector<MDSAP_FwdEntry>& a, const std::vector<MDSAP_FwdEntry>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].address != b[i].address || a[i].note != b[i].note) return false;
  }
  return true;
}

void Forward(std::string_view data, MDS_Context* ctx) {
  Put("home/list/.forward", data);
  std::vector<MDSAP_FwdEntry> before;
  Check(MDSAP_FwdGet(ctx, "list", before) == 0, "forward unreadable");
  for (const MDSAP_FwdEntry& e : before) Check(!e.address.empty(), "an entry without address");
  std::vector<std::string> senders;
  MDSAP_FwdSenderGet(ctx, "list", senders);
  MDSAP_FwdEntry added{"fuzz-added@example.org", "", "n", 1};
  bool present = false;
  for (const MDSAP_FwdEntry& e : before) {
    present = present || EqualsNoCase(e.address, added.address);
  }
  if (present) return;
  Check(MDSAP_FwdAdd(ctx, "list", added, 0) == 0, "add");
  std::vector<MDSAP_FwdEntry> after;
  Check(MDSAP_FwdGet(ctx, "list", after) == 0, "forward unreadable after a change");
  std::vector<MDSAP_FwdEntry> want{added};
  want.insert(want.end(), before.begin(), before.end());
  Check(SameEntries(after, want), "the entries rewritten read back changed");
  Check(MDSAP_FwdDel(ctx, "list", added.address.c_str()) == 0, "del");
  Check(MDSAP_FwdGet(ctx, "list", after) == 0 && SameEntries(after, before), "del changed others");
}

void UserList(std::string_view data, MDS_Context* ctx) {
  Put("public/grp/Group.list", "1\tG\t\t\t\n");
  Put("public/grp/1/user.list", data);
  MdsMemberList members;
  Check(MDS_GroupUListGet(ctx, "/G", &members.items, &members.count) == 0, "user.list unreadable");
  for (const MDS_Member& m : members) {
    Check(m.first && *m.first && std::string_view(m.first).size() <= kLgrpUserIdMax, "member");
  }
  MDSAP_IsInTheGroup(ctx, "fuzz", "/G");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Root();
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  MdsSession dir(nullptr, nullptr);
  Check(dir.ok(), "context");
  switch (static_cast<unsigned char>(data[0] - '0') % 5) {
    case 0:
      GroupList(rest, dir.get());
      break;
    case 1:
      UserGroupList(rest, dir.get());
      break;
    case 2:
      UserInfo(rest);
      break;
    case 3:
      Forward(rest, dir.get());
      break;
    default:
      UserList(rest, dir.get());
      break;
  }
  return 0;
}
