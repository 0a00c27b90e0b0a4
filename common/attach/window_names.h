// The names of a compose window's files in the root's tmp folder. The
// programs make each name here, and attachtool reap reads names back here,
// so the maker and the reader share one definition:
//
//   <user>_<window>_Attach.dat        the attachment list
//   <user>_<window>_Attach.dat.lock   the list's turn (list_turn.h)
//   <user>_<window>_BG.dat, _BS.dat   the background image and sound lists
//   <user>_<number>_Upload.dat        the upload list ("%d" of the window's
//                                     leading digits)
//   <list>.tmp.<digits and dots>      a list being rewritten
//   <upload list>.import.<pid>        an upload list an import has claimed
//   <user>_<window>_A_<pid>_<n>       a stored copy
//   <user>_<window>_H_<pid>           a file fetched from a web address
//   <user>_<number>_U_<pid>_<n>       an upload the upload control's receiver
//                                     stored (scripts/upload-receiver.py)
//   <stored>.<n>                      a stored file whose name was taken
//   cal_<user>_<fname>.ics            an export the calendar program left
//
// A window identifier (and a calendar export's fname) never holds "_", so a
// name splits from its end even where the user id holds "_".
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace window_names {

enum class FileKind {
  kAttachList,
  kImageList,
  kSoundList,
  kUploadList,
  kCopy,
  kFetched,
  kUpload,
  kCalendarExport,
};

// What a name is to the file of its kind.
enum class Form {
  kFile,       // the file itself (a stored file under a taken name too)
  kLock,       // the attachment list's lock
  kTemporary,  // a list being rewritten
  kClaimed,    // an upload list an import has claimed
};

inline constexpr std::size_t kWindowIdMax = 64;
inline constexpr std::string_view kLockSuffix = ".lock";
inline constexpr std::string_view kClaimInfix = ".import.";

// False for a text that holds "/", "_" (it joins the parts of the names, and
// user ids may hold "_") or a control byte, or is "." or "..": such a text
// never becomes part of a file name.
bool IsSafeNamePart(std::string_view text);

// IsSafeNamePart, and at most kWindowIdMax bytes. The empty identifier is
// valid: it means none.
bool IsValidWindowId(std::string_view window);

// The name of a window's list: kind kAttachList, kImageList, kSoundList, or
// kUploadList (whose `window` is the number's text).
std::string ListName(FileKind list, std::string_view user, std::string_view window);

// The name of a stored file of a window: kCopy with its number, or kFetched
// (no number).
std::string StoredName(FileKind kind, std::string_view user, std::string_view window, int pid,
                       int number = 0);

// A stored file's name (or path) with "." and `n` added, for a name that was
// taken.
std::string TakenName(std::string_view name, int n);

std::string CalendarExportName(std::string_view user, std::string_view fname);

struct ParsedName {
  FileKind kind;
  Form form;
  std::string_view user;
  std::string_view window;  // the identifier; a calendar export's fname
};

// What a file name in the tmp folder is, when the programs make it: the
// user id well formed, the window identifier valid (a number for the upload
// list and uploads), the numbers decimal. The views point into `name`.
std::optional<ParsedName> Parse(std::string_view name);

}  // namespace window_names
