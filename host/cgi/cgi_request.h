// The CGI request: the query string and a urlencoded or multipart body, read
// whole before the program's entry runs, with named limits. The user's
// account is checked before any of the body is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/cgi/request_body.h"

#include "host/base/process.h"

// The limits a request must keep; a breach is answered with its own
// RequestError before the program's entry runs.
struct RequestLimits {
  std::size_t max_body = 100u << 20;        // RequestMaxKB of the site settings
  std::size_t max_header_block = 16 << 10;  // one part's header block
  std::size_t max_parts = 4096;             // parts of a multipart body
  std::size_t max_vars = 4096;              // variables of the query string; of a urlencoded body
  // Where large uploaded files are spooled while the body is read ("" for
  // never), from what size on, and in steps of how many bytes (steps of the
  // size the body is read in keep the spool file's writes aligned, which lets
  // the kernel hold it in large pages).
  std::string spool_dir;
  std::size_t spool_from = 256 << 10;
  std::size_t spool_step = 128 << 10;
};

enum class RequestError {
  kOk = 0,
  kBodyTooLarge,        // 413
  kNoBoundary,          // 400: multipart without a usable boundary parameter
  kNoClosingBoundary,   // 400
  kPartWithoutHeaders,  // 400
  kHeaderTooLarge,      // 400
  kTooManyParts,        // 400
  kTooManyVariables,    // 400: a query string or urlencoded body over max_vars
  kTruncatedBody,       // 400: fewer bytes than CONTENT_LENGTH
  kBadContentLength,    // 400
  kMethodNotAllowed,    // 405
  kSpoolFailed,         // 500: an uploaded file could not be kept while read
  kNotLoggedIn,         // 403: REMOTE_USER names no account
};

// The HTTP status line text of an error ("413 Payload Too Large", ...).
const char* RequestErrorStatus(RequestError e);
// A one-line reason for the text/plain body of the error answer.
const char* RequestErrorReason(RequestError e);

// One multipart part. `data` points into the request's body (its memory or
// one of its spool files) and is followed by a NUL byte, so a text part's
// data is also a C string.
struct FormPart {
  std::string name;
  std::string filename;  // the filename parameter as sent, "" when none
  bool has_filename = false;
  std::string content_type;  // the part's Content-Type, "" when none
  const char* data = nullptr;
  std::size_t length = 0;
};

// One request variable. Name and value lie in memory the Request owns (its
// body or one of its texts) and are each followed by a NUL.
struct FormVar {
  std::string_view name;
  std::string_view value;
};

// The parsed request. Variables keep every value in arrival order: query
// string first, then the body.
struct Request {
  RequestBody body;  // the body's bytes; FormPart::data and vars point into it
  std::vector<FormVar> vars;
  std::vector<FormPart> parts;
  // Texts the variables point into that are not the body's (the decoded
  // query string, the names of multipart fields, AddVar's copies). A text
  // stays where it is when more are kept and when the Request moves.
  std::forward_list<std::string> texts;

  // Keeps a copy of `text`; answers it (followed by a NUL).
  std::string& Keep(std::string_view text) { return texts.emplace_front(text); }
  // Adds a variable whose name and value are copied (tests, tools).
  void AddVar(std::string_view name, std::string_view value);
};

// Adds the variables of urlencoded `text` ("name=value" pairs joined by "&",
// a pair without "=" has the value ""; "+" is a space, %XX decoded, a
// malformed escape is kept as written), decoding them where they stand: each
// name and value is then followed by a NUL where its "=" or "&" stood, and
// text[length], which must be writable, becomes a NUL too. Empty pairs are
// skipped. More than limits.max_vars variables: kTooManyVariables, with
// req.vars as before.
RequestError ParseUrlEncodedInPlace(char* text, std::size_t length, const RequestLimits& limits,
                                    Request& req);
// The same over a copy of `text` that the request keeps (a query string).
RequestError ParseUrlEncoded(std::string_view text, const RequestLimits& limits, Request& req);

// Parses `req.body`, already read whole, as multipart/form-data with the
// boundary of `content_type` (see multipart_parser.h). Fills req.parts and,
// for parts without a file name, req.vars. May write NUL bytes into req.body
// after each part's data. On an error req.parts and req.vars are as before.
RequestError ParseMultipart(std::string_view content_type, const RequestLimits& limits,
                            Request& req);

// Reads exactly `length` bytes from `fd` into `body` (sized once, read in
// place), going on after short reads and EINTR. kTruncatedBody when the input
// ends or fails first.
RequestError ReadBody(int fd, std::size_t length, RequestBody& body);

// Asked by LoadRequest once the method is known to be served, before
// anything else of the request is looked at: false refuses the request
// (kNotLoggedIn).
using RequestGate = std::function<bool()>;

// MCGI_Load without the answer and the process-wide state: checks the method
// and asks `gate` (when set), parses the query string and, for POST, reads
// CONTENT_LENGTH bytes from `fd` and parses them by CONTENT_TYPE (a multipart
// body while it is read, a urlencoded body in place once read; a body of
// another type is read, not parsed). A refusal by the gate, a query string
// over limits.max_vars and a body over limits.max_body come before anything
// is read; a short body is kTruncatedBody whatever else is wrong with it.
RequestError LoadRequest(const host::CgiEnv& env, int fd, const RequestLimits& limits, Request& req,
                         const RequestGate& gate = {});

// Reads and parses the whole request of this process (Env(), standard input)
// into the process-wide request, spooling large uploads into the scratch
// folder. `gate` is asked before the body is read; the programs pass the
// login check (REMOTE_USER must name an account, LoginUserId() in session.h),
// so an unknown user is answered 403 as user_login() would, and nothing is
// read. On an error it writes the
// answer (Status, text/plain reason; a 405 also names the methods served in
// "Allow") and answers the error; the program then exits with 1. A program,
// test or tool that takes a request without a login uses LoadRequest and
// MCGI_SetRequest.
RequestError MCGI_Load(const RequestGate& gate);

// Replaces the process-wide request (tests, fuzzing, tools) and indexes its
// names. Moving a parsed Request keeps FormPart::data and the variables
// valid; a Request cannot be copied.
void MCGI_SetRequest(Request req);
const Request& MCGI_Request();

// The first value of a variable; null when absent. `flags` is unused.
const char* MCGI_VarStrGet(std::string_view name, int flags = 0);
// The first value as a base-10 integer; `def` when absent or not a number.
// Spaces and tabs around the number and a leading sign are allowed; trailing
// text or a value outside the int range makes it not a number.
int MCGI_VarIntGet(std::string_view name, int def);
// The next value of a repeated variable: `*cursor` starts at 0 and is
// advanced; null after the last.
const char* MCGI_VarStrMGet(std::string_view name, int* cursor, int flags = 0);
// The first multipart part of that name: 0 and its client file name ("" when
// none), data and length; -1 when absent (then "" , "" and 0).
int MCGI_FileGet(std::string_view name, const char** filename, const char** data,
                 std::int64_t* length);
