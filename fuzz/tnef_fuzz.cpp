// Fuzzes the TNEF reader and the expansion of a TNEF part into file parts.
// The input is read as a stream (with and without a file limit), then parsed
// as the body of a message whose only part is application/ms-tnef, with TNEF
// expansion on. Every file's bytes must lie inside the input, and every file
// part's name must be a safe file name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/mime/mime.h"
#include "common/mime/tnef/tnef_reader.h"
#include "common/mime/tnef_parts.h"
#include "fuzz/support/fuzz_root.h"

namespace {

volatile unsigned char g_sink;

void Check(bool ok) {
  if (!ok) std::abort();
}

constexpr std::size_t kFileLimit = 3;

void ReadStream(const std::uint8_t* data, std::size_t size, std::size_t max_files) {
  // An exact copy, so that a read past its end is caught.
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[size]);
  if (size > 0) std::memcpy(bytes.get(), data, size);
  TnefStream stream;
  if (TNEF_Read(std::span<const unsigned char>(bytes.get(), size), stream, max_files) != 0) {
    Check(stream.files.empty());
    return;
  }
  Check(stream.files.size() <= max_files);
  for (const TnefAttachment& file : stream.files) {
    Check(!file.data.empty());
    Check(file.data.data() >= bytes.get() &&
          file.data.data() + file.data.size() <= bytes.get() + size);
    unsigned char sum = 0;
    for (unsigned char b : file.data) sum ^= b;
    g_sink = sum;
    char name[512];
    Check(TNEF_AttachName(file, name, sizeof name) == 0);
    Check(std::strlen(name) < sizeof name);
    char charset[32];
    int rc = TNEF_AttachCharset(file, charset, sizeof charset);
    Check(rc == 0 || (rc == kTnefUnlistedCodePage && charset[0] == '\0'));
  }
}

bool SafeName(const char* name) {
  if (name == nullptr) return false;
  std::string_view n(name);
  if (n.empty() || n == "." || n == "..") return false;
  for (unsigned char c : n) {
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
  }
  return true;
}

void Expand(const std::uint8_t* data, std::size_t size) {
  static constexpr char kHeader[] = "Content-Type: application/ms-tnef\n\n";
  const std::size_t head = sizeof kHeader - 1;
  const std::size_t length = head + size;
  std::unique_ptr<char[]> text(new char[length + 1]);
  std::memcpy(text.get(), kHeader, head);
  if (size > 0) std::memcpy(text.get() + head, data, size);
  text[length] = '\0';

  MIME_Env env;
  env.options = kMimeDefaultOptions | kMimeExpandTnef;
  Check(MIME_Init(env, text.get(), length, 0, "big5") == 0);
  MIME_Parse(env);
  Check(env.root.header != nullptr && env.root.header->cls == kClassTnef);
  int added = 0;
  for (const MIME_Part* p = env.root.next; p != nullptr; p = p->next) {
    ++added;
    Check(p->header != nullptr && p->body_length > 0);
    Check(p->body >= env.root.body &&
          p->body + p->body_length <= env.root.body + env.root.body_length);
    Check(SafeName(p->header->filename));
    Check(p->header->content_type != nullptr && p->header->cls != kClassTnef);
  }
  Check(added < kMimeMaxParts);
  MIME_Free(env);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz_support::FuzzRoot root;
  ReadStream(data, size, SIZE_MAX);
  ReadStream(data, size, kFileLimit);
  Expand(data, size);
  return 0;
}
