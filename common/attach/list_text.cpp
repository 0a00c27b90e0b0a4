#include "common/attach/list_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "host/base/ascii.h"
#include "host/files/files.h"

namespace list_text {

namespace {

// The start of the run of characters that pass `is` ending at `end`.
template <typename Pred>
std::size_t RunStart(const char* text, std::size_t end, Pred is) {
  std::size_t j = end;
  while (j > 0 && is(text[j - 1])) --j;
  return j;
}

// The text before `at` ends with `opening` (its letters in either case).
bool OpensWith(const char* text, std::size_t at, std::string_view opening) {
  if (at < opening.size()) return false;
  for (std::size_t k = 0; k < opening.size(); ++k) {
    if (ascii::Lower(text[at - opening.size() + k]) != opening[k]) return false;
  }
  return true;
}

}  // namespace

long RefOpeningBefore(const char* text, std::size_t end, RefRule rule) {
  if (rule == RefRule::kAttach) {
    std::size_t j = RunStart(text, end, ascii::IsHexDigit);
    if (j == end) return -1;  // no digit directly before
    if (OpensWith(text, j, "&#")) return static_cast<long>(j - 2);
    if (OpensWith(text, j, "&#x")) return static_cast<long>(j - 3);
    return -1;
  }
  std::size_t j = RunStart(text, end, ascii::IsDigit);
  if (j < end) {
    if (OpensWith(text, j, "&#")) return static_cast<long>(j - 2);
    if (OpensWith(text, j, "&#d")) return static_cast<long>(j - 3);
  }
  std::size_t k = RunStart(text, end, ascii::IsHexDigit);
  if (k < end && OpensWith(text, k, "&#x")) return static_cast<long>(k - 3);
  return -1;
}

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

std::size_t SanitiseField(char* out, std::size_t size, std::string_view text, FieldKind kind,
                          RefRule rule) {
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
    } else if (c == ';' && RefOpeningBefore(out, len, rule) < 0) {
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
    long amp = RefOpeningBefore(out, len, rule);
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

bool FieldReadsBack(std::string_view text, RefRule rule) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\0' || c == '\n') return false;
    if (c == ';' && RefOpeningBefore(text.data(), i, rule) < 0) return false;
  }
  return RefOpeningBefore(text.data(), text.size(), rule) < 0;
}

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

std::int32_t ParseInt32(const char* s) {
  while (*s == ' ' || *s == '\t') ++s;
  bool negative = false;
  if (*s == '-' || *s == '+') negative = *s++ == '-';
  std::int64_t value = 0;
  constexpr std::int64_t kBound = std::int64_t{1} << 32;  // beyond either limit
  for (; *s >= '0' && *s <= '9'; ++s) {
    if (value < kBound) value = value * 10 + (*s - '0');
  }
  if (negative) value = -value;
  using Limits = std::numeric_limits<std::int32_t>;
  if (value > Limits::max()) return Limits::max();
  if (value < Limits::min()) return Limits::min();
  return static_cast<std::int32_t>(value);
}

bool ReadListLines(const std::string& path, const std::function<bool(char* line)>& on_line) {
  return ReadListLinesAt(AT_FDCWD, path, on_line);
}

bool ReadListLinesAt(int dir_fd, const std::string& name,
                     const std::function<bool(char* line)>& on_line) {
  constexpr std::size_t kLineBuffer = 1024;
  int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  char line[kLineBuffer];
  std::size_t len = 0;
  bool too_long = false;
  bool more = true;
  auto end_line = [&] {
    if (!too_long) {
      if (len > 0 && line[len - 1] == '\r') --len;
      line[len] = '\0';
      more = on_line(line);
    }
    len = 0;
    too_long = false;
  };
  char chunk[4096];
  while (more) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    if (got == 0) {
      if (len > 0 || too_long) end_line();  // a last line without newline
      break;
    }
    for (ssize_t k = 0; k < got && more; ++k) {
      if (chunk[k] == '\n') {
        end_line();
      } else if (len < kLineBuffer - 1) {
        line[len++] = chunk[k];
      } else {
        too_long = true;
      }
    }
  }
  close(fd);
  return true;
}

int ReplaceListFile(const std::string& path, std::string_view text) {
  const std::string temp = path + std::string(kTempNameInfix) + std::to_string(getpid());
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
  return 0;
}

}  // namespace list_text
