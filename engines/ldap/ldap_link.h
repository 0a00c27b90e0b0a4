// One connection to the directory: opened on first use (each URI in turn:
// ldap_initialize, protocol 3, timeouts, StartTLS for ldap:// URIs, a simple
// bind), reused for every later call of the context, unbound when it goes.
//
// Every call answers an LDAP result code. A server that cannot be reached,
// does not answer within the timeout or refuses the bind answers a negative
// code (libldap's), is logged once and keeps the link down for the rest of
// the context, so a dead server costs one timeout per context, not one per
// call. Log lines name the operation, the server and libldap's error text,
// never a password.
#pragma once

#include <ldap.h>

#include <map>
#include <string>
#include <vector>

#include "engines/ldap/ldap_settings.h"

namespace mds_ldap {

struct Entry {
  std::string dn;
  std::map<std::string, std::vector<std::string>> attrs;  // names lowered
  // The first value of an attribute (any case), or nullptr.
  const std::string* First(std::string_view attr) const;
  const std::vector<std::string>* All(std::string_view attr) const;
};

// One change of a modify or add request.
struct Mod {
  int op;  // LDAP_MOD_ADD, LDAP_MOD_DELETE or LDAP_MOD_REPLACE
  std::string attr;
  std::vector<std::string> values;  // none: the whole attribute (delete, replace)
};

class Link {
 public:
  explicit Link(const Settings& settings) : settings_(settings) {}
  ~Link() { Close(); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Searches with the operation's name `op` for the log. `attrs` empty asks
  // for no attributes ("1.1"). `limit` 0 is no size limit; a search that
  // finds more than `limit` entries answers LDAP_SIZELIMIT_EXCEEDED with the
  // first ones in `out`.
  int Search(const char* op, const std::string& base, int scope, const std::string& filter,
             const std::vector<std::string>& attrs, int limit, std::vector<Entry>& out);
  int Add(const char* op, const std::string& dn, const std::vector<Mod>& attrs);
  int Modify(const char* op, const std::string& dn, const std::vector<Mod>& mods);
  int Delete(const char* op, const std::string& dn);
  // Renames the entry to `new_rdn` below `new_parent` (empty: where it is).
  int Rename(const char* op, const std::string& dn, const std::string& new_rdn,
             const std::string& new_parent);
  // Sets a user's password through the password modify operation, so the
  // server stores it hashed by its own rule.
  int SetPassword(const char* op, const std::string& dn, const std::string& password);

  // Unbinds; the next call connects again.
  void Close();

  int searches() const { return searches_; }

 private:
  int Ready(const char* op);
  int OpenOne(const std::string& uri, const char* op);
  // Logs a failed call (not the expected answers such as "no such object")
  // and takes the link down after a failure of the connection itself.
  int Done(const char* op, const char* what, const std::string& dn, int rc);
  std::string Server() const;

  const Settings& settings_;
  LDAP* ld_ = nullptr;
  std::string uri_;  // the server connected to
  bool down_ = false;
  int searches_ = 0;
};

// True for the codes of a connection that failed (libldap's negative codes
// and LDAP_UNAVAILABLE/LDAP_BUSY).
bool ConnectionFailed(int rc);

}  // namespace mds_ldap
