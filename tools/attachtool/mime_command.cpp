// attachtool mime [--options HEX] [--charset NAME] FILE
//
// Parses a mail message the way the part-by-part virus scan does and prints
// its part tree, one line per part, then the parse's status and found bits.
// The golden tests under tests/data/mime/ compare this output byte for byte.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// FNV-1a 64 of each body. Each hash is a chain of dependent
// multiplications, so kLanes bodies are hashed side by side, byte by byte,
// which keeps the multiplier busy (a TNEF part and its files are hashed in
// about the time of the TNEF part alone). Bodies go to the lane with the
// least work, longest first.
std::vector<std::uint64_t> Fnv1a64All(const std::vector<std::string_view>& bodies) {
  constexpr std::size_t kLanes = 4;
  constexpr std::size_t kChunk = 65536;
  static const unsigned char kIdle[kChunk] = {};  // what an idle lane reads
  std::vector<std::uint64_t> hashes(bodies.size(), kFnvOffsetBasis);
  std::vector<std::size_t> order(bodies.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return bodies[a].size() > bodies[b].size();
  });
  std::vector<std::size_t> queue[kLanes];
  std::size_t work[kLanes] = {};
  for (std::size_t i : order) {
    std::size_t lane = std::min_element(work, work + kLanes) - work;
    queue[lane].push_back(i);
    work[lane] += bodies[i].size();
  }
  struct Lane {
    std::size_t next = 0;  // position in its queue
    std::size_t body = 0;  // the body being hashed
    std::size_t at = 0;    // bytes of it hashed
    bool busy = false;
  } lanes[kLanes];
  // Moves a lane to its next non-empty body; false when it has none.
  auto advance = [&](std::size_t l) {
    Lane& lane = lanes[l];
    while (lane.next < queue[l].size()) {
      lane.body = queue[l][lane.next++];
      lane.at = 0;
      if (!bodies[lane.body].empty()) return lane.busy = true;
    }
    return lane.busy = false;
  };
  for (std::size_t l = 0; l < kLanes; ++l) advance(l);
  for (;;) {
    const unsigned char* p[kLanes];
    std::uint64_t h[kLanes];
    std::size_t n = kChunk;
    bool any = false;
    for (std::size_t l = 0; l < kLanes; ++l) {
      const Lane& lane = lanes[l];
      if (!lane.busy) {
        p[l] = kIdle;
        h[l] = 0;
        continue;
      }
      any = true;
      const std::string_view b = bodies[lane.body];
      p[l] = reinterpret_cast<const unsigned char*>(b.data()) + lane.at;
      h[l] = hashes[lane.body];
      n = std::min(n, b.size() - lane.at);
    }
    if (!any) return hashes;
    for (std::size_t i = 0; i < n; ++i) {
      h[0] = (h[0] ^ p[0][i]) * kFnvPrime;
      h[1] = (h[1] ^ p[1][i]) * kFnvPrime;
      h[2] = (h[2] ^ p[2][i]) * kFnvPrime;
      h[3] = (h[3] ^ p[3][i]) * kFnvPrime;
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
      Lane& lane = lanes[l];
      if (!lane.busy) continue;
      hashes[lane.body] = h[l];
      lane.at += n;
      if (lane.at == bodies[lane.body].size()) advance(l);
    }
  }
}

// A text field of the listing: "-" for a missing or empty text; CR, LF and
// TAB become spaces so that one part stays one line of TAB-separated fields.
std::string Field(const char* text) {
  if (text == nullptr || *text == '\0') return "-";
  return OneLineField(text);
}

std::string_view BodyOf(const MIME_Part& part) {
  if (part.body == nullptr || part.body_length <= 0) return {};
  return {part.body, static_cast<std::size_t>(part.body_length)};
}

void PrintPart(const MIME_Part& part, int depth, std::uint64_t hash_value) {
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
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(hash_value));
  line += '\t' + std::to_string(part.offset) + '\t' + std::to_string(part.length) + '\t' +
          std::to_string(part.body_length) + '\t' + hash + '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
}

// Tree order: a part, then its child subtree, then its next siblings. An
// explicit stack keeps a deeply nested or very long tree off the call stack.
void PrintTree(const MIME_Part& root) {
  std::vector<std::pair<const MIME_Part*, int>> parts;
  std::vector<std::pair<const MIME_Part*, int>> stack{{&root, 0}};
  while (!stack.empty()) {
    auto [part, depth] = stack.back();
    stack.pop_back();
    parts.emplace_back(part, depth);
    if (part->next != nullptr) stack.emplace_back(part->next, depth);
    if (part->child != nullptr) stack.emplace_back(part->child, depth + 1);
  }
  std::vector<std::string_view> bodies;
  bodies.reserve(parts.size());
  for (auto [part, depth] : parts) bodies.push_back(BodyOf(*part));
  std::vector<std::uint64_t> hashes = Fnv1a64All(bodies);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    PrintPart(*parts[i].first, parts[i].second, hashes[i]);
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

// A message's bytes in private, writable memory with a NUL after them, as the
// parse needs. A regular file is mapped copy-on-write (only the pages the
// parse writes into are copied); anything else is read.
class MessageText {
 public:
  MessageText() = default;
  ~MessageText() {
    if (map_ != nullptr) munmap(map_, map_size_);
  }
  MessageText(const MessageText&) = delete;
  MessageText& operator=(const MessageText&) = delete;

  // False with errno set when the file cannot be read.
  bool Load(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && ((S_ISREG(st.st_mode) && Map(fd, st)) || Read(fd));
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
  }
  char* data() { return map_ != nullptr ? map_ : copy_.data(); }
  std::size_t size() const { return size_; }

 private:
  bool Map(int fd, const struct stat& st) {
    if (st.st_size <= 0) return false;
    const auto size = static_cast<std::size_t>(st.st_size);
    // An anonymous region one byte longer, with the file mapped over its
    // start: the byte after the file is always there and zero.
    void* base =
        mmap(nullptr, size + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return false;
    if (mmap(base, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
      munmap(base, size + 1);
      return false;
    }
    map_ = static_cast<char*>(base);
    map_size_ = size + 1;
    size_ = size;
    return true;
  }
  bool Read(int fd) {
    char buffer[65536];
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      copy_.insert(copy_.end(), buffer, buffer + n);
    }
    size_ = copy_.size();
    copy_.push_back('\0');
    return true;
  }

  char* map_ = nullptr;
  std::size_t map_size_ = 0;
  std::vector<char> copy_;
  std::size_t size_ = 0;
};

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

  // The parse writes NUL bytes and decoded bodies into the text, and needs a
  // NUL after its end.
  MessageText text;
  if (!text.Load(file)) {
    std::fprintf(stderr, "attachtool mime: cannot read %s: %s\n", file, std::strerror(errno));
    return kExitUnreadable;
  }
  const std::size_t length = text.size();

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
