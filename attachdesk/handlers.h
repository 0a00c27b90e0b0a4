// The page handlers of attachdesk. Each reads AD_State and the request, and
// normally ends the process itself.
#pragma once

#include <cstdint>

// The attachment intake and list page (normal, compose and insert mode).
[[noreturn]] void attach_main();

// Renders the attachment window with an error code (or, in compose mode
// without an error, redirects to the compose program) and ends the process.
// `name` and `virus` name a refused file and its virus (code 4); either may be
// null.
[[noreturn]] void AD_AttachPage(int code, const char* name, const char* virus);

// Template callbacks of the list page.
void AD_PrintKeepNames(void* argument);
void AD_PrintChoices(void* sum);  // std::int64_t*: set to the total size
void AD_PrintSize(void* sum);

// Page error codes.
inline constexpr int kAdOk = 0;
inline constexpr int kAdCountLimit = 1;
inline constexpr int kAdSizeLimit = 2;
inline constexpr int kAdNoPermission = 3;
inline constexpr int kAdVirus = 4;
inline constexpr int kAdEmptyUpload = 5;
