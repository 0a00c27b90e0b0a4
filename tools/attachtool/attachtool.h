// What the subcommands of attachtool share. A subcommand gets its name as
// argv[0] and its arguments after it, and answers the program's exit status.
#pragma once

#include <string>
#include <string_view>

inline constexpr int kExitUsage = 2;

// Prints the subcommand's usage line on standard error; answers kExitUsage.
int UsageError(const char* command);

// A value as one column of a TAB-separated line: TAB, CR and LF become spaces.
std::string OneLineField(std::string_view text);
