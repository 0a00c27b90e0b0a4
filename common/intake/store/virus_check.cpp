#include "common/intake/store/virus_check.h"

#include <climits>
#include <cstring>

#include "common/intake/page_codes.h"
#include "common/virus/avscan.h"
#include "common/virus/virus_scan.h"
#include "host/account/session.h"
#include "host/files/log.h"
#include "host/site/site.h"

namespace intake {

int ScanNewFile(const char* name, const char* data, std::int64_t length,
                std::optional<std::string>& virus) {
  virus.reset();
  if (level_priv_check(session().level, kPrivVirusScan) == 0) return 0;
  if (data == nullptr || length <= 0) return -1;
  if (length > INT_MAX) {  // beyond what an engine call takes
    LOG_FileLine(ErrorLogPath(), "ScanNewFile: %s not scanned: %lld bytes", name ? name : "",
                 static_cast<long long>(length));
    return -1;
  }
  AVS_Context ctx;
  if (AVS_Open(ctx, nullptr) == 0) {
    LOG_FileLine(ErrorLogPath(), "ScanNewFile: AVS_Open failed: %s not scanned", name ? name : "");
    return -1;
  }
  int result = VIR_Scan(ctx, 0, data, static_cast<int>(length), nullptr, nullptr, nullptr);
  int answer = 0;
  if (result > 0) {
    char file[512] = "";
    char found[512] = "";
    int code = 0;
    const char* cursor = nullptr;
    VIR_ReportNext(ctx.report, file, found, &code, &cursor);
    const char* path = name ? name : "";
    const char* slash = std::strrchr(path, '/');
    const char* base = slash ? slash + 1 : path;
    const char* address = session().address.c_str();
    VIR_Log("ATTACH", found, base, address, address, path);
    virus = std::string(found);
    answer = 1;
  } else if (result < 0) {
    // The engine could not check the file: never reported as clean.
    LOG_FileLine(ErrorLogPath(), "ScanNewFile: VIR_Scan answered %d for %s: not scanned", result,
                 name ? name : "");
    answer = -1;
  }
  AVS_Close(&ctx);
  return answer;
}

}  // namespace intake

namespace intake {

int ScanRefusal(const char* name, const char* data, std::int64_t length,
                std::optional<std::string>& virus) {
  int scanned = ScanNewFile(name, data, length, virus);
  if (scanned == 1) return kCodeVirus;
  if (scanned < 0 && GINI().scan_unavailable_refuse) return kCodeNotScanned;
  return kCodeOk;
}

}  // namespace intake
