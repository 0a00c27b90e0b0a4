#include "common/intake/fetch/fetched_url.h"

#include <unistd.h>

#include <cstdint>

#include "common/intake/store/stored_copy.h"
#include "host/base/ascii.h"
#include "host/cgi/cgi_request.h"
#include "host/net/fetch.h"
#include "host/site/site.h"
#include "host/text/cgi_escape.h"

namespace intake {

namespace {

FetchMessage MessageOf(FetchProblem problem) {
  switch (problem) {
    case FetchProblem::kNone:
      return FetchMessage::kNone;
    case FetchProblem::kScheme:
      return FetchMessage::kScheme;
    case FetchProblem::kAddress:
      return FetchMessage::kAddress;
    case FetchProblem::kTooLarge:
      return FetchMessage::kTooLarge;
    case FetchProblem::kHttpStatus:
      return FetchMessage::kHttpStatus;
    case FetchProblem::kTimeout:
      return FetchMessage::kTimeout;
    case FetchProblem::kUnreachable:
      return FetchMessage::kUnreachable;
    case FetchProblem::kOther:
      break;
  }
  return FetchMessage::kOther;
}

// Why the URL was not attached, in words for "$fetcherror".
std::string FetchErrorText(FetchMessage message, long status) {
  switch (message) {
    case FetchMessage::kNone:
      return {};
    case FetchMessage::kScheme:
      return "Only http and https addresses can be attached.";
    case FetchMessage::kAddress:
      return "This server does not fetch files from that address.";
    case FetchMessage::kTooLarge:
      return "The file at that address is larger than this server fetches (" +
             std::to_string(GINI().fetch_max_kb) + " KB).";
    case FetchMessage::kHttpStatus:
      return "The address answered with HTTP status " + std::to_string(status) + ".";
    case FetchMessage::kTimeout:
      return "The address did not answer within " + std::to_string(GINI().fetch_timeout_seconds) +
             " seconds.";
    case FetchMessage::kUnreachable:
      return "The server of that address could not be found or reached.";
    case FetchMessage::kEmpty:
      return "The address answered with an empty file.";
    case FetchMessage::kOther:
      break;
  }
  return "The file at that address could not be fetched.";
}

}  // namespace

std::string NormaliseUrl(std::string url) {
  if (url.find('/') == std::string::npos) {
    url = "http://" + url + "/";
  } else if (url.find("://") == std::string::npos) {
    url = "http://" + url;
  }
  std::size_t scheme = url.find("://");
  if (scheme != std::string::npos && url.find('/', scheme + 3) == std::string::npos) url += '/';
  return url;
}

std::string UrlFieldText() {
  const char* client = nullptr;
  const char* text = nullptr;
  std::int64_t length = 0;
  MCGI_FileGet("newfile2", &client, &text, &length);
  if (length <= 0) return {};
  std::string url(text, static_cast<std::size_t>(length));
  url.erase(0, url.find_first_not_of(" \t\r\n"));
  while (!url.empty() && ascii::IsSpace(url.back())) url.pop_back();
  return url;
}

FetchedFile::~FetchedFile() {
  if (!kept_) unlink(path_.c_str());
}

FetchedUrl::FetchedUrl(const std::string& url, const std::string& cpid, int pid,
                       const char* function) {
  path_ = FreeStoredName(StoredName(cpid, 'H', pid), function);
  if (path_.empty() || !PathFitsRecord(path_, function)) {
    message_ = FetchMessage::kOther;
    return;
  }
  if (MNET_Fetch2File(url.c_str(), path_, 1) != 0) {
    message_ = MessageOf(MNET_LastFailure().problem);
    http_status_ = MNET_LastFailure().http_status;
    return;
  }
  file_.emplace(path_);
  // Mapped, never through a link: the file is read once, without a copy.
  if (!data_.Open(path_, false)) {
    message_ = FetchMessage::kOther;
  } else if (data_.size() == 0) {
    message_ = FetchMessage::kEmpty;
  }
}

void FetchedUrl::Keep() {
  if (file_) file_->Keep();
}

void BindFetchError(OML_Handle& page, FetchMessage message, long http_status) {
  if (message == FetchMessage::kNone) return;
  OML_IntSet(page, "$FETCHMSG", static_cast<int>(message));
  OML_IntSet(page, "$iffetcherror", 1);
  OML_StrDup(page, "$fetcherror", HtmlEscape(FetchErrorText(message, http_status)));
  OML_IntSet(page, "$fetchstatus", static_cast<int>(http_status));
}

}  // namespace intake
