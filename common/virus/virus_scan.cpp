#include "common/virus/virus_scan.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "host/base/strings.h"
#include "host/files/files.h"
#include "host/files/root.h"

namespace {

// Archive types the "ostrel" engine reads from a file, as the file's
// extension is spelled.
constexpr const char* kArchiveExtensions[] = {"ZIP", "ARJ", "RAR"};

// A replacement notice never grows beyond this (a long file name repeated
// many times in the template).
constexpr std::size_t kMaxReplaceText = 8 * 1024 * 1024 - 1;

const char* PatternData(const AVS_Context& ctx) {
  return ctx.pattern_length > 0 ? ctx.pattern.data() : nullptr;
}

const char* ArchiveExtension(const char* name) {
  const char* dot = std::strrchr(name, '.');
  if (!dot) return nullptr;
  for (const char* ext : kArchiveExtensions) {
    if (EqualsNoCase(dot + 1, ext)) return ext;
  }
  return nullptr;
}

// Containers whose sub-parts are scanned instead of themselves.
bool IsContainer(unsigned char cls) {
  return cls == kClassMessage || cls == kClassMultipart || cls == kClassAlternative ||
         cls == kClassMixed || cls == kClassDigest;
}

// What an engine may write into the report it is handed: twice the 512 bytes
// it is told (nothing for the "ostrel" engine, which writes a bare virus name
// all the same), so an engine that writes past the size it was given spoils
// nothing of ours.
struct EngineReport {
  char text[1024] = {};
};

// One call of the engine's scan entry, every scan's only way to the engine:
// the report goes into `report` (always NUL-terminated within it), errno is
// the engine's.
int CallEngine(AVS_Context& ctx, const char* data, int length, const char* name, int action,
               char** out, int* out_length, EngineReport& report) {
  const int report_size = ctx.report_size ? 512 : 0;
  int result = ctx.scan(data, length, name, PatternData(ctx), ctx.pattern_length, report.text,
                        report_size, action, out, out_length);
  int saved = errno;
  report.text[sizeof report.text - 1] = '\0';
  errno = saved;
  return result;
}

// The engine over the whole message at once; its answer is taken unchanged,
// and its report (cut to 511 characters) becomes the context's.
int ScanWhole(AVS_Context& ctx, int action, const char* data, int length, char** out,
              int* out_length) {
  EngineReport report;
  int result = CallEngine(ctx, data, length, kVirWholeName, action, out, out_length, report);
  int saved = errno;
  MSTR_Copy(ctx.report, sizeof ctx.report, report.text);
  errno = saved;
  return result;
}

}  // namespace

std::string VIR_ScanFileName(int pid, std::string_view ext) {
  return std::to_string(pid) + "." + std::string(ext);
}

bool VIR_IsScanFileName(std::string_view name) {
  std::size_t dot = name.find('.');
  if (dot == 0 || dot == std::string_view::npos) return false;
  for (char c : name.substr(0, dot)) {
    if (c < '0' || c > '9') return false;
  }
  std::string_view ext = name.substr(dot + 1);
  return std::any_of(std::begin(kArchiveExtensions), std::end(kArchiveExtensions),
                     [ext](const char* known) { return ext == known; });
}

int VIR_ScanBuffer(AVS_Context& ctx, const char* data, int length, const char* name) {
  if (!ctx.scan) return 0;
  if (!name) name = "";
  if (!data || length < 0) {
    // A part is always handed over as bytes: null data would make the engine
    // read a file named like the part.
    data = "";
    length = 0;
  }
  const bool ostrel = AVS_IsOstrel(ctx);
  const char* archive = ArchiveExtension(name);
  char cwd[256];
  const bool have_cwd = getcwd(cwd, sizeof cwd) != nullptr;
  EngineReport report;

  int result;
  int saved_errno;
  if (ostrel && archive) {
    std::string path = host::TmpDir() + "/" + VIR_ScanFileName(static_cast<int>(getpid()), archive);
    // A stale file of that name is overwritten; a link there is refused.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    bool written = WriteAll(fd, data, static_cast<std::size_t>(length));
    if (close(fd) != 0) written = false;
    if (!written) {
      saved_errno = errno;
      unlink(path.c_str());
      errno = saved_errno;
      return -1;
    }
    result = CallEngine(ctx, nullptr, 0, path.c_str(), AVS_ACTION_NONE, nullptr, nullptr, report);
    saved_errno = errno;
    unlink(path.c_str());
  } else {
    result = CallEngine(ctx, data, length, name, AVS_ACTION_NONE, nullptr, nullptr, report);
    saved_errno = errno;
  }
  // The engine may have changed the working directory.
  if (have_cwd && chdir(cwd) != 0) {
    // Nothing of ours depends on it; the scan answer stands.
  }

  if (!ostrel) {
    if (result > 0) {
      MSTR_Copy(ctx.report, sizeof ctx.report, report.text);  // cut to 511
    } else if (result < 0) {
      errno = saved_errno;
    }
    return result;
  }
  if (result <= 100) return 0;
  const char* shown = name[0] == '|' ? name + 1 : name;
  std::snprintf(ctx.report, sizeof ctx.report, "%s\t%s\t0\n", shown, report.text);
  return 1;
}

std::string VIR_ReplaceText(const AVS_Context& ctx, const MIME_Part& node) {
  const MIME_Header* header = node.header;
  const char* filename =
      header && header->filename && header->filename[0] ? header->filename : kVirTextName;
  const char* ctype = header && header->content_type && header->content_type[0]
                          ? header->content_type
                          : "application/unknown";
  std::string_view message(ctx.ReplaceMsg, strnlen(ctx.ReplaceMsg, sizeof ctx.ReplaceMsg));
  std::string text;
  for (std::size_t i = 0; i < message.size() && text.size() < kMaxReplaceText;) {
    std::string_view rest = message.substr(i);
    if (rest.starts_with("$filename")) {
      text += filename;
      i += 9;
    } else if (rest.starts_with("$ctype")) {
      text += ctype;
      i += 6;
    } else {
      text += message[i++];
    }
  }
  if (text.size() > kMaxReplaceText) text.resize(kMaxReplaceText);
  return text;
}

int VIR_ScanTree(AVS_Context& ctx, int action, const MIME_Part* node,
                 std::vector<VIR_Replacement>& items) {
  const bool ostrel = AVS_IsOstrel(ctx);
  int last_positive = 0;
  int last_negative = 0;
  int negative_errno = 0;  // the engine's errno of the last error, handed on with it
  auto note = [&](int result) {
    if (result > 0) {
      last_positive = result;
    } else if (result < 0) {
      last_negative = result;
      negative_errno = errno;
    }
  };

  // Pre-order with an explicit stack (a part, its child subtree, then its
  // next siblings): part trees may be deep or wide.
  std::vector<const MIME_Part*> stack;
  std::unordered_set<const MIME_Part*> seen;  // a tree that points back into itself
  if (node) stack.push_back(node);
  while (!stack.empty()) {
    const MIME_Part* part = stack.back();
    stack.pop_back();
    if (!seen.insert(part).second) continue;
    if (part->next) stack.push_back(part->next);
    if (part->child) stack.push_back(part->child);

    const MIME_Header* header = part->header;
    if (!header || part->body_length < 0) continue;
    if (!(part->child && IsContainer(header->cls))) {
      const char* body = part->body ? part->body : "";
      std::size_t body_length = static_cast<std::size_t>(part->body_length);
      if (body_length == 0 && part->body) body_length = std::strlen(part->body);
      const char* name = header->filename && header->filename[0] ? header->filename
                         : header->cls == kClassHtml             ? kVirHtmlName
                                                                 : kVirTextName;
      int result = VIR_ScanBuffer(
          ctx, body, static_cast<int>(std::min<std::size_t>(body_length, INT_MAX)), name);
      note(result);
      if (result > 0 && action == AVS_ACTION_DELETE &&
          items.size() < static_cast<std::size_t>(kVirMaxReplacements)) {
        items.push_back({part->offset, part->length, VIR_ReplaceText(ctx, *part),
                         ctx.DeleteHeader == 0 ? 1 : 0});
      }
    }
    if (ostrel && part->header_start && part->header_end && part->header_end > part->header_start) {
      std::ptrdiff_t size = part->header_end - part->header_start;
      note(VIR_ScanBuffer(ctx, part->header_start,
                          static_cast<int>(std::min<std::ptrdiff_t>(size, INT_MAX)),
                          kVirHeaderName));
    }
  }
  if (last_positive) return last_positive;
  if (last_negative) errno = negative_errno;
  return last_negative;
}

int MIME_ReplaceParts(const char* message, int length, std::vector<VIR_Replacement>& items,
                      char** rebuilt) {
  if (rebuilt) *rebuilt = nullptr;
  if (items.empty()) return length;
  if (!message || length < 0 || !rebuilt) return -1;

  // Ranges that do not lie within the message cannot be replaced.
  std::erase_if(items, [length](const VIR_Replacement& item) {
    return item.offset < 0 || item.length < 0 ||
           static_cast<std::int64_t>(item.offset) + item.length > length;
  });
  std::stable_sort(
      items.begin(), items.end(),
      [](const VIR_Replacement& a, const VIR_Replacement& b) { return a.offset < b.offset; });
  // A part inside a replaced part goes with it.
  for (std::size_t i = 0; i + 1 < items.size();) {
    if (items[i + 1].offset < items[i].offset + items[i].length) {
      items.erase(items.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    } else {
      ++i;
    }
  }

  struct Range {
    std::size_t start, end;
  };
  std::vector<Range> ranges;
  std::int64_t new_length = length;
  for (const VIR_Replacement& item : items) {
    std::size_t start = static_cast<std::size_t>(item.offset);
    std::size_t end = start + static_cast<std::size_t>(item.length);
    if (item.keep_header) {
      // The header and the blank line that ends it stay.
      for (std::size_t i = start; i < end; ++i) {
        if (message[i] != '\n') continue;
        if (i + 2 < end && message[i + 1] == '\r' && message[i + 2] == '\n') {
          start = i + 3;
          break;
        }
        if (i + 1 < end && message[i + 1] == '\n') {
          start = i + 2;
          break;
        }
      }
    }
    ranges.push_back({start, end});
    new_length +=
        static_cast<std::int64_t>(item.text.size()) - static_cast<std::int64_t>(end - start);
  }
  if (new_length > INT_MAX - 1) return -1;

  char* buffer = static_cast<char*>(std::malloc(static_cast<std::size_t>(new_length) + 1));
  if (!buffer) return -1;
  std::size_t from = 0;
  std::size_t to = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::memcpy(buffer + to, message + from, ranges[i].start - from);
    to += ranges[i].start - from;
    std::memcpy(buffer + to, items[i].text.data(), items[i].text.size());
    to += items[i].text.size();
    from = ranges[i].end;
  }
  std::memcpy(buffer + to, message + from, static_cast<std::size_t>(length) - from);
  to += static_cast<std::size_t>(length) - from;
  buffer[to] = '\0';
  *rebuilt = buffer;
  return static_cast<int>(to);
}

int VIR_ScanParts(AVS_Context& ctx, int action, const MIME_Part* tree, const char* data, int length,
                  char** out, int* out_length) {
  std::vector<VIR_Replacement> items;
  int result = VIR_ScanTree(ctx, action, tree, items);
  if (out && out_length && action == AVS_ACTION_DELETE && result > 0 && data && !items.empty()) {
    int saved = errno;
    char* rebuilt = nullptr;
    int n = MIME_ReplaceParts(data, length, items, &rebuilt);
    *out_length = n;
    // The caller's own text stands for a message that could not be rebuilt.
    *out = rebuilt != nullptr ? rebuilt : const_cast<char*>(data);
    errno = saved;
  }
  return result;
}

int VIR_ScanMessage(AVS_Context& ctx, int action, const char* data, int length, char** out,
                    int* out_length) {
  if (!data || length < 0) return 0;
  // The parse writes into its text: it gets a NUL-terminated copy, whose
  // offsets agree with the caller's data.
  std::string copy(data, static_cast<std::size_t>(length));
  MIME_Env env;
  if (MIME_Init(env, copy.data(), copy.size(), 0, "big5") != 0) {
    errno = EINVAL;
    return -1;
  }
  env.options = kMimeDefaultOptions | kMimeMessagesWhole;
  int status = MIME_Parse(env);
  int result = VIR_ScanParts(ctx, action, &env.root, data, length, out, out_length);
  int saved = errno;
  MIME_Free(env);
  // A message nested too deep, or with too many parts, is not covered by its
  // parts: what the tree does not hold is scanned with the whole message.
  if ((status & (kMimeTooDeep | kMimeTooMany)) && result <= 0) {
    int whole = ScanWhole(ctx, action, data, length, out, out_length);
    if (whole > 0 || result == 0) return whole;
  }
  errno = saved;
  return result;
}

int VIR_Scan(AVS_Context& ctx, int action, const char* data, int length, MIME_Part* tree,
             char** out, int* out_length) {
  if (out) *out = nullptr;
  if (out_length) *out_length = 0;
  if (!ctx.loaded || !ctx.scan || (!data && !tree)) return 0;
  if (data && length < 0) {
    errno = EINVAL;
    return -1;
  }

  int result;
  if (ctx.ScanMode != AVS_SCAN_MIME) {
    result = data ? ScanWhole(ctx, action, data, length, out, out_length)
                  : VIR_ScanParts(ctx, action, tree, nullptr, 0, out, out_length);
    if (!(result == kEngineOtherMode && ctx.SecondaryScan)) return result;
  }
  result = tree ? VIR_ScanParts(ctx, action, tree, data, length, out, out_length)
                : VIR_ScanMessage(ctx, action, data, length, out, out_length);
  if (ctx.ScanMode == AVS_SCAN_MIME && result == kEngineOtherMode && ctx.SecondaryScan && data) {
    return ScanWhole(ctx, action, data, length, out, out_length);
  }
  return result;
}
