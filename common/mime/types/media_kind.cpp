#include "common/mime/types/media_kind.h"

#include <algorithm>

#include "common/mime/types/content_type.h"

namespace {

constexpr std::size_t kMagicWindow = 8191;

}  // namespace

std::string CT_TypeOfBytes(const char* data, std::size_t length) {
  std::string type = CT_FromData(data, std::min(length, kMagicWindow));
  std::size_t tab = type.find('\t');
  if (tab != std::string::npos) type.resize(tab);
  return type;
}

bool CT_IsImageType(std::string_view type) {
  return type.starts_with("image/") && type != "image/svg+xml";
}

bool CT_IsSoundType(std::string_view type) {
  return type.starts_with("audio/");
}
