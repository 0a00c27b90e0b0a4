// Uuencoded files inside text parts become parts of their own.
#include <algorithm>
#include <climits>
#include <cstring>

#include "common/mime/mime.h"
#include "common/mime/mime_internal.h"
#include "common/mime/types/content_type.h"
#include "host/base/pool.h"
#include "host/text/codecs.h"

namespace {

constexpr char kBegin[] = "begin ";
constexpr std::size_t kBeginLength = sizeof kBegin - 1;
// "begin ", the mode and the space after it take at most this many bytes.
constexpr std::size_t kBeginMax = 12;
constexpr std::size_t kNameMax = 127;

// The next "begin " at the text start or right after a newline.
char* FindBegin(char* text, char* from, char* end) {
  while (from < end) {
    auto* q = static_cast<char*>(
        memmem(from, static_cast<std::size_t>(end - from), kBegin, kBeginLength));
    if (q == nullptr) return nullptr;
    if (q == text || q[-1] == '\n') return q;
    from = q + 1;
  }
  return nullptr;
}

// A mode of 1 to 5000, read as a decimal number, without a line break.
bool ValidMode(const char* mode, const char* space) {
  if (std::memchr(mode, '\n', static_cast<std::size_t>(space - mode)) != nullptr) return false;
  long value = 0;
  for (const char* p = mode; p < space && *p >= '0' && *p <= '9'; ++p)
    value = value * 10 + (*p - '0');
  return value >= 1 && value <= 5000;
}

// The newline that starts the block's "end" line, and the line's length with
// its line break. The body's end serves as the line break of a last line.
char* FindEnd(char* from, char* end, std::size_t& length) {
  while (from < end) {
    auto* q = static_cast<char*>(memmem(from, static_cast<std::size_t>(end - from), "\nend", 4));
    if (q == nullptr) return nullptr;
    char* after = q + 4;
    if (after == end) {
      length = 4;
      return q;
    }
    if (after[0] == '\n') {
      length = 5;
      return q;
    }
    if (after[0] == '\r' && (after + 1 == end || after[1] == '\n')) {
      length = after + 1 == end ? 5 : 6;
      return q;
    }
    from = q + 1;
  }
  return nullptr;
}

int ClampInt(std::ptrdiff_t v) {
  if (v < 0) return 0;
  return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

}  // namespace

MIME_Part* MIME_TextUUExtract(MIME_Part* part, MIME_Env& env) {
  MIME_Part* after = part->next;
  MIME_Header* text_header = part->header;
  if (part->length == 0 && text_header != nullptr) text_header->filename = nullptr;
  if (part->body == nullptr || part->body_length <= 0) return part;
  const int code = text_header != nullptr ? text_header->charset_code : 0;
  char* text = part->body;
  char* end = text + part->body_length;
  MIME_Part* last = part;
  bool first = true;
  for (char* p = text; p < end;) {
    char* begin = FindBegin(text, p, end);
    if (begin == nullptr) break;
    char* mode = begin + kBeginLength;
    std::size_t window = std::min(kBeginMax - kBeginLength, static_cast<std::size_t>(end - mode));
    auto* space = static_cast<char*>(std::memchr(mode, ' ', window));
    if (space == nullptr || !ValidMode(mode, space)) {
      p = begin + 1;
      continue;
    }
    auto* eol = static_cast<char*>(
        std::memchr(space + 1, '\n', static_cast<std::size_t>(end - (space + 1))));
    if (eol == nullptr) break;
    std::size_t end_length = 0;
    char* end_line = FindEnd(eol, end, end_length);
    if (end_line == nullptr) break;  // no end: the rest stays text
    MIME_Part* added = MIME_NewPart(env);
    if (added == nullptr) break;

    char* name_end = eol > space + 1 && eol[-1] == '\r' ? eol - 1 : eol;
    std::size_t name_length = std::min(kNameMax, static_cast<std::size_t>(name_end - (space + 1)));
    char* name = PoolStrDup(env.pool, space + 1, name_length);

    // Cut the text part at the begin line; the block's lines become the body.
    *begin = '\0';
    *end_line = '\0';
    if (first) {
      part->body_length = ClampInt(begin - text);
      first = false;
    }
    char* body = end_line > eol ? eol + 1 : end_line;
    std::size_t length = static_cast<std::size_t>(end_line - body);
    std::size_t decoded = std::min(MTX_UUDec(body, length), length);
    body[decoded] = '\0';

    MIME_Header* h = MIME_NewHeader(env);
    added->header = h;
    added->header_start = begin;
    added->header_end = eol;
    added->body = body;
    added->end = end_line;
    added->body_length = static_cast<int>(decoded);
    added->offset = ClampInt(begin - env.message_start);
    added->length = ClampInt(std::min(end_line + 5, end) - begin);
    h->encoding = kEncodingNone;
    h->cls = kClassOther;
    if (code == 1 || code == 4) name = MIME_NameToSjis(env, name, code);
    // The name is made safe here: the walk does not name these parts again.
    h->filename = MIME_SafeName(env, name, MIME_SchemeOfCode(code));
    MIME_Number(h, env);
    env.found |= kMimeFoundName;
    const char* guess = CT_Guess(body, decoded, h->filename);
    h->content_type = PoolStrDup(env.pool, guess, std::strlen(guess));
    h->cls = static_cast<unsigned char>(MIME_ClassOf(h->content_type, true));

    last->next = added;
    last = added;
    p = end_line + end_length;
  }
  last->next = after;
  return last;
}
