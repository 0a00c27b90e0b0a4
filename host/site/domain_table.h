// The domains of a multi-domain site: the folders below <root>/domains.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The domain names, sorted; empty in a single-domain site. Names that could
// not be a folder's name below domains/ ("." and "..", control bytes) are left
// out.
std::vector<std::string> DomainTableLoad();

// True for a name usable as a folder below domains/: not empty, not "." or
// "..", without "/" and without control bytes.
bool IsSafeDomainName(std::string_view domain);
