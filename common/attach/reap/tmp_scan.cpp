#include "common/attach/reap/tmp_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <string_view>
#include <tuple>
#include <unordered_map>

#include "common/attach/attach_list.h"
#include "common/attach/background_list.h"
#include "common/attach/list_text.h"
#include "common/attach/tmp_path.h"
#include "common/cabinet/paths/dc_config.h"
#include "common/virus/virus_scan.h"
#include "host/files/hashed_store.h"
#include "host/files/root.h"

namespace reap {

namespace {

using window_names::FileKind;
using window_names::Form;

using WindowIndex = std::unordered_map<std::string, std::size_t>;

// A window's key: "<user>/<id>", or "/<user>/<fname>" for a calendar
// export; no name part holds "/".
std::string Key(std::string_view user, std::string_view id, bool calendar_export) {
  std::string key;
  if (calendar_export) key += '/';
  key += user;
  key += '/';
  key += id;
  return key;
}

// Files the programs keep in tmp/ outside any window: the cabinet's
// configuration cache and the virus scan's temporary archives (deleted by
// the scan itself, and overwritten by the next process of the same id).
bool IsScratchName(std::string_view name) {
  return DC_IsConfigCacheName(name) || VIR_IsScanFileName(name);
}

class Groups {
 public:
  explicit Groups(std::size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0); }
  std::size_t Find(std::size_t i) {
    while (parent_[i] != i) {
      parent_[i] = parent_[parent_[i]];
      i = parent_[i];
    }
    return i;
  }
  void Join(std::size_t a, std::size_t b) { parent_[Find(a)] = Find(b); }

 private:
  std::vector<std::size_t> parent_;
};

// The stored name a background list's path names, when it is one of
// `user`'s backgrounds where the store keeps it:
// "<store>/XX/YY/<name>", XX/YY the folder of that name. Empty otherwise.
std::string StoreNameOf(std::string_view path, std::string_view user) {
  const std::string ref = HashedStoreReference(path);  // "XX/YY/<name>"
  constexpr std::size_t kFolder = 5;                   // "XX/YY"
  if (ref.size() <= kFolder + 1 || ref[kFolder] != '/') return {};
  std::string_view name = std::string_view(ref).substr(kFolder + 1);
  if (!HashedStoreNameOk(name) || ref.compare(0, kFolder, HashedStoreSubdir(name)) != 0 ||
      !BG_IsStoredNameOf(name, user)) {
    return {};
  }
  return std::string(name);
}

// The name in tmp/ of a path a list names, when it lies there itself (not
// in a folder below); empty otherwise.
std::string_view TmpNameOf(std::string_view path) {
  if (!PathBelowTmp(path)) return {};
  std::string_view rest = path.substr(host::TmpDir().size() + 1);
  return rest.find('/') == std::string_view::npos ? rest : std::string_view();
}

void ReadAttachList(int tmp_fd, const std::string& list, std::size_t self,
                    const WindowIndex& index, Groups& groups) {
  list_text::ReadListLinesAt(tmp_fd, list, [&](char* line) {
    AttachRecord rec{};
    if (!ATT_ParseLine(line, rec)) return true;
    auto named = window_names::Parse(TmpNameOf(rec.path));
    if (named && named->kind != FileKind::kCalendarExport) {
      auto other = index.find(Key(named->user, named->window, false));
      if (other != index.end()) groups.Join(self, other->second);
    }
    return true;
  });
}

void ReadBackgroundList(int tmp_fd, const std::string& list, std::size_t self, TmpWindow& window,
                        WindowIndex& by_store, Groups& groups) {
  list_text::ReadListLinesAt(tmp_fd, list, [&](char* line) {
    BackgroundRecord rec{};
    if (!BG_ParseLine(line, rec)) return true;
    std::string name = StoreNameOf(rec.path, window.user);
    if (name.empty()) return true;
    auto [seen, added] = by_store.try_emplace(name, self);
    if (added) {
      window.store_names.push_back(std::move(name));
    } else {
      groups.Join(self, seen->second);
    }
    return true;
  });
}

// Reads the windows' lists: what joins windows, and the stored files of
// their backgrounds.
void LinkWindows(int tmp_fd, TmpScan& scan, const WindowIndex& index) {
  Groups groups(scan.windows.size());
  WindowIndex by_store;
  for (std::size_t i = 0; i < scan.windows.size(); ++i) {
    TmpWindow& window = scan.windows[i];
    for (const TmpFile& file : window.files) {
      if (file.form != Form::kFile) continue;
      if (file.kind == FileKind::kAttachList) {
        ReadAttachList(tmp_fd, file.name, i, index, groups);
      } else if (file.kind == FileKind::kImageList || file.kind == FileKind::kSoundList) {
        ReadBackgroundList(tmp_fd, file.name, i, window, by_store, groups);
      }
    }
  }
  scan.group.resize(scan.windows.size());
  for (std::size_t i = 0; i < scan.windows.size(); ++i) scan.group[i] = groups.Find(i);
}

}  // namespace

bool Newer(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

std::string WindowListName(const TmpWindow& window, FileKind kind) {
  return window_names::ListName(kind, window.user, window.id);
}

bool ScanTmp(int tmp_fd, TmpScan& scan) {
  const int listed = fcntl(tmp_fd, F_DUPFD_CLOEXEC, 0);
  if (listed < 0) return false;
  DIR* dir = fdopendir(listed);
  if (dir == nullptr) {
    const int error = errno;
    close(listed);
    errno = error;
    return false;
  }
  WindowIndex index;
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    auto parsed = window_names::Parse(name);
    struct stat st;
    if (name == "." || name == ".." || (!parsed && IsScratchName(name)) ||
        fstatat(tmp_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      errno = 0;  // an entry gone meanwhile is no error of the listing
      continue;
    }
    if (!parsed || !S_ISREG(st.st_mode)) {
      scan.left.emplace_back(name);
      continue;
    }
    const bool exported = parsed->kind == FileKind::kCalendarExport;
    auto [at, added] =
        index.try_emplace(Key(parsed->user, parsed->window, exported), scan.windows.size());
    if (added) {
      scan.windows.push_back(
          TmpWindow{std::string(parsed->user), std::string(parsed->window), exported, {}, {}, {}});
    }
    TmpWindow& window = scan.windows[at->second];
    window.files.push_back(TmpFile{std::string(name), parsed->kind, parsed->form,
                                   static_cast<std::int64_t>(st.st_size), st.st_mtim});
    if (Newer(st.st_mtim, window.newest)) window.newest = st.st_mtim;
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) {
    errno = error;
    return false;
  }

  std::sort(scan.windows.begin(), scan.windows.end(), [](const TmpWindow& a, const TmpWindow& b) {
    return std::tie(a.user, a.calendar_export, a.id) < std::tie(b.user, b.calendar_export, b.id);
  });
  std::sort(scan.left.begin(), scan.left.end());
  index.clear();
  for (std::size_t i = 0; i < scan.windows.size(); ++i) {
    const TmpWindow& w = scan.windows[i];
    index.emplace(Key(w.user, w.id, w.calendar_export), i);
  }
  LinkWindows(tmp_fd, scan, index);
  return true;
}

}  // namespace reap
