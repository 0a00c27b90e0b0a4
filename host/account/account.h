// Accounts in <root>/etc/passwd: one line "user id:level:password hash" per
// user ("*" as hash for none).
#pragma once

#include <string>
#include <string_view>

// Forgets the account file read so far; called after it was rewritten.
void AccountFileChanged();

// Non-zero when the user has a line in the account file.
int user_exist(std::string_view user_id);

// The user's level index (0 to 15); 0 when the user or the level is unknown.
int ReadUserLevel(std::string_view user_id);

// The user's password hash; 0 when found, -1 otherwise.
int ReadPass(std::string_view user_id, std::string& hash);

// The user's home folder, <root>/home/<user id>.
std::string user_home(std::string_view user_id);

// Well-formed user id: letters, digits and "._+@-_", not beginning with ".",
// 1 to 127 bytes.
bool IsValidUserId(std::string_view user_id);
