// A URL sent to be attached, and the file it is fetched into.
#pragma once

#include <string>

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

}  // namespace intake
