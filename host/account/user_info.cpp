#include "host/account/user_info.h"

#include "host/account/account.h"

#include <cerrno>
#include "host/files/files.h"

const std::array<const char*, kUserInfoFields> kUserInfoKeys = {"UID",
                                                                "UNAME",
                                                                "ULNAME",
                                                                "UURL",
                                                                "UEMAIL",
                                                                "UGENDER",
                                                                "UOCC",
                                                                "UCOUNTRY",
                                                                "UBLOOD",
                                                                "UBIRTHDAY",
                                                                "UEDU",
                                                                "UMEMO",
                                                                "UPAGER",
                                                                "UPID",
                                                                "UCELLPHONE",
                                                                "UHOME_ZIP",
                                                                "UHOME_PREFECTURE",
                                                                "UHOME_CITY",
                                                                "UADDRESS",
                                                                "UHOME_TEL",
                                                                "UHOME_TEL2",
                                                                "UFAX",
                                                                "UCOMPANY",
                                                                "UCOMPANY_ZIP",
                                                                "UCOMPANY_PREFECTURE",
                                                                "UCOMPANY_CITY",
                                                                "UCOMPANY_ADDR",
                                                                "UCOMPANY_URL",
                                                                "UCOMPANY_EMAIL",
                                                                "UOFFICE_TEL",
                                                                "UCOMPANY_TEL2",
                                                                "UCUSTOM1",
                                                                "UCUSTOM2",
                                                                "UCUSTOM3",
                                                                "UCUSTOM4",
                                                                "UCUSTOM5",
                                                                "UCUSTOM6",
                                                                "UCUSTOM7",
                                                                "UCUSTOM8"};

int UserInfoField(std::string_view key) {
  if (key == "UHOME_FAX") return kUserInfoFax;
  for (int i = 0; i < kUserInfoFields; ++i) {
    if (key == kUserInfoKeys[i]) return i;
  }
  return -1;
}

UserInfoFields ParseUserInfo(std::string_view text) {
  UserInfoFields fields;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) continue;
    int field = UserInfoField(line.substr(0, colon));
    if (field < 0) continue;
    std::string value(line.substr(colon + 2));
    if (field == kUserInfoMemo) {
      for (char& c : value) {
        if (c == '\t') c = '\n';
      }
    }
    fields[field] = std::move(value);
  }
  return fields;
}

int uinfo_get(std::string_view user_id, UINFO& info) {
  uinfo_free(info);
  if (!IsValidUserId(user_id)) return -1;
  std::string text;
  if (MFILE_Read(user_home(user_id) + "/.userinfo", text) < 0) {
    return errno == ENOENT ? 0 : -1;
  }
  UserInfoFields fields = ParseUserInfo(text);
  for (int i = 0; i < kUserInfoFields; ++i) {
    if (fields[i]) info.f[i] = std::move(*fields[i]);
  }
  return 0;
}

int uinfo_store(std::string_view user_id, const UINFO& info) {
  if (!IsValidUserId(user_id)) return -1;
  std::string text;
  for (int i = 0; i < kUserInfoFields; ++i) {
    text += kUserInfoKeys[i];
    text += ": ";
    for (char c : info.f[i]) {
      if (c == '\n')
        c = i == kUserInfoMemo ? '\t' : ' ';
      else if (c == '\r')
        c = ' ';
      text += c;
    }
    text += '\n';
  }
  return WriteFileAtomic(user_home(user_id) + "/.userinfo", text, 0600) == 0 ? 0 : 2;
}

void uinfo_free(UINFO& info) {
  for (std::string& s : info.f) s.clear();
}
