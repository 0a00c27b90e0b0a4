// Link folders: a folder holding ".link" stands for another folder, named by
// a base and a path on the file's two lines.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/cabinet/entries/dc_entries.h"
#include "common/cabinet/paths/dc_paths.h"
#include "host/base/unique_fd.h"
#include "host/files/files.h"

namespace {

constexpr int kMaxLinks = 16;

// The next line (the last one may lack its newline); `found` false at the end.
std::string_view Line(std::string_view text, std::size_t& at, bool& found) {
  found = at < text.size();
  if (!found) return {};
  std::size_t end = text.find('\n', at);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(at, end - at);
  at = end + 1;
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

}  // namespace

int DC_LinkCreate(std::string_view base, std::string_view dir, std::string_view name,
                  std::string_view target_base, std::string_view target_path) {
  if (name.find('/') != std::string_view::npos || DC_CheckName(base, dir, name) != 0) {
    return kDcRefusedName;
  }
  if (target_base.find_first_of("\r\n") != std::string_view::npos ||
      target_path.find_first_of("\r\n") != std::string_view::npos) {
    return -1;
  }
  std::string folder = DC_Dir(base, dir);
  if (folder.empty()) return -1;
  if (!folder.ends_with('/')) folder += '/';
  folder.append(name);
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  UniqueFd fd(open((folder + "/.link").c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0660));
  if (!fd.ok()) return -1;
  std::string text = std::string(target_base) + "\n" + std::string(target_path) + "\n";
  return WriteAll(fd.get(), text.data(), text.size()) ? 0 : -1;
}

int DC_LinkResolve(std::string_view base, std::string_view path, DC_LinkTarget& out) {
  if (base.empty() || path.empty()) return kDcMissingArgument;
  out.base = std::string(base.substr(0, 255));
  out.path = std::string(path.substr(0, 1023));
  for (int followed = 0; DC_IsLinkDir(out.base, out.path) == 0; ++followed) {
    if (followed == kMaxLinks) return -1;  // a chain that comes back to itself
    std::string folder = DC_Dir(out.base, out.path);
    if (!folder.ends_with('/')) folder += '/';
    std::string text;
    if (MFILE_Read(folder + ".link", text) < 0) return -1;
    std::size_t at = 0;
    bool first = false;
    bool second = false;
    std::string_view link_base = Line(text, at, first);
    std::string_view link_path = Line(text, at, second);
    if (!first || !second) return -2;
    out.base = std::string(link_base.substr(0, 255));
    out.path = std::string(link_path.substr(0, 1023));
  }
  return 0;
}
