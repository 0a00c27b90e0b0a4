#include "engines/ldap/ldap_link.h"

#include <dlfcn.h>

#include <memory>

#include "common/directory/base/mds_log.h"
#include "host/base/ascii.h"

namespace mds_ldap {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii::Lower(c);
  return out;
}

// The bervals and LDAPMod records of a request, owned for its call.
class ModArray {
 public:
  explicit ModArray(const std::vector<Mod>& mods) {
    for (const Mod& m : mods) {
      auto values = std::make_unique<std::vector<berval>>();
      for (const std::string& v : m.values) {
        values->push_back(berval{static_cast<ber_len_t>(v.size()), const_cast<char*>(v.data())});
      }
      auto pointers = std::make_unique<std::vector<berval*>>();
      for (berval& bv : *values) pointers->push_back(&bv);
      pointers->push_back(nullptr);
      LDAPMod mod{};
      mod.mod_op = m.op | LDAP_MOD_BVALUES;
      mod.mod_type = const_cast<char*>(m.attr.c_str());
      mod.mod_bvalues = m.values.empty() ? nullptr : pointers->data();
      mods_.push_back(mod);
      values_.push_back(std::move(values));
      pointers_.push_back(std::move(pointers));
    }
    for (LDAPMod& m : mods_) list_.push_back(&m);
    list_.push_back(nullptr);
  }
  LDAPMod** get() { return list_.data(); }

 private:
  std::vector<LDAPMod> mods_;
  std::vector<std::unique_ptr<std::vector<berval>>> values_;
  std::vector<std::unique_ptr<std::vector<berval*>>> pointers_;
  std::vector<LDAPMod*> list_;
};

struct MessageFree {
  void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};

bool IsLdaps(const std::string& uri) {
  return uri.starts_with("ldaps://");
}

// Answers of a bind that no other server would change.
bool Refused(int rc) {
  return rc == LDAP_INVALID_CREDENTIALS || rc == LDAP_INAPPROPRIATE_AUTH ||
         rc == LDAP_UNWILLING_TO_PERFORM || rc == LDAP_INSUFFICIENT_ACCESS;
}

// Answers that tell the caller something and need no log line.
bool Expected(int rc) {
  return rc == LDAP_SUCCESS || rc == LDAP_NO_SUCH_OBJECT || rc == LDAP_ALREADY_EXISTS ||
         rc == LDAP_TYPE_OR_VALUE_EXISTS || rc == LDAP_NO_SUCH_ATTRIBUTE ||
         rc == LDAP_NOT_ALLOWED_ON_NONLEAF || rc == LDAP_SIZELIMIT_EXCEEDED;
}

// The back end binds with simple binds only, so the SASL library that libldap
// sets up on its first use need not load its mechanism plugins: they would map
// OpenSSL and Berkeley DB into every request that asks the directory, several
// milliseconds of a request's time. An empty plugin path loads none. Called
// before the first handle is made; the SASL library is libldap's own
// dependency, already loaded with this library.
void LoadNoSaslMechanisms() {
  static const bool done = [] {
    constexpr int kSaslPathTypePlugin = 0;
    using SetPath = int (*)(int, const char*);
    if (void* sasl = dlopen("libsasl2.so.2", RTLD_LAZY | RTLD_NOLOAD)) {
      if (auto set_path = reinterpret_cast<SetPath>(dlsym(sasl, "sasl_set_path"))) {
        set_path(kSaslPathTypePlugin, "");
      }
      dlclose(sasl);
    }
    return true;
  }();
  (void)done;
}

}  // namespace

bool ConnectionFailed(int rc) {
  return rc < 0 || rc == LDAP_UNAVAILABLE || rc == LDAP_BUSY;
}

const std::string* Entry::First(std::string_view attr) const {
  const std::vector<std::string>* all = All(attr);
  return all && !all->empty() ? &all->front() : nullptr;
}

const std::vector<std::string>* Entry::All(std::string_view attr) const {
  auto it = attrs.find(Lower(attr));
  return it == attrs.end() ? nullptr : &it->second;
}

std::string Link::Server() const {
  if (!ld_) {
    std::string all;
    for (const std::string& u : settings_.uris) all += (all.empty() ? "" : " ") + u;
    return all;
  }
  return uri_;
}

int Link::OpenOne(const std::string& uri, const char* op) {
  LoadNoSaslMechanisms();
  int rc = ldap_initialize(&ld_, uri.c_str());
  if (rc != LDAP_SUCCESS) {
    MdsLog(settings_.logfile, "%s: ldap_initialize(%s): %s", op, uri.c_str(), ldap_err2string(rc));
    ld_ = nullptr;
    return rc;
  }
  uri_ = uri;
  int version = LDAP_VERSION3;
  timeval tv{settings_.timeout, 0};
  int verify = settings_.tls_verify;
  int no_new = 0;
  ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld_, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  ldap_set_option(ld_, LDAP_OPT_RESTART, LDAP_OPT_ON);
  ldap_set_option(ld_, LDAP_OPT_NETWORK_TIMEOUT, &tv);
  ldap_set_option(ld_, LDAP_OPT_TIMEOUT, &tv);
  ldap_set_option(ld_, LDAP_OPT_X_TLS_REQUIRE_CERT, &verify);
  if (!settings_.tls_cacert.empty()) {
    ldap_set_option(ld_, LDAP_OPT_X_TLS_CACERTFILE, settings_.tls_cacert.c_str());
  }
  // The TLS settings above take effect in a context of this handle's own.
  ldap_set_option(ld_, LDAP_OPT_X_TLS_NEWCTX, &no_new);

  const char* step = "ldap_start_tls_s";
  rc = LDAP_SUCCESS;
  if (settings_.starttls && !IsLdaps(uri)) rc = ldap_start_tls_s(ld_, nullptr, nullptr);
  if (rc == LDAP_SUCCESS) {
    step = "ldap_sasl_bind_s";
    std::string pw = settings_.binddn.empty() ? std::string() : settings_.bindpw;
    berval cred{static_cast<ber_len_t>(pw.size()), pw.data()};
    rc = ldap_sasl_bind_s(ld_, settings_.binddn.empty() ? nullptr : settings_.binddn.c_str(),
                          LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    std::fill(pw.begin(), pw.end(), '\0');
  }
  if (rc == LDAP_SUCCESS) return rc;
  char* diagnostic = nullptr;
  ldap_get_option(ld_, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic);
  MdsLog(settings_.logfile, "%s: %s on %s: %s%s%s", op, step, uri.c_str(), ldap_err2string(rc),
         diagnostic && *diagnostic ? " - " : "", diagnostic ? diagnostic : "");
  if (diagnostic) ldap_memfree(diagnostic);
  ldap_unbind_ext_s(ld_, nullptr, nullptr);
  ld_ = nullptr;
  return rc;
}

int Link::Ready(const char* op) {
  if (ld_) return LDAP_SUCCESS;
  if (down_) return LDAP_SERVER_DOWN;
  int rc = LDAP_SERVER_DOWN;
  for (const std::string& uri : settings_.uris) {
    rc = OpenOne(uri, op);
    if (rc == LDAP_SUCCESS || Refused(rc)) break;
  }
  if (rc != LDAP_SUCCESS) {
    down_ = true;
    return rc < 0 ? rc : LDAP_SERVER_DOWN;
  }
  return rc;
}

int Link::Done(const char* op, const char* what, const std::string& dn, int rc) {
  if (Expected(rc)) return rc;
  char* diagnostic = nullptr;
  if (ld_) ldap_get_option(ld_, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic);
  MdsLog(settings_.logfile, "%s: %s %s on %s: %s%s%s", op, what, dn.c_str(), Server().c_str(),
         ldap_err2string(rc), diagnostic && *diagnostic ? " - " : "", diagnostic ? diagnostic : "");
  if (diagnostic) ldap_memfree(diagnostic);
  if (ConnectionFailed(rc)) {
    Close();
    down_ = true;
  }
  return rc;
}

int Link::Search(const char* op, const std::string& base, int scope, const std::string& filter,
                 const std::vector<std::string>& attrs, int limit, std::vector<Entry>& out) {
  out.clear();
  int rc = Ready(op);
  if (rc != LDAP_SUCCESS) return rc;
  std::vector<char*> names;
  static char kNoAttributes[] = LDAP_NO_ATTRS;
  for (const std::string& a : attrs) names.push_back(const_cast<char*>(a.c_str()));
  if (attrs.empty()) names.push_back(kNoAttributes);
  names.push_back(nullptr);
  timeval tv{settings_.timeout, 0};
  LDAPMessage* raw = nullptr;
  ++searches_;
  rc = ldap_search_ext_s(ld_, base.c_str(), scope, filter.c_str(), names.data(), 0, nullptr,
                         nullptr, &tv, limit, &raw);
  std::unique_ptr<LDAPMessage, MessageFree> result(raw);
  if (settings_.debug) {
    MdsLog(settings_.logfile, "%s: search %d base \"%s\" scope %d filter \"%s\" on %s: %d", op,
           searches_, base.c_str(), scope, filter.c_str(), Server().c_str(), rc);
  }
  if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED) return Done(op, "search", base, rc);
  for (LDAPMessage* e = ldap_first_entry(ld_, raw); e; e = ldap_next_entry(ld_, e)) {
    Entry entry;
    if (char* dn = ldap_get_dn(ld_, e)) {
      entry.dn = dn;
      ldap_memfree(dn);
    }
    BerElement* ber = nullptr;
    for (char* a = ldap_first_attribute(ld_, e, &ber); a; a = ldap_next_attribute(ld_, e, ber)) {
      std::vector<std::string>& values = entry.attrs[Lower(a)];
      if (berval** vals = ldap_get_values_len(ld_, e, a)) {
        for (berval** v = vals; *v; ++v) values.emplace_back((*v)->bv_val, (*v)->bv_len);
        ldap_value_free_len(vals);
      }
      ldap_memfree(a);
    }
    if (ber) ber_free(ber, 0);
    out.push_back(std::move(entry));
  }
  return rc;
}

int Link::Add(const char* op, const std::string& dn, const std::vector<Mod>& attrs) {
  int rc = Ready(op);
  if (rc != LDAP_SUCCESS) return rc;
  ModArray mods(attrs);
  return Done(op, "add", dn, ldap_add_ext_s(ld_, dn.c_str(), mods.get(), nullptr, nullptr));
}

int Link::Modify(const char* op, const std::string& dn, const std::vector<Mod>& changes) {
  int rc = Ready(op);
  if (rc != LDAP_SUCCESS) return rc;
  ModArray mods(changes);
  return Done(op, "modify", dn, ldap_modify_ext_s(ld_, dn.c_str(), mods.get(), nullptr, nullptr));
}

int Link::Delete(const char* op, const std::string& dn) {
  int rc = Ready(op);
  if (rc != LDAP_SUCCESS) return rc;
  return Done(op, "delete", dn, ldap_delete_ext_s(ld_, dn.c_str(), nullptr, nullptr));
}

int Link::Rename(const char* op, const std::string& dn, const std::string& new_rdn,
                 const std::string& new_parent) {
  int rc = Ready(op);
  if (rc != LDAP_SUCCESS) return rc;
  return Done(
      op, "rename", dn,
      ldap_rename_s(ld_, dn.c_str(), new_rdn.c_str(),
                    new_parent.empty() ? nullptr : new_parent.c_str(), 1, nullptr, nullptr));
}

int Link::SetPassword(const char* op, const std::string& dn, const std::string& password) {
  int rc = Ready(op);
  if (rc != LDAP_SUCCESS) return rc;
  std::string pw = password;
  berval user{static_cast<ber_len_t>(dn.size()), const_cast<char*>(dn.data())};
  berval fresh{static_cast<ber_len_t>(pw.size()), pw.data()};
  berval generated{0, nullptr};
  rc = ldap_passwd_s(ld_, &user, nullptr, &fresh, &generated, nullptr, nullptr);
  if (generated.bv_val) ber_memfree(generated.bv_val);
  std::fill(pw.begin(), pw.end(), '\0');
  return Done(op, "password of", dn, rc);
}

void Link::Close() {
  if (ld_) ldap_unbind_ext_s(ld_, nullptr, nullptr);
  ld_ = nullptr;
}

}  // namespace mds_ldap
