// What the subcommands of attachtool share. A subcommand gets its name as
// argv[0] and its arguments after it, and answers the program's exit status.
#pragma once

inline constexpr int kExitUsage = 2;

// Prints the subcommand's usage line on standard error; answers kExitUsage.
int UsageError(const char* command);
