// The page handlers of attachdesk. Each reads AD_State and the request, and
// normally ends the process itself.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/attach/attach_list.h"

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

// ---- The intake of new files (admit.cpp, form_source.cpp, names.cpp,
// virus_check.cpp). Every source hands each new file to AD_Admit.

// Stores an admitted file and fills the record's name, charset and path (the
// record comes zero-filled; AD_Admit sets the size). 0, or -1 when the file
// could not be stored (then nothing of it may remain and it is not listed).
using AD_StoreFn = std::function<int(AttachRecord& record)>;

// Flags of AD_Admit for the sources that differ from uploads.
inline constexpr int kAdmitTypeNoCase = 1;  // the "text" type test ignores case
inline constexpr int kAdmitNoDivert = 2;    // never diverted to the inserted text
inline constexpr int kAdmitNoScan = 4;      // not scanned for viruses

// Admits one file whose data is in memory: in insert mode a text file goes to
// the inserted text (answer 1); otherwise the count limit, the size limit and
// the virus check apply, and a refusal writes the list and ends the request
// with its page (codes 1, 2, 4). A file that passes is stored by `store` and
// listed, and the total grows by `length` (answer 0); -1 when `store` failed.
// `name` is the file's name as sent (client name or URL), for the virus log
// and page.
int AD_Admit(const char* name, const char* data, std::int64_t length, const char* type,
             const AD_StoreFn& store, int flags = 0);

// Appends a text file to the inserted text: in an HTML message a text/plain
// file inside "<PRE>" and "</PRE>", in a plain message a text/html file
// without its markup; any other text as it is.
void AD_InsertText(const char* type, const char* data, std::int64_t length);

// 1 infected (`virus` holds the virus name), 0 clean or not scanned by the
// level's policy (privilege 128), -1 not scanned (no data, or no engine).
int AD_VirusCheck(const char* name, const char* data, std::int64_t length,
                  std::optional<std::string>& virus);

// A file name as it is listed, in a module-owned buffer (4096 bytes) valid
// until the next call: half-width katakana widened when `charset` (empty or
// null: the user's charset) is Shift_JIS. A null or empty name is answered
// as it came.
const char* AD_NameForCharset(const char* name, const char* charset);
// The same in the user's charset, in a buffer of 512 bytes.
const char* AD_NameForUser(const char* name);

// The number of files a list may hold: the site's limit, at most what the
// list can hold.
int AD_CountLimit();
// The user's level's size limit of a list in bytes.
std::int64_t AD_SizeLimit();
