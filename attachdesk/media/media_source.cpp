// The sources of the background and image pages: an upload, a cabinet file
// or a web address, taken into the hashed store after the size, kind and
// virus checks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "attachdesk/media/media.h"
#include "common/cabinet/cabinet_source.h"
#include "common/intake/fetch/fetched_url.h"
#include "common/intake/limits.h"
#include "common/intake/store/virus_check.h"
#include "common/mime/types/media_kind.h"
#include "host/account/session.h"
#include "host/base/strings.h"
#include "host/base/unique_fd.h"
#include "host/cgi/cgi_request.h"
#include "host/files/hashed_store.h"
#include "host/files/log.h"
#include "host/files/mapped_file.h"
#include "host/net/fetch.h"

namespace {

// Names tried for one file before giving up.
constexpr int kNameAttempts = 100;
bool KindAccepts(AD_MediaKind kind, std::string_view type) {
  return kind == AD_MediaKind::kSound ? CT_IsSoundType(type) : CT_IsImageType(type);
}

AD_MediaResult Refused(int code, std::string source_name) {
  AD_MediaResult r;
  r.status = AD_MediaStatus::kRefused;
  r.code = code;
  r.file.source_name = std::move(source_name);
  return r;
}

// The largest file a page takes: the level's limit; a record keeps its size
// in 32 bits, so a larger file could not be listed.
std::int64_t SizeLimit() {
  return std::min<std::int64_t>(intake::SizeLimit(), std::numeric_limits<std::int32_t>::max());
}

// The checks every file meets before it is kept: size, kind, viruses.
// kMediaOk, or the code that refuses it.
int Check(AD_MediaKind kind, const std::string& source_name, const char* data,
          std::int64_t length) {
  if (length > SizeLimit()) return kMediaTooLarge;
  std::string type = CT_TypeOfBytes(data, static_cast<std::size_t>(length));
  if (!KindAccepts(kind, type)) return kMediaWrongKind;
  std::optional<std::string> virus;
  if (intake::ScanNewFile(source_name.c_str(), data, length, virus) == 1) return kMediaVirus;
  return kMediaOk;
}

// The stored path for attempt `attempt`, its folder made; "" when no name
// can be made or the folder cannot (logged).
std::string StoredPath(const AD_StoredNamer& namer, const std::string& source_name,
                       std::int64_t size, int attempt, std::string& name) {
  name = namer(source_name, size, attempt);
  if (!HashedStoreNameOk(name)) {
    LOG_FileLine(ErrorLogPath(), "AD_MediaStore: no stored name for %s", source_name.c_str());
    return {};
  }
  std::string folder = filename2path_2level_64_64(name, 0, name.size());
  if (folder.empty()) return {};
  return folder + "/" + name;
}

// Stores `length` bytes under a free name: an upload spooled while the
// request was read becomes the stored file itself; anything else is written
// to a new file. Nothing is written through a link or over another file.
bool StoreBytes(const AD_StoredNamer& namer, const char* data, std::int64_t length,
                AD_MediaFile& file) {
  const RequestBody& body = MCGI_Request().body;
  const auto size = static_cast<std::size_t>(length);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name;
    std::string path = StoredPath(namer, file.source_name, length, attempt, name);
    if (path.empty()) return false;
    if (!body.LinkAs(path.c_str(), data, size)) {
      UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (!fd.ok() && errno == EEXIST) continue;
      const char* failed = !fd.ok() ? "open" : nullptr;
      if (!failed && body.WriteTo(fd.get(), data, size) != 0) failed = "write";
      if (!failed && close(fd.release()) != 0) failed = "close";
      if (failed) {
        LOG_FileLine(ErrorLogPath(), "AD_MediaStore: %s %s: %s", failed, path.c_str(),
                     std::strerror(errno));
        if (std::strcmp(failed, "open") != 0) unlink(path.c_str());
        return false;
      }
    }
    file.stored_name = std::move(name);
    file.stored_path = std::move(path);
    file.size = length;
    return true;
  }
  LOG_FileLine(ErrorLogPath(), "AD_MediaStore: no free stored name for %s",
               file.source_name.c_str());
  return false;
}

// Checks and stores bytes that are in memory (an upload, a mapped cabinet
// file).
AD_MediaResult Take(AD_MediaKind kind, std::string source_name, const char* data,
                    std::int64_t length, const AD_StoredNamer& namer) {
  int code = Check(kind, source_name, data, length);
  if (code != kMediaOk) return Refused(code, std::move(source_name));
  AD_MediaResult r;
  r.file.source_name = std::move(source_name);
  if (!StoreBytes(namer, data, length, r.file)) return Refused(kMediaNotStored, r.file.source_name);
  r.status = AD_MediaStatus::kStored;
  return r;
}

const char* Text(const char* name) {
  const char* value = MCGI_VarStrGet(name, 0);
  return value ? value : "";
}

}  // namespace

bool AD_MediaUploadSent() {
  const char* client = nullptr;
  const char* data = nullptr;
  std::int64_t length = 0;
  MCGI_FileGet("newfile", &client, &data, &length);
  return length > 0;
}

bool AD_MediaUrlSent() {
  return !intake::UrlFieldText().empty();
}

AD_MediaResult AD_MediaFromUpload(AD_MediaKind kind, const AD_StoredNamer& namer) {
  const char* client = nullptr;
  const char* data = nullptr;
  std::int64_t length = 0;
  MCGI_FileGet("newfile", &client, &data, &length);
  if (length <= 0) return {};
  return Take(kind, client ? client : "", data, length, namer);
}

AD_MediaResult AD_MediaFromCabinet(AD_MediaKind kind, const AD_StoredNamer& namer) {
  std::string_view base = Text("dc_base");
  std::string_view dir = Text("dir_path");
  std::string name = Text("name");
  if (base.empty() || dir.empty() || name.empty()) return {};
  MappedFile data;
  std::string source_path;
  switch (DC_OpenSourceFile(session().user_id, base, dir, name, data, source_path, SizeLimit())) {
    case DC_SourceAnswer::kOk:
      break;
    case DC_SourceAnswer::kNoPermission:
      return Refused(kMediaNoPermission, name);
    case DC_SourceAnswer::kSkipped:
      return Refused(kMediaNoFile, name);  // not a file that can be taken
    case DC_SourceAnswer::kTooLarge:
      return Refused(kMediaTooLarge, name);
  }
  return Take(kind, std::move(name), data.data(), static_cast<std::int64_t>(data.size()), namer);
}

// The fetch writes the file into the store itself; a file that is then
// refused, or that the fetch left short, is deleted.
AD_MediaResult AD_MediaFromUrl(AD_MediaKind kind, const AD_StoredNamer& namer) {
  const char* client = nullptr;
  const char* sent = nullptr;
  std::int64_t sent_length = 0;
  MCGI_FileGet("newfile2", &client, &sent, &sent_length);
  std::string url = intake::UrlFieldText();
  if (url.empty()) return {};
  url = intake::NormaliseUrl(std::move(url));

  AD_MediaResult r;
  r.file.source_name = url;
  std::string name;
  std::string path;
  for (int attempt = 0; attempt < kNameAttempts && path.empty(); ++attempt) {
    path = StoredPath(namer, url, sent_length, attempt, name);
    if (path.empty()) return Refused(kMediaNotStored, url);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 || errno != ENOENT) path.clear();  // taken
  }
  if (path.empty()) return Refused(kMediaNotStored, url);
  if (MNET_Fetch2File(url.c_str(), path, 0) != 0) {
    r.status = AD_MediaStatus::kFetchFailed;
    return r;
  }
  intake::FetchedFile fetched(path);
  MappedFile data;
  if (!data.Open(path, false)) {
    LOG_FileLine(ErrorLogPath(), "AD_MediaFromUrl: %s cannot be read: %s", path.c_str(),
                 std::strerror(errno));
    return Refused(kMediaNotStored, url);
  }
  const auto length = static_cast<std::int64_t>(data.size());
  int code = Check(kind, url, data.data(), length);
  if (code != kMediaOk) return Refused(code, url);
  fetched.Keep();
  r.status = AD_MediaStatus::kStored;
  r.file.stored_name = std::move(name);
  r.file.stored_path = std::move(path);
  r.file.size = length;
  return r;
}

std::string AD_FitStoredName(std::string_view head, std::string_view stem, std::string_view ext,
                             int attempt, std::size_t max) {
  std::string suffix;
  if (attempt > 0) suffix = StrPrintf("-%d", attempt);
  std::size_t fixed = head.size() + suffix.size() + ext.size();
  if (fixed > max) return {};
  std::size_t room = max - fixed;
  if (stem.size() > room) {
    std::size_t cut = room;
    // Never inside "=XX": an "=" in the last two places goes with its digits.
    for (std::size_t k = 1; k <= 2 && k <= cut; ++k) {
      if (stem[cut - k] == '=') {
        cut -= k;
        break;
      }
    }
    stem = stem.substr(0, cut);
  }
  std::string name(head);
  name += stem;
  name += suffix;
  name += ext;
  return name;
}
