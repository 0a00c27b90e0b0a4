#include "common/attach/background_list.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/attach/list_text.h"
#include "common/attach/window_names.h"
#include "host/account/session.h"
#include "host/base/ascii.h"
#include "host/files/hashed_store.h"
#include "host/files/root.h"

namespace {

using list_text::FieldKind;
using list_text::RefRule;

struct BackgroundList {
  explicit BackgroundList(window_names::FileKind list_kind) : kind(list_kind) {}
  window_names::FileKind kind;  // of the list's file name
  BackgroundRecord record{};
  int count = 0;
  // The stored file of a removed record, deleted once a list that no longer
  // names it has been written.
  std::optional<std::string> removed;
  std::string path;  // BG_ListPath's buffer
};

BackgroundList& Image() {
  static BackgroundList list(window_names::FileKind::kImageList);
  return list;
}

BackgroundList& Sound() {
  static BackgroundList list(window_names::FileKind::kSoundList);
  return list;
}

const std::string& ListPath(BackgroundList& list, const char* cpid) {
  list.path = host::TmpDir();
  list.path += '/';
  list.path += window_names::ListName(list.kind, session().user_id, cpid ? cpid : "");
  return list.path;
}

}  // namespace

bool BG_ParseLine(char* line, BackgroundRecord& rec) {
  char* first = BG_NextSeparator(line);
  if (first == nullptr) return false;
  *first = '\0';
  char* path = first + 1;
  char* second = BG_NextSeparator(path);
  if (second == nullptr) return false;
  *second = '\0';
  char* size = second + 1;
  char* third = BG_NextSeparator(size);
  if (third == nullptr) return false;
  *third = '\0';
  // A path that does not fit its slot, or would not be written back as it
  // stands, would name another file.
  std::size_t path_length = std::strlen(path);
  if (path_length >= sizeof rec.path ||
      !list_text::FieldReadsBack({path, path_length}, RefRule::kBackground)) {
    return false;
  }
  list_text::CopyCut(rec.name, sizeof rec.name, line);
  std::memcpy(rec.path, path, path_length + 1);
  rec.size = list_text::ParseInt32(size);
  rec.type = list_text::ParseInt32(third + 1);
  return true;
}

namespace {

int ListRead(BackgroundList& list, const std::string& path) {
  list.record = BackgroundRecord{};
  list.count = 0;
  list.removed.reset();
  list_text::ReadListLines(path, [&list](char* line) {
    BackgroundRecord rec{};
    if (BG_ParseLine(line, rec)) {
      list.record = rec;
      ++list.count;
    }
    return true;
  });
  return list.count;
}

int Set(BackgroundList& list, const BackgroundRecord& record) {
  list.record = record;
  list.record.name[sizeof list.record.name - 1] = '\0';
  list.record.path[sizeof list.record.path - 1] = '\0';
  list.count = 1;
  return 1;
}

int Remove(BackgroundList& list) {
  if (list.count <= 0) return -1;
  list.removed = std::string(list.record.path, strnlen(list.record.path, sizeof list.record.path));
  list.count = 0;
  return 1;
}

void DeleteRemoved(BackgroundList& list) {
  if (list.removed) HashedStoreUnlink(*list.removed);
  list.removed.reset();
}

int ListWrite(BackgroundList& list, const std::string& path) {
  if (list.count <= 0) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
    DeleteRemoved(list);
    return 0;
  }
  const BackgroundRecord& rec = list.record;
  std::string_view stored(rec.path, strnlen(rec.path, sizeof rec.path - 1));
  if (!list_text::FieldReadsBack(stored, RefRule::kBackground)) return -1;
  char name[sizeof rec.name];
  BG_SetField(name, sizeof name, std::string_view(rec.name, strnlen(rec.name, sizeof rec.name)));
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, ";%d;%d\n", static_cast<int>(rec.size),
                static_cast<int>(rec.type));
  std::string text;
  text.reserve(sizeof name + stored.size() + sizeof numbers);
  text += name;
  text += ';';
  text += stored;
  text += numbers;
  if (list_text::ReplaceListFile(path, text) != 0) return -1;
  DeleteRemoved(list);
  return 1;
}

}  // namespace

const std::string& BG_ListPath(const char* cpid) {
  return ListPath(Image(), cpid);
}
const std::string& BS_ListPath(const char* cpid) {
  return ListPath(Sound(), cpid);
}
int BG_ListRead(const std::string& path) {
  return ListRead(Image(), path);
}
int BS_ListRead(const std::string& path) {
  return ListRead(Sound(), path);
}
int BG_Set(const BackgroundRecord& record) {
  return Set(Image(), record);
}
int BS_Set(const BackgroundRecord& record) {
  return Set(Sound(), record);
}
int BG_Remove() {
  return Remove(Image());
}
int BS_Remove() {
  return Remove(Sound());
}
int BG_ListWrite(const std::string& path) {
  return ListWrite(Image(), path);
}
int BS_ListWrite(const std::string& path) {
  return ListWrite(Sound(), path);
}
BackgroundRecord& BG_Record() {
  return Image().record;
}
int& BG_Count() {
  return Image().count;
}
BackgroundRecord& BS_Record() {
  return Sound().record;
}
int& BS_Count() {
  return Sound().count;
}

std::string BG_StoredNameHead(int pid, std::string_view user) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(pid));
  return std::string(hex) + std::string(user);
}

bool BG_IsStoredNameOf(std::string_view name, std::string_view user) {
  if (user.empty()) return false;
  for (std::size_t k = 0; k < name.size(); ++k) {
    const char c = name[k];
    if (!ascii::IsDigit(c) && (c < 'A' || c > 'F')) break;
    if (name.substr(k + 1).starts_with(user)) return true;
  }
  return false;
}

// At "&#", a reference is passed over whole when it is well formed: "x" or
// "X" and hex digits, "d" or "D" and decimal digits, or decimal digits, then
// ";". Anything else leaves the "&" an ordinary character.
const char* BG_NextSeparator(const char* text) {
  if (text == nullptr) return nullptr;
  const char* p = text;
  while (*p != '\0') {
    if (p[0] == '&' && p[1] == '#') {
      const char* q = p + 2;
      bool hex = *q == 'x' || *q == 'X';
      if (hex || *q == 'd' || *q == 'D') ++q;
      const char* digits = q;
      while (hex ? ascii::IsHexDigit(*q) : ascii::IsDigit(*q)) ++q;
      if (q > digits && *q == ';') {
        p = q + 1;
        continue;
      }
    }
    if (*p == ';') return p;
    ++p;
  }
  return nullptr;
}

char* BG_NextSeparator(char* text) {
  return const_cast<char*>(BG_NextSeparator(static_cast<const char*>(text)));
}

void BG_SetField(char* field, std::size_t size, std::string_view text) {
  if (field == nullptr || size == 0) return;
  list_text::SanitiseField(field, size, text, FieldKind::kText, RefRule::kBackground);
}
