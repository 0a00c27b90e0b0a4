// The directory service: users, groups and group administrators behind a
// table of 25 operations.
//
// Every use opens a context, calls operations by name and closes it:
//
//   MdsSession dir(nullptr, "@example.com");   // MDS_Init
//   if (dir.ok()) {
//     MdsStringList groups;
//     int r = MDS_UserGListGet(dir.get(), "bob@example.com", &groups.items, &groups.count);
//     ...
//   }                                           // MDS_Close
//
// MDS_Init reads mds.conf (etc/mds.conf below the root, a domain's
// domains/<d>/mds.conf, or another file the assignment names) and fills the
// context's table: with the built-in group store (common/directory/builtin)
// unless a back-end library replaces all operations ("preloadlib") or single
// ones ("owfunc"). Without a configuration nothing is loaded.
//
// The dispatch functions forward to the table. An empty slot answers 2 (-1
// for MDS_GroupIsAdm and MDS_IsUserExist). Group id arguments are handed on
// cut at their first "@" (a byte above 0x80 and the next are one character),
// so a back end sees ids without domain; a record's id is replaced by the cut
// copy for the call and restored afterwards. A null id stays null. An id
// longer than 2047 bytes is refused with 5 (cutting it would name another
// group). Other arguments pass unchanged; results come back as they are.
#pragma once

#include <string>

#include "common/directory/base/mds_abi.h"
#include "common/directory/base/mds_records.h"
#include "common/directory/builtin/builtin.h"

// 0 when the context is ready, -1 when not (one line in the context's log
// file, or in log/error.log for a refused assignment; nothing stays loaded).
int MDS_Init(MDS_Context* ctx, const char* path, const char* assignment);

// Calls MDS_Shutdown, then unloads the libraries the context loaded. Answers
// MDS_Shutdown's result (6 for the built-in back end).
int MDS_Close(MDS_Context* ctx);

// The domain the context serves: the text after "@" of an assignment "@d",
// else the logged-in session's domain.
std::string MDS_ContextDomain(const MDS_Context* ctx);

// 1 when the option bit (MDS_OPT_...) is set, else 0.
int MDS_OptionIsSet(const MDS_Context* ctx, unsigned bit);

int MDS_GroupUListGet(MDS_Context* ctx, const char* id, MDS_Member** list, int* count);
int MDS_GroupAListGet(MDS_Context* ctx, const char* id, MDS_Member** list, int* count);
int MDS_GroupGListGet(MDS_Context* ctx, const char* id, char*** list, int* count);
int MDS_GroupGInfoListGet(MDS_Context* ctx, const char* id, MDS_GroupInfo** list, int* count);
int MDS_GroupInfoGet(MDS_Context* ctx, const char* id, MDS_GroupInfo* info);
int MDS_GroupCreate(MDS_Context* ctx, MDS_GroupInfo* info);
int MDS_GroupDelete(MDS_Context* ctx, const char* id);
int MDS_GroupInfoUpdate(MDS_Context* ctx, MDS_GroupInfo* info);
int MDS_GroupRename(MDS_Context* ctx, const char* id, const char* parent, const char* name);
int MDS_GroupUserCreate(MDS_Context* ctx, const char* id, const char* user);
int MDS_GroupUserDelete(MDS_Context* ctx, const char* id, const char* user);
int MDS_GroupUserMove(MDS_Context* ctx, const char* user, const char* from, const char* to);
int MDS_GroupIsAdm(MDS_Context* ctx, const char* user);
int MDS_GroupAdmCreate(MDS_Context* ctx, const char* id, const char* user);
int MDS_GroupAdmDelete(MDS_Context* ctx, const char* id, const char* user);
int MDS_UserGListGet(MDS_Context* ctx, const char* user, char*** list, int* count);
int MDS_UserInfoUpdate(MDS_Context* ctx, MDS_UserInfo* info);
int MDS_UserInfoGet(MDS_Context* ctx, const char* user, MDS_UserInfo* info);
int MDS_UserPassUpdate(MDS_Context* ctx, const char* user, const char* password, int mode);
int MDS_UserPassGet(MDS_Context* ctx, const char* user, char** password);
int MDS_UserCreate(MDS_Context* ctx, const char* user, const char* password, const char* id,
                   MDS_UserInfo* info);
int MDS_UserDelete(MDS_Context* ctx, const char* user);
int MDS_IsUserExist(MDS_Context* ctx, const char* user);
int MDS_UserSearch(MDS_Context* ctx, const char* pattern, MDS_Member** list, int* count);
int MDS_Shutdown(MDS_Context* ctx);

// The names of the operations in slot order ("MDS_GroupUListGet", ...).
extern const char* const kMdsOperationNames[MDS_OP_COUNT];

// A context opened for one scope: MDS_Init in the constructor, MDS_Close in
// the destructor when it opened.
class MdsSession {
 public:
  MdsSession(const char* path, const char* assignment)
      : ok_(MDS_Init(&ctx_, path, assignment) == 0) {}
  ~MdsSession() { Close(); }
  MdsSession(const MdsSession&) = delete;
  MdsSession& operator=(const MdsSession&) = delete;
  bool ok() const { return ok_; }
  MDS_Context* get() { return &ctx_; }
  // Closes now; MDS_Close's answer (2 when it was not open).
  int Close() {
    if (!ok_) return kMdsFileError;
    ok_ = false;
    return MDS_Close(&ctx_);
  }

 private:
  MDS_Context ctx_{};
  bool ok_;
};
