// The logged-in request. The web server authenticates the user and hands the
// id over in REMOTE_USER; user_login() checks it against the account file and
// fills the session.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct Session {
  std::string user_id;       // as logged in (with "@domain" in a multi-domain site)
  std::string address;       // the user's mail address
  std::string domain;
  std::string server_name;
  std::string scheme;        // "http" or "https"
  std::string template_dir;  // <root>/httpd/template/<language>
  int level = 0;
  int m = 0;                 // compose mode number, request variable "m"
  bool logged_in = false;
};

// The user's preferences from <home>/.prefs ("key = value" lines).
struct Preference {
  std::string charset = "utf-8";
  std::string language = "en";
};

// 1 when logged in. 0 when not: the answer (403) has been written.
int user_login(int flags);

// The account REMOTE_USER names: the id, with "@" and the default domain
// added in a multi-domain site when it has none; "" when that is not a
// well-formed id with a line in the account file. It needs neither the
// request nor the session, so the request's loader asks it before it reads a
// body (an unknown user costs nothing), and writes nothing.
std::string LoginUserId();

const Session& session();
const Preference& GetPreference();

// Fills the session directly, as a successful login would, without the
// request. For tests and tools.
void SetSessionForTest(const Session& s, const Preference& p);

// The user's preferred charset name, "utf-8" before a login.
const std::string& UserCharset();

// Non-zero when the first `length` bytes of `text` end inside a two-byte
// character of the user's charset (so cutting there would split it).
int MLG_IsHalf(const char* text, std::size_t length, int flags);
