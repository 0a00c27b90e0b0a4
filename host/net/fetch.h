// Fetching a URL into a file (libcurl, loaded on first use).
#pragma once

#include <string>

// Answers of MNET_Fetch2File other than 0.
inline constexpr int kFetchRefused = 1;      // not http or https, or an address not allowed
inline constexpr int kFetchTooLarge = 2;     // the body is over FetchMaxKB
inline constexpr int kFetchFailed = 3;       // network error, time-out, an answer other than 2xx
inline constexpr int kFetchFileError = 4;    // the file could not be created or written
inline constexpr int kFetchUnavailable = 5;  // libcurl could not be loaded

// What went wrong in the last failed fetch of this process, for telling the
// user (the error log has the details).
enum class FetchProblem {
  kNone,
  kScheme,       // not an http or https URL
  kAddress,      // the server's address is one the site does not fetch from
  kTooLarge,     // the body is over FetchMaxKB
  kHttpStatus,   // the server answered with a status other than 2xx
  kTimeout,      // no whole answer within FetchTimeoutSeconds
  kUnreachable,  // the host name was not found or the server not reached
  kOther,        // the file could not be stored, libcurl is missing, ...
};

struct FetchFailure {
  FetchProblem problem = FetchProblem::kNone;
  long http_status = 0;  // kHttpStatus: the status the server answered
};

// Fetches `url` (http or https only, also after each of at most 5
// redirects) into a new file at `path` (mode 0600, never following a link
// there). Connect and total time are bounded by FetchTimeoutSeconds, the
// body by FetchMaxKB; a destination address in a loopback, private,
// link-local or unspecified range (IPv4 and IPv6) is refused unless
// FetchAllowPrivate is 1. Answers 0 when a 2xx answer was stored whole,
// non-zero otherwise; a failed fetch leaves no file. An existing file or
// link at `path` is a failure and stays as it was. Failures are logged to
// the error log with the URL (without user name and password) and the
// reason. `flags` is unused; pass 0.
int MNET_Fetch2File(const char* url, const std::string& path, int flags);

// The failure of the last MNET_Fetch2File that answered non-zero; kNone after
// one that answered 0.
const FetchFailure& MNET_LastFailure();

// For tests only: lets a server on this machine stand for a public one.
// While a hook is set, every fetch adds `resolve` to its name resolution
// (curl's "host:port:address" form, e.g. "public.test:8080:127.0.0.1") and
// judges the first `public_connections` connections it opens as public,
// whatever their address. Every later connection of the fetch, those opened
// to follow a redirect included, meets the normal address policy: with
// `public_connections` 1, a redirect from the "public" name to 127.0.0.1
// must be refused. The programs never set a hook.
struct FetchTestHook {
  std::string resolve;
  int public_connections = 0;
};

// Sets (a copy of) the hook, or clears it with nullptr.
void MNET_FetchSetTestHook(const FetchTestHook* hook);
