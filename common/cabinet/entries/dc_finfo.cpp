#include "common/cabinet/entries/dc_finfo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "common/cabinet/paths/dc_paths.h"
#include "host/base/unique_fd.h"
#include "host/files/files.h"

namespace {

struct Line {
  std::string_view name;
  std::string_view value;
};

// The lines of the text that hold a TAB, in order.
std::vector<Line> Lines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    lines.push_back({line.substr(0, tab), line.substr(tab + 1)});
  }
  return lines;
}

std::string CleanValue(std::string_view value) {
  std::string out(value.substr(0, kDcDescMax));
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

bool ValidName(std::string_view name) {
  return !name.empty() && name.find_first_of("\t\r\n") == std::string_view::npos;
}

bool LockFd(int fd, int op) {
  while (flock(fd, op) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Rewrites ".finfo" under an exclusive lock: every description line except
// `name`'s, then the line `change` makes from the old value (none when it
// answers nullopt). `missing` is answered when there is no file and
// `create` is false.
int Rewrite(
    const std::string& path, std::string_view name, bool create, int missing,
    const std::function<std::optional<std::string>(std::optional<std::string_view>)>& change) {
  if (!ValidName(name)) return -1;
  int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
  UniqueFd fd(open(path.c_str(), flags, 0660));
  if (!fd.ok()) return errno == ENOENT && !create ? missing : -1;
  if (!LockFd(fd.get(), LOCK_EX)) return -1;
  std::string text;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 ||
      !ReadAt(fd.get(), 0, static_cast<std::size_t>(st.st_size), text)) {
    return -1;
  }
  std::string out;
  std::optional<std::string_view> old;
  std::string_view cut_name = name.substr(0, kDcNameMax);
  for (const Line& line : Lines(text)) {
    if (line.name == cut_name) {
      if (!old) old = line.value;
      continue;
    }
    out.append(line.name);
    out += '\t';
    out.append(line.value);
    out += '\n';
  }
  if (std::optional<std::string> value = change(old)) {
    out.append(cut_name);
    out += '\t';
    out += CleanValue(*value);
    out += '\n';
  }
  if (!WriteAt(fd.get(), 0, out) || ftruncate(fd.get(), static_cast<off_t>(out.size())) != 0) {
    return -1;
  }
  return 0;
}

}  // namespace

std::vector<std::optional<std::string>> DC_DescRead(const std::string& finfo_path,
                                                    const std::vector<std::string>& names) {
  std::vector<std::optional<std::string>> values(names.size());
  UniqueFd fd(open(finfo_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.ok() || !LockFd(fd.get(), LOCK_SH)) return values;
  std::string text;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 ||
      !ReadAt(fd.get(), 0, static_cast<std::size_t>(st.st_size), text)) {
    return values;
  }
  std::size_t left = names.size();
  for (const Line& line : Lines(text)) {
    for (std::size_t i = 0; i < names.size() && left > 0; ++i) {
      if (values[i] || names[i] != line.name) continue;
      values[i] = std::string(line.value.substr(0, kDcDescMax));
      --left;
    }
    if (left == 0) break;
  }
  return values;
}

int DC_DescSet(const std::string& finfo_path, std::string_view name, std::string_view value) {
  return Rewrite(finfo_path, name, true, -1,
                 [&](std::optional<std::string_view>) { return std::string(value); });
}

int DC_DescRemove(const std::string& finfo_path, std::string_view name) {
  return Rewrite(finfo_path, name, false, 1,
                 [](std::optional<std::string_view>) { return std::nullopt; });
}

std::string_view DC_DescShown(std::string_view value) {
  return value.substr(0, value.find('\t'));
}

std::optional<std::string> DC_DescExtra(std::string_view value) {
  std::size_t tab = value.find('\t');
  if (tab == std::string_view::npos) return std::nullopt;
  std::string_view extra = value.substr(tab + 1);
  std::size_t colon = extra.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  return std::string(extra.substr(colon + 1));
}

int DC_DescSetShown(const std::string& finfo_path, std::string_view name, std::string_view shown) {
  std::string kept(shown.substr(0, shown.find('\t')));
  return Rewrite(finfo_path, name, true, -1, [&](std::optional<std::string_view> old) {
    std::string value = kept;
    if (old) {
      std::size_t tab = old->find('\t');
      if (tab != std::string_view::npos) value.append(old->substr(tab));
    }
    return value;
  });
}

int DC_DescSetExtra(const std::string& finfo_path, std::string_view name, std::string_view key,
                    std::string_view value) {
  if (key.find_first_of("\t:") != std::string_view::npos ||
      value.find('\t') != std::string_view::npos) {
    return -1;
  }
  return Rewrite(finfo_path, name, true, -1, [&](std::optional<std::string_view> old) {
    std::string out(old ? DC_DescShown(*old) : std::string_view());
    out += '\t';
    out.append(key);
    out += ':';
    out.append(value);
    return out;
  });
}
