// Cabinet bases, directory paths and names: how the three strings that name a
// cabinet file (base, directory path, file name) become a file-system path
// that never leaves the cabinet.
//
// Bases:
//   "@"            the site's public cabinet       <root>/public/dc
//   "@<domain>"    a domain's public cabinet       <root>/domains/<domain>/public/dc
//   "/..."         not a cabinet                   ""
//   "*<user id>"   a user's cabinet, through sharing  <home of user>/<UserDC>
//   "<user id>"    a user's own cabinet            <home of user>/<UserDC>
// A domain that holds "/" or is "." or "..", and an owner that is not a
// well-formed user id, name no cabinet either: no base reaches a folder
// outside the cabinets.
//
// Predicates answer 0 for yes; -2 no, -7 an argument missing, -51 not a link.
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr int kDcNo = -2;
inline constexpr int kDcMissingArgument = -7;
inline constexpr int kDcNotLink = -51;

// Limits of normalised paths.
inline constexpr std::size_t kDcPathMax = 1023;      // a normalised path
inline constexpr std::size_t kDcComponentMax = 255;  // one component
inline constexpr int kDcDepthMax = 32;               // levels of a directory path
inline constexpr std::size_t kDcNameMax = 255;       // a file name
inline constexpr std::size_t kDcBaseDirMax = 2047;   // a cabinet directory

enum class DC_BaseKind {
  kNone,    // names no cabinet
  kSite,    // "@"
  kDomain,  // "@<domain>"
  kShared,  // "*<user id>"
  kOwn,     // "<user id>"
};

DC_BaseKind DC_BaseKindOf(std::string_view base);

// "%s/%s" of dir and name; "/<name>" when dir is exactly "/"; dir alone when
// name is empty. Cut at size - 1 bytes.
std::string DC_PathJoin(std::string_view dir, std::string_view name, std::size_t size = 1024);

// The absolute directory of `dir` joined with the directory part of `name`
// (up to its last "/"): "." and empty components dropped, ".." removing the
// last kept one; a name whose last component is ".." removes one more. The
// last component of `name` is never part of it. "/" for the root, no trailing
// "/" otherwise. nullopt when ".." climbs above the root or the path would
// have more than 32 levels. A component is cut at 255 bytes; once the path
// would exceed 1023 bytes, the rest is ignored.
std::optional<std::string> DC_PathNormalize(std::string_view dir, std::string_view name = {});

// The last component of `path`, nullopt when it is empty, "." or "..". A name
// of at most 255 bytes is answered unchanged; a longer one is cut to a stem of
// about 247 bytes (never splitting a two-byte character) and keeps its
// extension, 255 bytes in all.
std::optional<std::string> DC_FileName(std::string_view path);

struct DC_Split {
  std::string dir;   // "." for a single relative component, "/" below the root
  std::string name;  // the last component
};
// A path's directory and last component; trailing "/" are ignored. An empty
// path gives "." and "".
DC_Split DC_SplitPath(std::string_view path);

// Classes of reserved names.
inline constexpr int kDcReservedDots = 1;    // "." and ".."
inline constexpr int kDcReservedFinfo = 2;   // ".finfo"
inline constexpr int kDcReservedAcl = 3;     // ".acl", ".acl.ext"
inline constexpr int kDcReservedQuota = 4;   // ".quota"
inline constexpr int kDcReservedWizard = 5;  // "._wizard"
inline constexpr int kDcReservedLink = 6;    // ".link"
// The class of a name that holds the cabinet's own data (exact, with case), or
// 0 for an ordinary name.
int DC_ReservedName(std::string_view name);

// 0 when `name` is not reserved and `dir` with `name` normalises; else -1.
int DC_CheckName(std::string_view base, std::string_view dir, std::string_view name);

// The cabinet directory of the normalised `dir` (the cabinet root, ending in
// "/", when it does not normalise); "" when the base names no cabinet. At
// most 2047 bytes.
std::string DC_BaseDir(std::string_view base, std::string_view dir);
// DC_BaseDir of `dir`, or of the root when DC_CheckName(base, dir, "") fails.
std::string DC_Dir(std::string_view base, std::string_view dir);

// The cabinet's quota file and (public cabinets) its size limit file; "" when
// the base names no cabinet.
std::string DC_QuotaPath(std::string_view base);
std::string DC_LimitPath(std::string_view base);

int DC_IsSharedBase(std::string_view base);  // begins with "*"
int DC_IsPublicBase(std::string_view base);  // begins with "@"
int DC_IsSiteBase(std::string_view base);    // exactly "@"
// The base without one leading "*": the owner of a user's cabinet.
std::string_view DC_BaseUser(std::string_view base);
// The domain of a public base: the text after "@" ("" for the site).
std::string_view DC_BaseDomain(std::string_view base);
// -7 when either is empty; 0 when `user` is the base's owner; else -2.
int DC_IsOwner(std::string_view user, std::string_view base);
// -7 when either is empty; 0 when both have the same owner; else -2.
int DC_SameBase(std::string_view a, std::string_view b);
// 0 when the directory holds ".link"; -51 when not (or the base names no
// cabinet).
int DC_IsLinkDir(std::string_view base, std::string_view dir);
// The cabinet folder of a base with every link resolved (realpath): what
// lies in it or below it is inside the cabinet. Links at or above the folder
// (a home moved elsewhere) are followed. nullopt when it does not exist.
std::optional<std::string> DC_RealRoot(std::string_view base);
// Whether a resolved path is the resolved root or lies below it at a "/".
bool DC_InsideRoot(std::string_view real_root, std::string_view real_path);

// "<acl path>.ext".
std::string DC_AclExtName(std::string_view acl_path);
