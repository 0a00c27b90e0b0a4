#include "common/intake/limits.h"

#include <algorithm>
#include <limits>

#include "common/attach/attach_list.h"
#include "common/intake/page_codes.h"
#include "host/account/session.h"
#include "host/site/site.h"

namespace intake {

int CountLimit() {
  return std::clamp(GINI().attach_count_limit, 0, kAttachAddLimit);
}

std::int64_t SizeLimit() {
  std::int64_t kb = level_priv_attachsize(session().level);
  if (kb <= 0) return 0;
  if (kb > (std::numeric_limits<std::int64_t>::max() >> 10)) {
    return std::numeric_limits<std::int64_t>::max();
  }
  return kb << 10;
}

}  // namespace intake

namespace intake {

int LimitRefusal(int listed, std::int64_t total, std::int64_t length) {
  if (listed + 1 > CountLimit()) return kCodeCountLimit;
  if (length > std::numeric_limits<std::int32_t>::max() || total + length > SizeLimit()) {
    return kCodeSizeLimit;
  }
  return kCodeOk;
}

}  // namespace intake
