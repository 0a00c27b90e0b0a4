// Scanning messages and files with a loaded engine (avscan.h), the scan
// report, the virus log and the notification-mail filler.
//
// Answers of a scan: > 0 infected (the context's report holds the detail),
// 0 clean or nothing scanned, < 0 an error with errno as the engine left it;
// -2 means the engine cannot scan this input in the chosen way.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/mime/mime.h"
#include "common/virus/avscan.h"

// Part names an engine sees besides the parts' own file names.
inline constexpr char kVirWholeName[] = "0.eml";         // the whole message
inline constexpr char kVirHtmlName[] = "|mailtext";      // an unnamed HTML part
inline constexpr char kVirTextName[] = "00";             // any other unnamed part
inline constexpr char kVirHeaderName[] = "|mailformat";  // a header block ("ostrel")

// At most this many parts are replaced in one scan.
inline constexpr int kVirMaxReplacements = 128;

// Scans `data` (when not null) and/or the part tree `tree` parsed from it, as
// ScanMode and SecondaryScan of the context say. `action` is an action code
// of engine_abi.h. `out` and `out_length` (each may be null) receive a
// rewritten message: from the engine for REPAIR, or the message with its
// infected parts replaced for DELETE; they are set to null and 0 first. A
// rewritten message is malloc'd and freed by the caller with free(), except
// when the rebuild failed: then `*out_length` is -1 and `*out` is `data`.
int VIR_Scan(AVS_Context& ctx, int action, const char* data, int length, MIME_Part* tree,
             char** out, int* out_length);

// A part to be replaced in the rebuilt message.
struct VIR_Replacement {
  int offset = 0;       // first byte of the part (its MIME header) in the message
  int length = 0;       // of the whole part, header included
  std::string text;     // what goes in its place
  int keep_header = 0;  // 1: the part's header and the blank line after it stay
};

// Parses `data` ("big5", caller code 0, attached messages undivided) and
// scans it part by part.
int VIR_ScanMessage(AVS_Context& ctx, int action, const char* data, int length, char** out,
                    int* out_length);

// Scans a part tree; with DELETE, given `data` (the text the tree was parsed
// from) and `out`/`out_length`, rebuilds the message as VIR_Scan describes.
int VIR_ScanParts(AVS_Context& ctx, int action, const MIME_Part* tree, const char* data, int length,
                  char** out, int* out_length);

// Scans every part of the tree below and after `node` (a part, its child
// subtree, then its next siblings); containers with sub-parts are not scanned
// themselves. Infected parts found with DELETE are added to `items` (at most
// kVirMaxReplacements). Answers the last positive result met, else the last
// negative one, else 0.
int VIR_ScanTree(AVS_Context& ctx, int action, const MIME_Part* node,
                 std::vector<VIR_Replacement>& items);

// One engine call for the bytes of one part under `name`. Archives (.zip,
// .arj, .rar) go to the "ostrel" engine through a temporary file
// <tmp>/<pid>.<EXT>, deleted afterwards. An infected answer sets the
// context's report.
int VIR_ScanBuffer(AVS_Context& ctx, const char* data, int length, const char* name);

// The name of such a temporary file in the tmp folder ("<pid>.<EXT>"), and
// whether a name is one.
std::string VIR_ScanFileName(int pid, std::string_view ext);
bool VIR_IsScanFileName(std::string_view name);

// The context's ReplaceMsg with "$filename" and "$ctype" of the part filled
// in ("00" and "application/unknown" when it has none).
std::string VIR_ReplaceText(const AVS_Context& ctx, const MIME_Part& node);

// Builds `message` with each item's range replaced by its text (items sorted
// by offset; an item inside an earlier one is dropped, as are items outside
// the message). With no items answers `length` and leaves `*rebuilt` null;
// else answers the new length with the malloc'd, NUL-terminated copy in
// `*rebuilt`, or -1 when it cannot be made.
int MIME_ReplaceParts(const char* message, int length, std::vector<VIR_Replacement>& items,
                      char** rebuilt);

// Reads one report line "file\tvirus\tcode\n". With `text` null it goes on at
// `*cursor`. Answers 0 with the fields filled (`file` and `virus` hold 512
// bytes; longer fields are cut), 1 at the end of the text, -1 for a line
// without two TABs (the outputs are left alone). `*cursor` is left after the
// line, or null after the last one.
int VIR_ReportNext(const char* text, char* file, char* virus, int* code, const char** cursor);

// Appends "time\tvirus\tfrom\tto\tpath\tkind\tfile\n" to <root>/log/virus.log.YYMMDD;
// a null argument is written as " ", and control bytes of the values as "_".
void VIR_Log(const char* kind, const char* virus, const char* file, const char* from,
             const char* to, const char* path);

// The subject format of a notification mail: the "Subject:" line of
// `tmpl` with "$subject" turned into "%s", else "Virus Mail--%s". Any other
// "%" is doubled, so the result is a printf format with at most one "%s".
std::string VIR_NotifySubject(const char* tmpl);

// Fills a notification-mail template: "$subject", "$virus" and "$file" (the
// report's first line), "$boundary" (fresh), "$origmail" (the mail),
// "$vret==N[.M] ... $$vret" blocks (kept when N equals `code1` and M, when
// given, equals `code2`), "$from", "$to", "$date" (RFC 822), "$sizek" and
// "$size". The mail is `mail` or, when null, the file `mail_path`. The result
// goes to `out`, or when null replaces the file `mail_path` (written beside it
// and renamed; on a failure the file stays as it was). 1, or -1.
int VIR_NotifyMail(const char* tmpl, std::FILE* out, const char* mail_path, const char* mail,
                   int mail_length, const char* report, const char* from, const char* to,
                   const char* subject, std::time_t date, int code2, int code1);
