// Reads the input as a memo note index: decoded in memory and loaded from a
// folder, every field stays inside its slot and both give the same entries;
// a key reaches only a regular file of the folder named exactly by an entry;
// the writers keep the layout (a note added at the front or the end, then
// deleted) over whatever index they find.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "common/attach/notes/memo_note.h"
#include "fuzz/support/fuzz_files.h"

namespace {

using fuzz_support::Check;

constexpr char kNoteText[] = "the note";
constexpr std::size_t kMaxReads = 64;

bool SameEntry(const MNOTE_Entry& a, const MNOTE_Entry& b) {
  return a.key == b.key && a.title == b.title && a.mtime == b.mtime && a.length == b.length &&
         a.dated == b.dated && a.byte465 == b.byte465 && a.charset == b.charset &&
         a.tail == b.tail;
}

MNOTE_Context Load(const std::string& folder) {
  MNOTE_Context context;
  Check(MNOTE_Open(&context, folder.c_str(), 0) == kMnoteOk, "open");
  Check(MNOTE_Load(&context) == kMnoteOk, "load");
  return context;
}

// Adds a note in `mode`, checks where its entry went, and deletes it again.
void AddAndDelete(const std::string& folder, const std::string& input, int mode,
                  std::size_t live) {
  fuzz_support::WriteInput(folder + "/.index", reinterpret_cast<const std::uint8_t*>(input.data()),
                           input.size());
  MNOTE_Context context;
  MNOTE_Open(&context, folder.c_str(), mode);
  std::string key;
  Check(MNOTE_Add(&context, {"new", kNoteText, false, 0}, &key) == kMnoteOk, "add");
  context = Load(folder);
  const std::size_t whole = input.size() / kMnoteEntrySize;
  const bool append = mode == kMnoteOpenAppend;
  Check(context.count == (append ? whole : live) + 1, "entries after an add");
  Check((append ? context.entries.back() : context.entries.front()).key == key, "added entry");
  Check(std::filesystem::file_size(folder + "/.index") % kMnoteEntrySize == 0, "partial entry");
  MNOTE_Open(&context, folder.c_str(), 0);
  Check(MNOTE_Delete(&context, key.c_str()) == kMnoteOk, "delete");
  Check(access((folder + "/" + key).c_str(), F_OK) != 0, "deleted note's file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz_support::TempDir dir("memo_note_fuzz");
  static const std::string folder = [] {
    std::string f = dir.File("notes");
    mkdir(f.c_str(), 0700);
    fuzz_support::WriteInput(f + "/n1", reinterpret_cast<const std::uint8_t*>(kNoteText),
                             sizeof kNoteText - 1);
    symlink("n1", (f + "/n2").c_str());
    mkdir((f + "/d").c_str(), 0700);
    return f;
  }();
  const std::string input(reinterpret_cast<const char*>(data), size);

  const std::vector<MNOTE_Entry> parsed = MNOTE_ParseIndex(input);
  Check(parsed.size() == size / kMnoteEntrySize, "entry count");
  std::size_t live = 0;
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    const MNOTE_Entry& e = parsed[i];
    Check(e.key.size() <= kMnoteKeySize && e.title.size() <= kMnoteTitleSize, "field past its slot");
    Check(e.deleted() == (input[i * kMnoteEntrySize] == '\0'), "deleted flag");
    live += e.deleted() ? 0 : 1;
    auto bytes = MNOTE_EncodeEntry(e);
    std::vector<MNOTE_Entry> again = MNOTE_ParseIndex(std::string_view(bytes.data(), bytes.size()));
    Check(again.size() == 1 && SameEntry(again[0], e), "entry round trip");
  }

  fuzz_support::WriteInput(folder + "/.index", data, size);
  MNOTE_Context context = Load(folder);
  Check(context.count == parsed.size(), "loaded count");
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    Check(SameEntry(context.entries[i], parsed[i]), "loaded entry");
  }
  for (std::size_t i = 0; i < std::min(parsed.size(), kMaxReads); ++i) {
    std::string text;
    const std::string& key = parsed[i].key;
    int answer = MNOTE_Read(&context, key.c_str(), nullptr, &text);
    Check(answer != kMnoteOk || key == "n1", "a note read that is no regular file of the folder");
    Check(answer != kMnoteOk || text == kNoteText, "note text");
    Check(MNOTE_Read(&context, (key + "x").c_str(), nullptr, &text) != kMnoteOk ||
              std::any_of(parsed.begin(), parsed.end(),
                          [&](const MNOTE_Entry& e) { return e.key == key + "x"; }),
          "a key matched beyond its entry");
  }

  AddAndDelete(folder, input, 0, live);
  AddAndDelete(folder, input, kMnoteOpenAppend, live);
  return 0;
}
