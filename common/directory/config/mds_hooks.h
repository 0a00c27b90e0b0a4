// The add-on hooks of <root>/lib/libmdsadd.so. Each wrapper answers 66 when
// the library or the hook cannot be had (after a line in log/error.log), else
// the hook's own answer: 65 asks the caller to stop, 66 is the hook's
// failure. The library is opened (RTLD_NOW | RTLD_GLOBAL) at every look-up and
// never closed. `info` is the user's information as 39 strings (see
// mds_abi.h), never null.
#pragma once

#include "common/directory/base/mds_abi.h"

// The hook named `name`, or null after a log line.
void* MDSADD_LoadFunc(const char* name);

int MDSADD_UserCreate_PreAdd(const char* group, const char* user, const char* password, int level,
                             int is_hash, int no_password, MDS_UserInfo* info);
int MDSADD_UserCreate_PostAdd(const char* group, const char* user, const char* password, int level,
                              int is_hash, int no_password, MDS_UserInfo* info);
int MDSADD_UserInfoUpdate_PreAdd(const char* user, MDS_UserInfo* info);
int MDSADD_UserInfoGet_PostAdd(const char* user, MDS_UserInfo* info);
int MDSADD_UserPassUpdate_PostAdd(const char* user, const char* password, int is_hash,
                                  int no_password);
int MDSADD_UserRemove_PostAdd(const char* user, MDS_UserInfo* info);
