// attachtool mime [--options HEX] [--charset NAME] FILE
//
// Parses a mail message the way the part-by-part virus scan does and prints
// its part tree, one line per part, then the parse's status and found bits.
// The golden tests under tests/data/mime/ compare this output byte for byte.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "attachtool.h"
#include "common/mime/mime.h"

namespace {

// The scan parse runs with the defaults plus "attached messages stay whole".
constexpr int kScanOptions = kMimeDefaultOptions | kMimeMessagesWhole;

// Exit status for a file that cannot be read, as for a usage error.
constexpr int kExitUnreadable = 2;

constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

std::uint64_t Fnv1a64(const char* data, std::size_t length) {
  std::uint64_t hash = kFnvOffsetBasis;
  for (std::size_t i = 0; i < length; ++i) {
    hash ^= static_cast<unsigned char>(data[i]);
    hash *= kFnvPrime;
  }
  return hash;
}

// A text field of the listing: "-" for a missing or empty text; CR, LF and
// TAB become spaces so that one part stays one line of TAB-separated fields.
std::string Field(const char* text) {
  if (text == nullptr || *text == '\0') return "-";
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
  return out;
}

void PrintPart(const MIME_Part& part, int depth) {
  std::string line = std::to_string(depth);
  const MIME_Header* h = part.header;
  if (h != nullptr) {
    line += '\t' + Field(h->number);
    line += '\t' + std::to_string(h->cls);
    line += '\t' + std::to_string(h->encoding);
    line += '\t' + Field(h->content_type);
    line += '\t' + Field(h->filename);
    line += '\t' + Field(h->charset_name);
  } else {
    line += "\t-\t-\t-\t-\t-\t-";
  }
  std::size_t body_length =
      part.body != nullptr && part.body_length > 0 ? static_cast<std::size_t>(part.body_length) : 0;
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx",
                static_cast<unsigned long long>(Fnv1a64(part.body, body_length)));
  line += '\t' + std::to_string(part.offset) + '\t' + std::to_string(part.length) + '\t' +
          std::to_string(part.body_length) + '\t' + hash + '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
}

// Tree order: a part, then its child subtree, then its next siblings. An
// explicit stack keeps a deeply nested or very long tree off the call stack.
void PrintTree(const MIME_Part& root) {
  std::vector<std::pair<const MIME_Part*, int>> stack{{&root, 0}};
  while (!stack.empty()) {
    auto [part, depth] = stack.back();
    stack.pop_back();
    PrintPart(*part, depth);
    if (part->next != nullptr) stack.emplace_back(part->next, depth);
    if (part->child != nullptr) stack.emplace_back(part->child, depth + 1);
  }
}

// A hexadecimal option word, with or without "0x"; false when it is not one.
bool ParseOptions(const char* text, int& options) {
  std::string_view s(text);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  if (s.empty() || s.size() > 8) return false;
  unsigned long value = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  options = static_cast<int>(value);
  return true;
}

// The whole file; false (errno set) when it cannot be read.
bool ReadWhole(const char* path, std::vector<char>& out) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path, "rb"), std::fclose);
  if (!f) return false;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) {
    out.insert(out.end(), buffer, buffer + n);
  }
  return std::ferror(f.get()) == 0;
}

}  // namespace

int MimeCommand(int argc, char** argv) {
  int options = kScanOptions;
  std::string charset = "big5";
  const char* file = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg(argv[i]);
    if (arg == "--options" && i + 1 < argc) {
      if (!ParseOptions(argv[++i], options)) {
        std::fprintf(stderr, "attachtool mime: not a hexadecimal option word: %s\n", argv[i]);
        return kExitUsage;
      }
    } else if (arg == "--charset" && i + 1 < argc) {
      charset = argv[++i];
    } else if (file == nullptr && !arg.starts_with("--")) {
      file = argv[i];
    } else {
      return UsageError("mime");
    }
  }
  if (file == nullptr) return UsageError("mime");

  std::vector<char> text;
  if (!ReadWhole(file, text)) {
    std::fprintf(stderr, "attachtool mime: cannot read %s: %s\n", file, std::strerror(errno));
    return kExitUnreadable;
  }
  // The parse writes NUL bytes and decoded bodies into the text, and needs a
  // NUL after its end.
  std::size_t length = text.size();
  text.push_back('\0');

  MIME_Env env;
  env.options = options;
  if (MIME_Init(env, text.data(), length, 0, charset.c_str()) != 0) {
    std::fprintf(stderr, "attachtool mime: %s is too large to parse (%zu bytes)\n", file, length);
    return kExitUnreadable;
  }
  int status = MIME_Parse(env);
  PrintTree(env.root);
  std::printf("status\t0x%x\tfound\t0x%x\n", status, env.found);
  MIME_Free(env);
  return 0;
}
