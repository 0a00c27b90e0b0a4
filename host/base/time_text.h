// Date and time texts of the local time zone.
#pragma once

#include <ctime>
#include <string>

// strftime(3) of the current local time with `format`; "" when the result
// would exceed 255 bytes or the format is null.
std::string MTM_ToStr(const char* format);

// The same for the moment `when`.
std::string MTM_ToStr(const char* format, std::time_t when);

// `when` as an RFC 822 date in the local zone, with English names whatever the
// locale: "Thu, 01 Jan 2009 08:00:00 +0800".
std::string MTM_RFC822Str(std::time_t when);
