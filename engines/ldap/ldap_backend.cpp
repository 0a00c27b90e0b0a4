// The per-context state of the LDAP back end and the lookups its operations
// share. A context's state lives from MDS_Configure (or its first call) to
// MDS_Shutdown; contexts are keyed by their address, so a context made again
// at the same address after a failed MDS_Init starts afresh.
#include "engines/ldap/ldap_backend.h"

#include <map>
#include <memory>

#include "common/directory/base/mds_log.h"
#include "engines/ldap/ldap_names.h"
#include "host/base/ascii.h"

namespace mds_ldap {

namespace {

constexpr char kDefaultConf[] = "etc/mds_ldap.conf";

std::map<const MDS_Context*, std::unique_ptr<Backend>>& Registry() {
  static std::map<const MDS_Context*, std::unique_ptr<Backend>> registry;
  return registry;
}

std::string ContextLog(const MDS_Context* ctx) {
  return ctx->logfile[0] ? std::string(ctx->logfile) : MdsLoadLogPath();
}

Backend* Configure(MDS_Context* ctx, const char* path) {
  Registry().erase(ctx);
  auto backend = std::make_unique<Backend>();
  std::string why;
  if (!LoadSettings(path ? path : kDefaultConf, backend->settings, why)) {
    MdsLog(ContextLog(ctx), "MDS_Configure: %s", why.c_str());
    return nullptr;
  }
  Backend* b = backend.get();
  Registry()[ctx] = std::move(backend);
  return b;
}

}  // namespace

Backend* For(MDS_Context* ctx) {
  auto it = Registry().find(ctx);
  if (it != Registry().end()) return it->second.get();
  return Configure(ctx, nullptr);
}

int Code(int rc) {
  switch (rc) {
    case LDAP_SUCCESS:
      return kOk;
    case LDAP_NO_SUCH_OBJECT:
      return kNoSuch;
    case LDAP_ALREADY_EXISTS:
    case LDAP_TYPE_OR_VALUE_EXISTS:
      return kExists;
    case LDAP_NOT_ALLOWED_ON_NONLEAF:
      return kHasSubGroups;
    case LDAP_NO_MEMORY:
      return kNoMemory;
    default:
      return kFailed;
  }
}

std::optional<std::string> GroupDnOf(const Settings& s, const char* id) {
  if (!id) return std::nullopt;
  return GroupDn(id, s.group_name, s.group_base);
}

std::optional<std::string> PathOf(const Settings& s, const std::string& dn) {
  return GroupPathOfDn(dn, s.group_name, s.group_base);
}

std::string GroupClassFilter(const Settings& s, const std::string& dn) {
  if (SameDn(dn, s.group_base)) return "(objectClass=*)";
  return "(objectClass=" + s.group_class + ")";
}

int FindUser(Backend& b, const char* op, const char* user, Entry& entry,
             const std::vector<std::string>& attrs) {
  if (!user || !*user) return kNoSuch;
  const Settings& s = b.settings;
  std::string filter =
      "(&(objectClass=" + s.user_class + ")(" + s.user_id + "=" + EscapeFilterValue(user) + "))";
  std::vector<Entry> found;
  int rc = b.link.Search(op, s.user_base, LDAP_SCOPE_SUBTREE, filter, attrs, 2, found);
  if (rc == LDAP_SIZELIMIT_EXCEEDED || (rc == LDAP_SUCCESS && found.size() > 1)) {
    MdsLog(s.logfile, "%s: more than one entry holds %s=%s below %s", op, s.user_id.c_str(), user,
           s.user_base.c_str());
    return kFailed;
  }
  if (rc != LDAP_SUCCESS) return rc == LDAP_NO_SUCH_OBJECT ? kFailed : Code(rc);
  if (found.empty()) return kNoSuch;
  entry = std::move(found.front());
  return kOk;
}

int ReadGroup(Backend& b, const char* op, const std::string& dn,
              const std::vector<std::string>& attrs, Entry& entry) {
  std::vector<Entry> found;
  int rc =
      b.link.Search(op, dn, LDAP_SCOPE_BASE, GroupClassFilter(b.settings, dn), attrs, 0, found);
  if (rc != LDAP_SUCCESS) return Code(rc);
  if (found.empty()) return kNoSuch;
  entry = std::move(found.front());
  return kOk;
}

int UserIdsOf(Backend& b, const char* op, const std::vector<std::string>& dns,
              std::vector<std::string>& ids) {
  const Settings& s = b.settings;
  for (const std::string& dn : dns) {
    if (dn.empty() || dn == s.empty_member) continue;
    if (std::optional<std::string> id = FirstRdnValue(dn, s.user_id)) {
      ids.push_back(std::move(*id));
      continue;
    }
    // A user named by another attribute: its entry tells the id.
    std::vector<Entry> found;
    int rc = b.link.Search(op, dn, LDAP_SCOPE_BASE, "(objectClass=" + s.user_class + ")",
                           {s.user_id}, 0, found);
    if (rc == LDAP_NO_SUCH_OBJECT) continue;
    if (rc != LDAP_SUCCESS) return Code(rc);
    if (!found.empty()) {
      if (const std::string* id = found.front().First(s.user_id)) ids.push_back(*id);
    }
  }
  return kOk;
}

bool NameOk(std::string_view name) {
  if (name.empty() || name.size() > 255) return false;
  for (char c : name) {
    if (ascii::IsControl(c) || c == '/' || c == '@') return false;
  }
  return true;
}

}  // namespace mds_ldap

using namespace mds_ldap;

MDS_EXPORT int MDS_Configure(MDS_Context* ctx, const char* path) {
  return Configure(ctx, path) ? 0 : 1;
}

MDS_EXPORT int MDS_Shutdown(MDS_Context* ctx) {
  Registry().erase(ctx);  // unbinds
  return kOk;
}
