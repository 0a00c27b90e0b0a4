#include "common/attach/window_names.h"

#include <array>

#include "host/account/account.h"
#include "host/base/ascii.h"
#include "host/files/files.h"

namespace window_names {

namespace {

struct ListSuffix {
  FileKind kind;
  std::string_view suffix;
};

constexpr std::array<ListSuffix, 4> kListSuffixes = {{
    {FileKind::kAttachList, "_Attach.dat"},
    {FileKind::kImageList, "_BG.dat"},
    {FileKind::kSoundList, "_BS.dat"},
    {FileKind::kUploadList, "_Upload.dat"},
}};

// The letters between the window and the process id of stored files.
constexpr char kCopyLetter = 'A';
constexpr char kFetchedLetter = 'H';
constexpr char kUploadLetter = 'U';

constexpr std::string_view kExportPrefix = "cal_";
constexpr std::string_view kExportSuffix = ".ics";

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!ascii::IsDigit(c)) return false;
  }
  return true;
}

// "%d" of an int: the upload list's number.
bool IsNumberText(std::string_view text) {
  if (text.starts_with('-')) text.remove_prefix(1);
  return AllDigits(text);
}

// Splits "<user>_<part>" at its last "_"; false unless the user id is well
// formed and the part is a valid identifier.
bool SplitUser(std::string_view text, ParsedName& out) {
  std::size_t at = text.rfind('_');
  if (at == std::string_view::npos) return false;
  out.user = text.substr(0, at);
  out.window = text.substr(at + 1);
  return IsValidUserId(out.user) && IsValidWindowId(out.window);
}

// Cuts the last "_"-separated token off `text`.
std::string_view CutToken(std::string_view& text) {
  std::size_t at = text.rfind('_');
  if (at == std::string_view::npos) {
    std::string_view all = text;
    text = {};
    return all;
  }
  std::string_view token = text.substr(at + 1);
  text = text.substr(0, at);
  return token;
}

std::optional<ParsedName> ParseList(std::string_view base, Form form) {
  for (const ListSuffix& list : kListSuffixes) {
    if (!base.ends_with(list.suffix)) continue;
    ParsedName out{list.kind, form, {}, {}};
    if (!SplitUser(base.substr(0, base.size() - list.suffix.size()), out)) return std::nullopt;
    if (list.kind == FileKind::kUploadList && !IsNumberText(out.window)) return std::nullopt;
    return out;
  }
  return std::nullopt;
}

// "<user>_<window>_A_<pid>_<n>", "<user>_<window>_H_<pid>" or
// "<user>_<number>_U_<pid>_<n>".
std::optional<ParsedName> ParseStored(std::string_view base) {
  std::string_view rest = base;
  std::string_view last = CutToken(rest);
  std::string_view before = CutToken(rest);
  if (!AllDigits(last)) return std::nullopt;
  ParsedName out{FileKind::kFetched, Form::kFile, {}, {}};
  if (before.size() != 1 || before[0] != kFetchedLetter) {
    std::string_view letter = CutToken(rest);
    if (!AllDigits(before) || letter.size() != 1) return std::nullopt;
    if (letter[0] == kCopyLetter) {
      out.kind = FileKind::kCopy;
    } else if (letter[0] == kUploadLetter) {
      out.kind = FileKind::kUpload;
    } else {
      return std::nullopt;
    }
  }
  if (!SplitUser(rest, out)) return std::nullopt;
  if (out.kind == FileKind::kUpload && !IsNumberText(out.window)) return std::nullopt;
  return out;
}

std::optional<ParsedName> ParseExport(std::string_view name) {
  std::string_view middle =
      name.substr(kExportPrefix.size(), name.size() - kExportPrefix.size() - kExportSuffix.size());
  ParsedName out{FileKind::kCalendarExport, Form::kFile, {}, {}};
  if (!SplitUser(middle, out) || out.window.empty()) return std::nullopt;
  return out;
}

}  // namespace

bool IsSafeNamePart(std::string_view text) {
  if (text == "." || text == "..") return false;
  for (char c : text) {
    if (c == '/' || c == '_' || ascii::IsControl(c)) return false;
  }
  return true;
}

bool IsValidWindowId(std::string_view window) {
  return window.size() <= kWindowIdMax && IsSafeNamePart(window);
}

std::string ListName(FileKind list, std::string_view user, std::string_view window) {
  std::string name(user);
  name += '_';
  name += window;
  for (const ListSuffix& entry : kListSuffixes) {
    if (entry.kind == list) name += entry.suffix;
  }
  return name;
}

std::string StoredName(FileKind kind, std::string_view user, std::string_view window, int pid,
                       int number) {
  std::string name(user);
  name += '_';
  name += window;
  name += '_';
  name += kind == FileKind::kFetched ? kFetchedLetter : kCopyLetter;
  name += '_';
  name += std::to_string(pid);
  if (kind != FileKind::kFetched) {
    name += '_';
    name += std::to_string(number);
  }
  return name;
}

std::string TakenName(std::string_view name, int n) {
  std::string taken(name);
  taken += '.';
  taken += std::to_string(n);
  return taken;
}

std::string CalendarExportName(std::string_view user, std::string_view fname) {
  std::string name(kExportPrefix);
  name += user;
  name += '_';
  name += fname;
  name += kExportSuffix;
  return name;
}

std::optional<ParsedName> Parse(std::string_view name) {
  if (name.size() > kExportPrefix.size() + kExportSuffix.size() &&
      name.starts_with(kExportPrefix) && name.ends_with(kExportSuffix)) {
    return ParseExport(name);
  }
  if (name.ends_with(kLockSuffix)) {
    auto parsed = ParseList(name.substr(0, name.size() - kLockSuffix.size()), Form::kLock);
    if (parsed && parsed->kind == FileKind::kAttachList) return parsed;
    return std::nullopt;
  }
  if (std::size_t at = name.rfind(kClaimInfix);
      at != std::string_view::npos && AllDigits(name.substr(at + kClaimInfix.size()))) {
    auto parsed = ParseList(name.substr(0, at), Form::kClaimed);
    if (parsed && parsed->kind == FileKind::kUploadList) return parsed;
    return std::nullopt;
  }
  if (std::string_view target = TempNameTarget(name); !target.empty()) {
    return ParseList(target, Form::kTemporary);
  }
  if (auto parsed = ParseList(name, Form::kFile)) return parsed;
  if (auto parsed = ParseStored(name)) return parsed;
  // A stored file whose name was taken: "<stored>.<n>".
  std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && AllDigits(name.substr(dot + 1))) {
    return ParseStored(name.substr(0, dot));
  }
  return std::nullopt;
}

}  // namespace window_names
