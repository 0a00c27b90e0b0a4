// Fuzzes the MIME parse and its decoding walk. Each input is parsed twice,
// on two fresh copies: with the default options (embedded messages are
// divided into their parts) and with the virus scan's options (embedded
// messages stay whole). Every body the tree holds must lie inside the text
// or the parse's own copies, and the tree must be finite.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/mime/mime.h"
#include "host/base/process.h"

namespace {

volatile unsigned char g_sink;

void Check(bool ok) {
  if (!ok) std::abort();
}

// A small type list and magic rules in a root of our own, so that naming and
// retyping run as on a site. The replay driver does not call
// LLVMFuzzerInitialize, hence the set-up on first use.
constexpr char kTypes[] =
    "text/plain\t\t\ttxt text\n"
    "text/html\t\t\thtml htm\n"
    "image/png\t\t\tpng\n"
    "image/jpeg\t\t\tjpg jpeg\n"
    "image/gif\t\t\tgif\n"
    "image/tiff\t\t\ttif tiff\n"
    "video/mp4\t\t\tmp4\n"
    "audio/mpeg\t\t\tmp3\n"
    "application/pdf\t\t\tpdf\n"
    "application/zip\t\t\tzip\n"
    "application/x-shockwave-flash\tswf\n"
    "application/octet-stream\tbin\n"
    "message/rfc822\t\t\teml\n"
    "text/x-vcard\t\t\tvcf\n";
constexpr char kMagic[] =
    "0\tstring\t\\x89PNG\timage/png\n"
    "0\tstring\tGIF8\timage/gif\n"
    "0\tstring\t\\xff\\xd8\\xff\timage/jpeg\n"
    "0\tstring\t%PDF-\tapplication/pdf\n"
    "0\tstring\tPK\\x03\\x04\tapplication/zip\n"
    "0\tstring\tFWS\tapplication/x-shockwave-flash\n";

class FuzzRoot {
 public:
  FuzzRoot() {
    char tmpl[] = "/tmp/mime_fuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    path_ = tmpl;
    std::filesystem::create_directories(path_ + "/httpd/conf");
    std::filesystem::create_directories(path_ + "/tmp");
    std::ofstream(path_ + "/httpd/conf/mime.types") << kTypes;
    std::ofstream(path_ + "/httpd/conf/magic") << kMagic;
    setenv("WEBMAIL_ROOT", path_.c_str(), 1);
    host::ReloadEnv();
  }
  ~FuzzRoot() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }

 private:
  std::string path_;
};

// The tree holds at most kMimeMaxParts parts (a cycle would exceed it), no
// negative length, and bodies that can be read whole.
void CheckTree(const MIME_Env& env) {
  std::vector<const MIME_Part*> stack{&env.root};
  int seen = 0;
  while (!stack.empty()) {
    const MIME_Part* part = stack.back();
    stack.pop_back();
    Check(++seen <= kMimeMaxParts);
    Check(part->length >= 0 && part->body_length >= 0);
    if (part->body != nullptr && part->body_length > 0) {
      // Every byte is read, so that a body reaching outside its memory is
      // reported by the address sanitizer.
      unsigned char sum = 0;
      for (int i = 0; i < part->body_length; ++i) sum ^= static_cast<unsigned char>(part->body[i]);
      g_sink = sum;
    }
    if (part->next != nullptr) stack.push_back(part->next);
    if (part->child != nullptr) stack.push_back(part->child);
  }
}

void ParseOnce(const std::uint8_t* data, std::size_t size, int options) {
  // Exactly size + 1 bytes, so that a read or write past the NUL is caught.
  std::unique_ptr<char[]> text(new char[size + 1]);
  if (size > 0) std::memcpy(text.get(), data, size);
  text[size] = '\0';

  MIME_Env env;
  env.options = options;
  Check(MIME_Init(env, text.get(), size, 0, "big5") == 0);
  int status = MIME_Parse(env);
  Check((status & ~(kMimeNoClosingBoundary | kMimeNoHeaderEnd | kMimeTooDeep | kMimeTooMany)) == 0);
  CheckTree(env);
  MIME_FirstCharset(&env.root);
  MIME_Free(env);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static FuzzRoot root;
  ParseOnce(data, size, kMimeDefaultOptions);
  ParseOnce(data, size, kMimeDefaultOptions | kMimeMessagesWhole);
  return 0;
}
