// The forwarding file of an account: the addresses a group's mailing account
// forwards to, with control lines at the top.
#include <sys/stat.h>

#include <cerrno>

#include "common/directory/app/mdsap.h"
#include "common/directory/base/mds_log.h"
#include "common/directory/groupstore/lgrp_files.h"
#include "host/account/account.h"
#include "host/account/session.h"
#include "host/base/strings.h"
#include "host/files/locked_rewrite.h"
#include "host/files/log.h"
#include "host/site/site.h"

namespace {

bool IsControl(std::string_view line) {
  return line.size() >= 3 && line[0] == '@' && line[2] == ':';
}

std::string_view TrimFwd(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::string SessionDomain() {
  return session().domain.empty() ? GINI().default_domain : session().domain;
}

// The account as the forwarding functions use it, or "" when it is not an
// existing, well-formed account.
std::string Account(const char* account) {
  if (!account) return {};
  std::string_view a(account);
  std::string id;
  std::size_t at = a.find('@');
  if (isMultiDomain()) {
    id = at == std::string_view::npos ? std::string(a) + "@" + SessionDomain() : std::string(a);
  } else {
    id = a.substr(0, at);
  }
  return IsValidUserId(id) && user_exist(id) ? id : std::string();
}

// ".forward", or ".forward.old" when only that exists.
std::string ForwardPath(const std::string& account) {
  std::string home = user_home(account);
  struct stat st;
  if (lstat((home + "/.forward").c_str(), &st) != 0 && errno == ENOENT &&
      lstat((home + "/.forward.old").c_str(), &st) == 0) {
    return home + "/.forward.old";
  }
  return home + "/.forward";
}

std::string Qualified(std::string_view address) {
  std::string a(address);
  if (a.find('@') == std::string::npos) {
    a += '@';
    a += SessionDomain();
  }
  return a;
}

// An address or note that reads back as written: no control byte; an
// address also without "#" and not looking like a control line.
bool TextOk(std::string_view text) {
  return LgrpPlainText(text);
}
bool AddressOk(std::string_view a) {
  return !a.empty() && TextOk(a) && a.find('#') == std::string_view::npos && a.front() != '@';
}

void AppendEntry(std::string& out, const MDSAP_FwdEntry& e) {
  out += e.address;
  if (!e.note.empty()) {
    out += '#';
    out += e.note;
  }
  out += '\n';
}

// The control lines at the top of a text.
std::vector<std::string_view> ControlLines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (std::string_view line : LgrpLines(text)) {
    if (!IsControl(line)) break;
    lines.push_back(line);
  }
  return lines;
}

// "@A:" with its mode letter kept and the count of active entries.
std::string CountLine(std::string_view old_line, int active) {
  char mode = old_line.size() > 3 ? old_line[3] : 'A';
  return "@A:" + std::string(1, mode) + std::to_string(active);
}

// Rewrites the account's forwarding file; `change` answers true to write.
int ChangeForward(const std::string& account, const std::function<bool(std::string&)>& change) {
  std::string home = user_home(account);
  RewriteOptions options;
  options.temp_name = [&home](int attempt) { return StampedTempName(home, ".forward_", attempt); };
  options.mode = 0600;
  options.create = false;
  RewriteResult r = LockedRewrite(ForwardPath(account), options, change);
  return r.ok() ? kMdsOk : kMdsFileError;
}

}  // namespace

std::vector<MDSAP_FwdEntry> MDSAP_FwdParse(std::string_view text) {
  std::vector<MDSAP_FwdEntry> entries;
  for (std::string_view line : LgrpLines(text)) {
    // Indented, it still cannot be an address: written back it would be a
    // control line.
    if (IsControl(line) || IsControl(TrimFwd(line))) continue;
    std::size_t hash = line.find('#');
    MDSAP_FwdEntry e;
    e.address = TrimFwd(line.substr(0, hash));
    if (e.address.empty()) continue;
    if (hash != std::string_view::npos) e.note = TrimFwd(line.substr(hash + 1));
    entries.push_back(std::move(e));
  }
  return entries;
}

int MDSAP_FwdRead(MDS_Context*, const char* account, std::string& text) {
  text.clear();
  std::string a = Account(account);
  if (a.empty()) return kMdsNoGroup;
  std::string path = ForwardPath(a);
  if (LgrpReadFile(path, text) != kLgrpOk) {
    MdsLog(ErrorLogPath(), "MDSAP_FwdRead()->open(%s) error", path.c_str());
    return kMdsFileError;
  }
  return kMdsOk;
}

int MDSAP_FwdGet(MDS_Context* ctx, const char* account, std::vector<MDSAP_FwdEntry>& out) {
  out.clear();
  std::string text;
  int r = MDSAP_FwdRead(ctx, account, text);
  if (r == kMdsNoGroup) return r;
  if (r != kMdsOk) {
    MdsLog(ErrorLogPath(), "MDSAP_FwdGet()->MDSAP_FwdRead(%s)=%d", account, r);
    return kMdsFileError;
  }
  out = MDSAP_FwdParse(text);
  return kMdsOk;
}

int MDSAP_FwdAdd(MDS_Context*, const char* account, const MDSAP_FwdEntry& entry, int flags) {
  std::string a = Account(account);
  if (a.empty()) return kMdsNoGroup;
  MDSAP_FwdEntry added = entry;
  added.address = Qualified(TrimFwd(entry.address));
  added.note = TrimFwd(entry.note);
  added.replacement = TrimFwd(entry.replacement);
  if (!AddressOk(TrimFwd(entry.address)) || !TextOk(added.note) ||
      ((flags & kFwdReplaceAddress) && !AddressOk(added.replacement))) {
    return kMdsNoGroup;
  }
  int r = ChangeForward(a, [&](std::string& text) {
    std::vector<MDSAP_FwdEntry> entries = MDSAP_FwdParse(text);
    bool is_new = true;
    for (MDSAP_FwdEntry& e : entries) {
      if (!EqualsNoCase(e.address, added.address)) continue;
      is_new = false;
      if (flags & kFwdReplaceAddress) e.address = added.replacement;
      if (flags & kFwdNote) e.note = added.note;
      if (flags & kFwdActive) e.active = added.active;
    }
    int active = is_new && added.active ? 1 : 0;
    for (const MDSAP_FwdEntry& e : entries) active += e.active ? 1 : 0;
    std::string out;
    bool counted = false;
    for (std::string_view line : ControlLines(text)) {
      if (line.starts_with("@A:")) {
        out += CountLine(line, active);
        counted = true;
      } else {
        out += line;
      }
      out += '\n';
    }
    if (!counted) out += "@A:A" + std::to_string(active) + "\n";
    for (const MDSAP_FwdEntry& e : entries) {
      if (e.active) AppendEntry(out, e);
    }
    if (is_new && added.active) AppendEntry(out, added);
    for (const MDSAP_FwdEntry& e : entries) {
      if (!e.active) AppendEntry(out, e);
    }
    if (is_new && !added.active) AppendEntry(out, added);
    text = std::move(out);
    return true;
  });
  if (r != kMdsOk) MdsLog(ErrorLogPath(), "MDSAP_FwdAdd()->MDSAP_FwdGet(%s) error", a.c_str());
  return r;
}

int MDSAP_FwdDel(MDS_Context*, const char* account, const char* address) {
  std::string a = Account(account);
  if (a.empty()) return kMdsNoGroup;
  if (!address || !TextOk(address)) return kMdsNoGroup;
  std::string gone = Qualified(TrimFwd(address));
  int r = ChangeForward(a, [&](std::string& text) {
    std::vector<MDSAP_FwdEntry> entries = MDSAP_FwdParse(text);
    std::size_t before = entries.size();
    std::erase_if(entries, [&](const MDSAP_FwdEntry& e) { return EqualsNoCase(e.address, gone); });
    if (entries.size() == before) return false;
    std::string out;
    for (std::string_view line : ControlLines(text)) {
      out += line.starts_with("@A:") ? CountLine(line, 0) : std::string(line);
      out += '\n';
    }
    for (const MDSAP_FwdEntry& e : entries) AppendEntry(out, e);
    text = std::move(out);
    return true;
  });
  if (r != kMdsOk) MdsLog(ErrorLogPath(), "MDSAP_FwdDel()->MDSAP_FwdGet(%s) error", a.c_str());
  return r;
}

int MDSAP_FwdSenderGet(MDS_Context* ctx, const char* account, std::vector<std::string>& out) {
  out.clear();
  std::string text;
  int r = MDSAP_FwdRead(ctx, account, text);
  if (r == kMdsNoGroup) return r;
  if (r != kMdsOk) {
    MdsLog(ErrorLogPath(), "MDSAP_FwdSenderGet()->MDSAP_FwdRead(%s)=%d", account, r);
    return kMdsFileError;
  }
  for (std::string_view line : ControlLines(text)) {
    if (!line.starts_with("@S:")) continue;
    std::string_view rest = line.substr(3);
    while (!rest.empty()) {
      std::size_t comma = rest.find(',');
      std::string_view item = TrimFwd(rest.substr(0, comma));
      // The last item normally ends at a "," too; one without is kept.
      if (!item.empty()) out.emplace_back(item);
      rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    }
    break;
  }
  return kMdsOk;
}

int MDSAP_FwdBlockSet(MDS_Context*, const char* account, const char* text) {
  std::string a = Account(account);
  if (a.empty() || (text && !TextOk(text))) return kMdsNoGroup;
  return ChangeForward(a, [&](std::string& file) {
    std::vector<std::string_view> lines = LgrpLines(file);
    std::size_t controls = ControlLines(file).size();
    std::string out;
    bool placed = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i < controls && lines[i].starts_with("@B:")) {
        if (text && !placed) out += "@B:" + std::string(text) + "\n";
        placed = true;
        continue;
      }
      if (i == controls && text && !placed) {
        out += "@B:" + std::string(text) + "\n";
        placed = true;
      }
      out += lines[i];
      out += '\n';
    }
    if (text && !placed) out += "@B:" + std::string(text) + "\n";
    bool changed = out != file;
    file = std::move(out);
    return changed;
  });
}
