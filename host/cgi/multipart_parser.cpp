#include "host/cgi/multipart_parser.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "host/base/ascii.h"
#include "host/base/strings.h"
#include "host/base/unique_fd.h"
#include "host/cgi/find_bytes.h"
#include "host/cgi/header_params.h"
#include "host/files/files.h"

namespace {

// Bytes asked of the reader at a time. A spooled file passes through this much
// memory, which stays in the processor's cache from the read to the write.
constexpr std::size_t kReadChunk = 128 << 10;
// Spool files one request may make; larger files after them stay in memory.
constexpr std::size_t kMaxSpools = 64;
constexpr std::size_t kPage = 4096;

// Where, at or after `origin`, to put bytes that begin at `body_offset` of a
// part whose data begins at `data_offset`. The kernel copies a page fastest
// when its source and target addresses do not lie a few bytes apart modulo
// the page size (a store then seems to overlap the next load): placing
// memory at the body's page offset (or half a page beyond it) keeps the copy
// from the input apart, and the copy to the spool file, which lies
// `data_offset` behind, too.
std::size_t AlignedPlace(std::size_t origin, std::size_t body_offset, std::size_t data_offset) {
  const std::size_t near = 64;
  const std::size_t lag = data_offset % kPage;
  const std::size_t k = lag >= kPage - near ? kPage / 2 : 0;
  const std::size_t want = (body_offset + k) % kPage;
  return origin + (want + kPage - origin % kPage) % kPage;
}

enum class LineKind { kNotDelimiter, kDelimiter, kClose, kUnterminated };

// What the line that begins with "--boundary" at `pos` is. A delimiter line
// may carry blanks (transport padding) before its line end; `*next` is then
// the first byte after it.
LineKind DelimiterLine(std::string_view body, std::size_t pos, std::size_t dash_len,
                       std::size_t* next) {
  std::size_t p = pos + dash_len;
  if (body.substr(p, 2) == "--") return LineKind::kClose;
  while (p < body.size() && ascii::IsBlank(body[p])) ++p;
  if (p == body.size()) return LineKind::kUnterminated;
  if (body[p] == '\n') {
    *next = p + 1;
    return LineKind::kDelimiter;
  }
  if (body[p] == '\r') {
    if (p + 1 == body.size()) return LineKind::kUnterminated;
    if (body[p + 1] == '\n') {
      *next = p + 2;
      return LineKind::kDelimiter;
    }
  }
  return LineKind::kNotDelimiter;
}

struct Delimiter {
  std::size_t line_break = 0;  // the LF before "--boundary"
  LineKind kind = LineKind::kNotDelimiter;
  std::size_t next = 0;
};

struct Header {
  std::string name;
  std::string value;
};

// Reads the header block of a part starting at `*pos` up to and including its
// blank line, which leaves `*pos` at the part's data. A block is a run of one
// or more "Name: value" lines (folded lines continue a value); a blank line
// at once, anything else before the blank line, or the end of the body means
// the part has no headers.
RequestError ReadHeaderBlock(std::string_view body, std::size_t* pos, std::string_view dash,
                             std::size_t max_block, std::vector<Header>& headers) {
  const std::size_t block_start = *pos;
  const std::size_t window_end =
      max_block >= body.size() - block_start ? body.size() : block_start + max_block;
  std::size_t line_start = block_start;
  for (;;) {
    const void* hit = std::memchr(body.data() + line_start, '\n', window_end - line_start);
    if (hit == nullptr) {
      return window_end == body.size() ? RequestError::kPartWithoutHeaders
                                       : RequestError::kHeaderTooLarge;
    }
    std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(hit) - body.data());
    std::string_view line = body.substr(line_start, lf - line_start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line_start = lf + 1;
    if (line.empty()) {
      if (headers.empty()) return RequestError::kPartWithoutHeaders;
      *pos = line_start;
      return RequestError::kOk;
    }
    if (line.substr(0, dash.size()) == dash) return RequestError::kPartWithoutHeaders;
    if (ascii::IsBlank(line.front())) {
      if (headers.empty()) return RequestError::kPartWithoutHeaders;
      headers.back().value += ' ';
      headers.back().value += TrimBlanks(line);
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return RequestError::kPartWithoutHeaders;
    headers.push_back({std::string(TrimBlanks(line.substr(0, colon))),
                       std::string(TrimBlanks(line.substr(colon + 1)))});
  }
}

// Fills name, file name and content type of a part from its headers.
void DescribePart(const std::vector<Header>& headers, FormPart& part) {
  for (const Header& h : headers) {
    if (EqualsNoCase(h.name, "Content-Type")) {
      part.content_type = h.value;
    } else if (EqualsNoCase(h.name, "Content-Disposition")) {
      std::vector<Param> params = HeaderParams(h.value);
      if (const Param* p = FindParam(params, "name")) part.name = p->value;
      if (const Param* p = FindParam(params, "filename")) {
        part.filename = p->value;
        part.has_filename = true;
      } else if (const Param* ext = FindParam(params, "filename*")) {
        part.filename = ExtValue(ext->value);
        part.has_filename = true;
      }
    }
  }
}

bool PreadAll(int fd, char* into, std::size_t n) {
  off_t at = 0;
  while (n > 0) {
    ssize_t r = pread(fd, into, n, at);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    into += r;
    at += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// The data of one file part on its way to a spool file: its first `written`
// bytes are in the file, the rest in memory from `data_start` on. The data
// began at `origin` in memory and at `data_offset` in the body.
struct Spool {
  bool allowed = false;
  std::size_t origin = 0;
  std::size_t data_offset = 0;
  std::size_t data_start = 0;
  UniqueFd fd;
  std::size_t written = 0;
};

constexpr std::size_t kNotInMemory = static_cast<std::size_t>(-1);

#define RETURN_IF_ERROR(expr)               \
  do {                                      \
    RequestError e_ = (expr);               \
    if (e_ != RequestError::kOk) return e_; \
  } while (0)

// One pass over one body. Memory holds `fill_` bytes of it (a spooled part's
// data leaves memory, so later bytes move down); `left_` bytes are still to
// be read.
class Parser {
 public:
  Parser(RequestBody& body, const BodyReader* reader, std::size_t length, std::string_view boundary,
         const RequestLimits& limits)
      : body_(body),
        reader_(reader),
        left_(reader ? length : 0),
        fill_(reader ? 0 : body.size()),
        read_(fill_),
        nl_dash_("\n--" + std::string(boundary)),
        limits_(limits),
        may_spool_(reader != nullptr && !limits.spool_dir.empty()) {}

  RequestError Run(std::vector<FormPart>& parts);
  RequestError Drain();
  std::size_t filled() const { return fill_; }

 private:
  // Where memory position `at` of the bytes read last lies in the body.
  std::size_t BodyOffset(std::size_t at) const { return read_ - (fill_ - at); }
  char* Buf() { return body_.data(); }
  std::string_view View() const { return {body_.data(), fill_}; }
  std::size_t DashLength() const { return nl_dash_.size() - 1; }

  RequestError ReadMore();
  RequestError Ensure(std::size_t end);
  RequestError LineAt(std::size_t pos, Delimiter* d);
  RequestError FindNext(std::size_t from, Spool* spool, Delimiter* d);
  RequestError Spill(Spool& s, std::size_t* from);
  RequestError FinishSpool(Spool& s, Delimiter* d);
  RequestError Unspool(Spool& s, std::size_t* from, Delimiter* d);

  RequestBody& body_;
  const BodyReader* reader_;
  std::size_t left_;
  std::size_t fill_;
  std::size_t read_;  // bytes of the body read so far
  const std::string nl_dash_;
  const RequestLimits& limits_;
  bool may_spool_;
  std::size_t spools_made_ = 0;
};

// Reads the next piece of the body after the bytes in memory; there is one.
RequestError Parser::ReadMore() {
  const std::size_t want = std::min(left_, kReadChunk);
  for (;;) {
    ssize_t n = (*reader_)(Buf() + fill_, want);
    if (n > 0 && static_cast<std::size_t>(n) <= want) {
      fill_ += static_cast<std::size_t>(n);
      read_ += static_cast<std::size_t>(n);
      left_ -= static_cast<std::size_t>(n);
      return RequestError::kOk;
    }
    if (n < 0 && errno == EINTR) continue;
    return RequestError::kTruncatedBody;
  }
}

// Reads until memory holds the bytes before `end`, or the body has no more.
RequestError Parser::Ensure(std::size_t end) {
  while (fill_ < end && left_ > 0) RETURN_IF_ERROR(ReadMore());
  return RequestError::kOk;
}

// The kind of the line that begins with "--boundary" at `pos`, reading on as
// long as its blanks run to the end of what is in memory.
RequestError Parser::LineAt(std::size_t pos, Delimiter* d) {
  std::size_t want = DashLength() + 2;
  for (;;) {
    RETURN_IF_ERROR(Ensure(pos + want));
    d->kind = DelimiterLine(View(), pos, DashLength(), &d->next);
    if (d->kind != LineKind::kUnterminated || left_ == 0) return RequestError::kOk;
    want = std::max(want * 2, fill_ - pos + 1);  // doubling keeps rescans linear
  }
}

// The next delimiter line whose "\n--boundary" begins at or after `from`;
// kind kNotDelimiter when the body has none. The search only goes forward
// and stops only where "\n--boundary" stands, so a body is scanned once
// however many line breaks or near-delimiters its data holds. With a spool,
// data that can no longer be part of a delimiter goes to it as the search
// passes.
RequestError Parser::FindNext(std::size_t from, Spool* spool, Delimiter* d) {
  const std::size_t m = nl_dash_.size();
  for (;;) {
    if (from < fill_) {
      const char* hit = FindBytes(Buf() + from, fill_ - from, nl_dash_.data(), m);
      if (hit != nullptr) {
        const std::size_t lf = static_cast<std::size_t>(hit - Buf());
        Delimiter line;
        RETURN_IF_ERROR(LineAt(lf + 1, &line));
        if (line.kind != LineKind::kNotDelimiter) {
          line.line_break = lf;
          *d = line;
          return RequestError::kOk;
        }
        from = lf + 1;
        continue;
      }
    }
    if (left_ == 0) {
      d->kind = LineKind::kNotDelimiter;
      return RequestError::kOk;
    }
    // A "\n--boundary" may begin in the last m - 1 bytes and end in the next.
    from = std::max(from, fill_ >= m - 1 ? fill_ - (m - 1) : std::size_t{0});
    if (spool) RETURN_IF_ERROR(Spill(*spool, &from));
    RETURN_IF_ERROR(ReadMore());
  }
}

// Moves the part's data before `*from` to its spool file in whole steps
// (limits_.spool_step), but for the last byte (a CR that may belong to the next delimiter), once
// the part has limits_.spool_from bytes. The bytes kept go to the place that
// suits the copies to come (AlignedPlace).
RequestError Parser::Spill(Spool& s, std::size_t* from) {
  if (!s.allowed || *from <= s.data_start + 1) return RequestError::kOk;
  const std::size_t start = s.data_start;
  const std::size_t cut = *from - 1;
  if (!s.fd.ok()) {
    if (cut - start < limits_.spool_from) return RequestError::kOk;
    s.fd = UniqueFd(open(limits_.spool_dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!s.fd.ok()) {
      s.allowed = false;  // no unnamed files there: the part stays in memory
      return RequestError::kOk;
    }
    ++spools_made_;
  }
  const std::size_t step = std::max(limits_.spool_step, std::size_t{1});
  const std::size_t n = (cut - start) / step * step;
  if (n == 0) return RequestError::kOk;
  if (!WriteAll(s.fd.get(), Buf() + start, n)) return Unspool(s, from, nullptr);
  s.written += n;
  // Memory may run up to a page past the data's origin only once a page of
  // it has left: memory never holds more than the body's bytes read.
  const std::size_t kept = start + n;
  const std::size_t place =
      s.written >= kPage ? AlignedPlace(s.origin, BodyOffset(kept), s.data_offset) : s.origin;
  std::memmove(Buf() + place, Buf() + kept, fill_ - kept);
  fill_ = place + (fill_ - kept);
  *from = place + (*from - kept);
  s.data_start = place;
  return RequestError::kOk;
}

// Moves the rest of a spooled part's data to its file once its delimiter is
// found; the delimiter line then stands where the data began in memory.
RequestError Parser::FinishSpool(Spool& s, Delimiter* d) {
  if (!s.fd.ok()) return RequestError::kOk;
  const std::size_t start = s.data_start;
  std::size_t end = d->line_break;  // after the last spill, so not before start
  if (end > start && Buf()[end - 1] == '\r') --end;
  if (end > start && !WriteAll(s.fd.get(), Buf() + start, end - start)) {
    return Unspool(s, nullptr, d);
  }
  s.written += end - start;
  std::memmove(Buf() + s.origin, Buf() + end, fill_ - end);
  const std::size_t moved = end - s.origin;
  fill_ -= moved;
  d->line_break -= moved;
  d->next -= moved;
  return RequestError::kOk;
}

// The spool file could not take more (a full disk, a file size limit): its
// bytes come back into memory where the data began, followed by the rest,
// and the part stays in memory. There is room: memory held them before.
RequestError Parser::Unspool(Spool& s, std::size_t* from, Delimiter* d) {
  const std::size_t start = s.data_start;
  const std::size_t n = s.written;
  s.allowed = false;
  if (n > 0) {
    // The data moved less than a page, and only once a page had left: the
    // bytes in memory only move up.
    const std::size_t to = s.origin + n;
    std::memmove(Buf() + to, Buf() + start, fill_ - start);
    if (!PreadAll(s.fd.get(), Buf() + s.origin, n)) return RequestError::kSpoolFailed;
    fill_ = to + (fill_ - start);
    if (from) *from = to + (*from - start);
    if (d) {
      d->line_break = to + (d->line_break - start);
      d->next = to + (d->next - start);
    }
  }
  s.data_start = s.origin;
  s.written = 0;
  s.fd = UniqueFd();
  return RequestError::kOk;
}

RequestError Parser::Run(std::vector<FormPart>& out) {
  const std::string_view dash = std::string_view(nl_dash_).substr(1);
  std::vector<FormPart> parts;
  std::vector<std::size_t> offsets;  // where each part's data is in memory

  // The first delimiter; what stands before it is a preamble.
  Delimiter d;
  RETURN_IF_ERROR(Ensure(dash.size()));
  if (View().substr(0, dash.size()) == dash) RETURN_IF_ERROR(LineAt(0, &d));
  if (d.kind == LineKind::kNotDelimiter) RETURN_IF_ERROR(FindNext(0, nullptr, &d));

  for (;;) {
    switch (d.kind) {
      case LineKind::kClose:
        // Each part's data is followed by the CR or LF before its delimiter
        // (already matched), which can now become its NUL.
        for (std::size_t i = 0; i < parts.size(); ++i) {
          if (offsets[i] == kNotInMemory) continue;
          Buf()[offsets[i] + parts[i].length] = '\0';
          parts[i].data = Buf() + offsets[i];
        }
        out = std::move(parts);
        return RequestError::kOk;
      case LineKind::kNotDelimiter:
      case LineKind::kUnterminated:
        return RequestError::kNoClosingBoundary;
      case LineKind::kDelimiter:
        break;
    }
    if (parts.size() >= limits_.max_parts) return RequestError::kTooManyParts;

    std::size_t pos = d.next;
    RETURN_IF_ERROR(Ensure(pos + limits_.max_header_block + 1));
    std::vector<Header> headers;
    RETURN_IF_ERROR(ReadHeaderBlock(View(), &pos, dash, limits_.max_header_block, headers));
    FormPart part;
    DescribePart(headers, part);

    // The blank line's LF may itself be the line break before the next
    // delimiter (a part with empty data sent without its own CRLF).
    Spool spool;
    spool.allowed = may_spool_ && part.has_filename && spools_made_ < kMaxSpools;
    spool.origin = spool.data_start = pos;
    spool.data_offset = BodyOffset(pos);
    RETURN_IF_ERROR(FindNext(pos - 1, &spool, &d));
    if (d.kind == LineKind::kNotDelimiter || d.kind == LineKind::kUnterminated) {
      return RequestError::kNoClosingBoundary;
    }
    RETURN_IF_ERROR(FinishSpool(spool, &d));
    if (spool.fd.ok()) {
      part.length = spool.written;
      part.data = body_.AddSpool(spool.fd.release(), spool.written);
      if (part.data == nullptr) return RequestError::kSpoolFailed;
      offsets.push_back(kNotInMemory);
    } else {
      std::size_t start = pos;
      std::size_t end = d.line_break;  // the data ends before CRLF or LF
      if (end < start) {
        start = end;  // empty data; its NUL goes on that LF
      } else if (end > start && Buf()[end - 1] == '\r') {
        --end;
      }
      part.length = end - start;
      offsets.push_back(start);
    }
    parts.push_back(std::move(part));
  }
}

// Reads what is left of the body (an epilogue, or the rest after an error),
// so that a body shorter than announced is told apart.
RequestError Parser::Drain() {
  if (left_ == 0) return RequestError::kOk;
  std::string scratch(std::min(left_, kReadChunk), '\0');
  while (left_ > 0) {
    ssize_t n = (*reader_)(scratch.data(), std::min(left_, scratch.size()));
    if (n > 0 && static_cast<std::size_t>(n) <= left_) {
      left_ -= static_cast<std::size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      return RequestError::kTruncatedBody;
    }
  }
  return RequestError::kOk;
}

}  // namespace

RequestError ParseMultipartBody(RequestBody& body, const BodyReader& reader, std::size_t length,
                                std::string_view boundary, const RequestLimits& limits,
                                std::vector<FormPart>& parts) {
  const bool streaming = static_cast<bool>(reader);
  if (streaming && !body.Reserve(length)) return RequestError::kBodyTooLarge;
  Parser parser(body, streaming ? &reader : nullptr, length, boundary, limits);
  std::vector<FormPart> found;
  RequestError e = parser.Run(found);
  RequestError rest = parser.Drain();
  if (streaming) body.Resize(parser.filled());
  if (rest != RequestError::kOk) return rest;  // a short body comes first
  if (e != RequestError::kOk) return e;
  parts.insert(parts.end(), std::make_move_iterator(found.begin()),
               std::make_move_iterator(found.end()));
  return RequestError::kOk;
}
