// The part tree: boundaries, embedded messages and the parse as a whole.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/mime/mime.h"
#include "common/mime/mime_internal.h"
#include "host/base/pool.h"
#include "host/charset/charset.h"
#include "host/text/codecs.h"
#include "host/text/tokens.h"

namespace {

// Finds the end of the header that starts at `start`, looking at line breaks
// before the scope's stop: answers the newline that ends the header's last
// line and sets `body`, or null when the header does not end there.
char* FindHeaderEnd(char* start, const MimeScope& scope, char*& body) {
  char* stop = scope.stop;
  if (start >= stop) return nullptr;
  if (*start == '\n') {
    body = start + 1;
    return start;
  }
  // A CR LF mail's empty header ends the same way as an LF one.
  if (start[0] == '\r' && start + 1 < stop && start[1] == '\n') {
    body = start + 2;
    return start;
  }
  for (char* p = start; p < stop;) {
    auto* nl = static_cast<char*>(std::memchr(p, '\n', static_cast<std::size_t>(stop - p)));
    if (nl == nullptr) return nullptr;
    // nl < stop <= text end: nl[1] is readable, nl[2] is when nl[1] is CR.
    if (nl[1] == '\n') {
      body = nl + 2;
      return nl;
    }
    if (nl[1] == '\r' && nl[2] == '\n') {
      body = nl + 3;
      return nl;
    }
    p = nl + 1;
  }
  return nullptr;
}

// The part end before a boundary line, as a search from `from` finds it: the
// byte before the line when `from` is the line itself, else the hit's end.
char* EndFrom(const MimeBoundaryHit& hit, char* from, char* floor) {
  if (from == hit.line) return from > floor ? from - 1 : from;
  return hit.end;
}

char* ParseMultipart(MIME_Env& env, MIME_Part* node, int depth, const MimeScope& scope) {
  MIME_Header* h = node->header;
  const char* boundary = h->boundary;
  const std::size_t blen = std::strlen(boundary);
  char* body = node->body;
  if (body >= scope.stop) return nullptr;
  // The first occurrence of the boundary text, anywhere (the preamble ends
  // there even when it is not at a line start).
  auto* q =
      static_cast<char*>(memmem(body, static_cast<std::size_t>(scope.stop - body), boundary, blen));
  if (q == nullptr) return nullptr;
  char* start = q + blen;  // <= stop <= text end: readable
  start += (start[0] == '\r' && start[1] == '\n') ? 2 : 1;
  start = std::min(start, scope.stop);

  const char* child_type = "text/plain";
  bool child_message = false;
  if (h->cls == kClassDigest) {
    child_type = "message/rfc822";
    child_message = true;
  } else if (h->cls == kClassMixed) {
    child_message = true;
  }

  MIME_Part* sub = MIME_NewPart(env);
  if (sub == nullptr) return nullptr;
  sub->body = start;
  node->child = sub;
  char* floor = env.message_start;
  for (;;) {
    // The sub-part ends at the next boundary line: find it first.
    MimeBoundaryHit hit =
        MIME_FindBoundary(sub->body, scope.stop, env.text_end, floor, boundary, blen);
    MimeScope inner;
    inner.boundary = boundary;
    inner.line = hit.line;
    inner.line_end = hit.end;
    inner.stop = hit.line != nullptr ? hit.line : scope.stop;
    inner.end = hit.line != nullptr ? hit.end : scope.end;
    inner.level = scope.level + 1;
    char* back = MIME_ParsePart(env, sub, child_message, child_type, depth, inner);

    // Everything the sub-part returns lies before that line, so the line
    // found from the later of its start and `back` is the same one.
    char* from = back != nullptr && back > sub->header_start ? back : sub->header_start;
    if (hit.line == nullptr) {
      env.status |= kMimeNoClosingBoundary;
      if (sub->end == nullptr) sub->end = scope.end;
      return nullptr;
    }
    if (sub->end == nullptr) sub->end = EndFrom(hit, std::min(from, hit.line), floor);

    char* p = hit.line + 2 + blen;  // <= text end, and p[1] is readable when p[0] is "-"
    if (p[0] == '-' && p[1] == '-') {
      char* after = p + 2;
      if (after >= env.text_end) return after;
      if (*after == '\r' || *after == '\n') return after + 1;
      // "--" and another byte: one more part follows.
    }
    char* next_start = p;
    if (*next_start == '\r') ++next_start;
    if (*next_start == '\n') ++next_start;
    next_start = std::min(next_start, scope.stop);
    MIME_Part* next = MIME_NewPart(env);
    if (next == nullptr) return nullptr;
    next->body = next_start;
    sub->next = next;
    sub = next;
  }
}

char* CopyBody(MIME_Env& env, const char* from, const char* to) {
  std::size_t n = to > from ? static_cast<std::size_t>(to - from) : 0;
  return PoolStrDup(env.pool, from, n);
}

char* ParseMessage(MIME_Env& env, MIME_Part* node, int depth, const MimeScope& scope) {
  MIME_Header* h = node->header;
  const int encoding = h->encoding;
  if (encoding == kEncodingNone || encoding == kEncoding8bit || encoding == kEncoding7bit) {
    bool whole = (env.options & kMimeMessagesWhole) != 0 && h->disposition != nullptr &&
                 (MIME_Begins(h->disposition, "attachment") ||
                  MLG_TokPtr(h->disposition, "name", "* \n\t", "=") != nullptr);
    MIME_Part* child = whole ? nullptr : MIME_NewPart(env);
    if (child == nullptr) {
      MIME_PartEnd(env, node, scope);
      return node->end;
    }
    child->body = node->body;
    node->child = child;
    // Without CR stripping the child's header is split in place (NUL bytes
    // in the text), so the body is copied before that happens.
    char* early = nullptr;
    char* early_body = node->body;
    if (env.strip_cr == 0) early = CopyBody(env, node->body, scope.stop);
    MimeScope inner = scope;
    inner.level = scope.level + 1;
    char* end = MIME_ParsePart(env, child, true, "text/plain", depth + 1, inner);
    if (end == nullptr) {
      if (scope.boundary != nullptr) {
        MIME_PartEnd(env, node, scope);
        end = node->end;
      } else {
        end = scope.end;
      }
    }
    while (end < scope.stop && (*end == '\r' || *end == '\n')) ++end;
    node->end = end;
    child->end = end;
    if (early != nullptr && end >= node->body && early_body == node->body) {
      early[end - node->body] = '\0';
      h->raw_copy = early;
    } else {
      h->raw_copy = CopyBody(env, node->body, end);
    }
    return end;
  }

  // An encoded message: its decoded copy is kept, the text stays as it is.
  MIME_PartEnd(env, node, scope);
  char* end = node->end != nullptr ? node->end : scope.end;
  char* copy = CopyBody(env, node->body, end);
  std::size_t n = end > node->body ? static_cast<std::size_t>(end - node->body) : 0;
  if (encoding == kEncodingBase64 && (env.options & kMimeDecodeBase64) != 0) {
    n = MTX_Base64Dec(copy, n);
  } else if (encoding == kEncodingQp && (env.options & kMimeDecodeQp) != 0) {
    n = MTX_QPDec(copy, n);
  } else if (encoding == kEncodingUu && (env.options & kMimeDecodeUu) != 0) {
    char name[128];
    n = MTX_UUDec2(copy, n, name, sizeof name);
  }
  copy[n] = '\0';
  h->raw_copy = copy;
  node->body_length = static_cast<int>(n);
  return node->end;
}

}  // namespace

MIME_Part* MIME_NewPart(MIME_Env& env) {
  if (env.parts >= kMimeMaxParts) {
    env.status |= kMimeTooMany;
    return nullptr;
  }
  ++env.parts;
  return new (my_Xalloc(env.pool, sizeof(MIME_Part))) MIME_Part{};
}

MimeBoundaryHit MIME_FindBoundary(char* from, char* stop, char* text_end, char* floor,
                                  const char* boundary, std::size_t length) {
  MimeBoundaryHit hit;
  if (from == nullptr || boundary == nullptr || length == 0 || from >= stop) return hit;
  const std::size_t left = static_cast<std::size_t>(text_end - from);
  if (left >= 2 + length && from[0] == '-' && from[1] == '-' &&
      std::memcmp(from + 2, boundary, length) == 0) {
    hit.line = from;
    hit.end = from > floor ? from - 1 : from;
    return hit;
  }
  // "\n--" and the boundary, whose newline lies before stop - 1 (so that its
  // "--" lies before stop).
  const std::size_t nlen = 3 + length;
  std::string heap;
  char small[3 + 256];
  char* needle = small;
  if (nlen > sizeof small) {
    heap.resize(nlen);
    needle = heap.data();
  }
  needle[0] = '\n';
  needle[1] = '-';
  needle[2] = '-';
  std::memcpy(needle + 3, boundary, length);
  const std::size_t span = static_cast<std::size_t>(stop - from) + nlen - 2;
  char* hay_end = from + std::min(left, span);
  for (char* p = from; hay_end - p >= static_cast<std::ptrdiff_t>(nlen);) {
    auto* nl = static_cast<char*>(memmem(p, static_cast<std::size_t>(hay_end - p), needle, nlen));
    if (nl == nullptr) break;
    char c = nl[nlen];  // nl + nlen <= text end
    if (c == '\n' || c == '\r' || c == '-') {
      hit.line = nl + 1;
      hit.end = nl > floor && nl[-1] == '\r' ? nl - 1 : nl;
      return hit;
    }
    p = nl + 1;
  }
  return hit;
}

char* MIME_PartEnd(MIME_Env& env, MIME_Part* node, const MimeScope& scope) {
  if (scope.boundary == nullptr || scope.boundary[0] == '\0') return nullptr;
  if (scope.line == nullptr) {
    node->end = scope.end;
    return nullptr;
  }
  // The scope's line is the first one after the part's start, so it is the
  // first one after the body too.
  MimeBoundaryHit hit;
  hit.line = scope.line;
  hit.end = scope.line_end;
  char* at = EndFrom(hit, std::min(node->body, scope.line), env.message_start);
  if (at < node->body) node->body = at;
  node->end = at;
  return at;
}

char* MIME_ParsePart(MIME_Env& env, MIME_Part* node, bool as_message, const char* default_type,
                     int depth, const MimeScope& scope) {
  char* start = std::min(node->body, scope.stop);
  node->body = start;
  node->header_start = start;
  char* body = nullptr;
  char* header_end = FindHeaderEnd(start, scope, body);
  if (header_end == nullptr) {
    // The whole part is header (and stays body too).
    char* end = node->end != nullptr ? node->end : scope.end;
    node->header_end = std::max(end, start);
    if (node->header_end > start) MIME_HeaderParse(env, node, as_message, default_type);
    env.status |= kMimeNoHeaderEnd;
    return nullptr;
  }
  node->header_end = header_end;
  node->body = body;
  if (depth > kMimeMaxDepth || scope.level > kMimeMaxNesting) {
    // Too deep: the header is kept, the body gets no structure.
    if (header_end > start) MIME_HeaderParse(env, node, as_message, default_type);
    env.status |= kMimeTooDeep;
    return nullptr;
  }
  MIME_HeaderParse(env, node, as_message, default_type);
  MIME_Header* h = node->header;
  if (h->boundary != nullptr && h->boundary[0] != '\0' &&
      MIME_Begins(h->content_type, "multipart")) {
    return ParseMultipart(env, node, depth, scope);
  }
  if (h->cls != kClassMessage) return MIME_PartEnd(env, node, scope);
  return ParseMessage(env, node, depth, scope);
}

void MIME_ParseAll(MIME_Env& env, MIME_Part* root) {
  MimeScope top;
  top.stop = env.text_end;
  top.end = env.text_end;
  for (MIME_Part* node = root;;) {
    char* start = node->body;
    char* pos = MIME_ParsePart(env, node, true, env.default_content_type, 0, top);
    if (pos == nullptr || pos <= start) return;
    while (pos < env.text_end && (*pos == '\r' || *pos == '\n')) ++pos;
    if (pos >= env.text_end) return;
    MIME_Part* next = MIME_NewPart(env);
    if (next == nullptr) return;
    // An attached message as the root ends where the next message begins;
    // the walk's NUL at its end would land on that message's first byte.
    // It ends at the line break before it instead.
    if (node->end == pos && (pos[-1] == '\r' || pos[-1] == '\n')) {
      for (MIME_Part* p = node; p != nullptr && p->end == pos; p = p->child) p->end = pos - 1;
    }
    next->body = pos;
    next->end = env.text_end;
    node->next = next;
    node = next;
  }
}

int MIME_Init(MIME_Env& env, char* text, std::size_t length, int caller_code, const char* charset) {
  my_Xfree(env.pool);
  env.root = MIME_Part{};
  env.status = 0;
  env.found = 0;
  env.sequence = 0;
  env.autoname = 0;
  env.charset_summary = 0;
  env.names = nullptr;
  env.header_parsed = false;
  env.parts = 0;
  env.fields = 0;
  env.message_start = nullptr;
  env.text_end = nullptr;
  if (text == nullptr || length > kMimeMaxText) return -1;
  std::strcpy(env.default_content_type, "text/plain");
  if (caller_code != 0) env.caller_code = caller_code;
  env.default_iso2022jp = MIME_Begins(charset, "iso-2022-jp") ? 1 : 0;
  env.message_start = text;
  env.text_end = text + length;
  env.root.body = text;
  env.root.end = text + length;
  env.parts = 1;
  return 0;
}

int MIME_Parse(MIME_Env& env) {
  if (env.message_start == nullptr) return env.status;
  MIME_ParseAll(env, &env.root);
  if (env.options != 0) MIME_DecodeWalk(&env.root, env);
  MIME_Header* h = env.root.header;
  if ((env.options & kMimeNoRootCharset) == 0 && h != nullptr && h->charset_name[0] == '\0') {
    if (const char* name = MIME_FirstCharset(&env.root)) {
      std::strncpy(h->charset_name, name, sizeof h->charset_name - 1);
      h->charset_name[sizeof h->charset_name - 1] = '\0';
      h->charset_code = MIME_CodeOfValue(MLC_CharsetWEncToValue(h->charset_name));
    }
  }
  return env.status;
}

void MIME_Free(MIME_Env& env) {
  my_Xfree(env.pool);
  env.root = MIME_Part{};
  env.names = nullptr;
  env.message_start = nullptr;
  env.text_end = nullptr;
  env.parts = 0;
  env.fields = 0;
}

const char* MIME_FirstCharset(const MIME_Part* part) {
  // Preorder without recursion: siblings wait on the stack while a subtree
  // is searched.
  std::vector<const MIME_Part*> pending;
  for (const MIME_Part* p = part; p != nullptr || !pending.empty();) {
    if (p == nullptr) {
      p = pending.back();
      pending.pop_back();
      continue;
    }
    if (p->header != nullptr && p->header->charset_name[0] != '\0') return p->header->charset_name;
    if (p->child != nullptr) {
      if (p->next != nullptr) pending.push_back(p->next);
      p = p->child;
    } else {
      p = p->next;
    }
  }
  return nullptr;
}
