#include "common/cabinet/cabinet_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/cabinet/paths/dc_config.h"
#include "common/cabinet/paths/dc_paths.h"
#include "common/cabinet/permission/dc_permission.h"
#include "host/base/unique_fd.h"
#include "host/cgi/cgi_request.h"
#include "host/files/log.h"

namespace {

std::string RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return {};
  std::string out(real);
  std::free(real);
  return out;
}

// The path an open descriptor names now, "" when the system cannot say.
std::string OpenedPath(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return {};
  return std::string(target, static_cast<std::size_t>(n));
}

// A name of the cabinet's own data: its reserved names and the folder cache.
bool Metadata(std::string_view name) {
  std::size_t slash = name.rfind('/');
  std::string_view last = slash == std::string_view::npos ? name : name.substr(slash + 1);
  return DC_ReservedName(last) != 0 || last == DC_ConfigGet().dir_cache;
}

}  // namespace

std::optional<DC_SourceFolder> DC_RequestedFolder() {
  const char* base = MCGI_VarStrGet("dc_base", 0);
  const char* dir = MCGI_VarStrGet("dir_path", 0);
  if (!base || !*base || !dir || !*dir) {
    LOG_FileLine(ErrorLogPath(), "attachdesk: attach_main():dc_base=(%s),dir_path=(%s).",
                 base ? base : "", dir ? dir : "");
    return std::nullopt;
  }
  return DC_SourceFolder{base, dir};
}

DC_SourceAnswer DC_OpenSourceFile(const std::string& user_id, std::string_view dc_base,
                                  std::string_view dir_path, std::string_view name,
                                  MappedFile& data, std::string& path, std::int64_t max_size) {
  path.clear();
  if (Metadata(name)) return DC_SourceAnswer::kSkipped;
  if (!(DC_Permission(user_id, dc_base, dir_path, name, 1) & DC_PERM_READ)) {
    return DC_SourceAnswer::kNoPermission;
  }
  // The file is the one the check was made for: the name's last component in
  // the folder that the path and the name's own folders normalise to.
  std::optional<std::string> folder = DC_PathNormalize(dir_path, name);
  std::optional<std::string> file = DC_FileName(name);
  if (!folder || !file) return DC_SourceAnswer::kSkipped;
  std::string full = DC_BaseDir(dc_base, *folder);
  if (!full.ends_with('/')) full += '/';
  full += *file;

  // A link inside the cabinet may lead anywhere inside it, never out.
  std::optional<std::string> root = DC_RealRoot(dc_base);
  std::string real = RealPath(full);
  if (!root || real.empty()) return DC_SourceAnswer::kNoPermission;
  if (!DC_InsideRoot(*root, real)) return DC_SourceAnswer::kSkipped;

  // Opened without waiting (a FIFO) and without following a link put in its
  // place since; what was opened must still lie inside.
  UniqueFd fd(open(real.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.ok()) {
    return errno == ENOENT ? DC_SourceAnswer::kNoPermission : DC_SourceAnswer::kSkipped;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return DC_SourceAnswer::kSkipped;
  std::string opened = OpenedPath(fd.get());
  if (!opened.empty() && !DC_InsideRoot(*root, opened)) return DC_SourceAnswer::kSkipped;
  // A file beyond the caller's limit is neither read nor mapped (a file
  // larger than the address space could not be).
  if (st.st_size > max_size) return DC_SourceAnswer::kTooLarge;
  if (!data.Map(fd.get())) return DC_SourceAnswer::kSkipped;
  path = std::move(full);
  return DC_SourceAnswer::kOk;
}
