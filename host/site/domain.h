// Domains of a multi-domain site.
#pragma once

#include <string>
#include <string_view>

// <root>/domains/<domain>; the empty domain is the site's default domain.
std::string GetDomainDir(std::string_view domain);

// <root>/domains/<domain>/public/<sub>.
std::string GetPublicPath(std::string_view domain, std::string_view sub);

// The canonical form of a user id: in a multi-domain site an id without "@"
// gets "@" and `domain` (the default domain when empty). At most 511 bytes.
std::string MUSER_IDNormalize(std::string_view id, std::string_view domain);
