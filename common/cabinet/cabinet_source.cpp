#include "common/cabinet/cabinet_source.h"

// Until the cabinet is built, no cabinet file can be read.
DC_SourceAnswer DC_OpenSourceFile(const std::string& /*user_id*/, std::string_view /*dc_base*/,
                                  std::string_view /*dir_path*/, std::string_view /*name*/,
                                  MappedFile& /*data*/, std::string& /*path*/) {
  return DC_SourceAnswer::kNoPermission;
}
