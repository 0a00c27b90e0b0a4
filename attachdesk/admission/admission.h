// The admission of new files that every source of the attachment window
// shares: the request's intake, the limits and virus check, stored copies,
// and the page codes that tell how the intake ended.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/attach/attach_list.h"
#include "common/attach/list_turn.h"
#include "common/intake/page_codes.h"
#include "host/base/memstream.h"

// Page error codes ("$ERRORMSG").
inline constexpr int kAdOk = intake::kCodeOk;
inline constexpr int kAdCountLimit = intake::kCodeCountLimit;
inline constexpr int kAdSizeLimit = intake::kCodeSizeLimit;
inline constexpr int kAdNoPermission = intake::kCodeNoPermission;
inline constexpr int kAdVirus = intake::kCodeVirus;
inline constexpr int kAdEmptyUpload = intake::kCodeEmptyUpload;
inline constexpr int kAdListNotSaved = intake::kCodeListNotSaved;
inline constexpr int kAdNotScanned = intake::kCodeNotScanned;
inline constexpr int kAdNoComposeWindow = intake::kCodeNoComposeWindow;

// How a request's intake ends: the page's code and, for codes 4 and 7, the
// refused file's name as sent and the virus found.
struct AD_Outcome {
  int code = kAdOk;
  std::string name;
  std::optional<std::string> virus;
};

// ---- The intake of new files. Every source hands each new file to AD_Admit.

// The working values of one request's intake, owned by attach_main while the
// sources run. What it owns is released when it goes: the window's turn on
// its list, and the fetched file unless it was listed.
struct AD_Intake {
  MEM_WFP insertion;       // text for the message body (insert mode)
  std::string list_path;   // empty without a compose identifier: no list file
  std::int64_t total = 0;  // the list's size, raised by each file added
  int pid = 0;             // part of every stored file name of the request
  bool changed = false;    // the list differs from its file
  int empty_upload = 0;    // kAdEmptyUpload when an upload had a name but no data
  AD_Outcome outcome;      // set by the first refusal; the sources stop there
  std::vector<std::string> stored;  // copies this request made, in list order
  std::optional<AttachListTurn> turn;  // held by a request that may change the list

  AD_Intake() = default;
  AD_Intake(const AD_Intake&) = delete;
  AD_Intake& operator=(const AD_Intake&) = delete;
};

// The intake of the running request (attach_main's).
AD_Intake& AD_GetIntake();

// Makes an intake the running request's while it lives.
class AD_RunningIntake {
 public:
  explicit AD_RunningIntake(AD_Intake& intake);
  ~AD_RunningIntake();
  AD_RunningIntake(const AD_RunningIntake&) = delete;
  AD_RunningIntake& operator=(const AD_RunningIntake&) = delete;
};

// Stores an admitted file and fills the record's name, charset and path (the
// record comes zero-filled; AD_Admit sets the size). 0, or -1 when the file
// could not be stored (then nothing of it remains and it is not listed).
using AD_StoreFn = std::function<int(AttachRecord& record)>;

// The store function of the sources that number their copies by the copies
// made so far in the request (cabinet, memo notes, calendar exports): writes
// the `length` bytes at `data` to "<user>_<cpid>_A_<pid>_<stored>" in the tmp
// folder, raises `stored` once it is written, and lists it under `name` with
// `charset` (both through the list's field rules). `data`, `stored` and the
// running request must outlive the function.
AD_StoreFn AD_NumberedCopy(int& stored, const char* data, std::int64_t length, std::string name,
                           std::string charset);

// Flags of AD_Admit for the sources that differ from uploads.
inline constexpr int kAdmitTypeNoCase = 1;  // the "text" type test ignores case
inline constexpr int kAdmitNoDivert = 2;    // never diverted to the inserted text
inline constexpr int kAdmitNoScan = 4;      // not scanned for viruses

enum class AD_Admission {
  kListed,     // stored and listed; the total grew by its length
  kDiverted,   // a text file in insert mode: its text went to the inserted text
  kRefused,    // a limit or the scanner refused it: the intake's outcome says
               // which, and the request takes no further files
  kNotStored,  // `store` failed; the reason is logged and the request goes on
};

// Admits one file whose data is in memory: in insert mode a text file goes to
// the inserted text; otherwise the count limit, the size limit and the virus
// check apply, and a file that passes is stored by `store` and listed. `name`
// is the file's name as sent (client name or URL), for the virus log and page.
AD_Admission AD_Admit(const char* name, const char* data, std::int64_t length, const char* type,
                      const AD_StoreFn& store, int flags = 0);

// Appends a text file to the inserted text: in an HTML message a text/plain
// file inside "<PRE>" and "</PRE>", in a plain message a text/html file
// without its markup; any other text as it is.
void AD_InsertText(const char* type, const char* data, std::int64_t length);

// 1 infected (`virus` holds the virus name), 0 clean or not scanned by the
// level's policy (privilege 128), -1 not scanned (no data, or no engine, or
// the engine could not check it).
int AD_VirusCheck(const char* name, const char* data, std::int64_t length,
                  std::optional<std::string>& virus);

// A file name as it is listed, in a module-owned buffer (4096 bytes) valid
// until the next call: half-width katakana widened when `charset` (empty or
// null: the user's charset) is Shift_JIS. A null or empty name is answered
// as it came.
const char* AD_NameForCharset(const char* name, const char* charset);
// The same in the user's charset, in a buffer of 512 bytes.
const char* AD_NameForUser(const char* name);
