// A URL sent to be attached, and the file it is fetched into.
#pragma once

#include <optional>
#include <string>

#include "host/files/mapped_file.h"
#include "host/template/template.h"

namespace intake {

// The URL as it is fetched: a bare host gets "http://" and "/", a text with
// a path but no scheme gets "http://", and a scheme with a host but no path
// gets "/".
std::string NormaliseUrl(std::string url);

// The text of the URL field "newfile2" (the data of that part, or the
// variable) with the blanks around it taken off; empty when there is none.
std::string UrlFieldText();

// The fetched file, deleted when the request ends unless it was listed: a
// file that is refused, diverted into the message body or empty must not stay
// in tmp/ uncounted.
class FetchedFile {
 public:
  explicit FetchedFile(std::string path) : path_(std::move(path)) {}
  ~FetchedFile();
  FetchedFile(const FetchedFile&) = delete;
  FetchedFile& operator=(const FetchedFile&) = delete;
  // The file was listed: it stays.
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

// Why a URL the user sent was not attached ("$FETCHMSG"; 0 when it was, or
// when none was sent).
enum class FetchMessage {
  kNone = 0,
  kScheme = 1,       // not an http or https address
  kAddress = 2,      // an address the site does not fetch from
  kTooLarge = 3,     // larger than the site fetches
  kHttpStatus = 4,   // the server answered with an error status
  kTimeout = 5,      // no answer in time
  kUnreachable = 6,  // host not found, or the server not reached
  kOther = 7,        // anything else (storage, the fetch not available)
  kEmpty = 8,        // the address answered with no bytes
};

// A URL of a compose window fetched into its stored name
// "<tmp>/<user>_<cpid>_H_<pid>" (or that name with ".N" when it is taken) and
// mapped. The file is deleted when this object goes unless Keep() was called.
class FetchedUrl {
 public:
  // Fetches the normalised `url`; `function` names the caller in the log.
  FetchedUrl(const std::string& url, const std::string& cpid, int pid, const char* function);
  FetchedUrl(const FetchedUrl&) = delete;
  FetchedUrl& operator=(const FetchedUrl&) = delete;

  // True when the file was fetched and holds at least one byte.
  bool ok() const { return message_ == FetchMessage::kNone; }
  FetchMessage message() const { return message_; }
  long http_status() const { return http_status_; }
  const std::string& path() const { return path_; }
  const char* data() const { return data_.data(); }
  std::size_t size() const { return data_.size(); }
  // The file was listed: it stays.
  void Keep();

 private:
  FetchMessage message_ = FetchMessage::kNone;
  long http_status_ = 0;
  std::string path_;
  std::optional<FetchedFile> file_;
  MappedFile data_;
};

// Binds "$FETCHMSG", "$iffetcherror", "$fetcherror" (why, in words, escaped)
// and "$fetchstatus" when a URL was not attached; nothing for kNone.
void BindFetchError(OML_Handle& page, FetchMessage message, long http_status);

}  // namespace intake
