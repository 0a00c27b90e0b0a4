#include "common/attach/reap/reap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "common/attach/list_turn.h"
#include "common/attach/reap/tmp_scan.h"
#include "host/base/unique_fd.h"
#include "host/files/hashed_store.h"
#include "host/files/root.h"

namespace reap {

namespace {

using window_names::FileKind;
using window_names::Form;

constexpr FileKind kLists[] = {FileKind::kAttachList, FileKind::kImageList, FileKind::kSoundList,
                               FileKind::kUploadList};

bool IsList(const TmpFile& file) {
  return file.form == Form::kFile &&
         (file.kind == FileKind::kAttachList || file.kind == FileKind::kImageList ||
          file.kind == FileKind::kSoundList || file.kind == FileKind::kUploadList);
}

// The list of `kind` as the folder showed it; null when there was none.
const TmpFile* ListFile(const TmpWindow& window, FileKind kind) {
  for (const TmpFile& file : window.files) {
    if (file.form == Form::kFile && file.kind == kind) return &file;
  }
  return nullptr;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A background's stored file: its folder open, its status; false when no
// regular file stands there.
bool FindStored(const std::string& name, UniqueFd& folder, struct stat& st) {
  folder = HashedStoreFolder(name);
  return folder.ok() && fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(st.st_mode);
}

class Reaper {
 public:
  Reaper(int tmp_fd, const Options& options, const Events& events, Totals& totals)
      : tmp_fd_(tmp_fd), options_(options), events_(events), totals_(totals) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    cutoff_ = now;
    cutoff_.tv_sec -= options.older_than_seconds;
  }

  // Reaps the windows `members` of one group, all or none.
  void Group(const TmpScan& scan, const std::vector<std::size_t>& members) {
    for (std::size_t m : members) {
      if (Newer(scan.windows[m].newest, cutoff_)) return;
    }
    if (options_.dry_run) {
      for (std::size_t m : members) {
        const TmpWindow& w = scan.windows[m];
        if (!w.calendar_export &&
            AttachListTurnHeld(tmp_fd_, WindowListName(w, FileKind::kAttachList))) {
          return Busy(w);
        }
      }
      for (std::size_t m : members) Tell(scan.windows[m], WouldGo(scan.windows[m]));
      return;
    }
    std::deque<AttachListTurn> turns;  // released last, deleting their lock files
    for (std::size_t m : members) {
      const TmpWindow& w = scan.windows[m];
      if (w.calendar_export) continue;
      const AttachListTurn& turn = turns.emplace_back(
          tmp_fd_, WindowListName(w, FileKind::kAttachList), AttachListTurn::Wait::kNo);
      if (!turn.held()) return Busy(w);
    }
    for (std::size_t m : members) {
      if (Changed(scan.windows[m])) return Busy(scan.windows[m]);
    }
    std::vector<Count> counts;
    for (std::size_t m : members) counts.push_back(Remove(scan.windows[m]));
    turns.clear();
    for (std::size_t i = 0; i < members.size(); ++i) Tell(scan.windows[members[i]], counts[i]);
  }

 private:
  struct Count {
    std::int64_t files = 0;
    std::int64_t bytes = 0;
    void Add(std::int64_t size) {
      ++files;
      bytes += size;
    }
  };

  void Busy(const TmpWindow& w) {
    if (events_.busy) events_.busy(w.user, w.id);
  }

  void Tell(const TmpWindow& w, const Count& count) {
    ++totals_.windows;
    totals_.files += count.files;
    totals_.bytes += count.bytes;
    if (events_.reaped) events_.reaped({w.user, w.id, w.calendar_export, count.files, count.bytes});
  }

  void Failed(const std::string& path, int error) {
    ++totals_.failures;
    if (events_.failed) events_.failed(path, error);
  }

  // What would go (a dry run).
  Count WouldGo(const TmpWindow& w) const {
    Count count;
    for (const TmpFile& file : w.files) count.Add(file.size);
    for (const std::string& name : w.store_names) {
      UniqueFd folder;
      struct stat st;
      if (FindStored(name, folder, st)) count.Add(st.st_size);
    }
    return count;
  }

  // True when a request of the window ran since the folder was read. The
  // programs change a window only by writing one of its lists (a stored file
  // is made new, never rewritten in place), so its lists are looked at
  // again: one rewritten, deleted or made meanwhile (a link or anything else
  // but a regular file at a list's name is left, and changes nothing). A
  // calendar export is looked at itself.
  bool Changed(const TmpWindow& w) const {
    if (w.calendar_export) {
      return Differs(w.files.front().name, &w.files.front());
    }
    for (FileKind kind : kLists) {
      if (Differs(WindowListName(w, kind), ListFile(w, kind))) return true;
    }
    return false;
  }

  // Whether the file `name` differs from what the folder showed: `seen`, or
  // no regular file when null.
  bool Differs(const std::string& name, const TmpFile* seen) const {
    struct stat st;
    const bool regular =
        fstatat(tmp_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
    if (seen == nullptr) return regular;
    return !regular || !SameTime(st.st_mtim, seen->mtime) || st.st_size != seen->size;
  }

  // Removes the window's stored backgrounds first (once their list is gone,
  // nothing would find them again), then its lists, then its other files:
  // whatever a failed removal leaves in tmp/ the next reap finds by its name.
  Count Remove(const TmpWindow& w) {
    Count count;
    for (const std::string& name : w.store_names) {
      UniqueFd folder;
      struct stat st;
      if (!FindStored(name, folder, st)) continue;
      if (unlinkat(folder.get(), name.c_str(), 0) == 0) {
        count.Add(st.st_size);
      } else if (errno != ENOENT) {
        Failed("httpd/html/hashed_store/" + HashedStoreSubdir(name) + "/" + name, errno);
      }
    }
    for (bool lists : {true, false}) {
      for (const TmpFile& file : w.files) {
        if (IsList(file) != lists) continue;
        if (file.form == Form::kLock) {
          count.Add(file.size);  // deleted as the turn is handed on
        } else if (unlinkat(tmp_fd_, file.name.c_str(), 0) == 0) {
          count.Add(file.size);
        } else if (errno != ENOENT) {
          Failed("tmp/" + file.name, errno);
        }
      }
    }
    return count;
  }

  int tmp_fd_;
  const Options& options_;
  const Events& events_;
  Totals& totals_;
  timespec cutoff_{};
};

}  // namespace

bool ReapTmp(const Options& options, const Events& events, Totals& totals) {
  UniqueFd tmp(open(host::TmpDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!tmp.ok()) return false;
  TmpScan scan;
  if (!ScanTmp(tmp.get(), scan)) return false;
  if (events.left) {
    for (const std::string& name : scan.left) events.left(name);
  }
  // Each group once, in the order of its first window.
  std::vector<std::vector<std::size_t>> members(scan.windows.size());
  for (std::size_t i = 0; i < scan.windows.size(); ++i) members[scan.group[i]].push_back(i);
  Reaper reaper(tmp.get(), options, events, totals);
  for (std::size_t i = 0; i < scan.windows.size(); ++i) {
    const std::vector<std::size_t>& group = members[scan.group[i]];
    if (group.front() == i) reaper.Group(scan, group);
  }
  return true;
}

}  // namespace reap
