// The user search of the built-in back end and the address-book setup.
#include <array>

#include "common/directory/base/mds_records.h"
#include "common/directory/builtin/builtin_common.h"
#include "common/directory/groupstore/lgrp_files.h"
#include "host/account/user_info.h"
#include "host/files/files.h"

using namespace mds_builtin;

namespace {

constexpr int kMemberId = -1;  // the "f_user " switch: the member's own id

// The switches of adbsetup.conf and the field each turns on.
struct Switch {
  const char* key;
  int field;
};
constexpr std::array<Switch, 38> kSwitches = {{
    {"f_user ", kMemberId},
    {"f_name ", 1},
    {"f_lname ", 2},
    {"f_cellphone ", 14},
    {"f_birthday ", 9},
    {"f_memo ", 11},
    {"f_gender ", 5},
    {"f_occupation ", 6},
    {"f_pid ", 13},
    {"f_country ", 7},
    {"f_blood ", 8},
    {"f_pager ", 12},
    {"f_home_tel1 ", 19},
    {"f_home_tel2 ", 20},
    {"f_email ", 4},
    {"f_url ", 3},
    {"f_home_fax ", 21},
    {"f_home_zip ", 15},
    {"f_home_prefecture ", 16},
    {"f_home_city ", 17},
    {"f_address ", 18},
    {"f_company_name ", 22},
    {"f_company_tel1 ", 29},
    {"f_company_tel2 ", 30},
    {"f_company_email ", 28},
    {"f_company_url ", 27},
    {"f_company_zip ", 23},
    {"f_company_prefecture ", 24},
    {"f_company_city ", 25},
    {"f_company_addr ", 26},
    {"f_custom1 ", 31},
    {"f_custom2 ", 32},
    {"f_custom3 ", 33},
    {"f_custom4 ", 34},
    {"f_custom5 ", 35},
    {"f_custom6 ", 36},
    {"f_custom7 ", 37},
    {"f_custom8 ", 38},
}};

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Folds a text for the search by the language option: two-byte characters
// are copied whole, ASCII letters lowered.
std::string Fold(std::string_view text, int langopt) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool lead = langopt == 1   ? c > 0x80
                : langopt == 3 ? (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)
                               : false;
    if (lead && i + 1 < text.size()) {
      out += text[i];
      out += text[++i];
    } else {
      out += Lower(text[i]);
    }
  }
  return out;
}

struct Search {
  std::string pattern;  // folded
  int langopt = 1;
  bool member_id = true;    // search the member's id
  std::vector<int> fields;  // fields of the user information to search
  std::vector<std::pair<std::string, MdsText>> hits;

  bool Matches(const std::string& member) const {
    if (member_id && Fold(member, langopt).find(pattern) != std::string::npos) return true;
    if (fields.empty()) return false;
    UINFO info;
    if (uinfo_get(member, info) != 0) return false;
    for (int f : fields) {
      if (Fold(info.f[f], langopt).find(pattern) != std::string::npos) return true;
    }
    return false;
  }

  int Walk(const std::string& group) {
    std::vector<std::string> members, subs;
    int r = Members(group, members);
    if (r != kMdsOk) return r;
    for (const std::string& m : members) {
      if (Matches(m)) hits.emplace_back(m, group);
    }
    r = SubGroupNames(group, subs);
    if (r != kMdsOk) return r;
    for (const std::string& sub : subs) {
      r = Walk(sub);
      if (r != kMdsOk) return r;
    }
    return kMdsOk;
  }
};

// adbsetup.conf of the context's base directory, or nullopt.
std::optional<std::string> AddressBookSetup(const MDS_Context* ctx) {
  std::string text;
  if (MFILE_Read(std::string(ctx->base) + "/adbsetup.conf", text) < 0) return std::nullopt;
  return text;
}

}  // namespace

int MDS_LGRP_UserSearch(MDS_Context* ctx, const char* pattern, MDS_Member** list, int* count) {
  *list = nullptr;
  *count = 0;
  Search search;
  search.langopt = ctx->langopt;
  search.pattern = Fold(pattern ? pattern : "", ctx->langopt);
  if (MdsAddressBookMode(ctx)) {
    if (std::optional<std::string> setup = AddressBookSetup(ctx)) {
      search.member_id = false;
      for (std::string_view line : LgrpLines(*setup)) {
        for (const Switch& s : kSwitches) {
          if (!line.starts_with(s.key)) continue;
          if (s.field == kMemberId)
            search.member_id = true;
          else
            search.fields.push_back(s.field);
        }
      }
    }
  }
  int r = search.Walk(MDS_LGRP_QualifyID(ctx, "/"));
  if (r != kMdsOk) return r;
  return MdsMakeMembers(search.hits, list, count);
}

std::string MDS_LGRP_StartGroup(const MDS_Context* ctx) {
  if (!MdsAddressBookMode(ctx)) return "/";
  std::optional<std::string> setup = AddressBookSetup(ctx);
  if (!setup) return "/";
  constexpr std::string_view kKey = "startgroup = ";
  std::size_t at = setup->find(kKey);
  if (at == std::string::npos) return "/";
  std::string_view value = std::string_view(*setup).substr(at + kKey.size());
  value = value.substr(0, value.find('\n'));
  return std::string(value.substr(0, 255));
}
