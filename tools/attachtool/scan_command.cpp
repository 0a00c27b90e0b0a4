// attachtool scan [--action N] [--out FILE] FILE: scans a file with the
// engine of etc/avscan.conf as the attachment intake does.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "attachtool.h"
#include "common/virus/avscan.h"
#include "common/virus/virus_scan.h"
#include "host/files/files.h"
#include "host/files/mapped_file.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitInfected = 1;
constexpr int kExitNotScanned = 2;

bool ParseAction(const char* text, int& action) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < INT_MIN || value > INT_MAX) {
    return false;
  }
  action = static_cast<int>(value);
  return true;
}

// The rewritten message an engine or the rebuild left; freed unless it is the
// scanned data itself.
struct Rewritten {
  char* data = nullptr;
  int length = 0;
  const char* scanned = nullptr;
  ~Rewritten() {
    if (data && data != scanned) std::free(data);
  }
};

}  // namespace

int ScanCommand(int argc, char** argv) {
  int action = AVS_ACTION_NONE;
  const char* out_path = nullptr;
  const char* file = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--action" && i + 1 < argc) {
      if (!ParseAction(argv[++i], action)) return UsageError("scan");
    } else if (arg == "--out" && i + 1 < argc) {
      out_path = argv[++i];
    } else if (arg == "--" && i + 2 == argc) {
      file = argv[++i];
    } else if (arg.starts_with("-") && arg.size() > 1) {
      return UsageError("scan");
    } else if (!file) {
      file = argv[i];
    } else {
      return UsageError("scan");
    }
  }
  if (!file) return UsageError("scan");

  // Mapped rather than read: a large file is handed to the engine without a
  // copy.
  MappedFile data;
  if (!data.Open(file)) {
    std::fprintf(stderr, "attachtool: can't read %s: %s\n", file, std::strerror(errno));
    return kExitNotScanned;
  }
  std::size_t size = data.size();
  if (size > INT_MAX) {
    std::fprintf(stderr, "attachtool: %s is too large to scan\n", file);
    return kExitNotScanned;
  }

  AVS_Context ctx;
  if (!AVS_Open(ctx, nullptr)) {
    std::fprintf(stderr, "attachtool: the scan engine of etc/avscan.conf could not be opened\n");
    return kExitNotScanned;
  }
  Rewritten out;
  out.scanned = data.data();
  int result =
      VIR_Scan(ctx, action, data.data(), static_cast<int>(size), nullptr, &out.data, &out.length);
  int scan_errno = errno;
  std::printf("result\t%d\n", result);
  char found_file[512];
  char virus[512];
  int code = 0;
  const char* cursor = nullptr;
  for (int r = VIR_ReportNext(ctx.report, found_file, virus, &code, &cursor); r != 1;
       r = VIR_ReportNext(nullptr, found_file, virus, &code, &cursor)) {
    if (r == 0)
      std::printf("%s\t%s\t%d\n", found_file, virus, code);
    else
      std::fprintf(stderr, "attachtool: a report line without two TABs\n");
  }
  AVS_Close(&ctx);
  if (result == -2) {
    std::fprintf(stderr, "attachtool: the engine cannot scan this input\n");
  } else if (result < 0) {
    std::fprintf(stderr, "attachtool: the scan failed (%d): %s\n", result,
                 std::strerror(scan_errno));
  }

  int status = result > 0 ? kExitInfected : result == 0 ? kExitClean : kExitNotScanned;
  if (out_path) {
    if (out.length < 0) {
      std::fprintf(stderr, "attachtool: the message could not be rebuilt\n");
    } else if (out.data) {
      std::string_view text(out.data, static_cast<std::size_t>(out.length));
      if (WriteFileAtomic(out_path, text, 0600) != 0) {
        std::fprintf(stderr, "attachtool: can't write %s: %s\n", out_path, std::strerror(errno));
        status = kExitNotScanned;
      }
    }
  }
  return status;
}
