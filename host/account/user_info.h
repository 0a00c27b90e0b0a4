// The host's user information record, kept in <home>/.userinfo as
// "KEY: value" lines, one per field, in the order of kUserInfoKeys.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int kUserInfoFields = 39;
inline constexpr int kUserInfoMemo = 11;  // UMEMO: newlines are stored as TABs
inline constexpr int kUserInfoEmail = 4;  // UEMAIL
inline constexpr int kUserInfoFax = 21;   // UFAX, also read from "UHOME_FAX: "

// The keys without their ": ", in field order ("UID", "UNAME", ... "UCUSTOM8").
extern const std::array<const char*, kUserInfoFields> kUserInfoKeys;

// The field a key names (without ": "; "UHOME_FAX" names UFAX), or -1.
int UserInfoField(std::string_view key);

struct UINFO {
  std::array<std::string, kUserInfoFields> f;
};

// The fields a ".userinfo" text sets: every line that starts with a key and
// ": " gives that field the rest of the line, without trailing newlines,
// carriage returns and spaces ("UFAX: " and "UHOME_FAX: " both set UFAX; a
// later line wins); other lines are ignored. Lines are taken whole, however
// long. TABs in the memo become newlines.
using UserInfoFields = std::array<std::optional<std::string>, kUserInfoFields>;
UserInfoFields ParseUserInfo(std::string_view text);

// Fills `info` from the user's .userinfo; a missing file gives empty fields.
// 0 on success, -1 for an id that is not well-formed or a file that cannot be
// read.
int uinfo_get(std::string_view user_id, UINFO& info);

// Writes every field to the user's .userinfo (through a temporary file and a
// rename): a newline in the memo is stored as a TAB, CR and LF elsewhere as
// spaces. 0 on success, -1 for an id that is not well-formed, 2 when the file
// cannot be written (no home folder).
int uinfo_store(std::string_view user_id, const UINFO& info);

// Empties every field.
void uinfo_free(UINFO& info);
