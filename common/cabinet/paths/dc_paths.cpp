#include "common/cabinet/paths/dc_paths.h"

#include <unistd.h>

#include <cstdlib>

#include "common/cabinet/paths/dc_config.h"
#include "host/account/account.h"
#include "host/files/root.h"
#include "host/site/domain.h"

namespace {

// Builds a normalised path: "/" and kept components each followed by "/".
class Normaliser {
 public:
  // Walks the components of `text`; false when ".." climbs above the root or
  // the path grows too deep.
  bool Walk(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && !full_) {
      std::size_t end = text.find('/', at);
      if (end == std::string_view::npos) end = text.size();
      if (!Component(text.substr(at, end - at))) return false;
      at = end + 1;
    }
    return true;
  }

  bool Up() {
    if (depth_ == 0) return false;
    out_.pop_back();  // the "/" after the last component
    out_.resize(out_.rfind('/') + 1);
    --depth_;
    return true;
  }

  std::string Result() && {
    if (out_.size() > 1) out_.pop_back();
    return std::move(out_);
  }

 private:
  bool Component(std::string_view c) {
    if (c.empty() || c == ".") return true;
    if (c == "..") return Up();
    if (depth_ == kDcDepthMax) return false;
    c = c.substr(0, kDcComponentMax);
    if (out_.size() + c.size() + 1 > kDcPathMax) {
      full_ = true;  // the rest of the text is ignored
      return true;
    }
    out_.append(c);
    out_ += '/';
    ++depth_;
    return true;
  }

  std::string out_ = "/";
  int depth_ = 0;
  bool full_ = false;
};

bool ValidDomain(std::string_view domain) {
  return domain != "." && domain != ".." && domain.find('/') == std::string_view::npos &&
         domain.find('\0') == std::string_view::npos;
}

// The cabinet folder of a base, without the directory path; "" for none.
std::string CabinetRoot(std::string_view base) {
  switch (DC_BaseKindOf(base)) {
    case DC_BaseKind::kSite:
      return host::RootPath("public/dc");
    case DC_BaseKind::kDomain:
      return GetPublicPath(DC_BaseDomain(base), "dc");
    case DC_BaseKind::kShared:
    case DC_BaseKind::kOwn:
      return user_home(DC_BaseUser(base)) + "/" + DC_ConfigGet().user_dc;
    case DC_BaseKind::kNone:
      break;
  }
  return {};
}

std::string Cut(std::string text, std::size_t size) {
  if (text.size() > size) text.resize(size);
  return text;
}

}  // namespace

DC_BaseKind DC_BaseKindOf(std::string_view base) {
  if (base == "@") return DC_BaseKind::kSite;
  if (base.starts_with('@')) {
    return ValidDomain(base.substr(1)) ? DC_BaseKind::kDomain : DC_BaseKind::kNone;
  }
  if (base.starts_with('/')) return DC_BaseKind::kNone;
  bool shared = base.starts_with('*');
  if (!IsValidUserId(DC_BaseUser(base))) return DC_BaseKind::kNone;
  return shared ? DC_BaseKind::kShared : DC_BaseKind::kOwn;
}

std::string DC_PathJoin(std::string_view dir, std::string_view name, std::size_t size) {
  std::string out;
  if (name.empty()) {
    out = dir;
  } else if (dir == "/") {
    out = "/";
    out += name;
  } else {
    out = dir;
    out += '/';
    out += name;
  }
  return Cut(std::move(out), size == 0 ? 0 : size - 1);
}

std::optional<std::string> DC_PathNormalize(std::string_view dir, std::string_view name) {
  Normaliser n;
  if (!n.Walk(dir)) return std::nullopt;
  std::size_t slash = name.rfind('/');
  if (slash != std::string_view::npos && !n.Walk(name.substr(0, slash + 1))) return std::nullopt;
  std::string_view last = slash == std::string_view::npos ? name : name.substr(slash + 1);
  if (last == ".." && !n.Up()) return std::nullopt;
  return std::move(n).Result();
}

std::optional<std::string> DC_FileName(std::string_view path) {
  std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  if (name.size() <= kDcNameMax) return std::string(name);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) {
    return std::string(name.substr(0, kDcNameMax));
  }
  // A long name keeps its extension: the stem is cut first, never inside a
  // two-byte character.
  constexpr std::size_t kStemMax = 247;
  std::string out;
  for (std::size_t i = 0; i < dot && out.size() < kStemMax; ++i) {
    out += name[i];
    if ((static_cast<unsigned char>(name[i]) & 0x80) && i + 1 < dot) out += name[++i];
  }
  std::string_view ext = name.substr(dot);
  out.append(ext.substr(0, kDcNameMax - out.size()));
  return out;
}

DC_Split DC_SplitPath(std::string_view path) {
  if (path.empty()) return {".", ""};
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos) return {"/", ""};  // only slashes
  path = path.substr(0, end + 1);
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(path)};
  std::string name(path.substr(slash + 1));
  std::size_t dir_end = path.find_last_not_of('/', slash);
  if (dir_end == std::string_view::npos) return {"/", std::move(name)};
  return {std::string(path.substr(0, dir_end + 1)), std::move(name)};
}

int DC_ReservedName(std::string_view name) {
  if (name == "." || name == "..") return kDcReservedDots;
  if (name == ".finfo") return kDcReservedFinfo;
  if (name == ".acl" || name == ".acl.ext") return kDcReservedAcl;
  if (name == ".quota") return kDcReservedQuota;
  if (name == "._wizard") return kDcReservedWizard;
  if (name == ".link") return kDcReservedLink;
  return 0;
}

int DC_CheckName(std::string_view /*base*/, std::string_view dir, std::string_view name) {
  if (DC_ReservedName(name) != 0) return -1;
  return DC_PathNormalize(dir, name) ? 0 : -1;
}

std::string DC_BaseDir(std::string_view base, std::string_view dir) {
  std::string root = CabinetRoot(base);
  if (root.empty()) return root;
  std::string p = DC_PathNormalize(dir).value_or("/");
  std::size_t lead = p.find_first_not_of('/');
  root += '/';
  if (lead != std::string::npos) root += p.substr(lead);
  return Cut(std::move(root), kDcBaseDirMax);
}

std::string DC_Dir(std::string_view base, std::string_view dir) {
  return DC_BaseDir(base, DC_CheckName(base, dir, "") == 0 ? dir : std::string_view());
}

std::string DC_QuotaPath(std::string_view base) {
  const std::string& quota = DC_ConfigGet().quota_file;
  switch (DC_BaseKindOf(base)) {
    case DC_BaseKind::kSite:
      return host::RootPath("public/") + quota;
    case DC_BaseKind::kDomain:
      return GetPublicPath(DC_BaseDomain(base), "") + "/" + quota;
    case DC_BaseKind::kShared:
    case DC_BaseKind::kOwn:
      return user_home(DC_BaseUser(base)) + "/" + quota;
    case DC_BaseKind::kNone:
      break;
  }
  return {};
}

std::string DC_LimitPath(std::string_view base) {
  switch (DC_BaseKindOf(base)) {
    case DC_BaseKind::kSite:
      return host::RootPath("public/dc.limit");
    case DC_BaseKind::kDomain:
      return GetPublicPath(DC_BaseDomain(base), "dc.limit");
    case DC_BaseKind::kShared:
    case DC_BaseKind::kOwn:
      return user_home(DC_BaseUser(base)) + "/dc.limit";
    case DC_BaseKind::kNone:
      break;
  }
  return {};
}

int DC_IsSharedBase(std::string_view base) {
  return base.starts_with('*') ? 0 : kDcNo;
}

int DC_IsPublicBase(std::string_view base) {
  return base.starts_with('@') ? 0 : kDcNo;
}

int DC_IsSiteBase(std::string_view base) {
  return base == "@" ? 0 : kDcNo;
}

std::string_view DC_BaseUser(std::string_view base) {
  return base.starts_with('*') ? base.substr(1) : base;
}

std::string_view DC_BaseDomain(std::string_view base) {
  return base.starts_with('@') ? base.substr(1) : std::string_view();
}

int DC_IsOwner(std::string_view user, std::string_view base) {
  if (user.empty() || base.empty()) return kDcMissingArgument;
  return user == DC_BaseUser(base) ? 0 : kDcNo;
}

int DC_SameBase(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return kDcMissingArgument;
  return DC_BaseUser(a) == DC_BaseUser(b) ? 0 : kDcNo;
}

int DC_IsLinkDir(std::string_view base, std::string_view dir) {
  std::string folder = DC_Dir(base, dir);
  if (folder.empty()) return kDcNotLink;
  return access((folder + "/.link").c_str(), F_OK) == 0 ? 0 : kDcNotLink;
}

std::optional<std::string> DC_RealRoot(std::string_view base) {
  std::string folder = DC_Dir(base, "");
  if (folder.empty()) return std::nullopt;
  char* real = realpath(folder.c_str(), nullptr);
  if (!real) return std::nullopt;
  std::string out(real);
  std::free(real);
  return out;
}

bool DC_InsideRoot(std::string_view real_root, std::string_view real_path) {
  if (real_root.empty() || !real_path.starts_with(real_root)) return false;
  return real_path.size() == real_root.size() || real_root.back() == '/' ||
         real_path[real_root.size()] == '/';
}

std::string DC_AclExtName(std::string_view acl_path) {
  return std::string(acl_path) + ".ext";
}
