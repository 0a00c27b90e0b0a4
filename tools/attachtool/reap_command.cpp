// attachtool reap [--older-than HOURS] [--dry-run]: removes from tmp/ the
// files of compose windows nobody touched for HOURS (common/attach/reap/),
// and tells every window removed, every name left and the totals on
// standard output and in log/error.log.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "attachtool.h"
#include "common/attach/reap/reap.h"
#include "host/files/log.h"
#include "host/files/root.h"

namespace {

// A hundred years: more is surely a typing error.
constexpr long kMaxHours = 24L * 366 * 100;

// A name as one field of a line: printable ASCII but space, "\" and '"' as
// it is, every other byte as \xHH; the empty text as "".
std::string Field(std::string_view text) {
  if (text.empty()) return "\"\"";
  std::string out;
  for (unsigned char c : text) {
    if (c > 0x20 && c < 0x7f && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

// Prints each line and, unless nothing is removed, logs it as well.
class Report {
 public:
  explicit Report(bool dry_run) : dry_run_(dry_run) {}

  void Line(const std::string& line) const {
    std::printf("%s\n", line.c_str());
    if (!dry_run_) LOG_FileLine(ErrorLogPath(), "attachtool reap: %s", line.c_str());
  }

  void Error(const std::string& text) const {
    std::fprintf(stderr, "attachtool reap: %s\n", text.c_str());
    LOG_FileLine(ErrorLogPath(), "attachtool reap: %s", text.c_str());
  }

  const char* verb() const { return dry_run_ ? "would reap" : "reaped"; }

 private:
  bool dry_run_;
};

std::string WindowField(std::string_view window, bool calendar_export) {
  return calendar_export ? "cal/" + Field(window) : Field(window);
}

bool ParseHours(const char* text, long& hours) {
  char* end = nullptr;
  errno = 0;
  hours = std::strtol(text, &end, 10);
  return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0 && hours <= kMaxHours;
}

}  // namespace

int ReapCommand(int argc, char** argv) {
  reap::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    long hours = 0;
    if (arg == "--dry-run") {
      options.dry_run = true;
    } else if (arg == "--older-than" && i + 1 < argc && ParseHours(argv[i + 1], hours)) {
      options.older_than_seconds = static_cast<std::int64_t>(hours) * 3600;
      ++i;
    } else {
      return UsageError("reap");
    }
  }

  const Report report(options.dry_run);
  reap::Events events;
  events.reaped = [&report](const reap::ReapedWindow& w) {
    report.Line(std::string(report.verb()) + " " + Field(w.user) + " " +
                WindowField(w.window, w.calendar_export) + " " + std::to_string(w.files) +
                " files " + std::to_string(w.bytes) + " bytes");
  };
  events.busy = [&report](std::string_view user, std::string_view window) {
    report.Line("busy " + Field(user) + " " + Field(window));
  };
  events.left = [&report](std::string_view name) { report.Line("left " + Field(name)); };
  events.failed = [&report](std::string_view path, int error) {
    report.Error("cannot remove " + Field(path) + ": " + std::strerror(error));
  };

  reap::Totals totals;
  if (!reap::ReapTmp(options, events, totals)) {
    const int error = errno;
    report.Error("cannot read " + host::TmpDir() + ": " + std::strerror(error));
    return 1;
  }
  char total[160];
  std::snprintf(total, sizeof total, "%s %" PRId64 " windows, %" PRId64 " files, %" PRId64 " bytes",
                report.verb(), totals.windows, totals.files, totals.bytes);
  report.Line(total);
  return totals.failures == 0 ? 0 : 1;
}
