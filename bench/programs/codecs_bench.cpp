// Decode speed of the transfer-encoding codecs, in MB of encoded input per
// second of CPU time. Not part of the build; a release build of it:
//   clang++ -std=c++20 -O2 -I. bench/programs/codecs_bench.cpp host/text/codecs.cpp -o /tmp/codecs_bench
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "host/text/codecs.h"

namespace {

std::string Base64Lines(const std::string& data) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve(data.size() * 4 / 3 + data.size() / 38 + 4);
  for (std::size_t i = 0; i + 3 <= data.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16 |
                 static_cast<unsigned char>(data[i + 1]) << 8 |
                 static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
    if ((i / 3 + 1) % 19 == 0) out += "\r\n";  // 76-character lines
  }
  return out;
}

// Thread CPU time: the machine may be busy with other work.
double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

template <typename Decode>
void Measure(const char* label, const std::string& encoded, Decode decode) {
  std::string work;
  double best = 1e9;
  std::size_t out = 0;
  for (int round = 0; round < 7; ++round) {
    work = encoded;
    double start = CpuSeconds();
    out = decode(work.data(), work.size());
    double s = CpuSeconds() - start;
    if (s < best) best = s;
  }
  std::printf("%-28s %8.0f MB/s  (%zu -> %zu bytes)\n", label, encoded.size() / best / 1e6,
              encoded.size(), out);
}

}  // namespace

int main() {
  std::mt19937 rng(1);
  std::string data(48 << 20, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  Measure("base64, 76-char CRLF lines", Base64Lines(data), MTX_Base64Dec);
  std::string one_line = Base64Lines(data);
  one_line.erase(std::remove(one_line.begin(), one_line.end(), '\r'), one_line.end());
  one_line.erase(std::remove(one_line.begin(), one_line.end(), '\n'), one_line.end());
  Measure("base64, one line", one_line, MTX_Base64Dec);

  std::string text;
  for (std::size_t i = 0; i < data.size() / 2; ++i) {
    text += "abcdefghij klmnopqrst uvwxyz ,.\xe9\xe8"[static_cast<unsigned char>(data[i]) % 34];
    if (i % 60 == 59) text += "\r\n";
  }
  Measure("qp, latin text", MTX_QPEnc(text), MTX_QPDec);
  std::string ascii = text;
  for (char& c : ascii) c = (c & 0x80) ? 'e' : c;
  Measure("qp, ascii text", MTX_QPEnc(ascii), MTX_QPDec);
  std::string utf8;
  for (std::size_t i = 0; i < data.size() / 6; ++i) {
    utf8 += "\xE6\x97\xA5";
    if (i % 20 == 19) utf8 += "\r\n";
  }
  Measure("qp, all 8-bit (=XX)", MTX_QPEnc(utf8), MTX_QPDec);

  std::string uu;
  for (std::size_t i = 0; i + 45 <= data.size() / 4; i += 45) {
    uu += 'M';
    for (std::size_t j = i; j < i + 45; j += 3) {
      unsigned v = static_cast<unsigned char>(data[j]) << 16 |
                   static_cast<unsigned char>(data[j + 1]) << 8 |
                   static_cast<unsigned char>(data[j + 2]);
      for (int k = 18; k >= 0; k -= 6)
        uu += static_cast<char>(((v >> k) & 63) ? ((v >> k) & 63) + 32 : '`');
    }
    uu += '\n';
  }
  Measure("uuencode", uu, MTX_UUDec);
  return 0;
}
