// Files inside TNEF parts become parts of their own.
#include "common/mime/tnef_parts.h"

#include <iconv.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>

#include "common/mime/mime_internal.h"
#include "common/mime/types/content_type.h"
#include "host/account/safe_name.h"
#include "host/base/pool.h"
#include "host/charset/charset.h"

namespace {

// A file's name is made in a buffer of this size (so at most 511 bytes).
constexpr std::size_t kNameSize = 512;
constexpr std::size_t kCharsetSize = 32;
constexpr char kDefaultName[] = "Untitled";

struct CodePage {
  std::uint32_t number;
  const char* charset;
};

// OEM code pages and the charset names that stand for them.
constexpr CodePage kCodePages[] = {
    {852, "ibm852"},        {866, "ibm866"},           {874, "windows-874"},
    {932, "shift-jis"},     {936, "gb2312"},           {949, "ks_c_5601"},
    {950, "big5"},          {1200, "unicode"},         {1201, "unicodeFEFF"},
    {1250, "windows-1250"}, {1251, "windows-1251"},    {1252, "windows-1252"},
    {1253, "windows-1253"}, {1254, "windows-1254"},    {1255, "windows-1255"},
    {1256, "windows-1256"}, {1257, "windows-1257"},    {1258, "windows-1258"},
    {20105, "irv"},         {20106, "DIN_66003"},      {20107, "SEN_850200_B"},
    {20108, "NS_4551-1"},   {20866, "koi8-r"},         {28591, "iso-8859-1"},
    {28592, "iso-8859-2"},  {28593, "iso-8859-3"},     {28594, "iso-8859-4"},
    {28595, "iso-8859-5"},  {28596, "iso-8859-6"},     {28597, "iso-8859-7"},
    {28598, "iso-8859-8"},  {50000, "x-user-defined"}, {50220, "iso-2022-jp"},
    {50221, "csISO2022JP"}, {50222, "iso-2022-jp"},    {50225, "iso-2022-kr"},
    {50932, "_autodetect"}, {50949, "_autodetect_kr"}, {51932, "x-euc"},
    {51949, "euc-kr"},      {52936, "hz-gb-2312"},     {65000, "utf-7"},
    {65001, "utf-8"},
};

// The charset name of a code page; null when the table does not list it.
const char* CharsetOf(std::uint32_t code_page) {
  for (const CodePage& row : kCodePages) {
    if (row.number == code_page) return row.charset;
  }
  return nullptr;
}

// Name priorities.
constexpr int kPriorityDefault = 0;
constexpr int kPriorityTitle = 1;
constexpr int kPriorityExtension = 2;

int PriorityOf(std::uint16_t id) {
  switch (id) {
    case kTnefPropAttachFilename:
      return 6;
    case kTnefPropDisplayName:
      return 9;
    case kTnefPropAttachLongFilename:
      return 10;
    default:
      return -1;
  }
}

// Names in the stream's code page become UTF-8, so that no byte of a
// two-byte character is ever taken for (or left to look like) a separator.
// One converter serves a stream: its files share the code page.
class NameConverter {
 public:
  explicit NameConverter(std::uint32_t code_page) : code_page_(code_page) {}
  ~NameConverter() {
    if (cd_ != kNone) iconv_close(cd_);
  }
  NameConverter(const NameConverter&) = delete;
  NameConverter& operator=(const NameConverter&) = delete;

  // The name as UTF-8; false when it is not, and cannot be converted (no or
  // an unknown code page, or bytes that are not text of it).
  bool ToUtf8(const char* name, std::string& out) {
    out = name;
    if (code_page_ == kUtf8CodePage || IsAscii(name)) return true;
    if (!Open()) return false;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string buffer(out.size() * 4 + 8, '\0');
    char* in = out.data();
    std::size_t in_left = out.size();
    char* to = buffer.data();
    std::size_t to_left = buffer.size();
    if (iconv(cd_, &in, &in_left, &to, &to_left) == static_cast<std::size_t>(-1) ||
        iconv(cd_, nullptr, nullptr, &to, &to_left) == static_cast<std::size_t>(-1)) {
      out = name;
      return false;
    }
    buffer.resize(buffer.size() - to_left);
    out = std::move(buffer);
    return true;
  }

 private:
  static constexpr std::uint32_t kUtf8CodePage = 65001;
  inline static const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

  static bool IsAscii(const char* text) {
    for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
      if (*p >= 0x80) return false;
    }
    return true;
  }

  // The Windows code page by its number ("CP932"), else by the table's
  // charset name; the UTF-16 code pages describe no byte names.
  bool Open() {
    if (tried_) return cd_ != kNone;
    tried_ = true;
    if (code_page_ == 0 || code_page_ == 1200 || code_page_ == 1201) return false;
    std::string number = "CP" + std::to_string(code_page_);
    cd_ = iconv_open("UTF-8", number.c_str());
    if (cd_ == kNone && CharsetOf(code_page_) != nullptr) {
      cd_ = iconv_open("UTF-8", CharsetOf(code_page_));
    }
    return cd_ != kNone;
  }

  std::uint32_t code_page_;
  iconv_t cd_ = kNone;
  bool tried_ = false;
};

void CopyCut(const std::string& text, char* out, std::size_t size) {
  std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// Names the new part's header (h->number is already set): the charset of
// the stream's code page, the name (or a generated one) as safe UTF-8 text,
// and the content type and class.
void NameFile(MIME_Header* h, const TnefAttachment& file, const char* data,
              NameConverter& converter, MIME_Env& env) {
  char charset[kCharsetSize];
  if (TNEF_AttachCharset(file, charset, sizeof charset) == 0) {
    int value = MLC_CharsetWEncToValue(charset);
    if (value != 0) {
      std::strncpy(h->charset_name, charset, sizeof h->charset_name - 1);
      h->charset_name[sizeof h->charset_name - 1] = '\0';
      h->charset_code = MIME_CodeOfValue(value);
    }
  }
  char name[kNameSize];
  bool utf8 = false;
  TNEF_AttachName(file, name, sizeof name, &utf8);
  if (name[0] != '\0') {
    // Unconverted bytes are walked one by one: each byte above 0x7F stands alone.
    std::string text = name;
    if (!utf8) utf8 = converter.ToUtf8(name, text);
    char* copy = PoolStrDup(env.pool, text.data(), text.size());
    // Made safe first, so that the type comes from the name the part keeps.
    h->filename = MIME_SafeName(env, copy, utf8 ? kSchemeUtf8 : kSchemeSingleByte);
    MIME_TnefType(h, data, file.data.size(), env);
  } else {
    MIME_TnefType(h, data, file.data.size(), env);
    h->filename = MIME_SafeName(env, MIME_AutoName(h, env), kSchemeSingleByte);
  }
}

}  // namespace

int TNEF_AttachName(const TnefAttachment& file, char* out, std::size_t size, bool* utf8) {
  if (out == nullptr || size == 0) return kTnefBadArgument;
  out[0] = '\0';
  if (file.data.empty()) return kTnefBadArgument;
  std::string name = kDefaultName;
  int priority = kPriorityDefault;
  bool is_utf8 = false;
  if (file.has_title) {
    name = file.title;
    priority = kPriorityTitle;
  }
  for (const TnefProperty& p : file.properties) {
    if (p.id == kTnefPropAttachExtension) {
      if (priority == kPriorityDefault) {
        name += p.value;
        priority = kPriorityExtension;
        is_utf8 = p.type == kTnefTypeUnicode;
      }
      continue;
    }
    int rank = PriorityOf(p.id);
    if (rank >= priority) {
      name = p.value;
      priority = rank;
      is_utf8 = p.type == kTnefTypeUnicode;
    }
  }
  CopyCut(name, out, size);
  if (utf8 != nullptr) *utf8 = is_utf8;
  return 0;
}

int TNEF_AttachCharset(const TnefAttachment& file, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return kTnefBadArgument;
  out[0] = '\0';
  const char* charset = CharsetOf(file.code_page);
  if (charset == nullptr) return kTnefUnlistedCodePage;
  CopyCut(charset, out, size);
  return 0;
}

const char* MIME_TnefType(MIME_Header* h, const char* data, std::size_t size, MIME_Env& env) {
  const char* guess = CT_Guess(data, size, h->filename);
  h->content_type = PoolStrDup(env.pool, guess, std::strlen(guess));
  const char* type = h->content_type;
  MimeClass cls = kClassOther;
  if (MIME_Begins(type, "image/tiff")) {
    cls = kClassTiff;
  } else if (MIME_Begins(type, "image")) {
    cls = kClassImage;
  } else if (MIME_Begins(type, "video")) {
    cls = kClassVideo;
  } else if (MIME_Begins(type, "audio")) {
    cls = kClassAudio;
  } else if (MIME_Begins(type, "application/x-shockwave-flash")) {
    cls = kClassFlash;
  } else if (MIME_Begins(type, "text/plain") || MIME_Begins(type, "text/enriched")) {
    cls = kClassText;
  } else if (MIME_Begins(type, "text/html")) {
    cls = kClassHtml;
  } else if (MIME_Begins(type, "text/x-vcard")) {
    cls = kClassVcard;
  }
  h->cls = cls;
  return h->content_type;
}

MIME_Part* MIME_TnefExpand(MIME_Part* part, MIME_Env& env) {
  MIME_Part* const after = part->next;
  if (part->body == nullptr || part->body_length <= 0) return after;
  const auto* base = reinterpret_cast<const unsigned char*>(part->body);
  const std::size_t room = env.parts < kMimeMaxParts ? kMimeMaxParts - env.parts : 0;
  TnefStream stream;
  if (TNEF_Read(std::span(base, static_cast<std::size_t>(part->body_length)), stream, room) != 0) {
    return after;
  }
  if ((stream.status & kTnefFileLimit) != 0) env.status |= kMimeTooMany;

  NameConverter converter(stream.code_page);
  MIME_Part* last = part;
  for (const TnefAttachment& file : stream.files) {
    MIME_Part* added = MIME_NewPart(env);
    if (added == nullptr) break;
    MIME_Header* h = MIME_NewHeader(env);
    added->header = h;
    h->encoding = kEncodingNone;
    MIME_Number(h, env);
    // The file's bytes stay where they are, inside the TNEF part's body.
    char* data = part->body + (file.data.data() - base);
    NameFile(h, file, data, converter, env);
    added->body = data;
    added->body_length = static_cast<int>(file.data.size());
    added->end = part->body + part->body_length;
    added->offset = part->offset;
    added->length = part->length;
    last->next = added;
    last = added;
  }
  last->next = after;
  return last == part ? after : last;
}
