// The built-in back end: the 25 directory operations over the group store,
// the users' .userinfo files and the address-book setup. MDS_Init installs
// them in every slot that no loaded library fills; a loadable back end may
// also export them (engines/mds_lgrp).
//
// Group ids arrive without domain (the dispatch cuts it) and are qualified
// again with the context's domain. Input that could not be stored as it is
// (a group name or text with a control byte, a malformed user id, a domain
// that is "." or ".." or holds "/") is refused with 5 before any file is read
// or written. Errors are logged to <root>/log/libquenbylgrp_err.log.
#pragma once

#include <string>
#include <vector>

#include "common/directory/base/mds_abi.h"

// Operation results.
inline constexpr int kMdsOk = 0;
inline constexpr int kMdsNoMemory = 1;
inline constexpr int kMdsFileError = 2;  // also: the slot is empty
inline constexpr int kMdsExists = 3;
inline constexpr int kMdsHasSubGroups = 4;
inline constexpr int kMdsNoGroup = 5;  // no such group, malformed id, input refused
inline constexpr int kMdsNotSupported = 6;
inline constexpr int kMdsRefused = 8;  // application layer: the rule forbids it

int MDS_LGRP_GroupUListGet(MDS_Context* ctx, const char* id, MDS_Member** list, int* count);
int MDS_LGRP_GroupAListGet(MDS_Context* ctx, const char* id, MDS_Member** list, int* count);
int MDS_LGRP_GroupGListGet(MDS_Context* ctx, const char* id, char*** list, int* count);
int MDS_LGRP_GroupGInfoListGet(MDS_Context* ctx, const char* id, MDS_GroupInfo** list, int* count);
int MDS_LGRP_GroupInfoGet(MDS_Context* ctx, const char* id, MDS_GroupInfo* info);
int MDS_LGRP_GroupCreate(MDS_Context* ctx, MDS_GroupInfo* info);
int MDS_LGRP_GroupDelete(MDS_Context* ctx, const char* id);
int MDS_LGRP_GroupInfoUpdate(MDS_Context* ctx, MDS_GroupInfo* info);
int MDS_LGRP_RenameThenMove(MDS_Context* ctx, const char* id, const char* parent, const char* name);
int MDS_LGRP_GroupUserCreate(MDS_Context* ctx, const char* id, const char* user);
int MDS_LGRP_GroupUserDelete(MDS_Context* ctx, const char* id, const char* user);
int MDS_LGRP_GroupUserMove(MDS_Context* ctx, const char* user, const char* from, const char* to);
int MDS_LGRP_GroupIsAdm(MDS_Context* ctx, const char* user);
int MDS_LGRP_GroupAdmCreate(MDS_Context* ctx, const char* id, const char* user);
int MDS_LGRP_GroupAdmDelete(MDS_Context* ctx, const char* id, const char* user);
int MDS_LGRP_UserGListGet(MDS_Context* ctx, const char* user, char*** list, int* count);
int MDS_LGRP_UserInfoUpdate(MDS_Context* ctx, MDS_UserInfo* info);
int MDS_LGRP_UserInfoGet(MDS_Context* ctx, const char* user, MDS_UserInfo* info);
int MDS_LGRP_UserPassUpdate(MDS_Context* ctx, const char* user, const char* password, int mode);
int MDS_LGRP_UserPassGet(MDS_Context* ctx, const char* user, char** password);
int MDS_LGRP_UserCreate(MDS_Context* ctx, const char* user, const char* password, const char* id,
                        MDS_UserInfo* info);
int MDS_LGRP_UserDelete(MDS_Context* ctx, const char* user);
int MDS_LGRP_IsUserExist(MDS_Context* ctx, const char* user);
int MDS_LGRP_UserSearch(MDS_Context* ctx, const char* pattern, MDS_Member** list, int* count);
int MDS_LGRP_Shutdown(MDS_Context* ctx);

// Fills every operation slot with the built-in function.
void MDS_InstallBuiltin(MDS_Context* ctx);

// The domain the context qualifies group ids with ("" for none): the text
// after "@" of an assignment "@domain", after the first "@" of an address-book
// assignment ("PA."), or the host part after "://".
std::string MDS_LGRP_Domain(const MDS_Context* ctx);

// `id` with "@" and the context's domain appended, unless it holds "@".
std::string MDS_LGRP_QualifyID(const MDS_Context* ctx, const char* id);

// The group an address book starts at: "/" unless the context is in
// address-book mode and adbsetup.conf in its base directory holds
// "startgroup = ".
std::string MDS_LGRP_StartGroup(const MDS_Context* ctx);

// True for an assignment of address-book mode ("PA." ...).
bool MdsAddressBookMode(const MDS_Context* ctx);
