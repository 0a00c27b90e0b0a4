// The pages that choose a background image ("bg"), a background sound ("bs")
// and inline images ("img") of an HTML message, and the taking of their files
// from an upload, the document cabinet or a web address into the hashed
// store, which all three share.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Page codes ("$ERRORMSG") of the three pages.
inline constexpr int kMediaOk = 0;
inline constexpr int kMediaNoFile = 1;        // the cabinet file does not exist
inline constexpr int kMediaTooLarge = 2;      // larger than the level's size limit
inline constexpr int kMediaNoPermission = 3;  // the user may not read the cabinet file
inline constexpr int kMediaFetchFailed = 4;   // the web address could not be fetched (image page)
inline constexpr int kMediaWrongKind = 5;     // not an image (not a sound) by its bytes
inline constexpr int kMediaVirus = 6;         // the virus check found a virus
inline constexpr int kMediaNotStored = 7;     // the file or the choice could not be saved
inline constexpr int kMediaNoComposeWindow = 8;  // sent without a compose window

// What a page takes: images other than SVG, or sounds.
enum class AD_MediaKind { kImage, kSound };

// A file taken from a source.
struct AD_MediaFile {
  std::string source_name;  // the client file name, the cabinet file name or the URL
  std::string stored_name;  // its name in the hashed store
  std::string stored_path;  // the stored file
  std::int64_t size = 0;
};

enum class AD_MediaStatus {
  kAbsent,       // the request does not name this source
  kStored,       // stored; `file` says where
  kRefused,      // refused with `code`; nothing of it stays in the store
  kFetchFailed,  // the web address could not be fetched; nothing was stored
};

struct AD_MediaResult {
  AD_MediaStatus status = AD_MediaStatus::kAbsent;
  int code = kMediaOk;
  AD_MediaFile file;  // source_name is set whenever the source was present
};

// Names a stored file: called with the source's name, its size (for a web
// address the length of the address as sent) and the attempt, 0 first; a
// later attempt, made when the name is taken, gives another name. "" when
// no name can be made.
using AD_StoredNamer =
    std::function<std::string(const std::string& source_name, std::int64_t size, int attempt)>;

// The sources. Each takes the file, checks its size against the level's
// limit, its bytes against the kind (never its name), scans it for viruses
// when the level asks for it (a scan that cannot run lets it in), and stores
// it in the hashed store under a name of `namer` (mode 0600, never through a
// link, never over another file).
AD_MediaResult AD_MediaFromUpload(AD_MediaKind kind, const AD_StoredNamer& namer);  // "newfile"
// "dc_base", "dir_path", "name"; kAbsent unless all three are non-empty.
AD_MediaResult AD_MediaFromCabinet(AD_MediaKind kind, const AD_StoredNamer& namer);
AD_MediaResult AD_MediaFromUrl(AD_MediaKind kind, const AD_StoredNamer& namer);  // "newfile2"

// Whether the request carries upload data in "newfile" or URL text in
// "newfile2".
bool AD_MediaUploadSent();
bool AD_MediaUrlSent();

// A stored name of at most `max` bytes: `head` whole, `stem` cut to fit
// (never inside an "=XX" of a quoted-printable text), "-<attempt>" for an
// attempt above 0, then `ext` whole. "" when `head` and `ext` leave no room.
std::string AD_FitStoredName(std::string_view head, std::string_view stem, std::string_view ext,
                             int attempt, std::size_t max);

// The handlers. The background pages end the process with their page,
// except the type-only update, after which they answer 1; the image page
// answers its page's answer.
int AD_BackgroundMain();
int AD_BacksoundMain();
int AD_ImageMain();
