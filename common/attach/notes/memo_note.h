// The memo note store below a user's home. The note root "<home>/note" and
// every folder below it hold one file per note, named by the note's key, and
// the index ".index": 512-byte entries without a header (little-endian
// numbers):
//
//   offset size field
//        0    8 key      NUL-terminated file name; first byte 0: deleted
//        8  448 title    NUL-terminated title
//      456    4 mtime    modification time, seconds since 1970
//      460    4 length   length of the note's text in bytes
//      464    1 dated    non-zero: named by its time, not by a title
//      465    1 -        kept as read
//      466    1 charset  charset number of the text (0: none given)
//      467   45 -        kept as read
//
// The memo pages of the suite maintain the store; the attachment window reads
// it, and the writers here keep the same rules (tools, tests, the demo):
// note files are created exclusively with mode 0640 under an exclusive lock,
// the index is rewritten whole under an exclusive lock (deleted entries and a
// trailing partial entry dropped), except that in append mode a new entry
// goes to the end of the index as it stands; a deleted note loses its file
// and the first byte of its key. Readers lock the index and a note's file
// shared while they read them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kMnoteEntrySize = 512;
inline constexpr std::size_t kMnoteKeySize = 8;
inline constexpr std::size_t kMnoteTitleSize = 448;
inline constexpr std::size_t kMnoteKeyOffset = 0;
inline constexpr std::size_t kMnoteTitleOffset = 8;
inline constexpr std::size_t kMnoteMtimeOffset = 456;
inline constexpr std::size_t kMnoteLengthOffset = 460;
inline constexpr std::size_t kMnoteDatedOffset = 464;
inline constexpr std::size_t kMnoteByte465Offset = 465;
inline constexpr std::size_t kMnoteCharsetOffset = 466;
inline constexpr std::size_t kMnoteTailOffset = 467;
inline constexpr std::size_t kMnoteTailSize = 45;

// The longest folder path a context holds, after its one leading "/".
inline constexpr std::size_t kMnotePathRest = 242;
// The longest path "<root>/<folder>" a folder name may make.
inline constexpr std::size_t kMnoteFolderPathMax = 511;
// An index with more entries is refused rather than read (32 MiB).
inline constexpr std::size_t kMnoteMaxEntries = 65536;
// Keys the writers make: six letters and digits.
inline constexpr std::size_t kMnoteNewKeyLength = 6;

// Answers of the store's functions.
inline constexpr int kMnoteOk = 0;           // also: the note root was just made
inline constexpr int kMnoteFailed = -1;      // a file could not be read or written
inline constexpr int kMnoteRefused = -2;     // bad argument; a folder outside the root
inline constexpr int kMnoteNotFound = -3;    // no such folder, note or entry
inline constexpr int kMnoteExists = -4;      // the folder (or the root) is there

// MNOTE_Open's mode bit that makes new notes go to the end of the index.
inline constexpr int kMnoteOpenAppend = 1;
inline constexpr unsigned char kMnoteAppendMode = 0xAC;

// One index entry, decoded field by field. `key` and `title` hold their
// field's bytes up to the first NUL (all of them when there is none).
struct MNOTE_Entry {
  std::string key;  // empty: the entry is deleted
  std::string title;
  std::uint32_t mtime = 0;
  std::uint32_t length = 0;
  std::uint8_t dated = 0;
  std::uint8_t byte465 = 0;
  std::uint8_t charset = 0;
  std::array<std::uint8_t, kMnoteTailSize> tail{};

  bool deleted() const { return key.empty(); }
};

// One open folder.
struct MNOTE_Context {
  std::vector<MNOTE_Entry> entries;  // the loaded index; empty when none is loaded
  unsigned count = 0;                // entries.size()
  std::string path;                  // "/..." without a trailing "/"; empty when closed
  unsigned char append = 0;          // kMnoteAppendMode: new notes go to the end
};

// ---- The layout.

// Decodes the whole entries of an index file's bytes (a trailing partial
// entry is left out).
std::vector<MNOTE_Entry> MNOTE_ParseIndex(std::string_view bytes);

// The 512 bytes of an entry: key and title cut to their fields, each ending
// in NUL when it is shorter than its field.
std::array<char, kMnoteEntrySize> MNOTE_EncodeEntry(const MNOTE_Entry& entry);

// True when `key` can name a note's file in its folder: 1 to 8 bytes, no "/",
// no control byte, neither "." nor ".." nor ".index".
bool MNOTE_KeyUsable(std::string_view key);

// ---- Folders.

// The note root of a user as it stands (symbolic links resolved), without
// making it; nullopt when it does not exist or the user id is not valid.
std::optional<std::string> MNOTE_RootPath(std::string_view user_id);

// Resolves the user's note root, making it (mode 0775) when it is missing,
// and with a non-empty `folder` the folder "<root>/<folder>", into `out`.
// kMnoteExists: the folder (or, without one, the root) is there;
// kMnoteOk: the root was just made (no folder given); kMnoteNotFound: no such
// folder (`out` holds the path it would have); kMnoteRefused: no valid user
// id, or a folder name that is absolute, too long, or leads outside the root
// (by ".." or a link: a folder lies inside only when it is the root or below
// root + "/"); kMnoteFailed: the root could not be made.
int MNOTE_FolderPath(std::string_view user_id, std::string_view folder, std::string& out);

// Makes the folder `folder` and the folders above it below the user's note
// root (mode 0775), as MNOTE_FolderPath resolves names: kMnoteExists with
// its path in `out`, kMnoteRefused for a name with an empty, "." or ".."
// component or a control byte, or one leading outside, kMnoteFailed when a
// folder could not be made.
int MNOTE_FolderMake(std::string_view user_id, std::string_view folder, std::string& out);

struct MNOTE_Folder {
  std::string name;   // below the root, "" for the root itself
  std::string path;   // as MNOTE_FolderPath resolves it
  unsigned notes = 0; // entries that are not deleted
};

// The user's folders: the root first, then the folders below it, each
// followed by those below it, in byte order of their names. Symbolic links
// are not followed; at most kMnoteMaxFolders folders, kMnoteMaxDepth deep.
// Nothing is made: empty when the user has no note root.
inline constexpr std::size_t kMnoteMaxFolders = 500;
inline constexpr int kMnoteMaxDepth = 8;
std::vector<MNOTE_Folder> MNOTE_Folders(std::string_view user_id);

// True when some folder of the user's store holds a note (nothing is made).
bool MNOTE_HasNotes(std::string_view user_id);

// ---- Reading a folder.

// Clears the context and stores the folder path: leading "/" characters
// dropped, one "/" put in front, trailing "/" characters removed (never the
// first). kMnoteOk; kMnoteRefused for a null context or path, or a path
// longer than kMnotePathRest after its "/" (never cut to another folder's).
// `mode` kMnoteOpenAppend stores the append mode.
int MNOTE_Open(MNOTE_Context* context, const char* path, int mode);

// Loads the folder's index. kMnoteOk, also for a folder without an index (no
// entries); kMnoteNotFound when the folder does not exist; kMnoteRefused for
// a null or closed context or one already holding entries (they stay);
// kMnoteFailed when the index cannot be read, is not a regular file, or
// holds more than kMnoteMaxEntries entries (logged).
int MNOTE_Load(MNOTE_Context* context);

// The position of the first entry whose key equals `key`, and its address in
// `entry` when asked. kMnoteRefused for a null context or key;
// kMnoteNotFound when nothing is loaded or no entry matches.
int MNOTE_Find(const MNOTE_Context* context, const char* key, const MNOTE_Entry** entry);

// Copies the entry at `position` into `entry` when given, and reads the
// note's file into `text` when given: opened without following a link,
// refused unless it is a regular file, read whole under a shared lock; a
// missing file is never made. kMnoteOk; kMnoteRefused for a null or closed
// context; kMnoteNotFound when nothing is loaded, the position is not one of
// the entries, the entry is deleted or its key cannot name a file;
// kMnoteFailed when the file cannot be read.
int MNOTE_Get(const MNOTE_Context* context, long position, MNOTE_Entry* entry, std::string* text);

// MNOTE_Find, then MNOTE_Get at the position found; the first negative
// answer is passed on.
int MNOTE_Read(const MNOTE_Context* context, const char* key, MNOTE_Entry* entry,
               std::string* text);

// Forgets the entries and the path. A null or closed context is left alone.
void MNOTE_Close(MNOTE_Context* context);

// ---- Writing a folder (the store's rules above).

struct MNOTE_NewNote {
  std::string_view title;  // at most kMnoteTitleSize - 1 bytes, no NUL
  std::string_view text;
  bool dated = false;
  std::uint8_t charset = 0;
};

// Adds a note to the open folder under a new key (written to `key` when
// given): its file first, then its entry, at the front of the index, or at
// its end in append mode. The context's loaded entries are dropped (load
// again to see the note). kMnoteOk; kMnoteRefused for a closed context or a
// title that does not fit; kMnoteFailed when a file could not be written
// (nothing of the note is left) or the index is full.
int MNOTE_Add(MNOTE_Context* context, const MNOTE_NewNote& note, std::string* key);

// Deletes the note `key` of the open folder: clears the first byte of its
// entry's key, then removes its file. The context's loaded entries are
// dropped. kMnoteOk; kMnoteNotFound when no entry holds the key;
// kMnoteRefused for a closed context or a key that cannot name a file;
// kMnoteFailed when the index cannot be rewritten.
int MNOTE_Delete(MNOTE_Context* context, const char* key);
