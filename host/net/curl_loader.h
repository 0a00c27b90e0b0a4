// libcurl, loaded with dlopen() the first time a fetch needs it, so the
// programs do not link it and no other request pays for loading it. The
// curl headers are used for the types and constants only.
#pragma once

#include <curl/curl.h>

#include <string>

namespace host {

// The libcurl functions the fetch uses, bound with dlsym().
struct CurlApi {
  CURL* (*easy_init)();
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
  CURLcode (*easy_perform)(CURL*);
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
  void (*easy_cleanup)(CURL*);
  const char* (*easy_strerror)(CURLcode);
  curl_slist* (*slist_append)(curl_slist*, const char*);
  void (*slist_free_all)(curl_slist*);
};

// Loads "libcurl.so.4" and runs curl_global_init() on the first call; later
// calls answer the same result. Answers nullptr when the library or one of
// the functions is missing, with the reason in `error`. The library stays
// loaded for the life of the process.
const CurlApi* LoadCurl(std::string& error);

}  // namespace host
