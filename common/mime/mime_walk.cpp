// The decoding walk: bodies, charsets and header fields of every part.
#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/mime/mime.h"
#include "common/mime/mime_internal.h"
#include "common/mime/types/content_type.h"
#include "host/account/safe_name.h"
#include "host/base/pool.h"
#include "host/charset/charset.h"
#include "host/charset/japanese.h"
#include "host/text/codecs.h"
#include "host/text/mail/encoded_words.h"
#include "host/text/tokens.h"

namespace {

struct CharsetPrefix {
  const char* prefix;
  int code;
};

// Charset codes by name prefix, ignoring case.
constexpr CharsetPrefix kCharsetCodes[] = {
    {"iso-2022-jp", 1}, {"big5", 2},       {"utf-8", 3},      {"euc-jp", 4},     {"utf-7", 5},
    {"iso-8859-1", 6},  {"iso-8859-2", 7}, {"iso-8859-3", 8}, {"iso-8859-4", 9},
};

int ClampInt(std::ptrdiff_t v) {
  if (v < 0) return 0;
  return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

bool InText(const MIME_Env& env, const char* p) {
  return p != nullptr && env.message_start != nullptr && p >= env.message_start &&
         p <= env.text_end;
}

bool JapaneseOn(const MIME_Env& env) {
  return (env.jconv & 1) != 0;
}

void CopyName(char (&dst)[16], const char* src) {
  std::strncpy(dst, src, sizeof dst - 1);
  dst[sizeof dst - 1] = '\0';
}

bool EndsWithNoCase(const char* text, const char* suffix) {
  if (text == nullptr) return false;
  std::size_t n = std::strlen(text), m = std::strlen(suffix);
  return n >= m && MIME_Begins(text + n - m, suffix);
}

// Points the header's content fields and message index from a field's old
// value to its new one.
void ReplaceValue(MIME_Header* h, MIME_HeaderField* f, char* value) {
  const char* old = f->value;
  for (const char** slot : {&h->content_type, &h->transfer_encoding, &h->content_base,
                            &h->disposition, &h->description, &h->content_id, &h->content_location,
                            &h->content_md5, &h->content_language, &h->x_content_type}) {
    if (*slot == old) *slot = value;
  }
  if (h->index != nullptr) {
    for (int i = 0; i < kIndexSlots; ++i) {
      if (h->index[i] == old) h->index[i] = value;
    }
  }
  f->value = value;
}

bool SameCharset(const char* a, const std::string& b) {
  int va = MLC_CharsetWEncToValue(a), vb = MLC_CharsetWEncToValue(b);
  if (va != 0 && vb != 0) return va == vb;
  return std::strlen(a) == b.size() && MIME_Begins(a, b.c_str());
}

// A body decoded in place by its transfer encoding.
void DecodeBody(MIME_Part* part, MIME_Env& env) {
  MIME_Header* h = part->header;
  char* body = part->body;
  const std::size_t length = static_cast<std::size_t>(part->body_length);
  std::size_t n = length;
  if (h->encoding == kEncodingBase64 && (env.options & kMimeDecodeBase64) != 0) {
    n = MTX_Base64Dec(body, length);
  } else if (h->encoding == kEncodingQp && (env.options & kMimeDecodeQp) != 0) {
    n = MTX_QPDec(body, length);
  } else if (h->encoding == kEncodingUu && (env.options & kMimeDecodeUu) != 0) {
    char raw[256];
    n = MTX_UUDec2(body, length, raw, sizeof raw);
    if (raw[0] != '\0') {
      char* name = PoolStrDup(env.pool, raw, std::strlen(raw));
      std::string words = MSTR_Decode(name);
      if (MIME_Begins(words.c_str(), "iso-2022-jp")) name = MIME_NameToSjis(env, name, 1);
      if (MIME_Begins(words.c_str(), "euc-jp")) name = MIME_NameToSjis(env, name, 4);
      h->filename = name;
      MIME_AddName(env, name);
      env.found |= kMimeFoundName;
      MIME_Number(h, env);
    }
  }
  if (n > length) n = length;
  if (n < length) body[n] = '\0';
  part->body_length = static_cast<int>(n);
}

// The charset parameter of the content type and its code.
void ReadCharset(MIME_Part* part, MIME_Env& env) {
  MIME_Header* h = part->header;
  if (h->content_type == nullptr) return;
  // From its first mention, so "type;charset=x" without a space is found.
  if (const char* at = MLG_LocStrCase(h->content_type, "charset")) {
    MLG_TokVal(at, "charset", " \n\t", "=", " \n\t;", '"', h->charset_name, sizeof h->charset_name);
  }
  const int fallback = MIME_DefaultCode(env);
  h->charset_code = MIME_CharsetCode(h->charset_name, fallback);
  if (h->charset_code != fallback) env.charset_summary = h->charset_code;
  if (h->charset_code >= 6 && h->charset_code <= 9) MIME_CharsetCheck(part, env);
}

// Header fields in several charsets: everything becomes UTF-8.
void ConvertMixed(MIME_Part* part, MIME_Env& env) {
  MIME_Header* h = part->header;
  for (MIME_HeaderField* f = h->fields; f != nullptr; f = f->next) {
    if (f->charset_value == 0 || f->value == nullptr) continue;
    std::string out;
    if (MLC_Text2UTF8(f->value, out, f->charset_value) != 0) continue;
    ReplaceValue(h, f, PoolStrDup(env.pool, out.data(), out.size()));
    f->charset_value = kCharsetUtf8;
  }
  char former[16];
  std::memcpy(former, h->charset_name, sizeof former);
  const char* utf8 = MLC_CharsetToMEncName(kCharsetUtf8);
  if (*utf8 != '\0') CopyName(h->charset_name, utf8);
  if ((h->cls != kClassText && h->cls != kClassHtml) || part->body_length < 1) return;

  std::string_view in(part->body, static_cast<std::size_t>(part->body_length));
  int from = MLC_CharsetWEncToValue(former);
  std::string sjis;
  if (JapaneseOn(env) && MIME_Begins(former, "iso-2022-jp")) {
    std::size_t n = MLG_JPJis2Sjis(part->body, in.size());
    part->body[n] = '\0';
    part->body_length = static_cast<int>(n);
    part->end = part->body + n;
    in = std::string_view(part->body, n);
    from = kCharsetShiftJis;
  } else if (JapaneseOn(env) && MIME_Begins(former, "euc-jp") && MLG_JPEuc2Sjis(in, sjis) == 0) {
    in = sjis;
    from = kCharsetShiftJis;
  }
  std::string out;
  if (MLC_Text2UTF8(in, out, from) != 0 || out == in) return;
  part->body = PoolStrDup(env.pool, out.data(), out.size());
  part->body_length = static_cast<int>(out.size());
  part->end = part->body + out.size();
  CopyName(h->charset_name, "utf-8");
}

// Text bodies in ISO-2022-JP or EUC-JP become Shift_JIS.
void JapaneseBody(MIME_Part* part, MIME_Env& env) {
  MIME_Header* h = part->header;
  if (!JapaneseOn(env) || !MIME_Begins(h->content_type, "text") || part->body_length < 1) return;
  const std::size_t length = static_cast<std::size_t>(part->body_length);
  if (h->charset_code == 1) {
    std::size_t n = MLG_JPJis2Sjis(part->body, length);
    if (n > length) n = length;
    part->body[n] = '\0';
    part->body_length = static_cast<int>(n);
    part->end = part->body + n;
  } else if (h->charset_code == 4) {
    std::string out;
    if (MLG_JPEuc2Sjis(std::string_view(part->body, length), out) != 0) return;
    part->body = PoolStrDup(env.pool, out.data(), out.size());
    part->body_length = static_cast<int>(out.size());
    part->end = part->body + out.size();
  }
}

// One part of the walk (everything but its children). `next` is the part the
// walk goes on with.
void WalkPart(MIME_Part* part, MIME_Env& env, MIME_Part*& next) {
  const bool in_text = InText(env, part->header_start) && InText(env, part->end);
  if (part->offset == 0 && InText(env, part->header_start)) {
    part->offset = ClampInt(part->header_start - env.message_start);
  }
  if (part->length == 0 && in_text) part->length = ClampInt(part->end - part->header_start);
  if (InText(env, part->body) && InText(env, part->end)) {
    part->body_length = ClampInt(part->end - part->body);
  }
  MIME_Header* h = part->header;
  if (h == nullptr || part->length <= 0) return;
  const int options = env.options;

  if (part->body_length < 1) {
    // An empty (or inverted) body becomes a text of its own, so that nothing
    // later writes through it into a neighbour.
    part->body = static_cast<char*>(my_Xalloc(env.pool, 1));
    part->body_length = 0;
  } else {
    if (InText(env, part->end)) *part->end = '\0';
    if (!MIME_Begins(h->content_type, "multipart")) DecodeBody(part, env);
    ReadCharset(part, env);
    if ((options & kMimeSplitUu) != 0 && MIME_Begins(h->content_type, "text")) {
      MIME_TextUUExtract(part, env);
    }
  }

  if ((options & kMimeDecodeHeaders) != 0) {
    int mixed = MIME_HeaderDecode(h, env);
    if (mixed != 0 && (options & kMimeMixedToUtf8) != 0) ConvertMixed(part, env);
    h->charset_code = MIME_CharsetCode(h->charset_name, h->charset_code);
  }

  MIME_PartName(h, env);

  if ((options & kMimeExpandTnef) != 0 && h->cls == kClassTnef && env.tnef_expand != nullptr) {
    // The walk goes on with the part's former next sibling: the added parts
    // are complete, and their bodies are files' bytes inside the TNEF part's
    // body, whose lengths must not be recomputed from the text's pointers.
    env.tnef_expand(part, env);
  }

  if ((options & kMimeRefineClasses) != 0) {
    if (h->cls == kClassOther) {
      MIME_Retype(h, part->body, static_cast<std::size_t>(part->body_length));
    } else if (h->cls == kClassText && EndsWithNoCase(h->filename, ".vcf")) {
      h->cls = kClassVcard;
    }
  }

  JapaneseBody(part, env);
}

// In a multipart/alternative, inline text and HTML are the message, not files.
void AfterChildren(MIME_Part* part) {
  if (part->header == nullptr || part->header->cls != kClassAlternative) return;
  for (MIME_Part* c = part->child; c != nullptr; c = c->next) {
    MIME_Header* h = c->header;
    if (h == nullptr || (h->cls != kClassText && h->cls != kClassHtml)) continue;
    if (MIME_Begins(h->disposition, "inline")) h->filename = nullptr;
  }
}

}  // namespace

int MIME_CharsetCode(const char* name, int fallback) {
  if (name == nullptr) return fallback;
  for (const CharsetPrefix& row : kCharsetCodes) {
    if (MIME_Begins(name, row.prefix)) return row.code;
  }
  return fallback;
}

int MIME_CodeOfValue(int value) {
  switch (value) {
    case kCharsetIso2022Jp:
      return 1;
    case kCharsetBig5:
      return 2;
    case kCharsetUtf8:
      return 3;
    case kCharsetIso8859_1:
      return 6;
    case kCharsetIso8859_2:
      return 7;
    case kCharsetIso8859_3:
      return 8;
    case kCharsetIso8859_4:
      return 9;
    default:
      return 0;
  }
}

int MIME_SchemeOfCode(int code) {
  switch (code) {
    case 1:
    case 4:
      return kSchemeShiftJis;  // such names are converted first
    case 2:
      return kSchemeBig5;
    case 3:
    case 5:
      return kSchemeUtf8;
    default:
      return kSchemeSingleByte;
  }
}

int MIME_DefaultCode(const MIME_Env& env) {
  return env.default_iso2022jp != 0 ? 1 : 0;
}

int MIME_HeaderDecode(MIME_Header* h, MIME_Env& env) {
  int mixed = 0;
  for (MIME_HeaderField* f = h->fields; f != nullptr; f = f->next) {
    if (f->value == nullptr) continue;
    std::string words = MSTR_Decode(f->value);
    if (!words.empty()) {
      f->charset_value = MLC_CharsetWEncToValue(words);
      if (h->charset_name[0] == '\0') {
        CopyName(h->charset_name, words.c_str());
      } else if (!SameCharset(h->charset_name, words)) {
        mixed = 1;
      }
    }
    if (!JapaneseOn(env)) continue;
    int code = 0;
    if (MIME_Begins(words.c_str(), "iso-2022-jp")) {
      code = 1;
    } else if (MIME_Begins(words.c_str(), "euc-jp")) {
      code = 4;
    } else if (h->charset_code == 1 || h->charset_code == 4) {
      code = h->charset_code;
    }
    if (code == 0) continue;
    std::string before = f->value;
    char* converted = MIME_NameToSjis(env, f->value, code);
    if (converted != f->value) ReplaceValue(h, f, converted);
    // The bytes are Shift_JIS now; a later conversion must start from there.
    if (f->charset_value == kCharsetIso2022Jp || f->charset_value == kCharsetEucJp ||
        before != f->value) {
      f->charset_value = kCharsetShiftJis;
    }
  }
  return mixed;
}

void MIME_CharsetCheck(MIME_Part* part, MIME_Env& env) {
  const auto* s = reinterpret_cast<const unsigned char*>(part->body);
  const std::size_t n = part->body_length > 0 ? static_cast<std::size_t>(part->body_length) : 0;
  auto in = [](unsigned c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; };
  for (std::size_t i = 0; i < n;) {
    // Runs of ASCII eight bytes at a time.
    if (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (i + 1 < n) {
      unsigned d = s[i + 1];
      bool pair =
          (in(c, 0x81, 0xfe) && (in(d, 0x40, 0x7e) || in(d, 0xa1, 0xfe))) ||
          (in(c, 0xa1, 0xf7) && in(d, 0xa1, 0xfe)) ||
          ((in(c, 0x81, 0x9f) || in(c, 0xe0, 0xef)) && (in(d, 0x40, 0x7e) || in(d, 0x80, 0xfc)));
      if (pair) {
        i += 2;
        continue;
      }
    }
    return;  // a real single-byte character: the charset stays
  }
  part->header->charset_name[0] = '\0';
  part->header->charset_code = MIME_DefaultCode(env);
}

void MIME_Retype(MIME_Header* h, const char* body, std::size_t length) {
  if (!MIME_Begins(h->content_type, "application/octet-stream")) return;
  const char* guess = CT_Guess(body, length, h->filename);
  if (MIME_Begins(guess, "image/tiff")) {
    h->cls = kClassTiff;
  } else if (MIME_Begins(guess, "image")) {
    h->cls = kClassImage;
  } else if (MIME_Begins(guess, "video")) {
    h->cls = kClassVideo;
  } else if (MIME_Begins(guess, "audio")) {
    h->cls = kClassAudio;
  } else if (MIME_Begins(guess, "application/x-shockwave-flash")) {
    h->cls = kClassFlash;
  }
}

void MIME_DecodeWalk(MIME_Part* first, MIME_Env& env) {
  // The tree is walked with a stack of its own: a parent waits here, with
  // the sibling to go on with, while its children are walked.
  struct Waiting {
    MIME_Part* parent;
    MIME_Part* resume;
  };
  std::vector<Waiting> stack;
  MIME_Part* part = first;
  for (;;) {
    while (part != nullptr) {
      MIME_Part* next = part->next;  // noted before the part can add siblings
      WalkPart(part, env, next);
      const MIME_Header* h = part->header;
      bool skip = h != nullptr && h->cls == kClassMessage && (env.options & kMimeSkipMessages) != 0;
      if (part->child != nullptr && !skip) {
        stack.push_back({part, next});
        part = part->child;
      } else {
        part = next;
      }
    }
    if (stack.empty()) return;
    Waiting w = stack.back();
    stack.pop_back();
    AfterChildren(w.parent);
    part = w.resume;
  }
}
