#include "common/intake/fetched_url.h"

#include <unistd.h>

#include <cstdint>

#include "host/base/ascii.h"
#include "host/cgi/cgi_request.h"

namespace intake {

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

}  // namespace intake
