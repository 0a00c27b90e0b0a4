/* The C interface between the directory service and the libraries it loads.
 *
 * A back end is a shared library that exports some or all of the 25
 * operations below under their names ("MDS_GroupUListGet", ...), each taking
 * the directory context first. It is named in mds.conf ("preloadlib" for all
 * 25, "owfunc" for single ones) and found with dlsym; the programs export no
 * symbols to it.
 *
 * Strings are NUL-terminated byte strings; ids and users are never changed by
 * the operation. Lists an operation returns are contiguous arrays made with
 * malloc(), each string made with malloc(); the caller frees every string,
 * then the array, with free(). A count of 0 may come with a null array.
 *
 * Results: 0 success; 1 out of memory; 2 file error; 3 already exists;
 * 4 the group has sub-groups; 5 no such group, malformed id or input refused;
 * 6 not supported by this back end; MDS_GroupIsAdm and MDS_IsUserExist answer
 * as their rows say, -1 for an error.
 *
 * The add-on hook library (lib/libmdsadd.so below the root) exports any of the
 * MDSADD_ hooks below; a hook answers 65 to ask the caller to stop ("break"),
 * 66 for its own failure, anything else to let the operation go on. */
#ifndef MDS_ABI_H
#define MDS_ABI_H

#ifdef __cplusplus
extern "C" {
#endif

#define MDS_HANDLE_SLOTS 32
#define MDS_OP_SLOTS 32
#define MDS_OP_COUNT 25
#define MDS_GROUPINFO_SLOTS 16
#define MDS_GROUPINFO_FIELDS 8
#define MDS_USERINFO_FIELDS 39

/* The directory context: a plain record on the caller's stack, from MDS_Init
 * to MDS_Close. */
typedef struct MDS_Context {
  void* handles[MDS_HANDLE_SLOTS]; /* libraries this context loaded; null ends the list */
  void* ops[MDS_OP_SLOTS];         /* one function per operation, in table order */
  char base[160];                  /* base directory (address-book search) */
  char logfile[80];                /* log of loading errors */
  char defgroup[256];              /* the group new users join */
  int langopt;                     /* character handling of the user search */
  unsigned options;                /* MDS_OPT_ bits */
  char assignment[512];            /* as given to MDS_Init, empty when none */
} MDS_Context;

/* Option bits of mds.conf. */
#define MDS_OPT_BREAKINGRULE 1u /* a user may leave the default group, its last */
#define MDS_OPT_UPDATEONUE 2u   /* creating an existing user updates it */
#define MDS_OPT_CREATEONUCF 4u  /* a failed directory creation keeps the local account */
#define MDS_OPT_DELETEONUDF 8u  /* a failed directory deletion removes it all the same */
#define MDS_OPT_CALLMDSADD 16u  /* call the hooks of lib/libmdsadd.so */

/* A member or administrator (user id, second string or null), or a search
 * hit (user id, group id). */
typedef struct MDS_Member {
  char* first;
  char* second;
} MDS_Member;

/* Group information; f[0] to f[7] used: 0 group id (name path), 1 mailing
 * account, 2 text, 3 level, 4 text, 5 creation time, 6 text, 7 integer (all
 * as text). */
typedef struct MDS_GroupInfo {
  char* f[MDS_GROUPINFO_SLOTS];
} MDS_GroupInfo;

/* User information, 39 fields in the order of the ".userinfo" keys UID,
 * UNAME, ULNAME, UURL, UEMAIL, ..., UCUSTOM8. */
typedef struct MDS_UserInfo {
  char* f[MDS_USERINFO_FIELDS];
} MDS_UserInfo;

/* The operations, in slot order. */
typedef int (*MDS_GroupUListGetFn)(MDS_Context*, const char* id, MDS_Member**, int*);
typedef int (*MDS_GroupAListGetFn)(MDS_Context*, const char* id, MDS_Member**, int*);
typedef int (*MDS_GroupGListGetFn)(MDS_Context*, const char* id, char***, int*);
typedef int (*MDS_GroupGInfoListGetFn)(MDS_Context*, const char* id, MDS_GroupInfo**, int*);
typedef int (*MDS_GroupInfoGetFn)(MDS_Context*, const char* id, MDS_GroupInfo*);
typedef int (*MDS_GroupCreateFn)(MDS_Context*, MDS_GroupInfo*);
typedef int (*MDS_GroupDeleteFn)(MDS_Context*, const char* id);
typedef int (*MDS_GroupInfoUpdateFn)(MDS_Context*, MDS_GroupInfo*);
typedef int (*MDS_GroupRenameFn)(MDS_Context*, const char* id, const char* parent,
                                 const char* name);
typedef int (*MDS_GroupUserCreateFn)(MDS_Context*, const char* id, const char* user);
typedef int (*MDS_GroupUserDeleteFn)(MDS_Context*, const char* id, const char* user);
typedef int (*MDS_GroupUserMoveFn)(MDS_Context*, const char* user, const char* from,
                                   const char* to);
typedef int (*MDS_GroupIsAdmFn)(MDS_Context*, const char* user);
typedef int (*MDS_GroupAdmCreateFn)(MDS_Context*, const char* id, const char* user);
typedef int (*MDS_GroupAdmDeleteFn)(MDS_Context*, const char* id, const char* user);
typedef int (*MDS_UserGListGetFn)(MDS_Context*, const char* user, char***, int*);
typedef int (*MDS_UserInfoUpdateFn)(MDS_Context*, MDS_UserInfo*);
typedef int (*MDS_UserInfoGetFn)(MDS_Context*, const char* user, MDS_UserInfo*);
typedef int (*MDS_UserPassUpdateFn)(MDS_Context*, const char* user, const char* password, int mode);
typedef int (*MDS_UserPassGetFn)(MDS_Context*, const char* user, char**);
typedef int (*MDS_UserCreateFn)(MDS_Context*, const char* user, const char* password,
                                const char* id, MDS_UserInfo*);
typedef int (*MDS_UserDeleteFn)(MDS_Context*, const char* user);
typedef int (*MDS_IsUserExistFn)(MDS_Context*, const char* user);
typedef int (*MDS_UserSearchFn)(MDS_Context*, const char* pattern, MDS_Member**, int*);
typedef int (*MDS_ShutdownFn)(MDS_Context*);

/* Optional. After MDS_Init has loaded a back end (the preload library, or the
 * last library of an "owfunc" entry) and filled its slots, it calls the
 * library's MDS_Configure, when it exports one, with the path of mds.conf's
 * "backendconf" (absolute; null when the key is absent). The back end reads
 * its own settings there and keeps what it needs for this context until
 * MDS_Shutdown. A non-zero answer fails MDS_Init. It may be called more than
 * once for one context (a library named on several lines); each call starts
 * the context's settings afresh. */
typedef int (*MDS_ConfigureFn)(MDS_Context*, const char* path_or_null);

/* Hooks. `info` points to the user's information as 39 strings in the order
 * of MDS_UserInfo; it is never null and the hook must not change or free it. */
typedef int (*MDSADD_UserCreateFn)(const char* group, const char* user, const char* password,
                                   int level, int is_hash, int no_password, void* info);
typedef int (*MDSADD_UserInfoFn)(const char* user, void* info);
typedef int (*MDSADD_UserPassUpdateFn)(const char* user, const char* password, int is_hash,
                                       int no_password);

#define MDSADD_BREAK 65
#define MDSADD_FAILED 66

#ifdef __cplusplus
}
#endif

#endif /* MDS_ABI_H */
