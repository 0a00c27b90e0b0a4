// Header fields: splitting, content fields, classes and the message index.
#include <cstring>
#include <new>

#include "common/mime/mime.h"
#include "common/mime/mime_internal.h"
#include "host/account/session.h"
#include "host/base/ascii.h"
#include "host/base/pool.h"
#include "host/charset/names.h"
#include "host/text/tokens.h"

namespace {

// Field names compared ignoring case; stops at the first difference, so a
// megabyte "name" (a line without ":") costs nothing.
bool SameName(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (ascii::Lower(*a) != ascii::Lower(*b)) return false;
  }
  return *a == *b;
}

struct ClassPrefix {
  const char* prefix;
  MimeClass cls;
};

// First match wins; the "text" and "image" cases follow the table.
constexpr ClassPrefix kClassTable[] = {
    {"message/rfc822", kClassMessage},
    {"message/delivery-status", kClassText},
    {"multipart/digest", kClassDigest},
    {"multipart/alternative", kClassAlternative},
    {"multipart/related", kClassMultipart},
    {"multipart/mixed", kClassMixed},
    {"multipart", kClassMultipart},
    {"application/x-pkcs7-signature", kClassPkcs7Signature},
    {"application/pkcs7-signature", kClassPkcs7Signature},
    {"application/x-pkcs7-mime", kClassPkcs7Mime},
    {"application/pkcs7-mime", kClassPkcs7Mime},
    {"video", kClassVideo},
    {"audio", kClassAudio},
    {"application/x-shockwave-flash", kClassFlash},
    {"application/ms-tnef", kClassTnef},
    {"text/plain", kClassText},
    {"text/enric", kClassText},  // text/enriched
    {"text/html", kClassHtml},
    {"text/x-vcard", kClassVcard},
};

struct EncodingPrefix {
  const char* prefix;
  MimeEncoding encoding;
};

constexpr EncodingPrefix kEncodingTable[] = {
    {"base64", kEncodingBase64}, {"quoted-printable", kEncodingQp}, {"uuencode", kEncodingUu},
    {"x-uuencode", kEncodingUu}, {"8bit", kEncoding8bit},           {"7bit", kEncoding7bit},
};

struct ContentSlot {
  const char* name;
  const char* MIME_Header::*member;
};

constexpr ContentSlot kContentSlots[] = {
    {"Content-Type", &MIME_Header::content_type},
    {"Content-Transfer-Encoding", &MIME_Header::transfer_encoding},
    {"Content-Base", &MIME_Header::content_base},
    {"Content-Disposition", &MIME_Header::disposition},
    {"Content-Description", &MIME_Header::description},
    {"Content-Id", &MIME_Header::content_id},
    {"Content-Location", &MIME_Header::content_location},
    {"Content-MD5", &MIME_Header::content_md5},
    {"Content-Language", &MIME_Header::content_language},
    {"X-Tolvane-Content-Type", &MIME_Header::x_content_type},
};

constexpr const char* kIndexNames[kIndexSlots] = {
    "Message-Id",  "From",       "To",           "Date",        "Cc",
    "Bcc",         "Subject",    "Sender",       "Reply-To",    "Disposition-Notification-To",
    "In-Reply-To", "Newsgroups", "Organization", "Resent-From", "References",
};

// Removes each newline and the white space after it, in place.
void Unfold(char* text) {
  char* w = text;
  for (const char* r = text; *r != '\0';) {
    if (*r == '\n') {
      ++r;
      while (*r == ' ' || *r == '\t') ++r;
      continue;
    }
    *w++ = *r++;
  }
  *w = '\0';
}

void BuildIndex(MIME_Env& env, MIME_Header* h) {
  auto** index = static_cast<const char**>(my_Xalloc(env.pool, sizeof(char*) * kIndexSlots));
  h->index = index;
  for (MIME_HeaderField* f = h->fields; f != nullptr; f = f->next) {
    for (int slot = 0; slot < kIndexSlots; ++slot) {
      if (index[slot] != nullptr || !SameName(f->name, kIndexNames[slot])) continue;
      if (slot == kIndexTo && f->value[0] == '\0') continue;
      if (slot == kIndexSubject) {
        std::size_t n = std::strlen(f->value);
        if (n > 0 && MLG_IsHalf(f->value, n, 0) != 0) f->value[n - 1] = '\0';
      }
      index[slot] = f->value;
    }
  }
}

}  // namespace

bool MIME_Begins(const char* text, const char* prefix) {
  if (text == nullptr) return false;
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (ascii::Lower(*text) != ascii::Lower(*prefix)) return false;  // also at the text's NUL
  }
  return true;
}

int MIME_ClassOf(const char* content_type, bool later) {
  const char* ct = content_type != nullptr ? content_type : "";
  for (const ClassPrefix& row : kClassTable) {
    if (MIME_Begins(ct, row.prefix)) return row.cls;
  }
  if (MIME_Begins(ct, "text")) {
    char c = ct[4];
    bool bare = c == ' ' || c == ';' || c == '\t' || c == '\r' || c == '\n' || c == '\0';
    return bare ? kClassText : kClassOther;
  }
  if (MIME_Begins(ct, "image/tiff")) return kClassTiff;
  if (MIME_Begins(ct, "image")) return kClassImage;
  return later ? kClassOther : kClassText;
}

int MIME_EncodingOf(const char* transfer_encoding) {
  if (transfer_encoding == nullptr) return kEncodingNone;
  for (const EncodingPrefix& row : kEncodingTable) {
    if (MIME_Begins(transfer_encoding, row.prefix)) return row.encoding;
  }
  return kEncodingNone;
}

MIME_Header* MIME_NewHeader(MIME_Env& env) {
  return new (my_Xalloc(env.pool, sizeof(MIME_Header))) MIME_Header{};
}

void MIME_HeaderSplit(MIME_Env& env, MIME_Header* header, char* start, char* end) {
  if (start == nullptr || end == nullptr || end <= start) return;
  char* block;
  std::size_t n;
  if (env.strip_cr != 0) {
    n = static_cast<std::size_t>(end - start);
    block = static_cast<char*>(my_Xalloc(env.pool, n + 1));
    std::size_t w = 0;
    for (const char* r = start; r < end;) {
      auto* cr = static_cast<const char*>(std::memchr(r, '\r', static_cast<std::size_t>(end - r)));
      const char* stop = cr != nullptr ? cr : end;
      std::memcpy(block + w, r, static_cast<std::size_t>(stop - r));
      w += static_cast<std::size_t>(stop - r);
      r = cr != nullptr ? cr + 1 : end;
    }
    n = w;
    block[n] = '\0';
  } else {
    block = start;
    n = static_cast<std::size_t>(end - start);
    *end = '\0';
  }

  char* block_end = block + n;
  MIME_HeaderField** tail = &header->fields;
  for (char* p = block; p < block_end;) {
    // The field ends at a newline that no space or TAB follows.
    char* field_end = block_end;
    for (char* q = p; q < block_end;) {
      auto* nl = static_cast<char*>(std::memchr(q, '\n', static_cast<std::size_t>(block_end - q)));
      if (nl == nullptr) break;
      if (nl + 1 < block_end && (nl[1] == ' ' || nl[1] == '\t')) {
        q = nl + 1;
        continue;
      }
      field_end = nl;
      break;
    }
    *field_end = '\0';
    if (field_end > p) {
      if (env.fields >= kMimeMaxFields) {
        env.status |= kMimeTooMany;
        return;
      }
      ++env.fields;
      auto* f = new (my_Xalloc(env.pool, sizeof(MIME_HeaderField))) MIME_HeaderField{};
      f->name = p;
      f->length = static_cast<int>(field_end - p);
      auto* colon =
          static_cast<char*>(std::memchr(p, ':', static_cast<std::size_t>(field_end - p)));
      if (colon != nullptr) {
        *colon = '\0';
        char* v = colon + 1;
        while (*v == ' ' || *v == '\t' || *v == '\n') ++v;
        f->value = v;
      } else {
        f->value = p;
      }
      *tail = f;
      tail = &f->next;
    }
    p = field_end + 1;
  }
}

void MIME_ContentFields(MIME_Env& env, MIME_Header* header) {
  for (MIME_HeaderField* f = header->fields; f != nullptr; f = f->next) {
    for (const ContentSlot& slot : kContentSlots) {
      if (!SameName(f->name, slot.name)) continue;
      header->*slot.member = f->value;
      if (slot.member == &MIME_Header::content_id) env.found |= kMimeFoundContentId;
      if (slot.member == &MIME_Header::content_location) env.found |= kMimeFoundContentLocation;
      break;
    }
  }
}

void MIME_HeaderParse(MIME_Env& env, MIME_Part* node, bool as_message, const char* default_type) {
  MIME_Header* h = MIME_NewHeader(env);
  node->header = h;
  MIME_HeaderSplit(env, h, node->header_start, node->header_end);
  MIME_ContentFields(env, h);
  if (h->content_type != nullptr) {
    // The boundary belongs to the winning Content-Type. Searching from its
    // first mention also finds "type;boundary=" without a space.
    MIME_HeaderField* ct = nullptr;
    for (MIME_HeaderField* f = h->fields; f != nullptr; f = f->next) {
      if (f->value == h->content_type) ct = f;
    }
    char* at = ct != nullptr ? const_cast<char*>(MLG_LocStrCase(ct->value, "boundary")) : nullptr;
    if (at != nullptr) {
      Unfold(at);
      h->boundary = static_cast<char*>(my_Xalloc(env.pool, 256));
      MLG_TokVal(at, "boundary", " \n\t", "=", " \n\t;", '"', h->boundary, 256);
    }
  } else {
    h->content_type = default_type;
  }
  h->encoding = static_cast<unsigned char>(MIME_EncodingOf(h->transfer_encoding));
  h->cls = static_cast<unsigned char>(MIME_ClassOf(h->content_type, env.header_parsed));
  if (as_message) BuildIndex(env, h);
  env.header_parsed = true;
}
