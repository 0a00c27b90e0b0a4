/* A directory back end for the tests of loading and dispatch: every
 * operation appends what it received to the file named by AD_MDS_LOG, one
 * line "<tag>\t<operation>\t<arguments...>" ("(null)" for a null string; a
 * group record as its id), and answers 0 with one made-up item in each list:
 * member "rec-user", group "/rec", the user's own id as its information.
 * MDS_GroupIsAdm answers 2, MDS_IsUserExist 1, MDS_Shutdown 0, unless
 * AD_MDS_ANSWERS ("UserCreate=3,UserDelete=2") gives an operation another
 * answer.
 * Built as libmds_rec.so (tag "rec"), without MDS_UserSearch as
 * libmds_rec_nosearch.so (tag "nosearch"), and with MDS_Configure (recorded
 * as "Configure" with its path) as libmds_rec_conf.so (tag "conf"). Helpers are static, so a second
 * copy loaded with RTLD_GLOBAL never runs this one's. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/directory/base/mds_abi.h"

#if defined(MDS_RECORDER_NO_SEARCH)
#define TAG "nosearch"
#elif defined(MDS_RECORDER_CONFIGURE)
#define TAG "conf"
#else
#define TAG "rec"
#endif

static const char* s(const char* text) {
  return text ? text : "(null)";
}

static void record(const char* op, int n, ...) {
  const char* path = getenv("AD_MDS_LOG");
  if (!path) return;
  char line[8192];
  size_t used = (size_t)snprintf(line, sizeof line, "%s\t%s", TAG, op);
  va_list ap;
  va_start(ap, n);
  for (int i = 0; i < n && used < sizeof line; ++i) {
    used += (size_t)snprintf(line + used, sizeof line - used, "\t%s", s(va_arg(ap, const char*)));
  }
  va_end(ap);
  if (used >= sizeof line - 1) used = sizeof line - 2;
  line[used++] = '\n';
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (write(fd, line, used) < 0) {
  }
  close(fd);
}

/* The answer AD_MDS_ANSWERS gives `op`, or `normal`. */
static int answer(const char* op, int normal) {
  const char* all = getenv("AD_MDS_ANSWERS");
  size_t n = strlen(op);
  for (const char* p = all; p && *p; p = strchr(p, ',') ? strchr(p, ',') + 1 : NULL) {
    if (strncmp(p, op, n) == 0 && p[n] == '=') return atoi(p + n + 1);
  }
  return normal;
}

static int members(MDS_Member** list, int* count) {
  *list = calloc(1, sizeof **list);
  (*list)[0].first = strdup("rec-user");
  *count = 1;
  return 0;
}

static int strings(char*** list, int* count) {
  *list = calloc(1, sizeof **list);
  (*list)[0] = strdup("/rec");
  *count = 1;
  return 0;
}

int MDS_GroupUListGet(MDS_Context* c, const char* id, MDS_Member** l, int* n) {
  (void)c;
  record("GroupUListGet", 1, id);
  return answer("GroupUListGet", members(l, n));
}
int MDS_GroupAListGet(MDS_Context* c, const char* id, MDS_Member** l, int* n) {
  (void)c;
  record("GroupAListGet", 1, id);
  return answer("GroupAListGet", members(l, n));
}
int MDS_GroupGListGet(MDS_Context* c, const char* id, char*** l, int* n) {
  (void)c;
  record("GroupGListGet", 1, id);
  return answer("GroupGListGet", strings(l, n));
}
int MDS_GroupGInfoListGet(MDS_Context* c, const char* id, MDS_GroupInfo** l, int* n) {
  (void)c;
  record("GroupGInfoListGet", 1, id);
  *l = calloc(1, sizeof **l);
  (*l)[0].f[0] = strdup("/rec");
  *n = 1;
  return answer("GroupGInfoListGet", 0);
}
int MDS_GroupInfoGet(MDS_Context* c, const char* id, MDS_GroupInfo* info) {
  (void)c;
  record("GroupInfoGet", 1, id);
  memset(info, 0, sizeof *info);
  info->f[0] = strdup("/rec");
  return answer("GroupInfoGet", 0);
}
int MDS_GroupCreate(MDS_Context* c, MDS_GroupInfo* info) {
  (void)c;
  record("GroupCreate", 2, info->f[0], info->f[1]);
  return answer("GroupCreate", 0);
}
int MDS_GroupDelete(MDS_Context* c, const char* id) {
  (void)c;
  record("GroupDelete", 1, id);
  return answer("GroupDelete", 0);
}
int MDS_GroupInfoUpdate(MDS_Context* c, MDS_GroupInfo* info) {
  (void)c;
  record("GroupInfoUpdate", 2, info->f[0], info->f[1]);
  return answer("GroupInfoUpdate", 0);
}
int MDS_GroupRename(MDS_Context* c, const char* id, const char* parent, const char* name) {
  (void)c;
  record("GroupRename", 3, id, parent, name);
  return answer("GroupRename", 0);
}
int MDS_GroupUserCreate(MDS_Context* c, const char* id, const char* user) {
  (void)c;
  record("GroupUserCreate", 2, id, user);
  return answer("GroupUserCreate", 0);
}
int MDS_GroupUserDelete(MDS_Context* c, const char* id, const char* user) {
  (void)c;
  record("GroupUserDelete", 2, id, user);
  return answer("GroupUserDelete", 0);
}
int MDS_GroupUserMove(MDS_Context* c, const char* user, const char* from, const char* to) {
  (void)c;
  record("GroupUserMove", 3, user, from, to);
  return answer("GroupUserMove", 0);
}
int MDS_GroupIsAdm(MDS_Context* c, const char* user) {
  (void)c;
  record("GroupIsAdm", 1, user);
  return answer("GroupIsAdm", 2);
}
int MDS_GroupAdmCreate(MDS_Context* c, const char* id, const char* user) {
  (void)c;
  record("GroupAdmCreate", 2, id, user);
  return answer("GroupAdmCreate", 0);
}
int MDS_GroupAdmDelete(MDS_Context* c, const char* id, const char* user) {
  (void)c;
  record("GroupAdmDelete", 2, id, user);
  return answer("GroupAdmDelete", 0);
}
int MDS_UserGListGet(MDS_Context* c, const char* user, char*** l, int* n) {
  (void)c;
  record("UserGListGet", 1, user);
  return answer("UserGListGet", strings(l, n));
}
int MDS_UserInfoUpdate(MDS_Context* c, MDS_UserInfo* info) {
  (void)c;
  record("UserInfoUpdate", 2, info->f[0], info->f[4]);
  return answer("UserInfoUpdate", 0);
}
int MDS_UserInfoGet(MDS_Context* c, const char* user, MDS_UserInfo* info) {
  (void)c;
  record("UserInfoGet", 1, user);
  memset(info, 0, sizeof *info);
  info->f[0] = strdup(s(user));
  return answer("UserInfoGet", 0);
}
int MDS_UserPassUpdate(MDS_Context* c, const char* user, const char* password, int mode) {
  (void)c;
  record("UserPassUpdate", 3, user, password, mode ? "1" : "0");
  return answer("UserPassUpdate", 0);
}
int MDS_UserPassGet(MDS_Context* c, const char* user, char** password) {
  (void)c;
  record("UserPassGet", 1, user);
  *password = strdup("rec:0:*");
  return answer("UserPassGet", 0);
}
int MDS_UserCreate(MDS_Context* c, const char* user, const char* password, const char* id,
                   MDS_UserInfo* info) {
  (void)c, (void)info;
  record("UserCreate", 3, user, password, id);
  return answer("UserCreate", 0);
}
int MDS_UserDelete(MDS_Context* c, const char* user) {
  (void)c;
  record("UserDelete", 1, user);
  return answer("UserDelete", 0);
}
int MDS_IsUserExist(MDS_Context* c, const char* user) {
  (void)c;
  record("IsUserExist", 1, user);
  return answer("IsUserExist", 1);
}
#ifndef MDS_RECORDER_NO_SEARCH
int MDS_UserSearch(MDS_Context* c, const char* pattern, MDS_Member** l, int* n) {
  (void)c;
  record("UserSearch", 1, pattern);
  return answer("UserSearch", members(l, n));
}
#endif
int MDS_Shutdown(MDS_Context* c) {
  record("Shutdown", 1, c->assignment);
  return answer("Shutdown", 0);
}

#ifdef MDS_RECORDER_CONFIGURE
int MDS_Configure(MDS_Context* c, const char* path) {
  (void)c;
  record("Configure", 1, path);
  return answer("Configure", 0);
}
#endif
