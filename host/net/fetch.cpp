// CURLOPT_PROTOCOLS (the bitmask form, for libcurl before 7.85) is marked
// deprecated in newer headers; it is only the fallback here.
#define CURL_DISABLE_DEPRECATION 1

#include "host/net/fetch.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/base/ascii.h"
#include "host/files/files.h"
#include "host/files/log.h"
#include "host/net/address_policy.h"
#include "host/net/curl_loader.h"
#include "host/site/site.h"

namespace {

constexpr long kMaxRedirects = 5;
constexpr const char* kUserAgent = "attachdesk-fetch/1.0";
// Larger receive buffers than curl's 16 KiB mean fewer reads and writes for
// the large files people attach.
constexpr long kBufferSize = 256 * 1024;

FetchFailure& LastFailure() {
  static FetchFailure failure;
  return failure;
}

std::optional<FetchTestHook>& TestHook() {
  static std::optional<FetchTestHook> hook;
  return hook;
}

// The URL as a log line may show it: no user name or password, control
// bytes as "?", at most 1000 bytes.
std::string LoggableUrl(std::string_view url) {
  std::string out(url.substr(0, 1000));
  size_t scheme_end = out.find("://");
  if (scheme_end != std::string::npos) {
    size_t host = scheme_end + 3;
    size_t authority_end = out.find_first_of("/?#", host);
    if (authority_end == std::string::npos) authority_end = out.size();
    size_t at = out.rfind('@', authority_end == 0 ? 0 : authority_end - 1);
    if (at != std::string::npos && at >= host && at < authority_end) out.erase(host, at + 1 - host);
  }
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  if (url.size() > 1000) out += "...";
  return out;
}

// Only "http://" and "https://" URLs, in any case; curl would guess a
// scheme for a URL without one, and that guess is not ours to make.
bool SchemeAllowed(std::string_view url) {
  size_t end = url.find("://");
  if (end == std::string_view::npos) return false;
  std::string scheme;
  for (char c : url.substr(0, end)) scheme += ascii::Lower(c);
  return scheme == "http" || scheme == "https";
}

// An address in a comparable form.
struct Peer {
  int family = AF_UNSPEC;
  unsigned char bytes[16] = {};
  bool operator==(const Peer& o) const {
    return family == o.family && std::memcmp(bytes, o.bytes, sizeof bytes) == 0;
  }
};

std::optional<Peer> PeerOf(const sockaddr* sa, socklen_t length) {
  Peer p;
  p.family = sa->sa_family;
  if (sa->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in v4;
    std::memcpy(&v4, sa, sizeof v4);
    std::memcpy(p.bytes, &v4.sin_addr, 4);
    return p;
  }
  if (sa->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 v6;
    std::memcpy(&v6, sa, sizeof v6);
    std::memcpy(p.bytes, &v6.sin6_addr, 16);
    return p;
  }
  return std::nullopt;
}

std::optional<Peer> PeerOfText(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string bare(text);
  bare = bare.substr(0, bare.find('%'));
  Peer p;
  if (inet_pton(AF_INET, bare.c_str(), p.bytes) == 1) {
    p.family = AF_INET;
    return p;
  }
  if (inet_pton(AF_INET6, bare.c_str(), p.bytes) == 1) {
    p.family = AF_INET6;
    return p;
  }
  return std::nullopt;
}

std::string AddressText(const sockaddr* sa, socklen_t length) {
  std::optional<Peer> p = PeerOf(sa, length);
  if (!p) return "an address of family " + std::to_string(sa->sa_family);
  char text[INET6_ADDRSTRLEN] = "";
  inet_ntop(p->family, p->bytes, text, sizeof text);
  return text;
}

// The state of one fetch that the curl callbacks share.
struct Transfer {
  int fd = -1;
  std::int64_t max_bytes = 0;
  std::int64_t written = 0;
  bool allow_private = false;
  int hook_public_left = 0;    // connections the test hook still lets through
  std::vector<Peer> approved;  // addresses a connection was opened to
  std::string refusal;         // why a callback stopped the transfer, for the log
  int answer = 0;              // what that refusal answers
};

std::string Refusal(const std::string& address, host::AddressKind kind, bool allow_private) {
  std::string why = "address " + address + " is " + host::AddressKindName(kind);
  if (!host::AddressAllowed(kind, true)) return why + " and never fetched";
  return why + " (FetchAllowPrivate is " + (allow_private ? "1" : "0") + ")";
}

// Every TCP connection curl makes, the first and those that follow a
// redirect, is opened here with the resolved address, before anything is
// sent; no proxy is in play, so that address is the server's. A reused
// connection was judged when it was opened.
curl_socket_t OnOpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
  auto* t = static_cast<Transfer*>(user);
  if (purpose != CURLSOCKTYPE_IPCXN) {
    t->refusal = "a socket that is not an outgoing connection was asked for";
    t->answer = kFetchRefused;
    return CURL_SOCKET_BAD;
  }
  const auto* sa = &address->addr;
  auto length = static_cast<socklen_t>(address->addrlen);
  host::AddressKind kind = host::ClassifyAddress(sa, length);
  bool allowed = host::AddressAllowed(kind, t->allow_private);
  if (t->hook_public_left > 0) {
    --t->hook_public_left;
    allowed = kind != host::AddressKind::kInvalid;
  }
  std::optional<Peer> peer = PeerOf(sa, length);
  if (!allowed || !peer) {
    t->refusal = Refusal(AddressText(sa, length), kind, t->allow_private);
    t->answer = kFetchRefused;
    return CURL_SOCKET_BAD;
  }
  t->approved.push_back(*peer);
  // An address refused before this one (of a name with several) is not why
  // the fetch may fail later.
  if (t->answer == kFetchRefused) {
    t->refusal.clear();
    t->answer = 0;
  }
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// Runs before each request, on a new or a reused connection: the peer must
// be one the socket check approved (or pass the policy itself), so a
// connection made some other way is caught too.
int OnPrerequest(void* user, char* primary_ip, char* /*local_ip*/, int /*primary_port*/,
                 int /*local_port*/) {
  auto* t = static_cast<Transfer*>(user);
  std::optional<Peer> peer = PeerOfText(primary_ip);
  if (peer) {
    for (const Peer& p : t->approved) {
      if (p == *peer) return CURL_PREREQFUNC_OK;
    }
  }
  host::AddressKind kind = host::ClassifyAddressText(primary_ip ? primary_ip : "");
  if (host::AddressAllowed(kind, t->allow_private)) return CURL_PREREQFUNC_OK;
  t->refusal = Refusal(primary_ip ? primary_ip : "(none)", kind, t->allow_private);
  t->answer = kFetchRefused;
  return CURL_PREREQFUNC_ABORT;
}

// Writes the body as it arrives; stops the transfer once it passes the limit.
size_t OnWrite(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t bytes = size * count;
  if (static_cast<std::uint64_t>(t->written) + bytes > static_cast<std::uint64_t>(t->max_bytes)) {
    t->refusal = "the body is over FetchMaxKB (" + std::to_string(t->max_bytes / 1024) + " KB)";
    t->answer = kFetchTooLarge;
    return 0;
  }
  if (!WriteAll(t->fd, data, bytes)) {
    t->refusal = std::string("cannot write the file: ") + std::strerror(errno);
    t->answer = kFetchFileError;
    return 0;
  }
  t->written += static_cast<std::int64_t>(bytes);
  return bytes;
}

// Owns a curl easy handle and the lists handed to it.
class Easy {
 public:
  explicit Easy(const host::CurlApi& api) : api_(api), handle_(api.easy_init()) {}
  ~Easy() {
    if (handle_ != nullptr) api_.easy_cleanup(handle_);
    if (resolve_ != nullptr) api_.slist_free_all(resolve_);
  }
  Easy(const Easy&) = delete;
  Easy& operator=(const Easy&) = delete;

  CURL* get() const { return handle_; }
  // Builds the CURLOPT_RESOLVE list; false when curl could not.
  bool AddResolve(const std::string& entry) {
    curl_slist* list = api_.slist_append(resolve_, entry.c_str());
    if (list == nullptr) return false;
    resolve_ = list;
    return true;
  }
  curl_slist* resolve() const { return resolve_; }

 private:
  const host::CurlApi& api_;
  CURL* handle_;
  curl_slist* resolve_ = nullptr;
};

// Sets the options of a fetch. Answers "" or what could not be set.
std::string Configure(const host::CurlApi& curl, Easy& easy, const char* url, Transfer& t,
                      char* error_buffer, long timeout_seconds) {
  CURL* h = easy.get();
  std::string missing;
  auto set = [&](CURLoption option, auto value, const char* name) {
    if (missing.empty() && curl.easy_setopt(h, option, value) != CURLE_OK) missing = name;
  };
  set(CURLOPT_ERRORBUFFER, error_buffer, "CURLOPT_ERRORBUFFER");
  set(CURLOPT_URL, url, "CURLOPT_URL");
  set(CURLOPT_NOSIGNAL, 1L, "CURLOPT_NOSIGNAL");
  // Proxies named in the environment do not apply: the address check must
  // see the server itself.
  set(CURLOPT_PROXY, "", "CURLOPT_PROXY");
  set(CURLOPT_USERAGENT, kUserAgent, "CURLOPT_USERAGENT");
  set(CURLOPT_FOLLOWLOCATION, 1L, "CURLOPT_FOLLOWLOCATION");
  set(CURLOPT_MAXREDIRS, kMaxRedirects, "CURLOPT_MAXREDIRS");
  set(CURLOPT_FAILONERROR, 1L, "CURLOPT_FAILONERROR");
  set(CURLOPT_CONNECTTIMEOUT, timeout_seconds, "CURLOPT_CONNECTTIMEOUT");
  set(CURLOPT_TIMEOUT, timeout_seconds, "CURLOPT_TIMEOUT");
  set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t.max_bytes), "CURLOPT_MAXFILESIZE_LARGE");
  set(CURLOPT_BUFFERSIZE, kBufferSize, "CURLOPT_BUFFERSIZE");
  set(CURLOPT_WRITEFUNCTION, &OnWrite, "CURLOPT_WRITEFUNCTION");
  set(CURLOPT_WRITEDATA, static_cast<void*>(&t), "CURLOPT_WRITEDATA");
  set(CURLOPT_OPENSOCKETFUNCTION, &OnOpenSocket, "CURLOPT_OPENSOCKETFUNCTION");
  set(CURLOPT_OPENSOCKETDATA, static_cast<void*>(&t), "CURLOPT_OPENSOCKETDATA");
  if (!missing.empty()) return missing;

  // The protocol lists by name (curl 7.85 and later), else as bitmasks.
  if (curl.easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK &&
      curl.easy_setopt(h, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS)) !=
          CURLE_OK) {
    return "CURLOPT_PROTOCOLS";
  }
  if (curl.easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK &&
      curl.easy_setopt(h, CURLOPT_REDIR_PROTOCOLS,
                       static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS)) != CURLE_OK) {
    return "CURLOPT_REDIR_PROTOCOLS";
  }
  // The second check (curl 7.80 and later); the socket check stands alone
  // on an older curl.
  if (curl.easy_setopt(h, CURLOPT_PREREQFUNCTION, &OnPrerequest) == CURLE_OK) {
    curl.easy_setopt(h, CURLOPT_PREREQDATA, static_cast<void*>(&t));
  }

  const std::optional<FetchTestHook>& hook = TestHook();
  if (hook) {
    t.hook_public_left = hook->public_connections;
    if (!hook->resolve.empty()) {
      if (!easy.AddResolve(hook->resolve)) return "CURLOPT_RESOLVE";
      set(CURLOPT_RESOLVE, easy.resolve(), "CURLOPT_RESOLVE");
    }
  }
  return missing;
}

// Removes the file this fetch created, and nothing that replaced it since.
void RemoveCreated(const std::string& path, const struct stat& created) {
  struct stat now;
  if (lstat(path.c_str(), &now) == 0 && now.st_dev == created.st_dev &&
      now.st_ino == created.st_ino) {
    unlink(path.c_str());
  }
}

}  // namespace

void MNET_FetchSetTestHook(const FetchTestHook* hook) {
  if (hook != nullptr) {
    TestHook() = *hook;
  } else {
    TestHook().reset();
  }
}

const FetchFailure& MNET_LastFailure() {
  return LastFailure();
}

// The problem a failed transfer is shown as: what the policy refused, else
// what curl or the server said.
FetchProblem ProblemOf(int answer, CURLcode code, long status) {
  if (answer == kFetchTooLarge) return FetchProblem::kTooLarge;
  if (answer == kFetchRefused) {
    return code == CURLE_UNSUPPORTED_PROTOCOL ? FetchProblem::kScheme : FetchProblem::kAddress;
  }
  switch (code) {
    case CURLE_OK:
      return status != 0 && (status < 200 || status > 299) ? FetchProblem::kHttpStatus
                                                           : FetchProblem::kOther;
    case CURLE_OPERATION_TIMEDOUT:
      return FetchProblem::kTimeout;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
      return FetchProblem::kUnreachable;
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_HTTP_RETURNED_ERROR:
      return FetchProblem::kHttpStatus;
    default:
      return FetchProblem::kOther;
  }
}

int MNET_Fetch2File(const char* url, const std::string& path, int /*flags*/) {
  const std::string shown = LoggableUrl(url != nullptr ? url : "");
  LastFailure() = FetchFailure{};
  auto fail = [&shown](int answer, const std::string& why,
                       FetchProblem problem = FetchProblem::kOther, long status = 0) {
    LOG_FileLine(ErrorLogPath(), "MNET_Fetch2File: %s: %s", shown.c_str(), why.c_str());
    LastFailure() = FetchFailure{problem, status};
    return answer;
  };
  if (url == nullptr || *url == '\0') return fail(kFetchRefused, "no URL");
  if (!SchemeAllowed(url)) {
    return fail(kFetchRefused, "only http and https URLs are fetched", FetchProblem::kScheme);
  }

  std::string load_error;
  const host::CurlApi* curl = host::LoadCurl(load_error);
  if (curl == nullptr) return fail(kFetchUnavailable, load_error);
  Easy easy(*curl);
  if (easy.get() == nullptr) return fail(kFetchUnavailable, "curl_easy_init failed");

  const SiteSettings& site = GINI();
  Transfer t;
  t.allow_private = site.fetch_allow_private;
  // A setting that is not a positive number means the default.
  std::int64_t max_kb = site.fetch_max_kb > 0 ? site.fetch_max_kb : SiteSettings{}.fetch_max_kb;
  t.max_bytes = max_kb > INT64_MAX / 1024 ? INT64_MAX : max_kb * 1024;
  long timeout = site.fetch_timeout_seconds > 0 ? site.fetch_timeout_seconds
                                                : SiteSettings{}.fetch_timeout_seconds;

  char error_buffer[CURL_ERROR_SIZE] = "";
  std::string missing = Configure(*curl, easy, url, t, error_buffer, timeout);
  if (!missing.empty()) return fail(kFetchUnavailable, "libcurl does not take " + missing);

  // Nothing at `path` is followed or replaced: a file or link there fails.
  t.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (t.fd < 0) return fail(kFetchFileError, "cannot create " + path + ": " + std::strerror(errno));
  struct stat created {};
  fstat(t.fd, &created);
  // 0600 whatever the umask.
  fchmod(t.fd, 0600);

  CURLcode code = curl->easy_perform(easy.get());
  long status = 0;
  curl->easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
  char* last_url = nullptr;
  curl->easy_getinfo(easy.get(), CURLINFO_EFFECTIVE_URL, &last_url);
  bool closed = close(t.fd) == 0;
  int close_errno = errno;
  if (code == CURLE_OK && status >= 200 && status <= 299 && closed) return 0;

  RemoveCreated(path, created);
  std::string why;
  int answer = kFetchFailed;
  if (!t.refusal.empty()) {
    why = t.refusal + "; ";
    answer = t.answer;
  } else if (code == CURLE_FILESIZE_EXCEEDED) {
    why = "the body is over FetchMaxKB (" + std::to_string(t.max_bytes / 1024) + " KB); ";
    answer = kFetchTooLarge;
  } else if (code == CURLE_UNSUPPORTED_PROTOCOL) {
    answer = kFetchRefused;
  }
  if (code != CURLE_OK) {
    why += std::string("curl: ") + (error_buffer[0] ? error_buffer : curl->easy_strerror(code));
  } else if (!closed) {
    why += std::string("cannot write the file: ") + std::strerror(close_errno);
    answer = kFetchFileError;
  } else {
    why += "the server answered HTTP " + std::to_string(status);
  }
  if (last_url != nullptr && std::string_view(last_url) != url) {
    why += " (after redirects, at " + LoggableUrl(last_url) + ")";
  }
  FetchProblem problem = ProblemOf(answer, code, status);
  return fail(answer, why, problem, problem == FetchProblem::kHttpStatus ? status : 0);
}
