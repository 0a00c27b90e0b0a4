/* A sample add-on hook library for the directory service. Install it as
 * <root>/lib/libmdsadd.so and set "callmdsadd = 1" in mds.conf.
 *
 * Every hook appends one line "<hook>\t<user>\t<e-mail>\n" to
 * <root>/log/mdsadd.log (the e-mail field of the user's information, "-" for
 * the hooks without one) and answers the number that <root>/etc/mdsadd.conf
 * gives it on a line "<hook> <number>", 0 when none: 65 stops a user creation
 * (PreAdd) or an information update, 66 reports a failure, anything else lets
 * the operation go on. A line that cannot be logged answers 66.
 *
 * The root is WEBMAIL_ROOT, else /webmail. The library links nothing beyond
 * libc and exports only the hooks. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/directory/base/mds_abi.h"

#define HOOK __attribute__((visibility("default")))

static void root_path(char* out, size_t size, const char* sub) {
  const char* root = getenv("WEBMAIL_ROOT");
  snprintf(out, size, "%s/%s", root && *root ? root : "/webmail", sub);
}

/* The answer etc/mdsadd.conf gives the hook, 0 when none. */
static int configured_answer(const char* hook) {
  char path[4096];
  root_path(path, sizeof path, "etc/mdsadd.conf");
  FILE* f = fopen(path, "re");
  if (!f) return 0;
  char line[512];
  int answer = 0;
  size_t n = strlen(hook);
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, hook, n) == 0 && (line[n] == ' ' || line[n] == '\t')) {
      answer = atoi(line + n + 1);
      break;
    }
  }
  fclose(f);
  return answer;
}

/* One line per call, written with one write() to a file opened for
 * appending. Control bytes in the values become spaces. */
static int note(const char* hook, const char* user, const MDS_UserInfo* info) {
  const char* email = info && info->f[4] && *info->f[4] ? info->f[4] : "-";
  char line[1024];
  int len = snprintf(line, sizeof line, "%s\t%s\t%s", hook, user ? user : "(null)", email);
  if (len < 0) return MDSADD_FAILED;
  if ((size_t)len >= sizeof line - 1) len = (int)sizeof line - 2;
  for (int i = (int)strlen(hook) + 1; i < len; ++i) {
    if ((unsigned char)line[i] < 0x20 && line[i] != '\t') line[i] = ' ';
  }
  line[len++] = '\n';
  char path[4096];
  root_path(path, sizeof path, "log/mdsadd.log");
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return MDSADD_FAILED;
  ssize_t written = write(fd, line, (size_t)len);
  close(fd);
  return written == len ? configured_answer(hook) : MDSADD_FAILED;
}

HOOK int MDSADD_UserCreate_PreAdd(const char* group, const char* user, const char* password,
                                  int level, int is_hash, int no_password, void* info) {
  (void)group, (void)password, (void)level, (void)is_hash, (void)no_password;
  return note("MDSADD_UserCreate_PreAdd", user, info);
}

HOOK int MDSADD_UserCreate_PostAdd(const char* group, const char* user, const char* password,
                                   int level, int is_hash, int no_password, void* info) {
  (void)group, (void)password, (void)level, (void)is_hash, (void)no_password;
  return note("MDSADD_UserCreate_PostAdd", user, info);
}

HOOK int MDSADD_UserInfoUpdate_PreAdd(const char* user, void* info) {
  return note("MDSADD_UserInfoUpdate_PreAdd", user, info);
}

HOOK int MDSADD_UserInfoGet_PostAdd(const char* user, void* info) {
  return note("MDSADD_UserInfoGet_PostAdd", user, info);
}

HOOK int MDSADD_UserPassUpdate_PostAdd(const char* user, const char* password, int is_hash,
                                       int no_password) {
  (void)password, (void)is_hash, (void)no_password;
  return note("MDSADD_UserPassUpdate_PostAdd", user, NULL);
}

HOOK int MDSADD_UserRemove_PostAdd(const char* user, void* info) {
  return note("MDSADD_UserRemove_PostAdd", user, info);
}
