// File names and numbers of parts.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/mime/mime.h"
#include "common/mime/mime_internal.h"
#include "common/mime/types/content_type.h"
#include "host/account/safe_name.h"
#include "host/base/ascii.h"
#include "host/base/pool.h"
#include "host/charset/japanese.h"
#include "host/text/tokens.h"

namespace {

// Names and safe names are at most this long, NUL included.
constexpr std::size_t kNameSize = 512;
// RFC 2231 segments numbered beyond this are ignored.
constexpr int kMaxSegments = 128;

bool InRange(unsigned c, unsigned lo, unsigned hi) {
  return c >= lo && c <= hi;
}

bool EndsValue(char c) {
  return c == '\0' || c == ' ' || c == '\t' || c == ';' || c == '"' || c == '\r' || c == '\n';
}

const char* SkipBlanks(const char* p) {
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
  return p;
}

// Bytes appended to a fixed buffer while they fit.
struct Out {
  char* data;
  std::size_t size;
  std::size_t used = 0;
  void Put(char c) {
    if (used + 1 < size) data[used++] = c;
  }
};

struct Segment {
  const char* text = nullptr;  // first byte of the value
  bool encoded = false;
};

// Appends one RFC 2231 segment; the first one of an encoded value starts
// with "charset'language'".
void AppendSegment(const Segment& seg, bool first, Out& out, char* charset,
                   std::size_t charset_size) {
  const char* p = seg.text;
  if (!seg.encoded) {
    if (*p == '"') {
      for (++p; *p != '\0' && *p != '"' && *p != '\n'; ++p) out.Put(*p);
    } else {
      for (; !EndsValue(*p); ++p) out.Put(*p);
    }
    return;
  }
  if (*p == '"') ++p;  // some mailers quote encoded values
  if (first) {
    const char* q1 = p;
    while (!EndsValue(*q1) && *q1 != '\'') ++q1;
    if (*q1 == '\'') {
      if (charset != nullptr && charset_size > 0) {
        std::size_t n = static_cast<std::size_t>(q1 - p);
        if (n >= charset_size) n = charset_size - 1;
        std::memcpy(charset, p, n);
        charset[n] = '\0';
      }
      const char* q2 = q1 + 1;
      while (!EndsValue(*q2) && *q2 != '\'') ++q2;
      p = *q2 == '\'' ? q2 + 1 : q1 + 1;
    }
  }
  for (; !EndsValue(*p); ++p) {
    int hi, lo;
    if (*p == '%' && (hi = ascii::HexValue(p[1])) >= 0 && (lo = ascii::HexValue(p[2])) >= 0) {
      out.Put(static_cast<char>(hi * 16 + lo));
      p += 2;
    } else {
      out.Put(*p);
    }
  }
}

// "name*=...", "name*0=...", "name*0*=...": every segment in the value, in
// one pass, then joined in numeric order.
char* ParamRfc2231(const char* value, const char* name, Out& out, char* charset,
                   std::size_t charset_size) {
  const std::size_t nlen = std::strlen(name);
  Segment segments[kMaxSegments];
  bool any = false;
  for (const char* at = MLG_LocStrCase(value, name); at != nullptr;
       at = MLG_LocStrCase(at + 1, name)) {
    const char* p = at + nlen;
    if (*p != '*') continue;
    ++p;
    int number = 0;
    bool encoded = true;
    if (ascii::IsDigit(*p)) {
      for (; ascii::IsDigit(*p); ++p) {
        if (number < kMaxSegments) number = number * 10 + (*p - '0');
      }
      encoded = *p == '*';
      if (encoded) ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '=' || number >= kMaxSegments || segments[number].text != nullptr) continue;
    segments[number].text = SkipBlanks(p + 1);
    segments[number].encoded = encoded;
    any = true;
  }
  if (!any) return nullptr;
  bool first = true;
  for (const Segment& seg : segments) {
    if (seg.text == nullptr) continue;
    AppendSegment(seg, first, out, charset, charset_size);
    first = false;
  }
  out.data[out.used] = '\0';
  return out.data;
}

// The byte length of the character at `s` under a name scheme; never past
// the NUL.
std::size_t CharLength(const unsigned char* s, int scheme) {
  const unsigned c = s[0];
  if (c < 0x80 || s[1] == '\0') return 1;
  const unsigned d = s[1];
  switch (scheme) {
    case kSchemeSingleByte:
      return 1;
    case kSchemeBig5:
      return InRange(c, 0x81, 0xfe) && (InRange(d, 0x40, 0x7e) || InRange(d, 0xa1, 0xfe)) ? 2 : 1;
    case kSchemeUtf8: {
      std::size_t ones = 0;
      for (unsigned bit = 0x80; bit != 0 && (c & bit) != 0; bit >>= 1) ++ones;
      if (ones < 2 || ones > 6) return 1;
      std::size_t n = 1;
      while (n < ones && s[n] != '\0') ++n;
      return n;
    }
    case kSchemeShiftJis:
      return (InRange(c, 0x81, 0x9f) || InRange(c, 0xe0, 0xfc)) &&
                     (InRange(d, 0x40, 0x7e) || InRange(d, 0x80, 0xfc))
                 ? 2
                 : 1;
    case kSchemeEuc:
      return InRange(c, 0xa1, 0xf7) && InRange(d, 0xa1, 0xfe) ? 2 : 1;
    default:
      return c > 0x80 ? 2 : 1;
  }
}

char* Concat(MIME_Env& env, const char* a, const char* b) {
  std::size_t na = std::strlen(a), nb = std::strlen(b);
  auto* out = static_cast<char*>(my_Xalloc(env.pool, na + nb + 1));
  std::memcpy(out, a, na);
  std::memcpy(out + na, b, nb);
  return out;
}

}  // namespace

char* MIME_ParamGet(const char* value, const char* name, char* out, std::size_t out_size,
                    char* charset, std::size_t charset_size) {
  if (charset != nullptr && charset_size > 0) charset[0] = '\0';
  if (value == nullptr || name == nullptr || *name == '\0' || out == nullptr || out_size == 0) {
    return nullptr;
  }
  out[0] = '\0';
  Out o{out, out_size};
  const std::size_t nlen = std::strlen(name);
  // Every mention of the name is tried (the first may sit inside another
  // parameter), each where it stands, so the cost stays linear.
  for (const char* at = MLG_LocStrCase(value, name); at != nullptr;
       at = MLG_LocStrCase(at + 1, name)) {
    const char* p = at + nlen;
    if (*p == '*') return ParamRfc2231(value, name, o, charset, charset_size);
    while (*p == ' ' || *p == '\t' || *p == '\n') ++p;
    if (*p != '=') continue;
    for (p = SkipBlanks(p + 1); *p != '\0' && o.used + 1 < o.size; ++p) o.Put(*p);
    out[o.used] = '\0';
    return out;
  }
  return nullptr;
}

const char* MIME_MbStrChr(const char* text, int byte, int scheme) {
  if (text == nullptr) return nullptr;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const auto want = static_cast<unsigned char>(byte);
  for (std::size_t i = 0; s[i] != '\0';) {
    if (s[i] == '&' && s[i + 1] == '#') {
      std::size_t j = i + 2;
      while (ascii::IsDigit(s[j])) ++j;
      if (j > i + 2 && s[j] == ';') {
        i = j + 1;
        continue;
      }
    }
    std::size_t len = CharLength(s + i, scheme);
    if (len == 1 && s[i] == want) return text + i;
    i += len;
  }
  return nullptr;
}

char* MIME_Unquote(char* text) {
  if (text == nullptr) return nullptr;
  while (*text == ' ') ++text;
  if (*text == '"') {
    ++text;
    if (char* q = std::strpbrk(text, "\"\n")) *q = '\0';
    return text;
  }
  if (char* nl = std::strchr(text, '\n')) *nl = '\0';
  return text;
}

static_assert(sizeof(MIME_Header::number) == 10, "kMimeMaxNumber has nine digits");

void MIME_Number(MIME_Header* header, MIME_Env& env) {
  if (header->number[0] != '\0') return;
  // Past the largest number the field holds the part stays unnumbered, so a
  // number is never cut short; a parse's part limit keeps far below it.
  if (env.sequence < 0 || env.sequence >= kMimeMaxNumber) return;
  std::snprintf(header->number, sizeof header->number, "%d", env.sequence + 1);
  ++env.sequence;
}

void MIME_AddName(MIME_Env& env, const char* name) {
  auto* node = static_cast<MIME_Env::NameNode*>(my_Xalloc(env.pool, sizeof(MIME_Env::NameNode)));
  node->name = name;
  node->next = env.names;
  env.names = node;
}

char* MIME_NameToSjis(MIME_Env& env, char* name, int code) {
  if ((env.jconv & 1) == 0 || name == nullptr) return name;
  if (code == 1) {
    std::size_t length = std::strlen(name);
    std::size_t n = MLG_JPJis2Sjis(name, length);
    name[n < length ? n : length] = '\0';
  } else if (code == 4) {
    std::string out;
    if (MLG_JPEuc2Sjis(name, out) == 0) return PoolStrDup(env.pool, out.data(), out.size());
  }
  return name;
}

char* MIME_SafeName(MIME_Env& env, char* text, int scheme) {
  char safe[kNameSize];
  MLG_SafeFileName(MIME_Unquote(text), safe, sizeof safe, scheme);
  return PoolStrDup(env.pool, safe, std::strlen(safe));
}

char* MIME_AutoName(MIME_Header* header, MIME_Env& env) {
  std::string ext = CT_TypeToExt(header->content_type, header->filename);
  constexpr std::size_t kSize = 65;
  auto* name = static_cast<char*>(my_Xalloc(env.pool, kSize));
  if (ext.empty()) {
    std::snprintf(name, kSize, "%02d", env.autoname);
  } else {
    std::snprintf(name, kSize, "%02d.%s", env.autoname, ext.c_str());
  }
  ++env.autoname;
  MIME_AddName(env, name);
  return name;
}

void MIME_PartName(MIME_Header* h, MIME_Env& env) {
  if (h->filename != nullptr) {
    MIME_Number(h, env);
  } else {
    char found[kNameSize];
    char charset[64];
    const char* got = nullptr;
    if (h->disposition != nullptr) {
      got = MIME_ParamGet(h->disposition, "name", found, sizeof found, charset, sizeof charset);
    }
    if (got == nullptr && h->content_type != nullptr) {
      got = MIME_ParamGet(h->content_type, "name", found, sizeof found, charset, sizeof charset);
    }
    if (got != nullptr) {
      char* name = PoolStrDup(env.pool, found, std::strlen(found));
      if (charset[0] != '\0') {
        std::strncpy(h->charset_name, charset, sizeof h->charset_name - 1);
        h->charset_name[sizeof h->charset_name - 1] = '\0';
      }
      h->charset_code = MIME_CharsetCode(h->charset_name, h->charset_code);
      if (h->charset_code == 1 || h->charset_code == 4) {
        name = MIME_NameToSjis(env, name, h->charset_code);
      }
      if (const char* semi = MIME_MbStrChr(name, ';', MIME_SchemeOfCode(h->charset_code))) {
        name[semi - name] = '\0';
      }
      h->filename = name;
    }

    if (!MIME_Begins(h->content_type, "multipart")) {
      if (h->filename == nullptr) {
        if (h->disposition != nullptr && h->description != nullptr) {
          h->filename = PoolStrDup(env.pool, h->description, std::strlen(h->description));
          MIME_AddName(env, h->filename);
        } else if ((h->content_id == nullptr && h->content_location == nullptr &&
                    h->disposition == nullptr) ||
                   h->cls == kClassMessage) {
          // unnamed for now
        } else {
          h->filename = MIME_AutoName(h, env);
        }
      }
      if (h->filename != nullptr) MIME_Number(h, env);
    }
    if (h->filename == nullptr && h->cls == kClassMessage) {
      h->filename = Concat(env, MIME_AutoName(h, env), ".eml");
      MIME_Number(h, env);
    }
    if (h->filename == nullptr && h->cls == kClassOther) {
      h->filename = MIME_AutoName(h, env);
      MIME_Number(h, env);
    }
  }
  if (h->filename == nullptr) return;
  env.found |= kMimeFoundName;
  h->filename = MIME_SafeName(env, h->filename, MIME_SchemeOfCode(h->charset_code));
}
