// Encoded words of mail header fields (RFC 2047), decoded in place.
#pragma once

#include <string>

// Decodes every "=?charset?B|Q?text?=" word of `text` in place (white space
// between two adjacent encoded words is dropped); the bytes stay in the
// words' charset. Answers the charset name of the words ("" when there were
// none; the first one when they differ; an RFC 2231 "*language" suffix is
// not part of it). A malformed word (no closing "?=", an encoding other than
// B or Q, white space inside) stays as written. Decoded NUL bytes are left
// out, since the result is a C string. Linear in the text's length.
std::string MSTR_Decode(char* text);
