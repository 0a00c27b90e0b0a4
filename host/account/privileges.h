// Administrator privileges in <root>/etc/privileges.conf: lines
// "code domain user" separated by blanks, domain "-" for the site (the empty
// domain); lines starting with "#" are comments.
#pragma once

#include <string_view>

// 1 when the file grants `code` to `user_id` in `domain` (null or empty: the
// site), else 0. The user field must equal the id exactly.
int MAU_PrivilegeCheckByUID(std::string_view user_id, const char* domain, std::string_view code);
