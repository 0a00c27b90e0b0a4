// Parameters of MIME header values as browsers send them in form requests:
// `type; name=value; name="quoted value"`.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct Param {
  std::string_view name;
  std::string value;
};

// The type of a header value: the text before the first ";", trimmed.
std::string_view HeaderType(std::string_view value);

// The parameters after the type of a header value, in order. Names point
// into `value`.
std::vector<Param> HeaderParams(std::string_view value);

// The first parameter of that name (ASCII case ignored); null when none.
const Param* FindParam(const std::vector<Param>& params, std::string_view name);

// An RFC 5987 value: charset'language'percent-encoded. The bytes are kept in
// the charset they were sent in; the charset and language are dropped.
std::string ExtValue(std::string_view value);

// The boundary of a multipart Content-Type; "" when missing or unusable
// (RFC 2046: 1 to 70 characters; we refuse only what could not be matched:
// control bytes and quotes).
std::string BoundaryOf(std::string_view content_type);
