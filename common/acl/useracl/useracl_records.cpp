// The records of a ".useracl": reading, filtering, matching a user and a
// resource, adding and rewriting them in place.
#include "common/acl/acl_layout.h"
#include "common/acl/useracl/useracl.h"
#include "common/acl/useracl/useracl_internal.h"
#include "host/base/strings.h"

namespace al = acl_layout;
using namespace macl_internal;

namespace {

bool Deleted(const MACL_Record& r) {
  return (r.kind & kMaclDeleted) != 0;
}

bool Matches(const MACL_Filter& f, const MACL_Record& r) {
  const MACL_Record& w = f.record;
  if ((f.flags & kMaclFilterResource) && r.resource != w.resource) return false;
  if ((f.flags & kMaclFilterAccessId) && r.access_id != w.access_id) return false;
  if ((f.flags & kMaclFilterSetId) && r.set_id != w.set_id) return false;
  if ((f.flags & kMaclFilterKind) && !(r.kind & w.kind)) return false;
  if ((f.flags & kMaclFilterAttr1) && r.attr1 != w.attr1) return false;
  if ((f.flags & kMaclFilterAttr2) && r.attr2 != w.attr2) return false;
  if ((f.flags & kMaclFilterNote) && r.has_note != w.has_note) return false;
  if ((f.flags & kMaclFilterInherit) && r.inherit != w.inherit) return false;
  return true;
}

bool PatternMatches(const std::string& pattern, std::string_view user_id) {
  return MSTR_fnmatch(pattern.c_str(), std::string(user_id).c_str(), 1) == 0;
}

// The index of the first record that is not deleted with this resource and
// access id; -1 when none; -2 on a read error.
long long FindRecord(MACL_Handle& handle, std::string_view resource, std::string_view access_id,
                     MACL_Record* found) {
  long long at = -1;
  int r = ForEachRecord(handle, [&](std::uint64_t i, MACL_Record rec) {
    if (Deleted(rec) || rec.resource != resource || rec.access_id != access_id) return true;
    at = static_cast<long long>(i);
    if (found) *found = std::move(rec);
    return false;
  });
  return r == kMaclOk ? at : -2;
}

int WriteRecord(MACL_Handle& handle, std::uint64_t index, const MACL_Record& record) {
  std::optional<std::uint64_t> size = FileSize(handle.fd);
  if (!size) return kMaclIoError;
  std::optional<std::uint64_t> start = RecordsStart(handle, *size);
  if (!start) return kMaclIoError;
  return WriteAt(handle.fd, *start + index * kMaclRecordSize, MACL_EncodeRecord(record))
             ? kMaclOk
             : kMaclIoError;
}

}  // namespace

bool MACL_Covers(std::string_view granted, std::string_view resource) {
  if (!resource.starts_with(granted) || granted.empty()) return false;
  return resource.size() == granted.size() || granted.back() == '/' ||
         resource[granted.size()] == '/';
}

MACL_Record MACL_DecodeRecord(std::string_view bytes) {
  MACL_Record r;
  r.resource = al::Text(bytes, 0, 512);
  r.access_id = al::Text(bytes, 512, 256);
  r.set_id = al::I32(bytes, 768);
  r.kind = al::U8(bytes, 772);
  r.attr1 = al::U8(bytes, 773);
  r.attr2 = al::U8(bytes, 774);
  r.has_note = al::U8(bytes, 775);
  r.note = al::Text(bytes, 776, 128);
  r.inherit = al::U8(bytes, 904);
  return r;
}

std::string MACL_EncodeRecord(const MACL_Record& r) {
  std::string bytes(kMaclRecordSize, '\0');
  al::PutText(bytes, 0, 512, r.resource);
  al::PutText(bytes, 512, 256, r.access_id);
  al::PutI32(bytes, 768, r.set_id);
  al::PutU8(bytes, 772, r.kind);
  al::PutU8(bytes, 773, r.attr1);
  al::PutU8(bytes, 774, r.attr2);
  al::PutU8(bytes, 775, r.has_note);
  al::PutText(bytes, 776, 128, r.note);
  al::PutU8(bytes, 904, r.inherit);
  return bytes;
}

int MACL_RecordsRead(MACL_Handle& handle, std::vector<MACL_Record>& records) {
  MACL_Filter all;
  return MACL_RecordsFilter(handle, records, all);
}

int MACL_RecordsFilter(MACL_Handle& handle, std::vector<MACL_Record>& records,
                       const MACL_Filter& filter) {
  records.clear();
  if (handle.fd < 0) return kMaclBadArgument;
  int r = ForEachRecord(handle, [&](std::uint64_t, MACL_Record rec) {
    if (Matches(filter, rec)) records.push_back(std::move(rec));
    return true;
  });
  if (r != kMaclOk) records.clear();
  return r;
}

int MACL_RecordsByKind(MACL_Handle& handle, std::vector<MACL_Record>& records, std::uint8_t mask) {
  MACL_Filter filter;
  filter.flags = kMaclFilterKind;
  filter.record.kind = mask;
  return MACL_RecordsFilter(handle, records, filter);
}

int MACL_RecordAdd(MACL_Handle& handle, const MACL_Record& record, int refuse_duplicate) {
  if (handle.fd < 0) return kMaclBadArgument;
  if (!Writable(handle)) return kMaclReadOnly;
  if (refuse_duplicate == 1) {
    long long at = FindRecord(handle, record.resource, record.access_id, nullptr);
    if (at == -2) return kMaclIoError;
    if (at >= 0) return kMaclDuplicate;
  }
  std::optional<std::uint64_t> count = RecordCount(handle);
  if (!count) return kMaclIoError;
  // At the end, over a trailing partial record if there is one.
  return WriteRecord(handle, *count, record);
}

int MACL_RecordGet(MACL_Handle& handle, std::string_view resource, std::string_view access_id,
                   MACL_Record& record) {
  if (handle.fd < 0) return kMaclBadArgument;
  long long at = FindRecord(handle, resource, access_id, &record);
  if (at == -2) return kMaclIoError;
  return at >= 0 ? kMaclOk : kMaclNotFound;
}

int MACL_RecordMatch(MACL_Handle& handle, std::string_view resource, int mode,
                     std::string_view user_id, MACL_Record& record) {
  if (handle.fd < 0) return kMaclBadArgument;
  bool exact = false;
  bool have_best = false;
  MACL_Record best;
  int r = ForEachRecord(handle, [&](std::uint64_t, MACL_Record rec) {
    if (rec.kind != kMaclGrant || !PatternMatches(rec.access_id, user_id)) return true;
    if (rec.resource == resource) {
      record = std::move(rec);
      exact = true;
      return false;
    }
    if (mode == kMaclMatchInherit && rec.inherit != 0 && MACL_Covers(rec.resource, resource) &&
        (!have_best || rec.resource.size() > best.resource.size())) {
      best = std::move(rec);
      have_best = true;
    }
    return true;
  });
  if (r != kMaclOk) return r;
  if (exact) return kMaclOk;
  if (!have_best) return kMaclNotFound;
  record = std::move(best);
  return kMaclOk;
}

int MACL_RecordUpdate(MACL_Handle& handle, std::string_view resource, std::string_view access_id,
                      const MACL_Record& values, int fields) {
  if (handle.fd < 0) return kMaclBadArgument;
  if (!Writable(handle)) return kMaclReadOnly;
  MACL_Record record;
  long long at = FindRecord(handle, resource, access_id, &record);
  if (at == -2) return kMaclIoError;
  if (at < 0) return kMaclNotFound;
  if (fields & kMaclRecSetId) record.set_id = values.set_id;
  if (fields & kMaclRecKind) record.kind = values.kind;
  if (fields & kMaclRecAttr1) record.attr1 = values.attr1;
  if (fields & kMaclRecAttr2) record.attr2 = values.attr2;
  if (fields & kMaclRecNote) {
    record.note = values.note.substr(0, 127);
    record.has_note = record.note.empty() ? 0 : 1;
  }
  if (fields & kMaclRecInherit) record.inherit = values.inherit;
  return WriteRecord(handle, static_cast<std::uint64_t>(at), record);
}

int MACL_RecordDelete(MACL_Handle& handle, std::string_view resource, std::string_view access_id) {
  MACL_Record values;
  values.kind = kMaclDeleted;
  return MACL_RecordUpdate(handle, resource, access_id, values, kMaclRecKind);
}

int MACL_Lookup(MACL_Handle& handle, std::string_view resource, int mode, std::string_view user_id,
                MACL_Record& record, MACL_PrivSet& set, int by_pattern) {
  int r = by_pattern == 1 ? MACL_RecordMatch(handle, resource, mode, user_id, record)
                          : MACL_RecordGet(handle, resource, user_id, record);
  if (r != kMaclOk) return r;
  return MACL_SetGet(handle, record.set_id, set);
}
