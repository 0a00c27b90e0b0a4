// The writers of the memo note store: new notes and deletions.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/attach/notes/memo_note.h"
#include "host/base/unique_fd.h"
#include "host/files/files.h"
#include "host/files/locked_rewrite.h"
#include "host/files/log.h"

namespace {

constexpr int kKeyTries = 100;

// A key of six letters and digits, different for every call of a process and
// from process to process (time and process id mixed in); the file is made
// exclusively, so a key that is taken is tried again with the next one.
std::string NewKey(int attempt) {
  static std::uint64_t counter = 0;
  std::uint64_t x = static_cast<std::uint64_t>(std::time(nullptr)) * 0x9e3779b97f4a7c15ULL ^
                    static_cast<std::uint64_t>(getpid()) << 20 ^ (counter++ << 8) ^
                    static_cast<std::uint64_t>(attempt);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string key(kMnoteNewKeyLength, '0');
  for (char& c : key) {
    c = kDigits[x % 36];
    x /= 36;
  }
  return key;
}

std::string IndexPath(const MNOTE_Context& context) {
  return context.path + "/.index";
}

RewriteOptions IndexRewrite(const MNOTE_Context& context) {
  RewriteOptions options;
  const std::string folder = context.path;
  options.temp_name = [folder](int attempt) {
    return StampedTempName(folder, ".index.new.", attempt);
  };
  options.mode = 0640;
  options.max_size = kMnoteMaxEntries * kMnoteEntrySize + kMnoteEntrySize - 1;
  return options;
}

// Writes the note's file under a new key: created exclusively, locked,
// written whole. Fills `key` and `mtime`; false when nothing could be made
// (nothing is left).
bool WriteNoteFile(const MNOTE_Context& context, std::string_view text, std::string& key,
                   std::uint32_t& mtime) {
  for (int attempt = 0; attempt < kKeyTries; ++attempt) {
    key = NewKey(attempt);
    const std::string path = context.path + "/" + key;
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
    if (!fd.ok() && errno == EEXIST) continue;
    if (!fd.ok()) {
      LOG_FileLine(ErrorLogPath(), "MNOTE_Add()->open(%s): %s", path.c_str(),
                   std::strerror(errno));
      return false;
    }
    struct stat st;
    bool ok = MFILE_Lock(fd.get(), kLockExclusive) == 0 &&
              WriteAll(fd.get(), text.data(), text.size()) && fstat(fd.get(), &st) == 0;
    ok = close(fd.release()) == 0 && ok;
    if (!ok) {
      LOG_FileLine(ErrorLogPath(), "MNOTE_Add(): writing %s failed: %s", path.c_str(),
                   std::strerror(errno));
      unlink(path.c_str());
      return false;
    }
    mtime = st.st_mtime < 0 ? 0 : static_cast<std::uint32_t>(st.st_mtime);
    return true;
  }
  LOG_FileLine(ErrorLogPath(), "MNOTE_Add(): no free key in %s", context.path.c_str());
  return false;
}

void DropEntries(MNOTE_Context& context) {
  context.entries.clear();
  context.count = 0;
}

}  // namespace

int MNOTE_Add(MNOTE_Context* context, const MNOTE_NewNote& note, std::string* key) {
  if (!context || context->path.empty()) return kMnoteRefused;
  if (note.title.size() >= kMnoteTitleSize || note.title.find('\0') != std::string_view::npos ||
      note.text.size() > UINT32_MAX) {
    return kMnoteRefused;
  }
  DropEntries(*context);
  MNOTE_Entry entry;
  if (!WriteNoteFile(*context, note.text, entry.key, entry.mtime)) return kMnoteFailed;
  entry.title = std::string(note.title);
  entry.length = static_cast<std::uint32_t>(note.text.size());
  entry.dated = note.dated ? 1 : 0;
  entry.charset = note.charset;
  const std::array<char, kMnoteEntrySize> bytes = MNOTE_EncodeEntry(entry);
  const std::string_view added(bytes.data(), bytes.size());
  const bool append = context->append == kMnoteAppendMode;

  bool full = false;
  RewriteResult result =
      LockedRewrite(IndexPath(*context), IndexRewrite(*context), [&](std::string& text) {
        const std::size_t whole = text.size() - text.size() % kMnoteEntrySize;
        full = whole / kMnoteEntrySize >= kMnoteMaxEntries;
        if (full) return false;
        if (append) {
          // The index as it stands, deleted entries included, and the new one.
          text.resize(whole);
          text += added;
          return true;
        }
        std::string out(added);
        for (std::size_t at = 0; at < whole; at += kMnoteEntrySize) {
          if (text[at] != '\0') out.append(text, at, kMnoteEntrySize);
        }
        text = std::move(out);
        return true;
      });
  if (!result.ok() || full) {
    LOG_FileLine(ErrorLogPath(), "MNOTE_Add(): the index of %s cannot take the note%s",
                 context->path.c_str(), full ? " (full)" : "");
    unlink((context->path + "/" + entry.key).c_str());
    return kMnoteFailed;
  }
  if (key) *key = entry.key;
  return kMnoteOk;
}

int MNOTE_Delete(MNOTE_Context* context, const char* key) {
  if (!context || context->path.empty() || !key || !MNOTE_KeyUsable(key)) return kMnoteRefused;
  DropEntries(*context);
  const std::string_view wanted = key;
  bool found = false;
  RewriteOptions options = IndexRewrite(*context);
  options.create = false;
  RewriteResult result = LockedRewrite(IndexPath(*context), options, [&](std::string& text) {
    found = false;
    const std::size_t whole = text.size() - text.size() % kMnoteEntrySize;
    for (std::size_t at = 0; at < whole; at += kMnoteEntrySize) {
      std::string_view field(text.data() + at, kMnoteKeySize);
      field = field.substr(0, field.find('\0'));
      if (field == wanted) {
        text[at] = '\0';
        found = true;
      }
    }
    return found;
  });
  if (!result.ok()) return kMnoteFailed;
  if (!found) return kMnoteNotFound;
  unlink((context->path + "/" + key).c_str());
  return kMnoteOk;
}
