#include "uploadsend/upload_list.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/attach/list_text.h"
#include "common/attach/tmp_path.h"
#include "common/attach/window_names.h"
#include "host/account/session.h"
#include "host/base/ascii.h"
#include "host/files/files.h"
#include "host/files/root.h"

namespace {

// The length of `text` cut to at most `max` bytes without splitting a UTF-8
// sequence.
std::size_t CutAtCharacter(std::string_view text, std::size_t max) {
  if (text.size() <= max) return text.size();
  std::size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80 && max - n < 3) --n;
  return (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80 ? max : n;
}

// Fills `rec` from one line; false when the line is skipped.
bool ParseLine(char* line, UploadRecord& rec) {
  char* last = std::strrchr(line, ';');
  if (last == nullptr) return false;
  *last = '\0';
  char* before = std::strrchr(line, ';');
  if (before == nullptr) return false;
  *before = '\0';
  std::string_view name(line);
  std::string_view path(before + 1);
  std::int32_t size = list_text::ParseInt32(last + 1);  // no digits read as 0, as atoi does
  // A negative size would lower the import's running total and let files
  // past the size limit.
  if (name.empty() || size < 0) return false;
  if (path.size() >= sizeof rec.path || !UPL_PathBelowTmp(path)) return false;
  std::size_t name_length = CutAtCharacter(name, sizeof rec.name - 1);
  std::memcpy(rec.name, name.data(), name_length);
  rec.name[name_length] = '\0';
  std::memcpy(rec.path, path.data(), path.size());
  rec.path[path.size()] = '\0';
  rec.size = size;
  return true;
}

// `text` with control bytes, and `also` when given, turned into "_".
void AppendCleaned(std::string& out, std::string_view text, char also) {
  for (char c : text) {
    out += ascii::IsControl(static_cast<unsigned char>(c)) || (also && c == also) ? '_' : c;
  }
}

int HeldCount() {
  int count = UPL_Table().count;
  if (count < 0) return 0;
  return count > kUploadTableSize ? kUploadTableSize : count;
}

}  // namespace

UploadTable& UPL_Table() {
  static UploadTable table;
  return table;
}

int UPL_Number(std::string_view cpid) {
  std::string text(cpid.substr(0, 32));  // more digits than an int holds change nothing
  return list_text::ParseInt32(text.c_str());
}

const std::string& UPL_ListPath(int number) {
  static std::string path;
  path = host::TmpDir();
  path += '/';
  path += window_names::ListName(window_names::FileKind::kUploadList, session().user_id,
                                 std::to_string(number));
  return path;
}

bool UPL_PathBelowTmp(std::string_view path) {
  return PathBelowTmp(path);
}

int UPL_ListRead(const std::string& path) {
  UploadTable& table = UPL_Table();
  table.count = 0;
  list_text::ReadListLines(path, [&table](char* line) {
    if (ParseLine(line, table.records[table.count])) ++table.count;
    return table.count < kUploadTableSize;
  });
  return table.count;
}

int UPL_ListAdd(const UploadRecord& record) {
  UploadTable& table = UPL_Table();
  if (table.count < 0) table.count = 0;
  if (table.count + 1 > kUploadAddLimit) return -1;
  UploadRecord& slot = table.records[table.count];
  slot = record;
  slot.name[sizeof slot.name - 1] = '\0';
  slot.path[sizeof slot.path - 1] = '\0';
  ++table.count;
  return 1;
}

int UPL_ListRemove(int index) {
  UploadTable& table = UPL_Table();
  const int count = HeldCount();
  if (count <= 0 || index < 0 || index >= count) return -1;
  const char* stored = table.records[index].path;
  if (UPL_PathBelowTmp(
          std::string_view(stored, strnlen(stored, sizeof table.records[index].path)))) {
    unlink(stored);
  }
  for (int i = index; i + 1 < count; ++i) table.records[i] = table.records[i + 1];
  table.count = count - 1;
  return 1;
}

int UPL_ListWrite(const std::string& path) {
  const UploadTable& table = UPL_Table();
  const int count = HeldCount();
  if (count <= 0) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
    return 0;
  }
  std::string text;
  for (int i = 0; i < count; ++i) {
    const UploadRecord& rec = table.records[i];
    AppendCleaned(text, std::string_view(rec.name, strnlen(rec.name, sizeof rec.name)), '\0');
    text += ';';
    AppendCleaned(text, std::string_view(rec.path, strnlen(rec.path, sizeof rec.path)), ';');
    char number[16];
    std::snprintf(number, sizeof number, ";%d\n", static_cast<int>(rec.size));
    text += number;
  }
  return WriteFileAtomic(path, text, 0600) == 0 ? count : -1;
}
