// The cabinet's configuration: <root>/etc/dc_<ui>.conf, one per user
// interface number, published to the process through its cached image
// <root>/tmp/.dc_<ui> (1024 bytes: four NUL-terminated fields of 256).
//
// The file's lines set UserDC, Form, DirCache and QuotaFile: blanks are
// dropped wherever they stand, the key is compared as a prefix, and the one
// character after it separates it from the value ("UserDC=files" and
// "UserDC = files" both set UserDC to "files"); a value ends at a NUL byte
// and is cut at 255 bytes. A key the file lacks leaves its field empty.
// Without a loaded configuration the defaults apply.
#pragma once

#include <string>
#include <string_view>

struct DC_Config {
  std::string user_dc = "dc";            // the cabinet folder in a user's home
  std::string form = "dc";               // the cabinet's pages below the template folder
  std::string dir_cache = ".dir_cache";  // kept for a directory cache; nothing reads it
  std::string quota_file = "dc/.quota";  // relative to a home or a public root
};

inline constexpr std::size_t kDcConfigField = 256;
inline constexpr std::size_t kDcConfigImage = 4 * kDcConfigField;

// The record of a configuration file's text (values cut at 255 bytes).
DC_Config DC_ConfigParse(std::string_view text);

// The 1024-byte image of a record, and the record of an image (nullopt
// unless it is exactly 1024 bytes).
std::string DC_ConfigImage(const DC_Config& config);
bool DC_ConfigFromImage(std::string_view image, DC_Config& config);

// The name of the cached image of configuration `ui` in the tmp folder
// (".dc_<ui>"), and whether a name is one or a temporary of one.
std::string DC_ConfigCacheName(int ui);
bool DC_IsConfigCacheName(std::string_view name);

// Loads configuration `ui` into the module's record: from the cached image
// when the process has it, else from the file (then the image is published).
// 0, or -1 when the file cannot be read or the image cannot be written (the
// record is then unchanged).
int DC_ConfigLoad(int ui);

// The module's record (the defaults until a load).
const DC_Config& DC_ConfigGet();

// Logs in with user_login(flag), chooses the cabinet's pages and
// configuration from the request variable "ui" and, for a logged-in user,
// makes the cabinet folder (mode 0755) when it is missing. Answers the login
// result.
int DC_Init(int flag);

// The template folder DC_Init chose: the session's with "/dc", or with "/"
// and Form (Form alone when it begins with "/").
const std::string& DC_TemplateDir();
