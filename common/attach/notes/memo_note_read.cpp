// The memo note index layout and the reading of a folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "common/attach/notes/memo_note.h"
#include "host/base/unique_fd.h"
#include "host/files/files.h"
#include "host/files/log.h"

namespace {

std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLe32(char* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// A text field: its bytes up to the first NUL, never past the field.
std::string Field(const unsigned char* entry, std::size_t offset, std::size_t size) {
  const char* start = reinterpret_cast<const char*>(entry) + offset;
  const void* nul = std::memchr(start, '\0', size);
  std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - start) : size;
  return std::string(start, length);
}

MNOTE_Entry Decode(const unsigned char* e) {
  MNOTE_Entry entry;
  entry.key = Field(e, kMnoteKeyOffset, kMnoteKeySize);
  entry.title = Field(e, kMnoteTitleOffset, kMnoteTitleSize);
  entry.mtime = Le32(e + kMnoteMtimeOffset);
  entry.length = Le32(e + kMnoteLengthOffset);
  entry.dated = e[kMnoteDatedOffset];
  entry.byte465 = e[kMnoteByte465Offset];
  entry.charset = e[kMnoteCharsetOffset];
  std::memcpy(entry.tail.data(), e + kMnoteTailOffset, kMnoteTailSize);
  return entry;
}

bool Loaded(const MNOTE_Context* context) {
  return context && !context->entries.empty();
}

}  // namespace

std::vector<MNOTE_Entry> MNOTE_ParseIndex(std::string_view bytes) {
  std::vector<MNOTE_Entry> entries;
  const std::size_t count = bytes.size() / kMnoteEntrySize;
  entries.reserve(count);
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < count; ++i) entries.push_back(Decode(data + i * kMnoteEntrySize));
  return entries;
}

std::array<char, kMnoteEntrySize> MNOTE_EncodeEntry(const MNOTE_Entry& entry) {
  std::array<char, kMnoteEntrySize> out{};
  std::memcpy(out.data() + kMnoteKeyOffset, entry.key.data(),
              std::min(entry.key.size(), kMnoteKeySize));
  std::memcpy(out.data() + kMnoteTitleOffset, entry.title.data(),
              std::min(entry.title.size(), kMnoteTitleSize));
  PutLe32(out.data() + kMnoteMtimeOffset, entry.mtime);
  PutLe32(out.data() + kMnoteLengthOffset, entry.length);
  out[kMnoteDatedOffset] = static_cast<char>(entry.dated);
  out[kMnoteByte465Offset] = static_cast<char>(entry.byte465);
  out[kMnoteCharsetOffset] = static_cast<char>(entry.charset);
  std::memcpy(out.data() + kMnoteTailOffset, entry.tail.data(), kMnoteTailSize);
  return out;
}

bool MNOTE_KeyUsable(std::string_view key) {
  if (key.empty() || key.size() > kMnoteKeySize) return false;
  if (key == "." || key == ".." || key == ".index") return false;
  return std::none_of(key.begin(), key.end(), [](char c) {
    auto b = static_cast<unsigned char>(c);
    return b == '/' || b < 0x20 || b == 0x7f;
  });
}

int MNOTE_Open(MNOTE_Context* context, const char* path, int mode) {
  if (!context) return kMnoteRefused;
  *context = MNOTE_Context{};
  if (!path) return kMnoteRefused;
  std::string_view rest = path;
  while (rest.starts_with('/')) rest.remove_prefix(1);
  while (rest.ends_with('/')) rest.remove_suffix(1);
  // A path that does not fit is refused: cut, it would name another folder.
  if (rest.size() > kMnotePathRest) return kMnoteRefused;
  context->path.assign(1, '/');
  context->path += rest;
  if (mode & kMnoteOpenAppend) context->append = kMnoteAppendMode;
  return kMnoteOk;
}

int MNOTE_Load(MNOTE_Context* context) {
  if (!context || context->path.empty() || Loaded(context)) return kMnoteRefused;
  struct stat st;
  if (stat(context->path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? kMnoteNotFound : kMnoteFailed;
  }
  if (!S_ISDIR(st.st_mode)) return kMnoteNotFound;
  context->count = 0;

  const std::string index = context->path + "/.index";
  UniqueFd fd(open(index.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.ok()) {
    if (errno == ENOENT) return kMnoteOk;
    LOG_FileLine(ErrorLogPath(), "MNOTE_Load()->open(%s): %s", index.c_str(),
                 std::strerror(errno));
    return kMnoteFailed;
  }
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    LOG_FileLine(ErrorLogPath(), "MNOTE_Load(): %s is not a regular file", index.c_str());
    return kMnoteFailed;
  }
  const auto count = static_cast<std::uint64_t>(st.st_size) / kMnoteEntrySize;
  if (count == 0) return kMnoteOk;
  if (count > kMnoteMaxEntries) {
    LOG_FileLine(ErrorLogPath(), "MNOTE_Load(): %s holds %llu entries, more than %zu",
                 index.c_str(), static_cast<unsigned long long>(count), kMnoteMaxEntries);
    return kMnoteFailed;
  }
  if (MFILE_Lock(fd.get(), kLockShared) != 0) return kMnoteFailed;
  // The index may have changed size since the fstat: what is read counts, in
  // whole entries.
  std::string bytes(count * kMnoteEntrySize, '\0');
  std::size_t have = 0;
  while (have < bytes.size()) {
    ssize_t n = read(fd.get(), bytes.data() + have, bytes.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      LOG_FileLine(ErrorLogPath(), "MNOTE_Load()->read(%s): %s", index.c_str(),
                   std::strerror(errno));
      return kMnoteFailed;
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  bytes.resize(have);
  context->entries = MNOTE_ParseIndex(bytes);
  context->count = static_cast<unsigned>(context->entries.size());
  return kMnoteOk;
}

int MNOTE_Find(const MNOTE_Context* context, const char* key, const MNOTE_Entry** entry) {
  if (!context || !key) return kMnoteRefused;
  // A request key longer than the field can never be one of its keys.
  std::string_view wanted(key, strnlen(key, kMnoteKeySize + 1));
  for (std::size_t i = 0; i < context->entries.size(); ++i) {
    if (context->entries[i].key == wanted) {
      if (entry) *entry = &context->entries[i];
      return static_cast<int>(i);
    }
  }
  return kMnoteNotFound;
}

int MNOTE_Get(const MNOTE_Context* context, long position, MNOTE_Entry* entry,
              std::string* text) {
  if (!context || context->path.empty()) return kMnoteRefused;
  if (position < 0 || static_cast<std::size_t>(position) >= context->entries.size()) {
    return kMnoteNotFound;
  }
  const MNOTE_Entry& found = context->entries[static_cast<std::size_t>(position)];
  if (found.deleted() || !MNOTE_KeyUsable(found.key)) return kMnoteNotFound;
  if (entry) *entry = found;
  if (!text) return kMnoteOk;

  const std::string path = context->path + "/" + found.key;
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      MFILE_Lock(fd.get(), kLockShared) != 0 || fstat(fd.get(), &st) != 0) {
    return kMnoteFailed;
  }
  try {
    if (!ReadAt(fd.get(), 0, static_cast<std::size_t>(st.st_size), *text)) {
      text->clear();
      return kMnoteFailed;
    }
  } catch (const std::bad_alloc&) {
    text->clear();
    LOG_FileLine(ErrorLogPath(), "MNOTE_Get(): no memory for %s", path.c_str());
    return kMnoteFailed;
  }
  return kMnoteOk;
}

int MNOTE_Read(const MNOTE_Context* context, const char* key, MNOTE_Entry* entry,
               std::string* text) {
  int position = MNOTE_Find(context, key, nullptr);
  if (position < 0) return position;
  return MNOTE_Get(context, position, entry, text);
}

void MNOTE_Close(MNOTE_Context* context) {
  if (!context || context->path.empty()) return;
  context->entries.clear();
  context->entries.shrink_to_fit();
  context->count = 0;
  context->path.clear();
}
