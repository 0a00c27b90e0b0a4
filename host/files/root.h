// The installation root under which every configuration, log and scratch file
// lies: WEBMAIL_ROOT when set and non-empty, else "/webmail".
#pragma once

#include <string>
#include <string_view>

namespace host {

const std::string& Root();

// Root() + "/" + sub.
std::string RootPath(std::string_view sub);

// The scratch folder of per-request and per-compose files: Root()/tmp.
const std::string& TmpDir();

}  // namespace host
