// What the parts of the ".useracl" code share: where the areas of an open
// file lie, and a walk over its records.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "common/acl/useracl/useracl.h"
#include "host/files/files.h"

namespace macl_internal {

// The file's size, nullopt when it cannot be had.
std::optional<std::uint64_t> FileSize(int fd);

// Where the records begin, or nullopt when the header's block count does not
// fit a file of `size` bytes (or no header was read).
std::optional<std::uint64_t> RecordsStart(const MACL_Handle& handle, std::uint64_t size);

// How many whole records the file holds; nullopt as above.
std::optional<std::uint64_t> RecordCount(const MACL_Handle& handle);

bool Writable(const MACL_Handle& handle);

// Calls `visit(index, record)` for each record in file order, reading a
// bounded number at a time, until it answers false. kMaclOk, or -2.
template <typename Visit>
int ForEachRecord(MACL_Handle& handle, Visit visit) {
  std::optional<std::uint64_t> size = FileSize(handle.fd);
  if (!size) return kMaclIoError;
  std::optional<std::uint64_t> start = RecordsStart(handle, *size);
  if (!start) return kMaclIoError;
  const std::uint64_t count = (*size - *start) / kMaclRecordSize;
  constexpr std::uint64_t kChunk = 256;
  std::string bytes;
  for (std::uint64_t first = 0; first < count; first += kChunk) {
    std::uint64_t n = std::min(kChunk, count - first);
    if (!ReadAt(handle.fd, *start + first * kMaclRecordSize, n * kMaclRecordSize, bytes)) {
      return kMaclIoError;
    }
    for (std::uint64_t i = 0; i < n; ++i) {
      std::string_view one(bytes.data() + i * kMaclRecordSize, kMaclRecordSize);
      if (!visit(first + i, MACL_DecodeRecord(one))) return kMaclOk;
    }
  }
  return kMaclOk;
}

}  // namespace macl_internal
