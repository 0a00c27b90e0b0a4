// A loadable directory back end that serves all 25 operations from the
// built-in group store, through the back-end interface of mds_abi.h. It shows
// the interface a site's own back end implements, and lets the tests load a
// back end that behaves like the store. Name it in mds.conf:
//   preloadlib = /webmail/lib/libmds_lgrp.so
// Unlike the built-in table, its MDS_Shutdown answers 0.
#include "common/directory/base/mds_abi.h"
#include "common/directory/builtin/builtin.h"

#define MDS_EXPORT extern "C" __attribute__((visibility("default")))

MDS_EXPORT int MDS_GroupUListGet(MDS_Context* c, const char* id, MDS_Member** l, int* n) {
  return MDS_LGRP_GroupUListGet(c, id, l, n);
}
MDS_EXPORT int MDS_GroupAListGet(MDS_Context* c, const char* id, MDS_Member** l, int* n) {
  return MDS_LGRP_GroupAListGet(c, id, l, n);
}
MDS_EXPORT int MDS_GroupGListGet(MDS_Context* c, const char* id, char*** l, int* n) {
  return MDS_LGRP_GroupGListGet(c, id, l, n);
}
MDS_EXPORT int MDS_GroupGInfoListGet(MDS_Context* c, const char* id, MDS_GroupInfo** l, int* n) {
  return MDS_LGRP_GroupGInfoListGet(c, id, l, n);
}
MDS_EXPORT int MDS_GroupInfoGet(MDS_Context* c, const char* id, MDS_GroupInfo* info) {
  return MDS_LGRP_GroupInfoGet(c, id, info);
}
MDS_EXPORT int MDS_GroupCreate(MDS_Context* c, MDS_GroupInfo* info) {
  return MDS_LGRP_GroupCreate(c, info);
}
MDS_EXPORT int MDS_GroupDelete(MDS_Context* c, const char* id) {
  return MDS_LGRP_GroupDelete(c, id);
}
MDS_EXPORT int MDS_GroupInfoUpdate(MDS_Context* c, MDS_GroupInfo* info) {
  return MDS_LGRP_GroupInfoUpdate(c, info);
}
MDS_EXPORT int MDS_GroupRename(MDS_Context* c, const char* id, const char* parent,
                               const char* name) {
  return MDS_LGRP_RenameThenMove(c, id, parent, name);
}
MDS_EXPORT int MDS_GroupUserCreate(MDS_Context* c, const char* id, const char* user) {
  return MDS_LGRP_GroupUserCreate(c, id, user);
}
MDS_EXPORT int MDS_GroupUserDelete(MDS_Context* c, const char* id, const char* user) {
  return MDS_LGRP_GroupUserDelete(c, id, user);
}
MDS_EXPORT int MDS_GroupUserMove(MDS_Context* c, const char* user, const char* from,
                                 const char* to) {
  return MDS_LGRP_GroupUserMove(c, user, from, to);
}
MDS_EXPORT int MDS_GroupIsAdm(MDS_Context* c, const char* user) {
  return MDS_LGRP_GroupIsAdm(c, user);
}
MDS_EXPORT int MDS_GroupAdmCreate(MDS_Context* c, const char* id, const char* user) {
  return MDS_LGRP_GroupAdmCreate(c, id, user);
}
MDS_EXPORT int MDS_GroupAdmDelete(MDS_Context* c, const char* id, const char* user) {
  return MDS_LGRP_GroupAdmDelete(c, id, user);
}
MDS_EXPORT int MDS_UserGListGet(MDS_Context* c, const char* user, char*** l, int* n) {
  return MDS_LGRP_UserGListGet(c, user, l, n);
}
MDS_EXPORT int MDS_UserInfoUpdate(MDS_Context* c, MDS_UserInfo* info) {
  return MDS_LGRP_UserInfoUpdate(c, info);
}
MDS_EXPORT int MDS_UserInfoGet(MDS_Context* c, const char* user, MDS_UserInfo* info) {
  return MDS_LGRP_UserInfoGet(c, user, info);
}
MDS_EXPORT int MDS_UserPassUpdate(MDS_Context* c, const char* user, const char* password,
                                  int mode) {
  return MDS_LGRP_UserPassUpdate(c, user, password, mode);
}
MDS_EXPORT int MDS_UserPassGet(MDS_Context* c, const char* user, char** password) {
  return MDS_LGRP_UserPassGet(c, user, password);
}
MDS_EXPORT int MDS_UserCreate(MDS_Context* c, const char* user, const char* password,
                              const char* id, MDS_UserInfo* info) {
  return MDS_LGRP_UserCreate(c, user, password, id, info);
}
MDS_EXPORT int MDS_UserDelete(MDS_Context* c, const char* user) {
  return MDS_LGRP_UserDelete(c, user);
}
MDS_EXPORT int MDS_IsUserExist(MDS_Context* c, const char* user) {
  return MDS_LGRP_IsUserExist(c, user);
}
MDS_EXPORT int MDS_UserSearch(MDS_Context* c, const char* pattern, MDS_Member** l, int* n) {
  return MDS_LGRP_UserSearch(c, pattern, l, n);
}
MDS_EXPORT int MDS_Shutdown(MDS_Context*) {
  return 0;
}
