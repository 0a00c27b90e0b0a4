// The memo note root and its folders.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>

#include "common/attach/notes/memo_note.h"
#include "host/account/account.h"
#include "host/base/strings.h"

namespace {

std::optional<std::string> RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return std::nullopt;
  std::string out(real);
  std::free(real);
  return out;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A path lies in the store when it is the root or below root + "/": a
// sibling whose name only begins with the root's ("note2") does not.
bool Inside(const std::string& root, const std::string& path) {
  if (path == root) return true;
  if (root == "/") return path.starts_with('/');
  return path.size() > root.size() && path.starts_with(root) && path[root.size()] == '/';
}

std::string RootName(std::string_view user_id) {
  return user_home(user_id) + "/note";
}

bool HasClimb(std::string_view folder) {
  for (std::string_view part : PathParts(folder)) {
    if (part == "..") return true;
  }
  return false;
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7f;
  });
}

// Resolves "<root>/<folder>" (folder not empty) as MNOTE_FolderPath answers.
int ResolveFolder(const std::string& root, std::string_view folder, std::string& out) {
  if (folder.starts_with('/')) return kMnoteRefused;
  std::string joined = root + "/" + std::string(folder);
  if (joined.size() > kMnoteFolderPathMax || joined.find('\0') != std::string::npos) {
    return kMnoteRefused;
  }
  if (std::optional<std::string> real = RealPath(joined)) {
    if (!Inside(root, *real)) return kMnoteRefused;
    out = *real;
    return IsDirectory(out) ? kMnoteExists : kMnoteNotFound;
  }
  if (errno != ENOENT && errno != ENOTDIR) return kMnoteRefused;
  // Not there: a name that climbs cannot be shown to stay inside.
  if (HasClimb(folder)) return kMnoteRefused;
  out = root;
  for (std::string_view part : PathParts(folder)) {
    if (part == ".") continue;
    out += '/';
    out += part;
  }
  return kMnoteNotFound;
}

// Calls visit(name, path, depth) for the root and every folder below it,
// depth first in byte order of the names, without following links, until
// it answers false. Answers false when it was stopped.
bool WalkFolders(const std::string& root,
                 const std::function<bool(const std::string& name, const std::string& path)>& visit) {
  std::size_t visited = 0;
  std::function<bool(const std::string&, const std::string&, int)> walk =
      [&](const std::string& name, const std::string& path, int depth) {
        if (visited++ >= kMnoteMaxFolders) return true;
        if (!visit(name, path)) return false;
        if (depth >= kMnoteMaxDepth) return true;
        std::vector<std::string> below;
        if (DIR* dir = opendir(path.c_str())) {
          while (const dirent* d = readdir(dir)) {
            std::string_view n = d->d_name;
            if (n == "." || n == "..") continue;
            struct stat st;
            std::string sub = path + "/" + std::string(n);
            if (lstat(sub.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) below.emplace_back(n);
          }
          closedir(dir);
        }
        std::sort(below.begin(), below.end());
        for (const std::string& n : below) {
          if (!walk(name.empty() ? n : name + "/" + n, path + "/" + n, depth + 1)) return false;
        }
        return true;
      };
  return walk("", root, 0);
}

unsigned LiveNotes(const std::string& path) {
  MNOTE_Context context;
  if (MNOTE_Open(&context, path.c_str(), 0) != kMnoteOk || MNOTE_Load(&context) != kMnoteOk) {
    return 0;
  }
  return static_cast<unsigned>(std::count_if(context.entries.begin(), context.entries.end(),
                                             [](const MNOTE_Entry& e) { return !e.deleted(); }));
}

}  // namespace

std::optional<std::string> MNOTE_RootPath(std::string_view user_id) {
  if (!IsValidUserId(user_id)) return std::nullopt;
  std::optional<std::string> root = RealPath(RootName(user_id));
  if (!root || !IsDirectory(*root)) return std::nullopt;
  return root;
}

int MNOTE_FolderPath(std::string_view user_id, std::string_view folder, std::string& out) {
  if (!IsValidUserId(user_id)) return kMnoteRefused;
  const std::string name = RootName(user_id);
  int answer = kMnoteExists;
  std::optional<std::string> root = RealPath(name);
  if (!root) {
    if (errno != ENOENT || mkdir(name.c_str(), 0775) != 0) return kMnoteFailed;
    root = RealPath(name);
    if (!root) return kMnoteFailed;
    answer = kMnoteOk;
  }
  if (!IsDirectory(*root)) return kMnoteFailed;
  if (folder.empty()) {
    out = *root;
    return answer;
  }
  return ResolveFolder(*root, folder, out);
}

int MNOTE_FolderMake(std::string_view user_id, std::string_view folder, std::string& out) {
  std::string root;
  int answer = MNOTE_FolderPath(user_id, "", root);
  if (answer != kMnoteExists && answer != kMnoteOk) return answer;
  if (HasControl(folder) || folder.starts_with('/') || folder.ends_with('/')) return kMnoteRefused;
  std::string current = root;
  std::size_t start = 0;
  while (start <= folder.size() && !folder.empty()) {
    std::size_t slash = folder.find('/', start);
    std::string_view part =
        folder.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return kMnoteRefused;
    std::string next = current + "/" + std::string(part);
    if (next.size() > kMnoteFolderPathMax) return kMnoteRefused;
    if (mkdir(next.c_str(), 0775) != 0 && errno != EEXIST) return kMnoteFailed;
    std::optional<std::string> real = RealPath(next);
    if (!real || !Inside(root, *real)) return kMnoteRefused;
    if (!IsDirectory(*real)) return kMnoteFailed;
    current = *real;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  out = current;
  return kMnoteExists;
}

std::vector<MNOTE_Folder> MNOTE_Folders(std::string_view user_id) {
  std::vector<MNOTE_Folder> folders;
  std::optional<std::string> root = MNOTE_RootPath(user_id);
  if (!root) return folders;
  WalkFolders(*root, [&](const std::string& name, const std::string& path) {
    folders.push_back({name, path, LiveNotes(path)});
    return true;
  });
  return folders;
}

bool MNOTE_HasNotes(std::string_view user_id) {
  std::optional<std::string> root = MNOTE_RootPath(user_id);
  if (!root) return false;
  return !WalkFolders(*root, [](const std::string&, const std::string& path) {
    return LiveNotes(path) == 0;
  });
}
