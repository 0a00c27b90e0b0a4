// Fuzzes the MIME parse and its decoding walk. Each input is parsed twice,
// on two fresh copies: with the default options (embedded messages are
// divided into their parts) and with the virus scan's options (embedded
// messages stay whole). Every body the tree holds must lie inside the text
// or the parse's own copies, and the tree must be finite.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/mime/mime.h"
#include "fuzz/support/fuzz_root.h"

namespace {

volatile unsigned char g_sink;

void Check(bool ok) {
  if (!ok) std::abort();
}

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
  static fuzz_support::FuzzRoot root;
  ParseOnce(data, size, kMimeDefaultOptions);
  ParseOnce(data, size, kMimeDefaultOptions | kMimeMessagesWhole);
  return 0;
}
