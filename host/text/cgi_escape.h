// Escapes for HTML, URIs and JavaScript string literals.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// HTML text and attribute escape of & < > " ' into dst of `size` bytes
// (NUL-terminated). 0 on success, -1 when it does not fit (dst is then "").
int MCGI_HTMLEscape(std::string_view src, char* dst, std::size_t size, int flags);
std::string HtmlEscape(std::string_view src);

// The length of the well-formed numeric character reference that `text`
// begins with ("&#" and 1 to 7 decimal digits, or "&#x" and 1 to 6 hex digits,
// then ";", naming a Unicode scalar value other than NUL), else 0.
std::size_t NumericReferenceLength(std::string_view text);

// HtmlEscape() that keeps well-formed numeric character references, for
// names that carry characters their charset lacks as "&#233;": the browser
// shows the character, and every other "&" is escaped.
std::string HtmlEscapeKeepingReferences(std::string_view src);

// Percent-encodes every byte but unreserved ones (A-Z a-z 0-9 - _ . ~) into
// dst; 0 on success, -1 when it does not fit.
int MCGI_URIEscape(std::string_view src, char* dst, std::size_t size);
std::string MCGI_URIEscapeStr(std::string_view src);

// Escape for a JavaScript string literal in single or double quotes inside an
// HTML page: backslash, quotes, control bytes, "<", ">" and "&" become \xNN or
// \n forms; U+2028 and U+2029 (UTF-8) become \u2028 and \u2029.
std::string MCGI_JSEscape(std::string_view src);

// Escape for a value inside a URL query: like MCGI_URIEscapeStr but a space
// becomes "+".
std::string MCGI_Escape(std::string_view src);

// Decodes in place `escape` and two hex digits into that byte, and `space_as`
// into a space; a malformed escape stays as it is. Answers the new length.
// URLs use "%" and "+", the "Q" encoding of encoded words "=" and "_".
std::size_t DecodeHexEscapes(char* text, std::size_t length, char escape, char space_as);

// Decodes %XX escapes and "+" in place; answers the new length. A "%" not
// followed by two hex digits stays as written.
std::size_t MCGI_URIUnescape(std::string& text);
// The same over `length` bytes at `text`; the bytes after the new length are
// left as they were.
std::size_t MCGI_URIUnescape(char* text, std::size_t length);
