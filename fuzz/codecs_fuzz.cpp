// Runs every transfer decoder, the RFC 2047 decoder, the Japanese conversion
// and the file-name guard on exactly sized copies of the input: no result is
// longer than its input and nothing is touched outside the copy (ASan). Also
// checks that quoted-printable and base64 encodings decode back to the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "host/account/safe_name.h"
#include "host/charset/japanese.h"
#include "host/text/codecs.h"
#include "host/text/mail/encoded_words.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "codecs_fuzz: %s\n", what);
    std::abort();
  }
}

// A copy of the input in a heap buffer of exactly its size.
std::unique_ptr<char[]> Copy(const std::uint8_t* data, std::size_t size, std::size_t extra = 0) {
  auto buf = std::make_unique<char[]>(size + extra);
  if (size) std::memcpy(buf.get(), data, size);
  return buf;
}

std::string Base64Encode(const std::uint8_t* data, std::size_t size) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < size; i += 3) {
    unsigned v = data[i] << 16;
    if (i + 1 < size) v |= data[i + 1] << 8;
    if (i + 2 < size) v |= data[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[v & 63] : '=';
    if (i % 57 == 54) out += "\r\n";
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using Decoder = std::size_t (*)(char*, std::size_t);
  for (Decoder decode : {MTX_Base64Dec, MTX_QPDec, MTX_UUDec, MLG_JPJis2Sjis}) {
    auto buf = Copy(data, size);
    Check(decode(buf.get(), size) <= size, "decoded text grew");
  }
  {
    auto buf = Copy(data, size);
    char name[16];
    Check(MTX_UUDec2(buf.get(), size, name, sizeof name) <= size, "uudecoded text grew");
    Check(std::memchr(name, '\0', sizeof name) != nullptr, "uu name not terminated");
  }

  auto text = Copy(data, size, 1);
  text[size] = '\0';
  std::size_t before = std::strlen(text.get());
  std::string charset = MSTR_Decode(text.get());
  Check(std::strlen(text.get()) <= before, "RFC 2047 text grew");
  Check(charset.size() <= before, "charset longer than the text");

  for (int scheme = kSchemeSingleByte; scheme <= kSchemeEuc; ++scheme) {
    char out[32];
    auto src = Copy(data, size, 1);
    src[size] = '\0';
    MLG_SafeFileName(src.get(), out, sizeof out, scheme);
    std::size_t n = strnlen(out, sizeof out);
    Check(n > 0 && n < sizeof out, "safe name empty or unterminated");
    Check(std::memchr(out, '/', n) == nullptr && out[0] != '.', "unsafe name");
    if (scheme == kSchemeSingleByte || scheme == kSchemeUtf8) {
      Check(std::memchr(out, '\\', n) == nullptr, "backslash in name");
    }
  }

  std::string qp = MTX_QPEnc(std::string_view(reinterpret_cast<const char*>(data), size));
  std::size_t n = MTX_QPDec(qp.data(), qp.size());
  Check(n == size && (size == 0 || std::memcmp(qp.data(), data, size) == 0), "QP round trip");
  std::string b64 = Base64Encode(data, size);
  n = MTX_Base64Dec(b64.data(), b64.size());
  Check(n == size && (size == 0 || std::memcmp(b64.data(), data, size) == 0), "base64 round trip");
  return 0;
}
