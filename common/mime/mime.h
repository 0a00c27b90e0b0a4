// The part tree of a mail message. A parse works in place on the caller's
// text (which must stay alive and writable until MIME_Free: NUL bytes and
// decoded bodies are written into it); every node, header and copy comes from
// the parse's pool and is released at once by MIME_Free.
//
//   MIME_Env env;                        // defaults: strip CR, options 0x5af
//   MIME_Init(env, text, length, 0, "utf-8");
//   int status = MIME_Parse(env);        // never fails as a whole
//   ... read env.root and its children/siblings ...
//   MIME_Free(env);
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/base/pool.h"

// Option bits.
inline constexpr int kMimeDecodeBase64 = 0x1;
inline constexpr int kMimeDecodeQp = 0x2;
inline constexpr int kMimeDecodeUu = 0x4;
inline constexpr int kMimeSplitUu = 0x8;
inline constexpr int kMimeDecodeHeaders = 0x20;
inline constexpr int kMimeMessagesWhole = 0x40;  // attached messages stay undivided
inline constexpr int kMimeRefineClasses = 0x100;
inline constexpr int kMimeExpandTnef = 0x200;
inline constexpr int kMimeMixedToUtf8 = 0x400;
inline constexpr int kMimeNoRootCharset = 0x800;
inline constexpr int kMimeSkipMessages = 0x1000;
inline constexpr int kMimeDefaultOptions = 0x5af;

// Status bits.
inline constexpr int kMimeNoClosingBoundary = 0x1;
inline constexpr int kMimeNoHeaderEnd = 0x2;
inline constexpr int kMimeTooDeep = 0x40;
// kMimeMaxParts or kMimeMaxFields was reached: the parse stopped dividing
// there, so some of the text belongs to no leaf part (or some header lines to
// no field). A caller that must see every byte (a virus scan) should treat the
// text as one whole when this bit is set.
inline constexpr int kMimeTooMany = 0x80;

// Found bits.
inline constexpr int kMimeFoundName = 0x1;
inline constexpr int kMimeFoundContentId = 0x2;
inline constexpr int kMimeFoundContentLocation = 0x4;

// Limits. Each keeps hostile input to bounded work and memory.
//
// Nesting of messages deeper than this keeps the header but no structure.
inline constexpr int kMimeMaxDepth = 8;
// Levels of the tree (multiparts and embedded messages together; the root is
// level 0). A part deeper than this is treated like a too-deep message: it
// keeps its header but gets no children, and status 0x40 is set. Both the
// parse and the walk therefore nest at most this deep; the walk itself keeps
// its own stack and never recurses. A sub-part's extent (up to the next
// boundary line of its multipart) is found before it is parsed, so deeply
// nested multiparts cost at most this many scans of the text.
inline constexpr int kMimeMaxNesting = 64;
// Parts of one parse (roots, sub-parts, embedded messages, uuencoded files).
// At the limit no further part is made and status 0x80 is set.
inline constexpr int kMimeMaxParts = 10000;
// The largest part number, as many digits as MIME_Header::number holds.
inline constexpr int kMimeMaxNumber = 999999999;
static_assert(kMimeMaxParts <= kMimeMaxNumber);
// Header fields of one parse, over all headers. At the limit a header keeps
// the fields split so far and status 0x80 is set.
inline constexpr int kMimeMaxFields = 100000;
// MIME_Init refuses longer texts: offsets and lengths are int.
inline constexpr std::size_t kMimeMaxText = 0x7fffffff;

// Content classes.
enum MimeClass : unsigned char {
  kClassNone = 0,
  kClassMessage = 1,  // message/rfc822
  kClassText = 2,     // text/plain, message/delivery-status, the first unknown type
  kClassHtml = 3,
  kClassImage = 4,
  kClassMultipart = 5,  // related, signed and any other multipart
  kClassAlternative = 6,
  kClassMixed = 7,
  kClassDigest = 8,
  kClassOther = 9,
  kClassVcard = 10,
  kClassPkcs7Signature = 11,
  kClassPkcs7Mime = 12,
  kClassVideo = 13,
  kClassAudio = 14,
  kClassFlash = 15,
  kClassTiff = 16,
  kClassTnef = 17,
};

// Transfer encodings.
enum MimeEncoding : unsigned char {
  kEncodingNone = 0,
  kEncodingBase64 = 1,
  kEncodingQp = 2,
  kEncodingUu = 3,
  kEncoding8bit = 4,
  kEncoding7bit = 5,
};

// Slots of the message index, each the first field of that name.
enum MimeIndexSlot {
  kIndexMessageId,
  kIndexFrom,
  kIndexTo,
  kIndexDate,
  kIndexCc,
  kIndexBcc,
  kIndexSubject,
  kIndexSender,
  kIndexReplyTo,
  kIndexDispositionNotificationTo,
  kIndexInReplyTo,
  kIndexNewsgroups,
  kIndexOrganization,
  kIndexResentFrom,
  kIndexReferences,
  kIndexSlots
};

struct MIME_HeaderField {
  char* name;
  char* value;        // decoded in place by the walk
  int length;         // counted while splitting
  int charset_value;  // MLC_CharsetWEncToValue of its encoded words, 0 when none
  MIME_HeaderField* next;
};

struct MIME_Header {
  char* boundary;  // 256 bytes in the pool, or null
  MIME_HeaderField* fields;
  unsigned char cls;              // MimeClass
  unsigned char encoding;         // MimeEncoding
  char* raw_copy;                 // an embedded message's body (class 1)
  const char* content_type;       // with its parameters; the parent's default without one
  const char* transfer_encoding;  // the values of the content fields, null when absent
  const char* content_base;
  const char* disposition;
  const char* description;
  const char* content_id;
  const char* content_location;
  const char* content_md5;
  const char* content_language;
  const char* x_content_type;  // "X-Tolvane-Content-Type"
  int charset_code;            // the walk's charset code
  char* filename;              // null when unnamed
  char number[10];             // decimal sequence number, "" when unnumbered
  char charset_name[16];
  const char** index;  // kIndexSlots values for message headers, else null
};

// A sub-part of a multipart lies before the next boundary line of that
// multipart, also when its own structure is broken (a missing closing
// boundary, a header without blank line): sub-parts never overlap their
// siblings, so decoding one in place never touches another. (Messages of one
// text are siblings too; a multipart message keeps the text end as its end.)
// The parts made from a TNEF part's files have no header text; their bodies
// are views into the TNEF part's body (tnef_parts.h), read by body_length.
struct MIME_Part {
  int offset;       // header start minus message start
  int length;       // end minus header start; never negative after the walk
  int body_length;  // of the body; after decoding, of the decoded body; never negative
  char* header_start;
  char* header_end;
  MIME_Header* header;
  char* body;
  char* end;
  MIME_Part* next;
  MIME_Part* child;
};

struct MIME_Env;
MIME_Part* MIME_TnefExpand(MIME_Part* part, MIME_Env& env);

struct MIME_Env {
  int strip_cr = 1;
  int options = kMimeDefaultOptions;
  int jconv = 1;  // bit 1: Japanese texts are converted
  int status = 0;
  int default_iso2022jp = 0;
  char* message_start = nullptr;
  MIME_Part root{};
  int caller_code = 0;
  char default_content_type[64] = "text/plain";
  MemPool pool;
  int found = 0;
  // Bookkeeping of the walk.
  int sequence = 0;  // numbers handed out
  int autoname = 0;  // generated names handed out
  int charset_summary = 0;
  struct NameNode {
    const char* name;
    NameNode* next;
  }* names = nullptr;
  bool header_parsed = false;  // unknown types are plain text only for the first header
  // Limits and bounds of the parse.
  char* text_end = nullptr;  // message start plus length (a NUL is there)
  int parts = 0;             // parts made, against kMimeMaxParts
  int fields = 0;            // header fields split, against kMimeMaxFields
  // Expands a TNEF part (class 17) when option 0x200 is set (see
  // tnef_parts.h): adds the part's files as complete parts after it. The
  // walk does not visit them; it goes on with the part's former next sibling.
  // Null: TNEF parts stay whole.
  MIME_Part* (*tnef_expand)(MIME_Part* part, MIME_Env& env) = &MIME_TnefExpand;
};

// 0, or -1 for a null text or one longer than kMimeMaxText. The text must be
// NUL-terminated at text + length. Anything an earlier parse left in the pool
// is released.
int MIME_Init(MIME_Env& env, char* text, std::size_t length, int caller_code, const char* charset);
// Parses and (with any option set) walks; answers the status bits.
int MIME_Parse(MIME_Env& env);
void MIME_Free(MIME_Env& env);
// The first non-empty charset name in the order: the part, its child subtree,
// its next siblings; null when none.
const char* MIME_FirstCharset(const MIME_Part* part);

// The decoding walk (run by MIME_Parse when any option bit is set): decodes,
// finds charsets, splits out uuencoded files, names and numbers the parts of
// `first`, its next siblings and their subtrees.
void MIME_DecodeWalk(MIME_Part* first, MIME_Env& env);
// Chooses and stores the part's file name (made safe with MLG_SafeFileName).
void MIME_PartName(MIME_Header* header, MIME_Env& env);
// A generated name "%02d.<ext>" (or "%02d") from the parse's counter and the
// extension the type list gives for the content type; in the pool.
char* MIME_AutoName(MIME_Header* header, MIME_Env& env);
// Gives the header the next sequence number when it has none.
void MIME_Number(MIME_Header* header, MIME_Env& env);
// Parameter `name` of a header value, with RFC 2231 continuations
// ("name*0*=", "name*1=") and charset prefixes ("utf-8''%E2%82%AC"), into
// `out`; the charset of an encoded value goes to `charset` ("" otherwise).
// A plain parameter answers the rest of the value from the parameter's first
// byte (the caller cuts it). Answers out, or null when absent.
char* MIME_ParamGet(const char* value, const char* name, char* out, std::size_t out_size,
                    char* charset, std::size_t charset_size);
// The first `byte` of `text` outside multibyte characters of `scheme`
// (NameScheme) and numeric character references ("&#59;"); null when none.
const char* MIME_MbStrChr(const char* text, int byte, int scheme);
// Strips surrounding double quotes in place (leading spaces skipped; the text
// ends at the closing quote or a newline); answers the start of the result.
char* MIME_Unquote(char* text);
// Splits uuencoded files ("begin <mode> <name>" ... "end") out of a text part
// into parts linked after it (named, made safe, numbered and typed: the walk
// does not visit them again); answers the last part added, or `part`.
MIME_Part* MIME_TextUUExtract(MIME_Part* part, MIME_Env& env);
