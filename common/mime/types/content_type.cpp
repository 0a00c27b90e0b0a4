#include "host/base/unique_fd.h"
#include "common/mime/types/content_type.h"
#include "host/base/ascii.h"

#include <fcntl.h>
#include <magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "host/base/process.h"
#include "host/base/strings.h"
#include "host/files/files.h"
#include "host/files/root.h"

// The type list, <root>/httpd/conf/mime.types: one content type per line,
// followed by its extensions, words separated by spaces or TABs; lines that
// begin with "#" and empty lines are skipped. Leading blanks and a CR before
// the newline are ignored. Limits of the name lookup: a line longer than 255
// characters is skipped whole; an extension longer than 63 characters is
// skipped; a content type longer than 31 characters is skipped with all its
// extensions (CT_TypeToExt, which reads the list by type, still sees such
// lines). For an extension listed more than once, the first line wins.
//
// The magic rules, <root>/httpd/conf/magic, are read with libmagic with every
// built-in test switched off, so only our rules answer, and a rule's
// description is the content type. libmagic runs a rule only as a binary test:
// "search" and "regex" rules with a printable pattern count as text tests and
// must carry the "/b" flag to run. A compiled form, magic.mgc beside the text
// (see CT_CompileMagic), is used when it is not older than the text; otherwise
// the text is parsed at load through /proc/self/fd, a path with no ".mgc" of
// its own, so libmagic cannot pick a stale compiled file.

namespace {

constexpr std::size_t kExtSize = 64;
constexpr std::size_t kTypeSize = 32;
constexpr std::size_t kLineMax = 255;
constexpr std::size_t kChains = 27;
constexpr std::size_t kMaxLineOfText = 300;
constexpr std::size_t kMagicWindow = 8191;
constexpr std::size_t kExtAnswerMax = 30;

constexpr char kMimeTypes[] = "httpd/conf/mime.types";
constexpr char kMagic[] = "httpd/conf/magic";

// The table keeps its own copy of the list with a NUL written after every
// word it uses, and points into it: every process that guesses a type loads
// the list, so the load touches as little memory as it can.
struct TypeEntry {
  const char* ext;   // at most kExtSize - 1 characters
  const char* type;  // at most kTypeSize - 1 characters
};

struct TypeTable {
  bool loaded = false;
  std::string text;
  // The entries chain by chain, each chain in the order of the list:
  // chain c is entries[start[c]] up to entries[start[c + 1]].
  std::vector<TypeEntry> entries;
  std::array<std::uint32_t, kChains + 1> start{};
};

// Every built-in test of libmagic off: only the soft-magic test (our rules)
// runs. MAGIC_RAW keeps a description's bytes as written (a TAB stays a TAB).
constexpr int kMagicFlags = MAGIC_NO_CHECK_COMPRESS | MAGIC_NO_CHECK_TAR | MAGIC_NO_CHECK_APPTYPE |
                            MAGIC_NO_CHECK_ELF | MAGIC_NO_CHECK_TEXT | MAGIC_NO_CHECK_CDF |
                            MAGIC_NO_CHECK_CSV | MAGIC_NO_CHECK_TOKENS | MAGIC_NO_CHECK_ENCODING |
                            MAGIC_NO_CHECK_JSON |
#ifdef MAGIC_NO_CHECK_SIMH
                            MAGIC_NO_CHECK_SIMH |
#endif
                            MAGIC_NO_COMPRESS_FORK | MAGIC_RAW;

class MagicRules {
 public:
  ~MagicRules() { Reset(); }
  void Reset() {
    Close();
    tried_ = false;
  }
  magic_t Get() {
    if (!tried_) Load();
    return cookie_;
  }

 private:
  void Load();
  bool LoadCompiled(const std::string& text_path, const struct stat& text);
  bool LoadText(const std::string& text_path, int fd);
  bool Open() {
    Close();
    cookie_ = magic_open(kMagicFlags);
    return cookie_ != nullptr;
  }
  void Close() {
    if (cookie_ != nullptr) magic_close(cookie_);
    cookie_ = nullptr;
    Unmap();
  }
  void Unmap() {
    if (compiled_ != nullptr) munmap(compiled_, compiled_size_);
    compiled_ = nullptr;
  }

  bool tried_ = false;
  magic_t cookie_ = nullptr;
  // The .mgc, mapped privately: libmagic uses the rules in place, and only
  // the pages it reads are loaded.
  void* compiled_ = nullptr;
  std::size_t compiled_size_ = 0;
};

// The list by type, for CT_TypeToExt: every line with an extension, in list
// order, as its type and first extension (views into the cached list).
struct TypeToExtIndex {
  bool loaded = false;
  std::vector<std::pair<std::string_view, std::string_view>> lines;
};

struct State {
  TypeTable table;
  TypeToExtIndex by_type;
  MagicRules magic;
  std::string result;
};

State& Module() {
  static State state;
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    // A new root (tests) means another type list and other rules.
    host::OnReloadEnv([] {
      State& s = Module();
      s.table = TypeTable();
      s.by_type = TypeToExtIndex();
      s.magic.Reset();
    });
  }
  return state;
}

std::size_t ChainOf(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u >= 'A' && u <= 'Z') return u - 'A';
  if (u >= 'a' && u <= 'z') return u - 'a';
  return kChains - 1;
}

// The next blank-separated word of `line` from `pos`, empty at the end.
// `line` lies in a NUL-terminated text and ends at a newline, a CR or the
// end, so strcspn may look past its end but stops at the next newline.
std::string_view NextWord(std::string_view line, std::size_t& pos) {
  while (pos < line.size() && ascii::IsBlank(line[pos])) ++pos;
  std::size_t start = pos;
  pos = std::min(line.size(), start + std::strcspn(line.data() + start, " \t\n"));
  return line.substr(start, pos - start);
}

// Calls visit(type, line, pos) for each line of the type list that holds a
// type; `pos` is where the extensions begin.
template <typename Visit>
void ForEachTypeLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kLineMax) continue;
    std::size_t pos = 0;
    while (pos < line.size() && ascii::IsBlank(line[pos])) ++pos;
    if (pos == line.size() || line[pos] == '#') continue;
    std::string_view type = NextWord(line, pos);
    if (!visit(type, line, pos)) return;
  }
}

std::string_view Extension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

std::string& Result() {
  return Module().result;
}

void Complain(const char* format, const std::string& path) {
  std::fprintf(stderr, format, path.c_str());
  std::fflush(stderr);
}

bool NewerOrSame(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec >= b.tv_nsec;
}

void MagicRules::Load() {
  tried_ = true;
  std::string path = host::RootPath(kMagic);
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    struct stat any;
    if (stat(path.c_str(), &any) == 0) Complain("can't read magic file %s\n", path);
    std::fputs("couldn't find any magic files\n", stderr);
    return;
  }
  if (!Open()) {
    Complain("magic rules %s: out of memory\n", path);
    return;
  }
  if (LoadCompiled(path, st)) return;
  if (!Open() || !LoadText(path, fd.get())) Close();
}

// The compiled rules when magic.mgc is there, readable, valid for this
// libmagic and not older than the text.
bool MagicRules::LoadCompiled(const std::string& text_path, const struct stat& text) {
  std::string path = text_path + ".mgc";
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  if (!NewerOrSame(st.st_mtim, text.st_mtim)) {
    Complain("compiled magic file %s is older than the rules; not used\n", path);
    return false;
  }
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
    Complain("can't read compiled magic file %s\n", path);
    return false;
  }
  void* map = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE, fd.get(), 0);
  if (map == MAP_FAILED) {
    Complain("can't read compiled magic file %s\n", path);
    return false;
  }
  compiled_ = map;
  compiled_size_ = static_cast<std::size_t>(st.st_size);
  void* buffers[] = {compiled_};
  std::size_t sizes[] = {compiled_size_};
  if (magic_load_buffers(cookie_, buffers, sizes, 1) != 0) {
    const char* why = magic_error(cookie_);
    std::fprintf(stderr, "compiled magic file %s not used: %s\n", path.c_str(),
                 why ? why : "unknown error");
    return false;  // Open() closes the cookie, then unmaps
  }
  return true;
}

bool MagicRules::LoadText(const std::string& text_path, int fd) {
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  struct stat st;
  const std::string* source = &proc;
  if (stat(proc.c_str(), &st) != 0) {
    // No /proc (a chroot): the text's own path is safe only when there is no
    // compiled file beside it that libmagic would prefer.
    if (stat((text_path + ".mgc").c_str(), &st) == 0) {
      Complain("magic rules %s not loaded: no /proc, and magic.mgc beside them is not usable\n",
               text_path);
      return false;
    }
    source = &text_path;
  }
  if (magic_load(cookie_, source->c_str()) != 0) {
    const char* why = magic_error(cookie_);
    std::fprintf(stderr, "magic rules %s not loaded: %s\n", text_path.c_str(),
                 why ? why : "unknown error");
    return false;
  }
  return true;
}

}  // namespace

int CT_LoadTypes() {
  TypeTable& table = Module().table;
  const std::string* cached = nullptr;
  if (MSHM_FileRead(host::RootPath(kMimeTypes), cached, 0) <= 0 || cached == nullptr) return -1;
  table.text = *cached;
  char* base = table.text.data();
  std::vector<TypeEntry> in_order;
  in_order.reserve(table.text.size() / 8 + 1);
  // Ends a word with a NUL over the blank, CR or newline after it.
  auto terminate = [&](std::string_view word) { base[word.data() + word.size() - base] = '\0'; };
  ForEachTypeLine(table.text, [&](std::string_view type, std::string_view line, std::size_t pos) {
    if (type.size() >= kTypeSize) return true;
    bool listed = false;
    for (std::string_view ext = NextWord(line, pos); !ext.empty(); ext = NextWord(line, pos)) {
      if (ext.size() >= kExtSize) continue;
      in_order.push_back({ext.data(), type.data()});
      listed = true;
      if (pos < line.size()) {
        terminate(ext);  // over the blank after it
        ++pos;
      } else if (ext.data() + ext.size() < base + table.text.size()) {
        terminate(ext);  // over the line's CR or newline
      }
    }
    if (listed) terminate(type);
    return true;
  });
  // A stable counting sort by chain keeps the list's order within a chain.
  std::array<std::uint32_t, kChains + 1> start{};
  for (const TypeEntry& e : in_order) ++start[ChainOf(e.ext[0]) + 1];
  for (std::size_t c = 0; c < kChains; ++c) start[c + 1] += start[c];
  table.entries.resize(in_order.size());
  std::array<std::uint32_t, kChains + 1> next = start;
  for (const TypeEntry& e : in_order) table.entries[next[ChainOf(e.ext[0])]++] = e;
  table.start = start;
  table.loaded = true;
  return 0;
}

const char* CT_FromName(const char* name) {
  TypeTable& table = Module().table;
  if (!table.loaded && CT_LoadTypes() != 0) return nullptr;
  if (name == nullptr) return nullptr;
  std::string_view ext = Extension(name);
  if (ext.empty()) return nullptr;
  std::size_t chain = ChainOf(ext[0]);
  for (std::size_t i = table.start[chain]; i < table.start[chain + 1]; ++i) {
    if (EqualsNoCase(table.entries[i].ext, ext)) return table.entries[i].type;
  }
  return nullptr;
}

int CT_IsText(const char* data, std::size_t length) {
  if (data != nullptr && length > 1) {
    std::size_t line = 0;
    for (std::size_t i = 0; i + 1 < length; ++i) {
      unsigned char c = static_cast<unsigned char>(data[i]);
      bool text = (c >= 8 && c <= 13) || c == 27 || (c >= 32 && c != 127);
      if (!text) return 0;
      if (c == '\n') {
        line = 0;
      } else if (++line > kMaxLineOfText) {
        return 0;
      }
    }
  }
  Result() = "text/plain";
  return 1;
}

const char* CT_FromData(const char* data, std::size_t length) {
  std::string& result = Result();
  if (data == nullptr) length = 0;
  // libmagic answers one byte or none with fixed texts of its own, never
  // from the rules.
  magic_t cookie = Module().magic.Get();
  if (cookie != nullptr && length >= 2) {
    const char* found = magic_buffer(cookie, data, length);
    if (found != nullptr && *found != '\0' && std::strcmp(found, "data") != 0) {
      result = found;
      return result.c_str();
    }
  }
  if (!CT_IsText(data, length)) result = "application/octet-stream";
  return result.c_str();
}

const char* CT_Guess(const char* data, std::size_t length, const char* name) {
  if (const char* listed = CT_FromName(name)) return listed;
  std::string& result = Result();
  result.clear();
  CT_FromData(data, std::min(length, kMagicWindow));
  std::size_t tab = result.find('\t');
  if (tab != std::string::npos) result.resize(tab);
  return result.c_str();
}

std::string CT_TypeToExt(const char* content_type, const char* name) {
  if (name != nullptr) {
    std::string_view n = name;
    std::size_t dot = n.rfind('.');
    if (dot != std::string_view::npos && dot + 1 < n.size()) {
      return std::string(n.substr(dot + 1, kExtAnswerMax));
    }
  }
  if (content_type == nullptr) return "";
  // The list is indexed once per process: a message with many unnamed parts
  // asks for many extensions.
  TypeToExtIndex& index = Module().by_type;
  if (!index.loaded) {
    const std::string* text = nullptr;
    if (MSHM_FileRead(host::RootPath(kMimeTypes), text, 0) <= 0 || text == nullptr) return "";
    ForEachTypeLine(*text, [&](std::string_view type, std::string_view line, std::size_t pos) {
      std::string_view ext = NextWord(line, pos);
      if (!ext.empty()) index.lines.emplace_back(type, ext);
      return true;
    });
    index.loaded = true;
  }
  std::string_view wanted = content_type;
  for (const auto& [type, ext] : index.lines) {
    if (StartsWithNoCase(wanted, type)) return std::string(ext.substr(0, kExtAnswerMax));
  }
  return "";
}

int CT_CompileMagic() {
  std::string path = host::RootPath(kMagic);
  std::string target = path + ".mgc";
  struct stat text;
  if (stat(path.c_str(), &text) != 0 || !S_ISREG(text.st_mode) || access(path.c_str(), R_OK) != 0) {
    Complain("can't read magic file %s\n", path);
    return -1;
  }
  // libmagic writes "<base name>.mgc" into the current folder: compile in a
  // fresh folder beside the rules, then rename, so a half-written or failed
  // compilation never replaces the file requests read.
  std::string work = host::RootPath("httpd/conf/.magic-compile.XXXXXX");
  if (mkdtemp(work.data()) == nullptr) {
    Complain("can't make a work folder beside %s\n", path);
    return -1;
  }
  std::string built = work + "/magic.mgc";
  int status = -1;
  UniqueFd here(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  magic_t cookie = magic_open(kMagicFlags | MAGIC_CHECK);
  if (here.get() >= 0 && cookie != nullptr && chdir(work.c_str()) == 0) {
    int compiled = magic_compile(cookie, path.c_str());
    if (fchdir(here.get()) != 0) compiled = -1;
    if (compiled != 0) {
      const char* why = magic_error(cookie);
      std::fprintf(stderr, "magic rules %s not compiled: %s\n", path.c_str(),
                   why ? why : "unknown error");
    } else {
      // Not older than the rules even when their time lies in the future,
      // and readable by whoever may read the rules.
      struct stat now;
      bool dated = stat(built.c_str(), &now) == 0;
      if (dated && !NewerOrSame(now.st_mtim, text.st_mtim)) {
        struct timespec times[2] = {{0, UTIME_OMIT}, text.st_mtim};
        dated = utimensat(AT_FDCWD, built.c_str(), times, 0) == 0;
      }
      if (dated && chmod(built.c_str(), text.st_mode & 0666) == 0 &&
          rename(built.c_str(), target.c_str()) == 0) {
        status = 0;
      } else {
        std::fprintf(stderr, "can't write %s: %s\n", target.c_str(), std::strerror(errno));
      }
    }
  } else {
    std::fprintf(stderr, "can't compile %s: %s\n", path.c_str(), std::strerror(errno));
  }
  if (cookie != nullptr) magic_close(cookie);
  unlink(built.c_str());
  rmdir(work.c_str());
  return status;
}
