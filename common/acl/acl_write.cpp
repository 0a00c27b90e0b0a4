// Changing ".acl" and ".acl.ext": every change holds an exclusive lock on
// ".acl" while it reads both files and writes them back in place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>

#include "common/acl/acl_internal.h"
#include "common/acl/acl_object.h"
#include "common/cabinet/paths/dc_paths.h"
#include "host/base/unique_fd.h"
#include "host/files/files.h"

using namespace acl_internal;

namespace {

// An ACL file open for a change: its records (a trailing partial one is
// dropped when the file is written back) and the extension's bytes.
struct Edit {
  std::string path;
  UniqueFd fd;
  std::vector<std::string> records;
  std::string ext;
  // Objects whose extension records are rewritten, as they now stand.
  std::map<std::string, ACL_Object> ext_changed;

  // Opens, locks and reads. 0, 3 when it cannot be opened or locked, 1 when
  // it cannot be read.
  int Open(const std::string& acl_path) {
    path = acl_path;
    if (path.empty()) return kAclBadIndex;
    std::string data;
    int fd_or_error = MFILE_LockRW(path, data, 1);
    if (fd_or_error == -3) return kAclReadError;
    if (fd_or_error < 0) return kAclNoLock;
    fd = UniqueFd(fd_or_error);
    for (std::size_t at = 0; at + kAclRecordSize <= data.size(); at += kAclRecordSize) {
      records.push_back(data.substr(at, kAclRecordSize));
    }
    UniqueFd ext_fd(open(DC_AclExtName(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (ext_fd.ok() && !ReadWhole(ext_fd.get(), ext)) return kAclReadError;
    return kAclOk;
  }

  // The place of `name`: found, or where it would be inserted.
  std::pair<std::size_t, bool> Find(std::string_view name) const {
    auto it = std::lower_bound(
        records.begin(), records.end(), name,
        [](const std::string& record, std::string_view n) { return RecordName(record) < n; });
    std::size_t index = static_cast<std::size_t>(it - records.begin());
    return {index, it != records.end() && RecordName(*it) == name};
  }

  ACL_Object Object(std::size_t index) const { return Assemble(records[index], ext); }

  // Stores an object at `index` (keeping the record's own name when asked);
  // its entries beyond the tenth go to the extension.
  void Put(std::size_t index, const ACL_Object& object) {
    std::size_t old_count = ACL_DeclaredCount(records[index]);
    records[index] = ACL_EncodeRecord(object);
    if (old_count > kAclMainEntries || object.entries.size() > kAclMainEntries) {
      Rewrite(object);
    }
  }

  void Rewrite(const ACL_Object& object) { ext_changed[object.name] = object; }

  // Writes the extension (when an object's entries there changed), then the
  // records, and cuts both files to their new length.
  int Commit() {
    if (!ext_changed.empty() && WriteExt() != kAclOk) return kAclReadError;
    std::string bytes;
    bytes.reserve(records.size() * kAclRecordSize);
    for (const std::string& r : records) bytes += r;
    if (!WriteAt(fd.get(), 0, bytes) ||
        ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0) {
      return kAclReadError;
    }
    return kAclOk;
  }

 private:
  int WriteExt() {
    std::string bytes;
    for (const auto& [name, object] : ext_changed) {
      if (object.entries.size() <= kAclMainEntries) continue;  // its records are dropped
      for (std::size_t first = kAclMainEntries; first < object.entries.size();
           first += kAclExtEntries) {
        std::string record(kAclExtRecordSize, '\0');
        record.replace(0, std::min<std::size_t>(object.name.size(), 255),
                       std::string_view(object.name).substr(0, 255));
        for (std::size_t i = 0; i < kAclExtEntries && first + i < object.entries.size(); ++i) {
          EncodeEntry(record, 256 + i * kAclEntrySize, object.entries[first + i]);
        }
        bytes += record;
      }
    }
    for (std::size_t at = 0; at + kAclExtRecordSize <= ext.size(); at += kAclExtRecordSize) {
      std::string_view record = std::string_view(ext).substr(at, kAclExtRecordSize);
      if (!ext_changed.count(std::string(RecordName(record)))) bytes += record;
    }
    UniqueFd out(
        open(DC_AclExtName(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!out.ok() || !WriteAt(out.get(), 0, bytes) ||
        ftruncate(out.get(), static_cast<off_t>(bytes.size())) != 0) {
      return kAclReadError;
    }
    ext = std::move(bytes);
    return kAclOk;
  }
};

bool HasAccessId(const ACL_Object& object, std::string_view id, std::size_t except) {
  for (std::size_t i = 0; i < object.entries.size(); ++i) {
    if (i != except && object.entries[i].access_id == id) return true;
  }
  return false;
}

// An object as stored: the name and every text cut to its field.
ACL_Object Stored(const ACL_Object& object) {
  ACL_Object o = object;
  o.name = o.name.substr(0, 255);
  o.owner = o.owner.substr(0, 63);
  o.group = o.group.substr(0, 63);
  if (o.entries.size() > static_cast<std::size_t>(kAclMaxEntries)) o.entries.resize(kAclMaxEntries);
  for (ACL_Entry& e : o.entries) e.access_id = e.access_id.substr(0, 63);
  return o;
}

// Opens the file and finds an object for an entry change: 0 with its index,
// 4 for an empty file, 5 when it is not there.
int OpenObject(Edit& edit, const std::string& acl_path, std::string_view name, std::size_t& index) {
  // A name that fills its field (a damaged record) could not be written back
  // under the same name: such an object is not changed.
  if (name.size() > 255) return kAclNotFound;
  if (int r = edit.Open(acl_path); r != kAclOk) return r;
  if (edit.records.empty()) return kAclEmptyFile;
  auto [at, found] = edit.Find(name);
  if (!found) return kAclNotFound;
  index = at;
  return kAclOk;
}

// Changes the entries of one object: opens the file, finds the object (4 for
// an empty file, 5 when it is not there), lets `change` edit it (a non-zero
// answer stops there) and writes it back.
int ChangeEntries(const std::string& acl_path, std::string_view name,
                  const std::function<int(ACL_Object&)>& change) {
  Edit edit;
  std::size_t index = 0;
  if (int r = OpenObject(edit, acl_path, name, index); r != kAclOk) return r;
  ACL_Object object = edit.Object(index);
  if (int r = change(object); r != kAclOk) return r;
  edit.Put(index, object);
  return edit.Commit();
}

}  // namespace

int ACL_ObjectAdd(MDS_Context* ctx, const std::string& acl_path, const ACL_Object& object) {
  if (int r = ACL_ObjectCheck(ctx, object); r != kAclOk) return r;
  const ACL_Object stored = Stored(object);
  Edit edit;
  if (int r = edit.Open(acl_path); r != kAclOk) return r;
  auto [index, found] = edit.Find(stored.name);
  if (found) return kAclExists;
  edit.records.insert(edit.records.begin() + static_cast<long>(index), std::string());
  edit.Put(index, stored);
  return edit.Commit();
}

int ACL_ObjectSet(MDS_Context* ctx, const std::string& acl_path, const ACL_Object& object,
                  int flags) {
  if (int r = ACL_ObjectCheck(ctx, object); r != kAclOk) return r;
  const ACL_Object stored = Stored(object);
  Edit edit;
  if (int r = edit.Open(acl_path); r != kAclOk) return r;
  auto [index, found] = edit.Find(stored.name);
  if (found && !(flags & kAclSetReplace)) return kAclExists;
  if (!found && !(flags & kAclSetInsert)) return kAclNotFound;
  if (!found) edit.records.insert(edit.records.begin() + static_cast<long>(index), std::string());
  edit.Put(index, stored);
  if (flags & kAclSetPropagate) {
    // Every object below it ("/a" reaches "/a/..." but not "/ab"); a name of
    // one character reaches every object after it.
    std::string prefix = stored.name;
    if (!prefix.empty()) prefix += stored.name[0];
    for (std::size_t i = index + 1; i < edit.records.size(); ++i) {
      std::string_view name = RecordName(edit.records[i]);
      if (stored.name.size() > 1 && !name.starts_with(prefix)) continue;
      if (name.size() > 255) continue;  // a damaged name would be cut
      ACL_Object below = stored;
      below.name = std::string(name);
      edit.Put(i, below);
    }
  }
  return edit.Commit();
}

int ACL_ObjectDel(const std::string& acl_path, std::string_view name) {
  Edit edit;
  std::size_t index = 0;
  if (int r = OpenObject(edit, acl_path, name, index); r != kAclOk) return r;
  ACL_Object gone;
  gone.name = std::string(name);
  edit.records.erase(edit.records.begin() + static_cast<long>(index));
  edit.Rewrite(gone);  // its extension records are dropped
  return edit.Commit();
}

int ACL_EntryAdd(MDS_Context* ctx, const std::string& acl_path, std::string_view name,
                 const ACL_Entry& entry) {
  if (int r = ACL_EntryCheck(ctx, entry); r != kAclOk) return r;
  ACL_Entry added = entry;
  added.access_id = added.access_id.substr(0, 63);
  return ChangeEntries(acl_path, name, [&](ACL_Object& object) {
    if (HasAccessId(object, added.access_id, object.entries.size())) return kAclExists;
    // A record counts its entries in 16 bits: an object that holds the most
    // takes no more.
    if (object.entries.size() >= static_cast<std::size_t>(kAclMaxEntries)) return kAclExists;
    object.entries.push_back(added);
    return kAclOk;
  });
}

int ACL_EntryDel(const std::string& acl_path, std::string_view name, std::string_view access_id,
                 int index) {
  if (index < 0) return kAclBadIndex;
  return ChangeEntries(acl_path, name, [&](ACL_Object& object) {
    auto i = static_cast<std::size_t>(index);
    if (i >= object.entries.size() || object.entries[i].access_id != access_id) {
      return kAclNotFound;
    }
    object.entries.erase(object.entries.begin() + index);
    return kAclOk;
  });
}

int ACL_EntryModify(MDS_Context* ctx, const std::string& acl_path, std::string_view name,
                    const ACL_Entry& entry, int index) {
  if (int r = ACL_EntryCheck(ctx, entry); r != kAclOk) return r;
  if (index < 0) return kAclBadIndex;
  ACL_Entry changed = entry;
  changed.access_id = changed.access_id.substr(0, 63);
  return ChangeEntries(acl_path, name, [&](ACL_Object& object) {
    auto i = static_cast<std::size_t>(index);
    if (i >= object.entries.size()) return kAclNotFound;
    if (changed.access_id != object.entries[i].access_id &&
        HasAccessId(object, changed.access_id, i)) {
      return kAclExists;
    }
    object.entries[i] = changed;
    return kAclOk;
  });
}
