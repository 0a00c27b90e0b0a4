// filedownload: serves a file of the hashed store, read-only, as the suite's
// download program does for the background and image pages' references:
//   /cgi-bin/filedownload/XX/YY/<stored name>        (background pages)
//   /cgi-bin/filedownload/<stored name>/<file name>  (image page; the file
//                                                    name is for the browser)
// Only images (not SVG) and sounds are served, typed by their bytes with the
// site's magic rules, never by their names, with "X-Content-Type-Options:
// nosniff" and a policy that lets nothing in them run. Anything else, a
// name that leaves the store or a symbolic link answers 404.
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/mime/types/media_kind.h"
#include "host/base/process.h"
#include "host/cgi/status_answer.h"
#include "host/files/files.h"
#include "host/files/hashed_store.h"

namespace {

std::vector<std::string_view> Segments(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    std::size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

// The stored name a reference names: "XX/YY/<name>" when XX/YY is that
// name's folder, else its first segment.
std::string_view StoredName(std::string_view path_info) {
  std::vector<std::string_view> parts = Segments(path_info);
  if (parts.empty()) return {};
  if (parts.size() == 3 && parts[0].size() == 2 && parts[1].size() == 2 &&
      HashedStoreSubdir(parts[2]) == std::string(parts[0]) + "/" + std::string(parts[1])) {
    return parts[2];
  }
  return parts[0];
}

int NotFound() {
  PrintStatusAnswer("404 Not Found", "No such file.");
  return 0;
}

// Copies the file to standard output, in the kernel where it can.
bool Send(int fd, std::size_t size) {
  std::fflush(stdout);
  off_t offset = 0;
  while (static_cast<std::size_t>(offset) < size) {
    ssize_t n = sendfile(STDOUT_FILENO, fd, &offset, size - static_cast<std::size_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  char buffer[65536];
  while (static_cast<std::size_t>(offset) < size) {
    ssize_t n = pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !WriteAll(STDOUT_FILENO, buffer, static_cast<std::size_t>(n))) return false;
    offset += n;
  }
  return true;
}

}  // namespace

int main() {
  host::ProcessInit();
  const host::CgiEnv& env = host::Env();
  if (env.request_method != "GET" && env.request_method != "HEAD") {
    PrintStatusAnswer("405 Method Not Allowed", "Only GET and HEAD are served.",
                      "Allow: GET, HEAD\r\n");
    return 0;
  }
  UniqueFd fd = HashedStoreOpen(StoredName(env.path_info));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0) return NotFound();
  const auto size = static_cast<std::size_t>(st.st_size);
  char head[8191];
  ssize_t got = pread(fd.get(), head, std::min(sizeof head, size), 0);
  if (got < 0) return NotFound();
  std::string type = CT_TypeOfBytes(head, static_cast<std::size_t>(got));
  if (!CT_IsImageType(type) && !CT_IsSoundType(type)) return NotFound();
  std::printf(
      "Content-Type: %s\r\nContent-Length: %zu\r\nX-Content-Type-Options: nosniff\r\n"
      "Content-Security-Policy: default-src 'none'; sandbox\r\n"
      "Cache-Control: private, max-age=3600\r\n\r\n",
      type.c_str(), size);
  if (env.request_method == "HEAD") return 0;
  return Send(fd.get(), size) ? 0 : 1;
}
