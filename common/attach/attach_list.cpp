// The attachment list file and its process-wide table.
//
// Line format, printed with "%d;%s;%s;%s;%s;%d\n":
//   ext_num;ext_text;charset;name;path;size
// Fields are neither quoted nor escaped. A ";" inside a text field is allowed
// only as the closing character of a numeric character reference, so a line
// is split from its end: each ";" that is not such a closing character is a
// separator. Everything written here keeps to that rule, whatever the caller
// put into a record, so no text can add a field or a line to the file.
#include "common/attach/attach_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "common/attach/list_text.h"
#include "common/attach/tmp_path.h"
#include "common/attach/window_names.h"
#include "host/account/session.h"
#include "host/base/ascii.h"
#include "host/charset/charset.h"
#include "host/files/files.h"
#include "host/files/root.h"

namespace {

using list_text::CopyCut;
using list_text::FieldKind;
using list_text::ParseInt32;
using list_text::RefRule;

// Cuts the last field off `line` at its separator; null when there is none.
char* CutLastField(char* line) {
  char* sep = ATT_LastSeparator(line);
  if (sep == nullptr) return nullptr;
  *sep = '\0';
  return sep + 1;
}

}  // namespace

bool ATT_ParseLine(char* line, AttachRecord& rec) {
  char* size = CutLastField(line);
  char* path = size ? CutLastField(line) : nullptr;
  char* name = path ? CutLastField(line) : nullptr;
  char* charset = name ? CutLastField(line) : nullptr;
  if (charset == nullptr) return false;
  // The remainder is "ext_num;ext_text", or only ext_text in the older
  // five-field lines.
  char* ext_text = CutLastField(line);
  if (ext_text != nullptr) {
    rec.ext_num = ParseInt32(line);
  } else {
    ext_text = line;
    rec.ext_num = 0;
  }
  rec.size = ParseInt32(size);
  CopyCut(rec.name, sizeof rec.name, name);
  CopyCut(rec.path, sizeof rec.path, path);
  CopyCut(rec.charset, sizeof rec.charset, charset);
  CopyCut(rec.ext_text, sizeof rec.ext_text, ext_text);
  return true;
}

namespace {

template <std::size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return std::string_view(field, strnlen(field, N));
}

void AppendField(std::string& out, std::string_view text, std::size_t size, FieldKind kind) {
  char buf[256];
  list_text::SanitiseField(buf, size < sizeof buf ? size : sizeof buf, text, kind,
                           RefRule::kAttach);
  out += buf;
  out += ';';
}

// Stored files of removed records, deleted once a list that no longer names
// them has been written: if the write fails, the list on disk still names
// them and they must still be there.
std::vector<std::string>& RemovedFiles() {
  static std::vector<std::string> files;
  return files;
}

void DeleteRemovedFiles() {
  for (const std::string& file : RemovedFiles()) unlink(file.c_str());
  RemovedFiles().clear();
}

int HeldCount() {
  int count = ATT_Table().count;
  if (count < 0) return 0;
  return count > kAttachTableSize ? kAttachTableSize : count;
}

}  // namespace

AttachTable& ATT_Table() {
  static AttachTable table;
  return table;
}

const std::string& ATT_ListPath(const char* cpid) {
  static std::string path;
  path = host::TmpDir();
  path += '/';
  path += window_names::ListName(window_names::FileKind::kAttachList, session().user_id,
                                 cpid ? cpid : "");
  return path;
}

char* ATT_LastSeparator(char* text) {
  if (text == nullptr) return nullptr;
  for (std::size_t i = std::strlen(text); i > 0; --i) {
    if (text[i - 1] == ';' && list_text::RefOpeningBefore(text, i - 1, RefRule::kAttach) < 0) {
      return text + i - 1;
    }
  }
  return nullptr;
}

int ATT_ListRead(const std::string& path) {
  AttachTable& table = ATT_Table();
  table.count = 0;
  RemovedFiles().clear();
  list_text::ReadListLines(path, [&table](char* line) {
    if (ATT_ParseLine(line, table.records[table.count])) ++table.count;
    return table.count < kAttachTableSize;
  });
  return table.count;
}

int ATT_ListAdd(const AttachRecord& record) {
  AttachTable& table = ATT_Table();
  if (table.count < 0) table.count = 0;
  if (table.count + 1 > kAttachAddLimit) return -1;
  AttachRecord& slot = table.records[table.count];
  slot = record;
  slot.name[sizeof slot.name - 1] = '\0';
  slot.path[sizeof slot.path - 1] = '\0';
  slot.charset[sizeof slot.charset - 1] = '\0';
  slot.ext_text[sizeof slot.ext_text - 1] = '\0';
  ++table.count;
  return 1;
}

int ATT_ListRemove(int index) {
  AttachTable& table = ATT_Table();
  const int count = HeldCount();
  if (count <= 0 || index < 0 || index >= count) return -1;
  std::string_view stored = FieldText(table.records[index].path);
  if (PathBelowTmp(stored)) RemovedFiles().emplace_back(stored);
  for (int i = index; i + 1 < count; ++i) table.records[i] = table.records[i + 1];
  table.count = count - 1;
  return 1;
}

// Every text field goes through SanitiseField, so a record filled without
// ATT_SetField still gives one well-formed line that reads back as written.
// The text is written whole to a temporary file named after this process and
// renamed over the list, so readers see the old list or the new one and two
// writers never share a temporary file.
int ATT_ListWrite(const std::string& path) {
  const AttachTable& table = ATT_Table();
  const int count = HeldCount();
  if (count <= 0) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
    DeleteRemovedFiles();
    return 0;
  }
  std::string text;
  text.reserve(static_cast<std::size_t>(count) * 160);
  char number[16];
  for (int i = 0; i < count; ++i) {
    const AttachRecord& rec = table.records[i];
    std::snprintf(number, sizeof number, "%d;", static_cast<int>(rec.ext_num));
    text += number;
    AppendField(text, FieldText(rec.ext_text), sizeof rec.ext_text, FieldKind::kText);
    AppendField(text, FieldText(rec.charset), sizeof rec.charset, FieldKind::kText);
    AppendField(text, FieldText(rec.name), sizeof rec.name, FieldKind::kText);
    AppendField(text, FieldText(rec.path), sizeof rec.path, FieldKind::kPath);
    std::snprintf(number, sizeof number, "%d\n", static_cast<int>(rec.size));
    text += number;
  }

  if (list_text::ReplaceListFile(path, text) != 0) return -1;
  DeleteRemovedFiles();
  return count;
}

int ATT_CharsetsMixed() {
  const AttachTable& table = ATT_Table();
  int first = 0;
  for (int i = 0, n = HeldCount(); i < n; ++i) {
    std::string_view name = FieldText(table.records[i].charset);
    if (name.empty()) continue;
    int value = MLC_CharsetWEncToValue(name);
    if (value == 0) continue;
    if (first == 0) {
      first = value;
    } else if (value != first) {
      return 1;
    }
  }
  return 0;
}

int ATT_HasCharset() {
  const AttachTable& table = ATT_Table();
  for (int i = 0, n = HeldCount(); i < n; ++i) {
    if (table.records[i].charset[0] != '\0') return 1;
  }
  return 0;
}

void ATT_SetField(char* field, std::size_t size, std::string_view text) {
  if (field == nullptr || size == 0) return;
  list_text::SanitiseField(field, size, text, FieldKind::kText, RefRule::kAttach);
}
