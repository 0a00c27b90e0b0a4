// Describing and listing a cabinet folder's entries.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "common/cabinet/entries/dc_entries.h"
#include "common/cabinet/entries/dc_finfo.h"
#include "common/cabinet/entries/dc_types.h"
#include "common/cabinet/paths/dc_config.h"
#include "common/cabinet/paths/dc_paths.h"
#include "host/base/strings.h"

namespace {

constexpr int kUniqueTries = 10000;

std::string Join(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (!path.ends_with('/')) path += '/';
  path.append(name);
  return path;
}

// Whether a folder entry may be shown: not a link that resolves outside the
// cabinet.
bool StaysInside(const std::string& path, const std::string& real_root) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISLNK(st.st_mode)) return true;
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return false;
  bool inside = DC_InsideRoot(real_root, real);
  std::free(real);
  return inside;
}

// The order of two entries for a key: <0, 0 or >0.
int Compare(const DC_EntryInfo& a, const DC_EntryInfo& b, int key) {
  bool a_dir = a.type == kDcTypeFolder || a.type == kDcTypeLinkFolder;
  bool b_dir = b.type == kDcTypeFolder || b.type == kDcTypeLinkFolder;
  if (a_dir != b_dir) return a_dir ? -1 : 1;
  auto numbers = [](auto x, auto y) { return x < y ? -1 : x > y ? 1 : 0; };
  if (a_dir) {
    if (a.type != b.type) return a.type == kDcTypeFolder ? -1 : 1;
    return key == kDcSortTime ? numbers(a.mtime, b.mtime) : a.name.compare(b.name);
  }
  switch (key) {
    case kDcSortName:
      return a.name.compare(b.name);
    case kDcSortSize:
      return numbers(a.size, b.size);
    case kDcSortType:
      return numbers(a.type, b.type);
    case kDcSortTime:
      return numbers(a.mtime, b.mtime);
    default:
      return 0;
  }
}

}  // namespace

int DC_EntryStat(const std::string& path, DC_EntryInfo& info) {
  info = DC_EntryInfo{};
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  std::size_t slash = path.rfind('/');
  info.name = slash == std::string::npos ? path : path.substr(slash + 1);
  info.mtime = st.st_mtime;
  if (S_ISDIR(st.st_mode)) {
    info.type = access(Join(path, ".link").c_str(), F_OK) == 0 ? kDcTypeLinkFolder : kDcTypeFolder;
    return 0;
  }
  if (!S_ISREG(st.st_mode)) return -1;
  info.size = st.st_size;
  DC_TypeLoad(DC_TypeConfPath());  // once per process
  info.type = DC_TypeOf(info.name);
  return info.type < 0 ? -1 : 0;
}

int DC_List(std::string_view base, std::string_view dir, int type_mask, DC_Listing& listing) {
  listing = DC_Listing{};
  if (DC_CheckName(base, dir, "") != 0) return -1;
  std::string folder = DC_BaseDir(base, dir);
  std::optional<std::string> real_root = DC_RealRoot(base);
  if (folder.empty() || !real_root) return -1;
  // The folder itself, resolved: one reached through a link that leads out
  // of the cabinet is not listed.
  char* real = realpath(folder.c_str(), nullptr);
  if (!real) return -1;
  folder = real;
  std::free(real);
  if (!DC_InsideRoot(*real_root, folder)) return -1;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(folder.c_str()), closedir);
  if (!d) return -1;
  listing.base = base.empty() ? "/" : std::string(base);
  listing.dir = DC_PathNormalize(dir).value_or("/");

  const std::string& cache = DC_ConfigGet().dir_cache;
  while (dirent* e = readdir(d.get())) {
    std::string_view name = e->d_name;
    if (DC_ReservedName(name) != 0 || name == cache) continue;
    std::optional<std::string> kept = DC_FileName(name);
    if (!kept || *kept != name) continue;
    std::string path = Join(folder, name);
    if (!StaysInside(path, *real_root)) continue;
    DC_EntryInfo info;
    if (DC_EntryStat(path, info) != 0) continue;
    if (type_mask != -1 && (info.type >= 31 || !(type_mask & (1 << info.type)))) continue;
    listing.entries.push_back(std::move(info));
  }

  std::vector<std::string> names;
  for (const DC_EntryInfo& info : listing.entries) names.push_back(info.name);
  std::vector<std::optional<std::string>> values = DC_DescRead(Join(folder, ".finfo"), names);
  std::vector<ACL_Object> objects;
  ACL_ObjectList(Join(folder, ".acl"), objects);
  for (std::size_t i = 0; i < listing.entries.size(); ++i) {
    DC_EntryInfo& info = listing.entries[i];
    if (values[i]) info.description = std::string(DC_DescShown(*values[i]));
    for (ACL_Object& o : objects) {
      if (o.name == info.name) {
        info.acl = o;
        break;
      }
    }
  }
  return 0;
}

void DC_ListSort(DC_Listing& listing, int key, int direction) {
  std::stable_sort(listing.entries.begin(), listing.entries.end(),
                   [&](const DC_EntryInfo& a, const DC_EntryInfo& b) {
                     int order = Compare(a, b, key);
                     return direction == 1 ? order > 0 : order < 0;
                   });
}

std::optional<std::string> DC_UniqueName(const std::string& folder, std::string_view name,
                                         int numbered) {
  std::optional<std::string> candidate = DC_FileName(name);
  if (!candidate) return std::nullopt;
  struct stat st;
  for (int n = 1; n <= kUniqueTries; ++n) {
    if (lstat(Join(folder, *candidate).c_str(), &st) != 0) return candidate;
    if (numbered != 1) return std::nullopt;
    candidate = DC_FileName(StrPrintf("(%d)%.*s", n, static_cast<int>(name.size()), name.data()));
    if (!candidate) return std::nullopt;
  }
  return std::nullopt;
}

std::string DC_EntryRef(std::string_view base, std::string_view dir, std::string_view name) {
  std::string ref(base);
  ref += '\t';
  ref += DC_PathNormalize(dir).value_or("/");
  ref += '\t';
  ref.append(name);
  if (ref.size() > 2047) ref.resize(2047);
  return ref;
}
