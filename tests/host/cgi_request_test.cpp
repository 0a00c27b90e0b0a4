#include "host/account/session.h"
#include "host/cgi/cgi_request.h"

#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "host/base/process.h"
#include "host/cgi/header_params.h"
#include "host/cgi/multipart_parser.h"
#include "host/files/files.h"
#include "support/test_root.h"

namespace {

using testing_support::Visible;

// One line per part, CR, LF and NUL shown, so a failure reads as a diff.
std::string OneLine(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\0') {
      out += "\\0";
    } else {
      out += c;
    }
  }
  return out;
}

// The parts as "name|filename (or - when none)|type|data" lines; also checks
// that each part's data lies in the body and is followed by its NUL.
std::string Summary(const Request& req) {
  std::string out;
  for (const FormPart& p : req.parts) {
    EXPECT_TRUE(req.body.Holds(p.data, p.length)) << "part " << p.name;
    EXPECT_EQ(p.data[p.length], '\0') << "part " << p.name;
    out += p.name + "|" + (p.has_filename ? p.filename : "-") + "|" + p.content_type + "|" +
           OneLine(std::string_view(p.data, p.length)) + "\n";
  }
  return out;
}

// Writes `body` into a pipe in two writes split at `split`; the second write
// happens only after the reader has drained the first, so ReadBody meets a
// short read at exactly that offset.
RequestError ReadSplit(const std::string& body, std::size_t split, RequestBody& out,
                       std::size_t claimed) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], body.data(), split), static_cast<ssize_t>(split));
  RequestError e = RequestError::kOk;
  std::thread reader([&] { e = ReadBody(fds[0], claimed, out); });
  for (int queued = 1; queued > 0;) {
    ioctl(fds[0], FIONREAD, &queued);
    if (queued > 0) std::this_thread::yield();
  }
  std::size_t rest = body.size() - split;
  EXPECT_EQ(write(fds[1], body.data() + split, rest), static_cast<ssize_t>(rest));
  close(fds[1]);
  reader.join();
  close(fds[0]);
  return e;
}

struct MultipartCase {
  const char* label;
  std::string body;
  RequestError error;
  std::string parts;  // Summary() on success
  std::string content_type = "multipart/form-data; boundary=B";
};

const char* kFileCrlf =
    "--B\r\n"
    "Content-Disposition: form-data; name=\"a\"\r\n\r\n"
    "hello\r\n"
    "--B\r\n"
    "content-disposition: form-data; name=\"f\"; filename=\"C:\\dir\\a.txt\"\r\n"
    "CONTENT-TYPE: text/plain\r\n\r\n"
    "line1\r\nline2\r\n"
    "--B--\r\n";

constexpr std::size_t kMaxParts = 5;

std::string TooManyParts() {
  std::string body;
  for (std::size_t i = 0; i <= kMaxParts; ++i) {
    body += "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n";
  }
  return body + "--B--\r\n";
}

std::vector<MultipartCase> MultipartCases() {
  const std::string f_parts = "a|-||hello\nf|C:\\dir\\a.txt|text/plain|line1\\r\\nline2\n";
  std::string lf = kFileCrlf;
  for (std::size_t p; (p = lf.find("\r\n")) != std::string::npos;) lf.erase(p, 1);
  return {
      {"crlf", kFileCrlf, RequestError::kOk, f_parts},
      {"lf", lf, RequestError::kOk, "a|-||hello\nf|C:\\dir\\a.txt|text/plain|line1\\nline2\n"},
      {"quoted boundary, preamble, padding, epilogue",
       "preamble --B\r\n--B \t\r\nContent-Disposition: form-data; name=x\r\n\r\n1\r\n--B--"
       "epilogue\r\n--B\r\n",
       RequestError::kOk, "x|-||1\n", "Multipart/Form-Data; charset=utf-8; BOUNDARY=\"B\""},
      {"boundary inside data and not at line start",
       "--B\r\nContent-Disposition: form-data; name=\"d\"\r\n\r\n"
       "x--B y --B--\r\n--BX\r\n--B-\r\n\n--Bz\r\n--B\r\r\n"
       "\r\n--B--\r\n",
       RequestError::kOk, "d|-||x--B y --B--\\r\\n--BX\\r\\n--B-\\r\\n\\n--Bz\\r\\n--B\\r\\r\\n\n"},
      {"empty data and empty filename",
       "--B\r\nContent-Disposition: form-data; name=\"e\"\r\n\r\n\r\n"
       "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"\"\r\n\r\n\r\n"
       "--B\r\nContent-Disposition: form-data; name=\"g\"\r\n\r\n--B\n"
       "Content-Disposition: form-data; name=\"h\"\n\n\n--B--",
       RequestError::kOk, "e|-||\nf|||\ng|-||\nh|-||\n"},
      {"file name forms",
       "--B\r\nContent-Disposition: form-data; name=\"a\"; filename=\"C:\\dir\\\"\r\n\r\n1\r\n"
       "--B\r\nContent-Disposition: form-data; filename=\"a \\\"q\\\" b.txt\" ; name=b\r\n\r\n2"
       "\r\n--B\r\nContent-Disposition: form-data; name=\"c\"; filename=\"x;y.txt\"\r\n\r\n3\r\n"
       "--B\r\nContent-Disposition: form-data; name=\"d\"; filename*=UTF-8''%E2%82%AC+1.txt"
       "\r\n\r\n4\r\n--B\r\nContent-Disposition: form-data;\r\n name=\"folded\"\r\n\r\n5\r\n"
       "--B--\r\n",
       RequestError::kOk,
       "a|C:\\dir\\||1\nb|a \"q\" b.txt||2\nc|x;y.txt||3\nd|\xE2\x82\xAC+1.txt||4\n"
       "folded|-||5\n"},
      {"only a closing delimiter", "--B--\r\n", RequestError::kOk, ""},
      {"no closing delimiter", "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nhello\r\n",
       RequestError::kNoClosingBoundary, ""},
      {"delimiter cut at the end",
       "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nhello\r\n--B  ",
       RequestError::kNoClosingBoundary, ""},
      {"no delimiter at all", "hello", RequestError::kNoClosingBoundary, ""},
      {"data right after the delimiter line", "--B\r\nhello\r\n--B--\r\n",
       RequestError::kPartWithoutHeaders, ""},
      {"header-like data right after the delimiter line", "--B\r\nhello: world\r\n--B--\r\n",
       RequestError::kPartWithoutHeaders, ""},
      {"end of body after the delimiter line", "--B\r\n", RequestError::kPartWithoutHeaders, ""},
      {"empty header block", "--B\r\n\r\nhello\r\n--B--\r\n", RequestError::kPartWithoutHeaders,
       ""},
      {"empty header block and data, LF only", "--B\n\n\n--B--", RequestError::kPartWithoutHeaders,
       ""},
      {"empty header block after a good part",
       "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--B\r\n\r\n2\r\n--B--",
       RequestError::kPartWithoutHeaders, ""},
      {"header block too large",
       "--B\r\nContent-Disposition: form-data; name=\"a\"\r\nX-Pad: " + std::string(300, 'p') +
           "\r\n\r\nv\r\n--B--\r\n",
       RequestError::kHeaderTooLarge, ""},
      {"too many parts", TooManyParts(), RequestError::kTooManyParts, ""},
      {"no boundary parameter", kFileCrlf, RequestError::kNoBoundary, "", "multipart/form-data"},
      {"boundary longer than 70", kFileCrlf, RequestError::kNoBoundary, "",
       "multipart/form-data; boundary=" + std::string(71, 'B')},
  };
}

RequestLimits SmallLimits() {
  RequestLimits limits;
  limits.max_header_block = 256;
  limits.max_parts = kMaxParts;
  return limits;
}

TEST(ParseMultipart, Cases) {
  for (const MultipartCase& c : MultipartCases()) {
    Request req;
    req.body = c.body;
    RequestError e = ParseMultipart(c.content_type, SmallLimits(), req);
    EXPECT_EQ(e, c.error) << c.label << "\n" << Visible(c.body);
    if (e == RequestError::kOk) {
      EXPECT_EQ(Summary(req), c.parts) << c.label;
    } else {
      EXPECT_TRUE(req.parts.empty() && req.vars.empty()) << c.label;
    }
  }
}

TEST(ParseMultipart, SameResultThroughAPipeSplitAtEveryOffset) {
  for (const MultipartCase& c : MultipartCases()) {
    for (std::size_t split = 0; split <= c.body.size(); ++split) {
      Request req;
      ASSERT_EQ(ReadSplit(c.body, split, req.body, c.body.size()), RequestError::kOk);
      ASSERT_EQ(req.body, c.body);
      RequestError e = ParseMultipart(c.content_type, SmallLimits(), req);
      ASSERT_EQ(e, c.error) << c.label << " split at " << split;
      if (e == RequestError::kOk) ASSERT_EQ(Summary(req), c.parts) << c.label << " at " << split;
    }
  }
}

TEST(ReadBody, FewerBytesThanClaimedIsTruncated) {
  RequestBody out;
  EXPECT_EQ(ReadSplit("abcdef", 3, out, 7), RequestError::kTruncatedBody);
  EXPECT_EQ(out.view(), "abcdef");
}

// A reader over `body` that hands out at most `first` bytes in its first
// call and at most `step` bytes in each later one, and stops after `give`.
BodyReader PieceReader(const std::string& body, std::size_t first, std::size_t step,
                       std::size_t give) {
  auto at = std::make_shared<std::size_t>(0);
  auto calls = std::make_shared<int>(0);
  return [&body, first, step, give, at, calls](char* into, std::size_t n) -> ssize_t {
    std::size_t end = std::min(give, body.size());
    std::size_t most = (*calls)++ == 0 && first > 0 ? first : step;
    std::size_t k = std::min({n, most, end - *at});
    std::memcpy(into, body.data() + *at, k);
    *at += k;
    return static_cast<ssize_t>(k);
  };
}

// Data full of near-delimiters: "--B" inside lines and "\n--B" followed by
// more text, none of which ends the part.
std::string NearDelimiterData(std::size_t size) {
  std::string data;
  unsigned seed = 7;
  while (data.size() < size) {
    seed = seed * 1103515245 + 12345;
    unsigned pick = seed >> 29;
    if (pick < 3) {
      data += std::array{"\r\n--Bx", " --B--", "\n"}[pick];
    } else {
      data += static_cast<char>(seed >> 16);
    }
  }
  return data;
}

// Bodies whose file data spans pages, for the spool: data ending in CR, in
// "\r\n--B" of a near-delimiter, a page long, and two files in a row.
std::vector<MultipartCase> SpoolCases() {
  std::vector<MultipartCase> cases = MultipartCases();
  auto file = [](const std::string& name, const std::string& data) {
    return "--B\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + name +
           ".bin\"\r\n\r\n" + data + "\r\n";
  };
  const std::string near = NearDelimiterData(9000);
  for (const std::string& data : {near, near.substr(0, 4096), near.substr(0, 8191) + "\r",
                                  near.substr(0, 5000) + "\r\n--B-"}) {
    MultipartCase c{"spanning pages", file("f", data) + "--B--\r\n", RequestError::kOk, ""};
    cases.push_back(c);
  }
  cases.push_back({"two files and a field",
                   file("f", near) + file("g", near.substr(100, 6000)) +
                       "--B\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\nend\r\n--B--",
                   RequestError::kOk, ""});
  cases.push_back({"unclosed file", file("f", near), RequestError::kNoClosingBoundary, ""});
  return cases;
}

// Streamed through a reader, in pieces cut all along the body and with file
// data spooled as soon as it may be, every case parses as it does in memory;
// a body that stops short is reported as short whatever else is wrong.
TEST(ParseMultipartBody, StreamedAndSpooledLikeInMemory) {
  testing_support::TestRoot root;
  RequestLimits limits = SmallLimits();
  limits.spool_dir = root.Path("tmp");
  limits.spool_from = 1;
  std::size_t spooled = 0;
  for (const MultipartCase& c : SpoolCases()) {
    std::string boundary = BoundaryOf(c.content_type);
    if (boundary.empty()) continue;
    Request in_memory;
    in_memory.body = c.body;
    ASSERT_EQ(ParseMultipart(c.content_type, SmallLimits(), in_memory), c.error) << c.label;
    const std::string want = c.error == RequestError::kOk ? Summary(in_memory) : "";
    const bool large = c.body.size() > 1000;
    limits.spool_step = large ? 4096 : 1;  // page steps, or any byte
    const std::size_t stride = large ? 127 : 1;
    const std::size_t small_step = large ? 5 : 1;
    for (std::size_t split = 0; split <= c.body.size(); split += stride) {
      for (std::size_t step : {small_step, std::size_t{3}, std::size_t{4097}, c.body.size()}) {
        Request req;
        std::vector<FormPart> parts;
        RequestError e = ParseMultipartBody(req.body, PieceReader(c.body, split, step, SIZE_MAX),
                                            c.body.size(), boundary, limits, parts);
        ASSERT_EQ(e, c.error) << c.label << " split at " << split << " step " << step;
        req.parts = std::move(parts);
        spooled += req.body.spool_count();
        ASSERT_EQ(Summary(req), want) << c.label << " split at " << split << " step " << step;
      }
      Request req;
      std::vector<FormPart> parts;
      ASSERT_EQ(ParseMultipartBody(req.body, PieceReader(c.body, split, 7, split),
                                   c.body.size() + 1, boundary, limits, parts),
                RequestError::kTruncatedBody)
          << c.label << " cut at " << split;
      EXPECT_TRUE(parts.empty());
    }
  }
  EXPECT_GT(spooled, 100u) << "file data must have been spooled";
}

std::string FileBody(const std::string& data) {
  return "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"big.bin\"\r\n\r\n" + data +
         "\r\n--B\r\nContent-Disposition: form-data; name=\"after\"\r\n\r\nyes\r\n--B--\r\n";
}

// A large upload leaves memory while it is read: its data is a spool file,
// mapped where the part says, which can become a stored file once; other
// copies are written from it.
TEST(ParseMultipartBody, LargeFileIsSpooledAndLinkedOnce) {
  testing_support::TestRoot root;
  RequestLimits limits;
  limits.spool_dir = root.Path("tmp");
  limits.spool_from = 64 << 10;
  const std::string data = NearDelimiterData(3 << 20);
  const std::string body = FileBody(data);
  Request req;
  std::vector<FormPart> parts;
  ASSERT_EQ(ParseMultipartBody(req.body, PieceReader(body, 1000, 100000, SIZE_MAX), body.size(),
                               "B", limits, parts),
            RequestError::kOk);
  ASSERT_EQ(parts.size(), 2u);
  const FormPart& file = parts[0];
  EXPECT_EQ(req.body.spool_count(), 1u);
  EXPECT_LT(req.body.size(), std::size_t{1} << 20) << "the file's data must not stay in memory";
  ASSERT_EQ(file.length, data.size());
  EXPECT_TRUE(std::string_view(file.data, file.length) == data);
  EXPECT_EQ(file.data[file.length], '\0');
  EXPECT_EQ(std::string_view(parts[1].data, parts[1].length), "yes");

  // Moving the request keeps the mapping where it is.
  const char* where = file.data;
  req.parts = std::move(parts);
  Request moved = std::move(req);
  ASSERT_EQ(moved.parts[0].data, where);

  std::string stored = root.Path("tmp/stored");
  root.Write("tmp/taken", "keep");
  EXPECT_FALSE(moved.body.LinkAs(root.Path("tmp/taken").c_str(), where, data.size()));
  EXPECT_EQ(root.Read("tmp/taken"), "keep");
  EXPECT_FALSE(moved.body.LinkAs(stored.c_str(), where + 1, data.size() - 1)) << "not whole";
  ASSERT_TRUE(moved.body.LinkAs(stored.c_str(), where, data.size()));
  struct stat st;
  ASSERT_EQ(stat(stored.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(root.Read("tmp/stored") == data);
  EXPECT_FALSE(moved.body.LinkAs(root.Path("tmp/again").c_str(), where, data.size()));
  EXPECT_FALSE(root.Exists("tmp/again"));

  // A copy of part of it is written from the spool.
  char copy_path[] = "/tmp/copy.XXXXXX";
  int fd = mkstemp(copy_path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(moved.body.WriteTo(fd, where + 5, 70000), 0);
  std::string copy;
  ASSERT_EQ(MFILE_Read(copy_path, copy), 70000);
  EXPECT_EQ(copy, data.substr(5, 70000));
  close(fd);
  unlink(copy_path);
}

// Where no spool file can be made, or the file cannot take the data (here a
// file size limit), the data stays in memory and reads the same.
TEST(ParseMultipartBody, DataStaysInMemoryWhenItCannotBeSpooled) {
  const std::string data = NearDelimiterData(1 << 20);
  const std::string body = FileBody(data);
  for (bool limited : {false, true}) {
    pid_t pid = fork();
    if (pid == 0) {
      testing_support::TestRoot root;
      RequestLimits limits;
      limits.spool_dir = limited ? root.Path("tmp") : root.Path("no-such-folder");
      limits.spool_from = 1;
      limits.spool_step = 4096;
      if (limited) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit cap = {100000, 100000};
        setrlimit(RLIMIT_FSIZE, &cap);
      }
      Request req;
      std::vector<FormPart> parts;
      RequestError e = ParseMultipartBody(req.body, PieceReader(body, 4096, 4096, SIZE_MAX),
                                          body.size(), "B", limits, parts);
      bool ok = e == RequestError::kOk && parts.size() == 2 && req.body.spool_count() == 0 &&
                std::string_view(parts[0].data, parts[0].length) == data &&
                parts[0].data[parts[0].length] == '\0' && std::string_view(parts[1].data) == "yes";
      _exit(ok ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "limited " << limited;
  }
}

// How fast this is, bench/ measures; here only that the data stays where it
// was read.
TEST(ParseMultipart, MultiMegabyteFileIsUncopied) {
  const std::string data = NearDelimiterData(6 << 20);
  const std::string head =
      "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"big.bin\"\r\n\r\n";
  Request req;
  req.body = head + data + "\r\n--B--\r\n";
  ASSERT_EQ(ParseMultipart("multipart/form-data; boundary=B", RequestLimits(), req),
            RequestError::kOk);
  ASSERT_EQ(req.parts.size(), 1u);
  EXPECT_EQ(std::string_view(req.parts[0].data, req.parts[0].length), data);

  // Handing the request over keeps the data where it was read.
  const char* where = req.parts[0].data;
  MCGI_SetRequest(std::move(req));
  EXPECT_EQ(MCGI_Request().parts[0].data, where);
  EXPECT_EQ(MCGI_Request().parts[0].data, MCGI_Request().body.data() + head.size());
}

TEST(ParseMultipart, ShortBodyMovesWithItsParts) {
  Request req;
  req.body = "--B\nX: 1\n\n\n--B--";  // short enough for the small-string buffer
  ASSERT_EQ(ParseMultipart("multipart/form-data; boundary=B", RequestLimits(), req),
            RequestError::kOk);
  MCGI_SetRequest(std::move(req));
  const Request& r = MCGI_Request();
  ASSERT_EQ(r.parts.size(), 1u);
  EXPECT_GE(r.parts[0].data, r.body.data());
  EXPECT_LT(r.parts[0].data, r.body.data() + r.body.size());
}

// The variables as (name, value) pairs; also checks that each name and value
// is followed by its NUL and lies in the body when `in_body`.
std::vector<std::pair<std::string, std::string>> Pairs(const Request& req, bool in_body = false) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const FormVar& v : req.vars) {
    EXPECT_EQ(v.name.data()[v.name.size()], '\0') << v.name;
    EXPECT_EQ(v.value.data()[v.value.size()], '\0') << v.name;
    if (in_body) {
      EXPECT_TRUE(req.body.Holds(v.name.data(), v.name.size())) << v.name;
      EXPECT_TRUE(req.body.Holds(v.value.data(), v.value.size())) << v.name;
    }
    out.emplace_back(v.name, v.value);
  }
  return out;
}

TEST(ParseUrlEncoded, DecodesInPlaceAndKeepsMalformedEscapes) {
  const std::string text = "a=1+2%41&&b&=e&c=%zz%4&d=%e2%82%ac&a=x=y&e=";
  const std::vector<std::pair<std::string, std::string>> want = {
      {"a", "1 2A"},         {"b", ""},    {"", "e"}, {"c", "%zz%4"},
      {"d", "\xE2\x82\xAC"}, {"a", "x=y"}, {"e", ""}};
  Request copied;
  ASSERT_EQ(ParseUrlEncoded(text, RequestLimits(), copied), RequestError::kOk);
  EXPECT_EQ(Pairs(copied), want);
  Request in_body;
  in_body.body = text;
  ASSERT_EQ(
      ParseUrlEncodedInPlace(in_body.body.data(), in_body.body.size(), RequestLimits(), in_body),
      RequestError::kOk);
  EXPECT_EQ(Pairs(in_body, true), want);
}

host::CgiEnv PostEnv(std::string type, std::string length) {
  host::CgiEnv env;
  env.request_method = "POST";
  env.query_string = "a=q1&a=q2";
  env.content_type = std::move(type);
  env.content_length = std::move(length);
  return env;
}

RequestLimits SmallBody() {
  RequestLimits limits;
  limits.max_body = 64;
  return limits;
}

// Runs LoadRequest with `body` waiting in a pipe; `left` gets how many bytes
// were not read.
RequestError Load(const host::CgiEnv& env, const std::string& body, Request& req,
                  int* left = nullptr, const RequestLimits& limits = SmallBody(),
                  const RequestGate& gate = {}) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], body.data(), body.size()), static_cast<ssize_t>(body.size()));
  close(fds[1]);
  RequestError e = LoadRequest(env, fds[0], limits, req, gate);
  if (left) ioctl(fds[0], FIONREAD, left);
  close(fds[0]);
  return e;
}

TEST(LoadRequest, Refusals) {
  struct Row {
    const char* label;
    host::CgiEnv env;
    std::string body;
    RequestError error;
  };
  host::CgiEnv put = PostEnv("", "");
  put.request_method = "PUT";
  const std::string form = "application/x-www-form-urlencoded";
  for (const Row& r : std::vector<Row>{
           {"method", put, "", RequestError::kMethodNotAllowed},
           {"length with a letter", PostEnv(form, "12a"), "", RequestError::kBadContentLength},
           {"negative length", PostEnv(form, "-1"), "", RequestError::kBadContentLength},
           {"length with a space", PostEnv(form, " 3"), "a=1", RequestError::kBadContentLength},
           {"fewer bytes than claimed", PostEnv(form, "10"), "a=1", RequestError::kTruncatedBody},
           {"over the limit", PostEnv(form, "65"), std::string(65, 'x'),
            RequestError::kBodyTooLarge},
           {"far over the limit", PostEnv(form, "99999999999999999999999"), "a=1",
            RequestError::kBodyTooLarge},
           {"multipart without boundary", PostEnv("multipart/form-data", "3"), "a=1",
            RequestError::kNoBoundary},
       }) {
    Request req;
    int left = -1;
    EXPECT_EQ(Load(r.env, r.body, req, &left), r.error) << r.label;
    if (r.error == RequestError::kBodyTooLarge) {
      EXPECT_EQ(left, static_cast<int>(r.body.size())) << r.label << ": nothing may be read";
    }
  }
}

// "a" repeated `n` times, joined by "&".
std::string ManyVariables(std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += i == 0 ? "a" : "&a";
  return text;
}

// The gate is asked once the method is served and before anything else: a
// refusal reads nothing.
TEST(LoadRequest, GateComesBeforeTheRequest) {
  const std::string form = "application/x-www-form-urlencoded";
  int asked = 0;
  RequestGate refuse = [&asked] {
    ++asked;
    return false;
  };
  host::CgiEnv put = PostEnv(form, "3");
  put.request_method = "PUT";
  Request req;
  EXPECT_EQ(Load(put, "a=1", req, nullptr, SmallBody(), refuse), RequestError::kMethodNotAllowed);
  EXPECT_EQ(asked, 0);
  host::CgiEnv huge = PostEnv(form, "99999999999");
  huge.query_string = ManyVariables(5000);
  for (const host::CgiEnv& env : {PostEnv(form, "3"), huge}) {
    int left = -1;
    EXPECT_EQ(Load(env, "a=1", req, &left, SmallBody(), refuse), RequestError::kNotLoggedIn);
    EXPECT_EQ(left, 3);
    EXPECT_TRUE(req.vars.empty());
  }
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(Load(PostEnv(form, "3"), "a=1", req, nullptr, SmallBody(), [] { return true; }),
            RequestError::kOk);
  EXPECT_EQ(req.vars.size(), 3u);
}

// At most max_vars variables in the query string, and as many in an
// urlencoded body; empty pairs do not count. A query string over the limit
// is refused before the body is read.
TEST(LoadRequest, VariableLimits) {
  struct Row {
    const char* label;
    std::string query;
    std::string body;
    RequestError error;
    std::size_t vars;
  };
  const std::string at_limit = ManyVariables(4096);
  const std::string over = ManyVariables(4097);
  for (const Row& r : std::vector<Row>{
           {"query at the limit", at_limit, "", RequestError::kOk, 4096},
           {"query over", over, "b=1", RequestError::kTooManyVariables, 0},
           {"body at the limit", "", at_limit, RequestError::kOk, 4096},
           {"body over", "", over, RequestError::kTooManyVariables, 0},
           {"both at the limit", at_limit, at_limit, RequestError::kOk, 8192},
           {"empty pairs", "&&&" + at_limit + "&&", "&" + at_limit + std::string(9000, '&'),
            RequestError::kOk, 8192},
       }) {
    host::CgiEnv env = PostEnv("application/x-www-form-urlencoded", std::to_string(r.body.size()));
    env.query_string = r.query;
    RequestLimits limits;
    ASSERT_EQ(limits.max_vars, 4096u);
    Request req;
    int left = -1;
    EXPECT_EQ(Load(env, r.body, req, &left, limits), r.error) << r.label;
    EXPECT_EQ(req.vars.size(), r.vars) << r.label;
    if (r.query.size() > at_limit.size() && r.error != RequestError::kOk) {
      EXPECT_EQ(left, static_cast<int>(r.body.size())) << r.label << ": nothing may be read";
    }
  }
}

TEST(LoadRequest, UrlencodedBodyIsDecodedWhereItStands) {
  const std::string body = "a=b%31&a&c=%41+d";
  Request req;
  ASSERT_EQ(
      Load(PostEnv("application/x-www-form-urlencoded", std::to_string(body.size())), body, req),
      RequestError::kOk);
  ASSERT_EQ(req.vars.size(), 5u);
  req.vars.erase(req.vars.begin(), req.vars.begin() + 2);  // the query string's
  const std::vector<std::pair<std::string, std::string>> want = {
      {"a", "b1"}, {"a", ""}, {"c", "A d"}};
  EXPECT_EQ(Pairs(req, true), want);
}

TEST(LoadRequest, VariablesInOrderQueryThenBody) {
  struct Row {
    const char* label;
    const char* method;
    std::string type;
    std::string body;
    std::vector<std::string> a;  // every value of "a"
  };
  const std::string form = "application/x-www-form-urlencoded";
  for (const Row& r : std::vector<Row>{
           {"urlencoded",
            "POST",
            "Application/X-WWW-Form-Urlencoded; charset=UTF-8",
            "a=b1&a",
            {"q1", "q2", "b1", ""}},
           {"multipart",
            "POST",
            "multipart/form-data; boundary=B",
            "--B\nContent-Disposition: form-data; name=a\n\nm1\n--B--",
            {"q1", "q2", "m1"}},
           {"other type", "POST", "text/plain", "a=1", {"q1", "q2"}},
           {"GET ignores a body", "GET", form, "a=1", {"q1", "q2"}},
           {"HEAD ignores a body", "HEAD", form, "a=1", {"q1", "q2"}},
           {"empty length", "POST", form, "", {"q1", "q2"}},
       }) {
    host::CgiEnv env = PostEnv(r.type, r.body.empty() ? "" : std::to_string(r.body.size()));
    env.request_method = r.method;
    Request req;
    ASSERT_EQ(Load(env, r.body, req), RequestError::kOk) << r.label;
    MCGI_SetRequest(std::move(req));
    std::vector<std::string> got;
    int cursor = 0;
    while (const char* v = MCGI_VarStrMGet("a", &cursor)) got.push_back(v);
    EXPECT_EQ(got, r.a) << r.label;
    EXPECT_EQ(cursor, static_cast<int>(r.a.size())) << r.label;
  }
}

TEST(Variables, IntegerValues) {
  struct Row {
    const char* value;
    int want;
  };
  // clang-format off
  const Row rows[] = {
      {"42", 42}, {" 42\t", 42}, {"-7", -7}, {"+7", 7}, {"4x", -1}, {"", -1}, {"x", -1},
      {"- 5", -1}, {"\n5", -1}, {"0x10", -1}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN},
      {"2147483648", -1}, {"99999999999999999999", -1}};
  // clang-format on
  for (const Row& r : rows) {
    Request req;
    req.AddVar("n", r.value);
    req.AddVar("n", "1");  // only the first value counts
    MCGI_SetRequest(std::move(req));
    EXPECT_EQ(MCGI_VarIntGet("n", -1), r.want) << '"' << OneLine(r.value) << '"';
  }
  EXPECT_EQ(MCGI_VarIntGet("absent", 5), 5);
}

TEST(Variables, ManyNamesAndFileGet) {
  Request req;
  for (int i = 0; i < 3000; ++i) {
    req.AddVar("newfile" + std::to_string(i % 256), std::to_string(i));
  }
  req.body = std::string("text\0data\0 and more than a short string", 40);
  req.parts.push_back({"t", "", false, "", req.body.data(), 4});
  req.parts.push_back({"f", "C:\\x.txt", true, "text/plain", req.body.data() + 5, 4});
  req.parts.push_back({"f", "second", true, "", req.body.data(), 4});
  MCGI_SetRequest(std::move(req));

  int cursor = 0;
  std::vector<std::string> got;
  while (const char* v = MCGI_VarStrMGet("newfile7", &cursor)) got.push_back(v);
  std::vector<std::string> want;
  for (int i = 7; i < 3000; i += 256) want.push_back(std::to_string(i));
  EXPECT_EQ(got, want);
  EXPECT_STREQ(MCGI_VarStrGet("newfile255"), "255");
  EXPECT_EQ(MCGI_VarStrGet("newfile256"), nullptr);
  cursor = -1;
  EXPECT_EQ(MCGI_VarStrMGet("newfile7", &cursor), nullptr);

  const char* name = nullptr;
  const char* data = nullptr;
  std::int64_t length = -1;
  ASSERT_EQ(MCGI_FileGet("f", &name, &data, &length), 0);
  EXPECT_STREQ(name, "C:\\x.txt");
  EXPECT_STREQ(data, "data");
  EXPECT_EQ(length, 4);
  ASSERT_EQ(MCGI_FileGet("t", &name, &data, &length), 0);
  EXPECT_STREQ(name, "");
  EXPECT_STREQ(data, "text");
  EXPECT_EQ(MCGI_FileGet("newfile1", &name, &data, &length), -1);
  EXPECT_STREQ(name, "");
  EXPECT_STREQ(data, "");
  EXPECT_EQ(length, 0);
}

// Runs MCGI_Load in a child with this environment and body; answers its
// standard output and sets `status` to its exit status. Without `send`, the
// body is never written (nor its pipe closed) while the child runs; a child
// that waits for it is stopped after ten seconds.
std::string LoadInChild(const std::vector<std::pair<const char*, std::string>>& env,
                        const std::string& body, int* status, bool send = true) {
  int in[2], out[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(pipe(out), 0);
  pid_t pid = fork();
  if (pid == 0) {
    for (const auto& [k, v] : env) setenv(k, v.c_str(), 1);
    host::ReloadEnv();
    dup2(in[0], 0);
    dup2(out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    alarm(10);
    _exit(MCGI_Load([] { return !LoginUserId().empty(); }) == RequestError::kOk ? 0 : 1);
  }
  close(in[0]);
  close(out[1]);
  if (send) {
    EXPECT_EQ(write(in[1], body.data(), body.size()), static_cast<ssize_t>(body.size()));
    close(in[1]);
  }
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, n);
  close(out[0]);
  if (!send) close(in[1]);
  int ws = 0;
  waitpid(pid, &ws, 0);
  *status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  return text;
}

TEST(MCGI_Load, Answers) {
  testing_support::TestRoot root;
  root.Site("RequestMaxKB = 1");
  root.AddUser("alice");
  const std::string form = "application/x-www-form-urlencoded";
  struct Row {
    const char* label;
    std::vector<std::pair<const char*, std::string>> env;
    std::string body;
    std::string answer;
    bool send = true;
  };
  auto post = [&form](std::string length, std::string user = "alice", std::string query = "") {
    return std::vector<std::pair<const char*, std::string>>{{"REQUEST_METHOD", "POST"},
                                                            {"CONTENT_TYPE", form},
                                                            {"CONTENT_LENGTH", length},
                                                            {"REMOTE_USER", user},
                                                            {"QUERY_STRING", query}};
  };
  auto multipart = post("5");
  multipart[1].second = "multipart/form-data; boundary=B";
  for (const Row& r : std::vector<Row>{
           {"method",
            {{"REQUEST_METHOD", "DELETE"}, {"REMOTE_USER", "alice"}},
            "",
            "Status: 405 Method Not Allowed\r\nAllow: GET, HEAD, POST\r\n"
            "Content-Type: text/plain\r\n\r\nOnly GET, HEAD and POST requests are accepted.\n"},
           {"unknown user, body never sent", post("1024", "mallory"), std::string(1024, 'x'),
            "Status: 403 Forbidden\r\nContent-Type: text/plain\r\n\r\nYou are not logged in.\n",
            false},
           {"no user, body never sent", post("1024", ""), "",
            "Status: 403 Forbidden\r\nContent-Type: text/plain\r\n\r\nYou are not logged in.\n",
            false},
           {"too large", post("1025"), std::string(1025, 'x'),
            "Status: 413 Payload Too Large\r\nContent-Type: text/plain\r\n\r\n"
            "The request body is larger than this site accepts.\n"},
           {"part without headers", multipart, "--B\r\n",
            "Status: 400 Bad Request\r\nContent-Type: text/plain\r\n\r\n"
            "A part of the multipart request has no header block.\n"},
           {"too many query variables, body never sent", post("1024", "alice", ManyVariables(4097)),
            "",
            "Status: 400 Bad Request\r\nContent-Type: text/plain\r\n\r\n"
            "The request has too many variables.\n",
            false},
           {"accepted", post("1024", "alice", ManyVariables(4096)), std::string(1024, 'x'), ""},
       }) {
    int status = -1;
    EXPECT_EQ(LoadInChild(r.env, r.body, &status, r.send), r.answer) << r.label;
    EXPECT_EQ(status, r.answer.empty() ? 0 : 1) << r.label;
  }
}

}  // namespace
