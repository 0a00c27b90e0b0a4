// attachtool note-add, note-list: the memo note store of a user, written and
// read with the store's own rules.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

#include "attachtool.h"
#include "common/attach/notes/memo_note.h"
#include "host/charset/charset.h"
#include "host/files/files.h"

namespace {

// A charset number, or a name MLC_CharsetWEncToValue knows; -1 otherwise.
int CharsetArgument(const char* text) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*text && end && *end == '\0') return value >= 0 && value <= 255 ? static_cast<int>(value) : -1;
  int named = MLC_CharsetWEncToValue(text);
  return named > 0 ? named : -1;
}

int OpenFolder(const char* user, const char* folder, int mode, MNOTE_Context& context,
               bool make) {
  std::string path;
  int found = make ? MNOTE_FolderMake(user, folder, path) : MNOTE_FolderPath(user, folder, path);
  if (found != kMnoteExists && found != kMnoteOk) {
    std::fprintf(stderr, "attachtool: no note folder \"%s\" of %s (%d)\n", folder, user, found);
    return 1;
  }
  if (MNOTE_Open(&context, path.c_str(), mode) != kMnoteOk) {
    std::fprintf(stderr, "attachtool: the note folder path %s is too long\n", path.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

// note-add [--dated] [--append] [--charset CHARSET] USER FOLDER TITLE [FILE]
int NoteAddCommand(int argc, char** argv) {
  MNOTE_NewNote note;
  int mode = 0;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    std::string_view option = argv[i];
    if (option == "--dated") {
      note.dated = true;
    } else if (option == "--append") {
      mode = kMnoteOpenAppend;
    } else if (option == "--charset" && i + 1 < argc) {
      int value = CharsetArgument(argv[++i]);
      if (value < 0) return UsageError("note-add");
      note.charset = static_cast<std::uint8_t>(value);
    } else {
      return UsageError("note-add");
    }
  }
  if (argc - i != 3 && argc - i != 4) return UsageError("note-add");
  const char* user = argv[i];
  const char* folder = argv[i + 1];
  note.title = argv[i + 2];
  std::string text;
  if (argc - i == 4) {
    if (MFILE_Read(argv[i + 3], text) < 0) {
      std::fprintf(stderr, "attachtool: cannot read %s\n", argv[i + 3]);
      return 1;
    }
  } else {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  note.text = text;

  MNOTE_Context context;
  if (int failed = OpenFolder(user, folder, mode, context, true)) return failed;
  std::string key;
  int added = MNOTE_Add(&context, note, &key);
  MNOTE_Close(&context);
  if (added != kMnoteOk) {
    std::fprintf(stderr, "attachtool: the note was not added (%d)%s\n", added,
                 added == kMnoteRefused ? ": the title is too long" : "");
    return 1;
  }
  std::printf("%s\n", key.c_str());
  return 0;
}

// note-list USER [FOLDER]
int NoteListCommand(int argc, char** argv) {
  if (argc != 2 && argc != 3) return UsageError("note-list");
  MNOTE_Context context;
  if (int failed = OpenFolder(argv[1], argc == 3 ? argv[2] : "", 0, context, false)) return failed;
  int loaded = MNOTE_Load(&context);
  if (loaded != kMnoteOk) {
    std::fprintf(stderr, "attachtool: the index of %s cannot be read (%d)\n",
                 context.path.c_str(), loaded);
    return 1;
  }
  for (const MNOTE_Entry& e : context.entries) {
    std::printf("%s\t%u\t%u\t%u\t%u\t%s\n", e.deleted() ? "-" : OneLineField(e.key).c_str(), e.dated,
                e.charset, e.length, e.mtime, OneLineField(e.title).c_str());
  }
  MNOTE_Close(&context);
  return 0;
}
