// A file of a document cabinet taken as a new attachment, background or
// image: the permission check, then the file itself, never anything outside
// its cabinet.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "host/files/mapped_file.h"

enum class DC_SourceAnswer {
  kOk,            // `data` maps the file's bytes, `path` is the file's path
  kNoPermission,  // the user may not read it, or it does not exist (page code 3)
  kSkipped,       // a folder, not a regular file, a cabinet's own metadata file,
                  // or a symbolic link that leads out of the cabinet
  kTooLarge,      // a file larger than `max_size`: refused before it is read
};

// The cabinet ("dc_base") and folder ("dir_path") a request takes files
// from, both non-empty; none when either is missing or empty, which the error
// log records with both values.
struct DC_SourceFolder {
  const char* base;
  const char* dir;
};
std::optional<DC_SourceFolder> DC_RequestedFolder();

// Asks DC_Permission(user_id, dc_base, dir_path, name, 1) for the read bit,
// then opens "<DC_Dir(dc_base, dir_path)>/<name>" without leaving that
// cabinet and maps it, unless it holds more than `max_size` bytes.
DC_SourceAnswer DC_OpenSourceFile(const std::string& user_id, std::string_view dc_base,
                                  std::string_view dir_path, std::string_view name,
                                  MappedFile& data, std::string& path,
                                  std::int64_t max_size = std::numeric_limits<std::int64_t>::max());
