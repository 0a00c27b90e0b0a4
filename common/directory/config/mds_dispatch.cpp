// The dispatch functions: each forwards to the context's table.
#include <cstring>

#include "common/directory/groupstore/lgrp.h"
#include "common/directory/mds.h"

namespace {

constexpr std::size_t kIdBuffer = 2048;

// A group id as a back end receives it: a copy cut at the first "@" (two-byte
// aware), or null for a null id. An id that does not fit the copy is
// refused rather than cut.
class CutId {
 public:
  explicit CutId(const char* id) : null_(id == nullptr) {
    if (null_) return;
    std::size_t n = std::strlen(id);
    if (n >= kIdBuffer) {
      too_long_ = true;
      return;
    }
    std::memcpy(buffer_, id, n + 1);
    std::size_t at = MbStrChr(std::string_view(buffer_, n), '@');
    if (at != std::string_view::npos) buffer_[at] = '\0';
  }
  bool too_long() const { return too_long_; }
  char* get() { return null_ ? nullptr : buffer_; }

 private:
  char buffer_[kIdBuffer] = {};
  bool null_;
  bool too_long_ = false;
};

template <typename Fn>
Fn Slot(const MDS_Context* ctx, int slot) {
  return reinterpret_cast<Fn>(ctx->ops[slot]);
}

// Calls slot `slot` with one group id first, then `rest`.
template <typename Fn, typename... Rest>
int WithId(MDS_Context* ctx, int slot, const char* id, Rest... rest) {
  Fn fn = Slot<Fn>(ctx, slot);
  if (!fn) return kMdsFileError;
  CutId cut(id);
  if (cut.too_long()) return kMdsNoGroup;
  return fn(ctx, cut.get(), rest...);
}

// Calls a slot that takes a group record, its id cut for the call.
template <typename Fn>
int WithRecord(MDS_Context* ctx, int slot, MDS_GroupInfo* info) {
  Fn fn = Slot<Fn>(ctx, slot);
  if (!fn) return kMdsFileError;
  if (!info) return fn(ctx, info);
  char* original = info->f[0];
  CutId cut(original);
  if (cut.too_long()) return kMdsNoGroup;
  info->f[0] = cut.get();
  int result = fn(ctx, info);
  info->f[0] = original;
  return result;
}

}  // namespace

int MDS_GroupUListGet(MDS_Context* ctx, const char* id, MDS_Member** list, int* count) {
  return WithId<MDS_GroupUListGetFn>(ctx, 0, id, list, count);
}

int MDS_GroupAListGet(MDS_Context* ctx, const char* id, MDS_Member** list, int* count) {
  return WithId<MDS_GroupAListGetFn>(ctx, 1, id, list, count);
}

int MDS_GroupGListGet(MDS_Context* ctx, const char* id, char*** list, int* count) {
  return WithId<MDS_GroupGListGetFn>(ctx, 2, id, list, count);
}

int MDS_GroupGInfoListGet(MDS_Context* ctx, const char* id, MDS_GroupInfo** list, int* count) {
  return WithId<MDS_GroupGInfoListGetFn>(ctx, 3, id, list, count);
}

int MDS_GroupInfoGet(MDS_Context* ctx, const char* id, MDS_GroupInfo* info) {
  return WithId<MDS_GroupInfoGetFn>(ctx, 4, id, info);
}

int MDS_GroupCreate(MDS_Context* ctx, MDS_GroupInfo* info) {
  return WithRecord<MDS_GroupCreateFn>(ctx, 5, info);
}

int MDS_GroupDelete(MDS_Context* ctx, const char* id) {
  return WithId<MDS_GroupDeleteFn>(ctx, 6, id);
}

int MDS_GroupInfoUpdate(MDS_Context* ctx, MDS_GroupInfo* info) {
  return WithRecord<MDS_GroupInfoUpdateFn>(ctx, 7, info);
}

int MDS_GroupRename(MDS_Context* ctx, const char* id, const char* parent, const char* name) {
  auto fn = Slot<MDS_GroupRenameFn>(ctx, 8);
  if (!fn) return kMdsFileError;
  CutId cut_id(id), cut_parent(parent);
  if (cut_id.too_long() || cut_parent.too_long()) return kMdsNoGroup;
  return fn(ctx, cut_id.get(), cut_parent.get(), name);
}

int MDS_GroupUserCreate(MDS_Context* ctx, const char* id, const char* user) {
  return WithId<MDS_GroupUserCreateFn>(ctx, 9, id, user);
}

int MDS_GroupUserDelete(MDS_Context* ctx, const char* id, const char* user) {
  return WithId<MDS_GroupUserDeleteFn>(ctx, 10, id, user);
}

int MDS_GroupUserMove(MDS_Context* ctx, const char* user, const char* from, const char* to) {
  auto fn = Slot<MDS_GroupUserMoveFn>(ctx, 11);
  if (!fn) return kMdsFileError;
  CutId cut_from(from), cut_to(to);
  if (cut_from.too_long() || cut_to.too_long()) return kMdsNoGroup;
  return fn(ctx, user, cut_from.get(), cut_to.get());
}

int MDS_GroupIsAdm(MDS_Context* ctx, const char* user) {
  auto fn = Slot<MDS_GroupIsAdmFn>(ctx, 12);
  return fn ? fn(ctx, user) : -1;
}

int MDS_GroupAdmCreate(MDS_Context* ctx, const char* id, const char* user) {
  return WithId<MDS_GroupAdmCreateFn>(ctx, 13, id, user);
}

int MDS_GroupAdmDelete(MDS_Context* ctx, const char* id, const char* user) {
  return WithId<MDS_GroupAdmDeleteFn>(ctx, 14, id, user);
}

int MDS_UserGListGet(MDS_Context* ctx, const char* user, char*** list, int* count) {
  auto fn = Slot<MDS_UserGListGetFn>(ctx, 15);
  return fn ? fn(ctx, user, list, count) : kMdsFileError;
}

int MDS_UserInfoUpdate(MDS_Context* ctx, MDS_UserInfo* info) {
  auto fn = Slot<MDS_UserInfoUpdateFn>(ctx, 16);
  return fn ? fn(ctx, info) : kMdsFileError;
}

int MDS_UserInfoGet(MDS_Context* ctx, const char* user, MDS_UserInfo* info) {
  auto fn = Slot<MDS_UserInfoGetFn>(ctx, 17);
  return fn ? fn(ctx, user, info) : kMdsFileError;
}

int MDS_UserPassUpdate(MDS_Context* ctx, const char* user, const char* password, int mode) {
  auto fn = Slot<MDS_UserPassUpdateFn>(ctx, 18);
  return fn ? fn(ctx, user, password, mode) : kMdsFileError;
}

int MDS_UserPassGet(MDS_Context* ctx, const char* user, char** password) {
  auto fn = Slot<MDS_UserPassGetFn>(ctx, 19);
  return fn ? fn(ctx, user, password) : kMdsFileError;
}

int MDS_UserCreate(MDS_Context* ctx, const char* user, const char* password, const char* id,
                   MDS_UserInfo* info) {
  auto fn = Slot<MDS_UserCreateFn>(ctx, 20);
  if (!fn) return kMdsFileError;
  CutId cut(id);
  if (cut.too_long()) return kMdsNoGroup;
  return fn(ctx, user, password, cut.get(), info);
}

int MDS_UserDelete(MDS_Context* ctx, const char* user) {
  auto fn = Slot<MDS_UserDeleteFn>(ctx, 21);
  return fn ? fn(ctx, user) : kMdsFileError;
}

int MDS_IsUserExist(MDS_Context* ctx, const char* user) {
  auto fn = Slot<MDS_IsUserExistFn>(ctx, 22);
  return fn ? fn(ctx, user) : -1;
}

int MDS_UserSearch(MDS_Context* ctx, const char* pattern, MDS_Member** list, int* count) {
  auto fn = Slot<MDS_UserSearchFn>(ctx, 23);
  return fn ? fn(ctx, pattern, list, count) : kMdsFileError;
}

int MDS_Shutdown(MDS_Context* ctx) {
  auto fn = Slot<MDS_ShutdownFn>(ctx, 24);
  return fn ? fn(ctx) : kMdsFileError;
}
