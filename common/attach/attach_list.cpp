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

#include "common/attach/list_lines.h"
#include "host/account/session.h"
#include "host/base/ascii.h"
#include "host/charset/charset.h"
#include "host/files/files.h"
#include "host/files/root.h"

namespace {

// When text[0, end) ends with the opening of a numeric character reference,
// "&#" or "&#x" / "&#X" followed by at least one hex digit, answers the
// position of its "&"; else -1. A ";" placed at `end` would close that
// reference.
long RefOpeningBefore(const char* text, std::size_t end) {
  std::size_t j = end;
  while (j > 0 && ascii::IsHexDigit(static_cast<unsigned char>(text[j - 1]))) --j;
  if (j == end) return -1;  // no digit directly before
  if (j >= 2 && text[j - 1] == '#' && text[j - 2] == '&') return static_cast<long>(j - 2);
  if (j >= 3 && (text[j - 1] == 'x' || text[j - 1] == 'X') && text[j - 2] == '#' &&
      text[j - 3] == '&') {
    return static_cast<long>(j - 3);
  }
  return -1;
}

// The length of the UTF-8 sequence starting at text[i] when it is complete
// and well formed in its lead and continuation bytes; 1 otherwise, so that
// stray bytes are taken one at a time.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  std::size_t n = c >= 0xF0 && c <= 0xF7 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  if (c >= 0xF8) n = 1;
  if (n == 1 || i + n > text.size()) return 1;
  for (std::size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 1;
  }
  return n;
}

enum class FieldKind { kText, kPath };

// Copies `text` into `out` (`size` bytes, NUL-terminated) so that the field
// reads back from a list line exactly as copied:
//   - control bytes become "_";
//   - a ";" that does not close a numeric character reference becomes
//     "&#59;" in a text field and "_" in a path (a path names a file; a
//     reference in it would name another file just as well, and "_" keeps its
//     length);
//   - the field may not end with an unclosed "&#digits", whose following
//     separator would be taken for the closing ";": its "&" becomes "&#38;"
//     in a text field ("_" in a path), or, when that does not fit, the
//     unclosed reference is dropped.
// The cut at size - 1 bytes falls between whole characters and never inside
// an "&#59;". Answers the length.
std::size_t SanitiseField(char* out, std::size_t size, std::string_view text, FieldKind kind) {
  if (size == 0) return 0;
  const std::size_t cap = size - 1;
  std::size_t len = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    const char* piece = &text[i];
    std::size_t piece_len = 1;
    std::size_t used = 1;
    if (ascii::IsControl(c)) {
      piece = "_";
    } else if (c == ';' && RefOpeningBefore(out, len) < 0) {
      piece = kind == FieldKind::kText ? "&#59;" : "_";
      piece_len = kind == FieldKind::kText ? 5 : 1;
    } else if (c >= 0x80) {
      piece_len = used = Utf8Length(text, i);
    }
    if (len + piece_len > cap) break;
    std::memcpy(out + len, piece, piece_len);
    len += piece_len;
    i += used;
  }
  for (;;) {
    long amp = RefOpeningBefore(out, len);
    if (amp < 0) break;
    const auto at = static_cast<std::size_t>(amp);
    if (kind == FieldKind::kPath) {
      out[at] = '_';
      break;
    }
    if (len + 4 <= cap) {
      std::memmove(out + at + 5, out + at + 1, len - at - 1);
      std::memcpy(out + at, "&#38;", 5);
      len += 4;
      break;
    }
    len = at;  // the text before it may end with another opening: look again
  }
  out[len] = '\0';
  return len;
}

// Copies a field read from a line into its slot, cut to size - 1 bytes at a
// character boundary when the cut would fall inside a UTF-8 sequence.
void CopyCut(char* out, std::size_t size, std::string_view text) {
  std::size_t n = text.size();
  if (n > size - 1) {
    n = size - 1;
    std::size_t k = n;
    while (k > 0 && n - k < 3 && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80) --k;
    if (k < n && static_cast<unsigned char>(text[k]) >= 0xC0 && k + Utf8Length(text, k) > n) n = k;
  }
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// Base-10 value of the leading digits (after blanks and a sign), clamped to
// the int32 range; 0 when there are none.
std::int32_t ParseInt32(const char* s) {
  std::int32_t value = 0;
  ParseListInt32(s, value);
  return value;
}

// Cuts the last field off `line` at its separator; null when there is none.
char* CutLastField(char* line) {
  char* sep = ATT_LastSeparator(line);
  if (sep == nullptr) return nullptr;
  *sep = '\0';
  return sep + 1;
}

// Fills `rec` from one line (without its newline); false when the line has
// fewer than the five fields "ext_text;charset;name;path;size".
bool ParseLine(char* line, AttachRecord& rec) {
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

template <std::size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return std::string_view(field, strnlen(field, N));
}

void AppendField(std::string& out, std::string_view text, std::size_t size, FieldKind kind) {
  char buf[256];
  SanitiseField(buf, size < sizeof buf ? size : sizeof buf, text, kind);
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
  path += session().user_id;
  path += '_';
  path += cpid ? cpid : "";
  path += "_Attach.dat";
  return path;
}

char* ATT_LastSeparator(char* text) {
  if (text == nullptr) return nullptr;
  for (std::size_t i = std::strlen(text); i > 0; --i) {
    if (text[i - 1] == ';' && RefOpeningBefore(text, i - 1) < 0) return text + i - 1;
  }
  return nullptr;
}

// Lines longer than 1023 bytes are skipped whole (ReadListLines).
int ATT_ListRead(const std::string& path) {
  AttachTable& table = ATT_Table();
  table.count = 0;
  RemovedFiles().clear();
  ReadListLines(path, [&table](char* line) {
    if (ParseLine(line, table.records[table.count])) ++table.count;
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

  const std::string temp = path + ".tmp." + std::to_string(getpid());
  const int flags = O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(temp.c_str(), flags, 0600);
  if (fd < 0 && errno == EEXIST) {
    // Left behind by an earlier process that had this id and died: no live
    // process other than this one uses the name.
    unlink(temp.c_str());
    fd = open(temp.c_str(), flags, 0600);
  }
  if (fd < 0) return -1;
  bool ok = WriteAll(fd, text.data(), text.size());
  if (close(fd) != 0) ok = false;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return -1;
  }
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
  SanitiseField(field, size, text, FieldKind::kText);
}
