// Changes to the account file <root>/etc/passwd ("user id:level:hash" lines;
// "*" as hash for none): password records, account creation and removal.
// Every change rewrites the file through a temporary file and a rename under
// an exclusive lock on the file, so concurrent changes take turns.
#pragma once

#include <string>
#include <string_view>

// One account line. The level is the record's user-level byte.
struct PassRecord {
  std::string user;
  int level = 0;
  std::string hash;
  // "user id:level:hash", the record's text.
  std::string Text() const;
};

// The record of a user; 0 when found, -1 otherwise.
int ReadPass(std::string_view user_id, PassRecord& record);

// A record from its text ("user id:level:hash"); false when malformed.
bool ParsePassRecord(std::string_view text, PassRecord& record);

// Stores the level and hash of `record` in the user's line. 0 on success; -1
// when the user has no line, the level is not 0 to 15, the hash holds ":", CR
// or LF, or the file cannot be written.
int UpdatePass2(std::string_view user_id, const PassRecord& record);

// Stores a new password for the user: with `no_password` set the hash becomes
// "*" (the web server authenticates); with `is_hash` set `password` is stored
// as it is (a crypt hash); otherwise it is encrypted (EncryptPass). 0 or -1.
int UpdatePass(std::string_view user_id, std::string_view password, int is_hash, int no_password);

// A crypt(3) SHA-512 hash of the password with a random salt (libcrypt,
// loaded on first use). 0 on success, -1 when libcrypt is not available.
int EncryptPass(std::string_view password, std::string& hash);

// Creates the local account: the line "user id:level:*" and the home folder
// (mode 0700). 0 when created, 1 when the line existed (the home folder is
// made if missing), 2 when the id is not well-formed, the level not 0 to 15,
// or the account file or home folder cannot be written.
int user_create(std::string_view user_id, int level);

// Deletes the user's line (the home folder stays). 0 when removed, 1 when the
// user had no line, -1 when the file cannot be written.
int user_remove(std::string_view user_id);
