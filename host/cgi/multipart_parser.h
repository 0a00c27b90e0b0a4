// The multipart/form-data parser. It reads a body in order, as it arrives,
// and finds its parts in one pass. A part's data stays in the request body's
// memory, except for a large uploaded file, whose data goes to an unnamed
// spool file while it is read: the upload's bytes are then written once, and
// the stored copy can be that file itself (RequestBody::LinkAs).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

#include "host/cgi/cgi_request.h"

// Reads up to `n` bytes into `into` like read(2): the count, 0 at the end of
// the input, -1 with errno on failure.
using BodyReader = std::function<ssize_t(char* into, std::size_t n)>;

// Parses a multipart body with `boundary` into `parts` (each part's data is
// followed by a NUL). With a reader, the body's `length` bytes come from it
// and `body` is filled as they arrive (kTruncatedBody when fewer come); file
// parts from limits.spool_from bytes on are spooled into limits.spool_dir
// when it is set and the file system there can make unnamed files. Without a
// reader, `body` already holds the whole body and nothing is spooled. After
// an error the reader has been read to the end and `parts` is unchanged.
// Delimiters count only at the start of a line (RFC 2046 section 5.1.1); CRLF
// and bare LF line ends are both accepted.
RequestError ParseMultipartBody(RequestBody& body, const BodyReader& reader, std::size_t length,
                                std::string_view boundary, const RequestLimits& limits,
                                std::vector<FormPart>& parts);
