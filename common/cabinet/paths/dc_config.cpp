#include "common/cabinet/paths/dc_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "host/account/account.h"
#include "host/account/session.h"
#include "host/base/process.h"
#include "host/base/strings.h"
#include "host/cgi/cgi_request.h"
#include "host/files/files.h"
#include "host/files/root.h"

namespace {

// Kept for the process; a test's new root forgets it.
DC_Config& Record() {
  static DC_Config config;
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    host::OnReloadEnv([] { Record() = DC_Config{}; });
  }
  return config;
}

std::string& TemplateDir() {
  static std::string dir;
  return dir;
}

// A value as its field holds it: up to a NUL, at most 255 bytes.
std::string Cut(std::string_view value) {
  value = value.substr(0, value.find('\0'));
  return std::string(value.substr(0, kDcConfigField - 1));
}

// A field of the image: its bytes up to the first NUL, at most 255.
std::string Field(std::string_view image, std::size_t index) {
  std::string_view field = image.substr(index * kDcConfigField, kDcConfigField - 1);
  std::size_t nul = field.find('\0');
  return std::string(nul == std::string_view::npos ? field : field.substr(0, nul));
}

}  // namespace

DC_Config DC_ConfigParse(std::string_view text) {
  DC_Config config{"", "", "", ""};
  struct Key {
    std::string_view name;
    std::string DC_Config::*field;
  };
  static const Key kKeys[] = {{"UserDC", &DC_Config::user_dc},
                              {"Form", &DC_Config::form},
                              {"DirCache", &DC_Config::dir_cache},
                              {"QuotaFile", &DC_Config::quota_file}};
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string line;
    for (char c : text.substr(at, end - at)) {
      if (c != ' ' && c != '\t') line += c;
    }
    at = end + 1;
    for (const Key& key : kKeys) {
      if (!std::string_view(line).starts_with(key.name)) continue;
      std::size_t skip = key.name.size() + 1;  // the separator after the key
      config.*key.field = Cut(line.size() > skip ? std::string_view(line).substr(skip) : "");
      break;
    }
  }
  return config;
}

std::string DC_ConfigImage(const DC_Config& config) {
  std::string image(kDcConfigImage, '\0');
  const std::string* fields[] = {&config.user_dc, &config.form, &config.dir_cache,
                                 &config.quota_file};
  for (std::size_t i = 0; i < 4; ++i) {
    std::string_view value = std::string_view(*fields[i]).substr(0, kDcConfigField - 1);
    image.replace(i * kDcConfigField, value.size(), value);
  }
  return image;
}

bool DC_ConfigFromImage(std::string_view image, DC_Config& config) {
  if (image.size() != kDcConfigImage) return false;
  config.user_dc = Field(image, 0);
  config.form = Field(image, 1);
  config.dir_cache = Field(image, 2);
  config.quota_file = Field(image, 3);
  return true;
}

namespace {
constexpr std::string_view kCachePrefix = ".dc_";
}  // namespace

std::string DC_ConfigCacheName(int ui) {
  return std::string(kCachePrefix) + std::to_string(ui);
}

bool DC_IsConfigCacheName(std::string_view name) {
  if (std::string_view target = TempNameTarget(name); !target.empty()) name = target;
  if (!name.starts_with(kCachePrefix)) return false;
  std::string_view number = name.substr(kCachePrefix.size());
  if (number.starts_with('-')) number.remove_prefix(1);
  return !number.empty() &&
         number.find_first_not_of("0123456789") == std::string_view::npos;
}

int DC_ConfigLoad(int ui) {
  std::string cache = host::TmpDir() + "/" + DC_ConfigCacheName(ui);
  const std::string* data = nullptr;
  // A cached image of another size (cut short by a writer, or not ours) is
  // not used: the file is read instead.
  if (MSHM_FileRead(cache, data, 0) >= 0 && data && DC_ConfigFromImage(*data, Record())) return 0;

  std::string text;
  if (MFILE_Read(StrPrintf("%s/dc_%d.conf", host::RootPath("etc").c_str(), ui), text) < 0) {
    return -1;
  }
  DC_Config config = DC_ConfigParse(text);
  // The image is written under a name of this process and renamed into place,
  // so that another process never reads a part of it; once this process's
  // cache holds it, the file goes.
  std::string image = DC_ConfigImage(config);
  if (WriteFileAtomic(cache, image, 0660) != 0) return -1;
  MSHM_FileRead(cache, data, 0);
  unlink(cache.c_str());
  Record() = config;
  return 0;
}

const DC_Config& DC_ConfigGet() {
  return Record();
}

int DC_Init(int flag) {
  int result = user_login(flag);
  const char* ui = MCGI_VarStrGet("ui", 0);
  std::string part;
  if (!ui || !*ui) {
    const char* filename = nullptr;
    const char* data = nullptr;
    std::int64_t length = 0;
    if (MCGI_FileGet("ui", &filename, &data, &length) == 0 && data && length > 0) {
      part.assign(data, static_cast<std::size_t>(length));
      ui = part.c_str();
    }
  }
  if (!ui || !*ui) {
    TemplateDir() = session().template_dir + "/dc";
    return result;
  }
  DC_ConfigLoad(static_cast<int>(std::strtol(ui, nullptr, 10)));
  const std::string& form = DC_ConfigGet().form;
  TemplateDir() = form.starts_with("/") ? form : session().template_dir + "/" + form;
  if (result == 1) {
    std::string folder = user_home(session().user_id) + "/" + DC_ConfigGet().user_dc;
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) mkdir(folder.c_str(), 0755);
  }
  return result;
}

const std::string& DC_TemplateDir() {
  return TemplateDir();
}
