#include "common/directory/base/mds_records.h"

#include <cstdlib>
#include <cstring>

char* MdsStrDup(std::string_view text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (!copy) return nullptr;
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

namespace {

// A copy of an optional text: true when it could be made (a null stays null).
bool DupOptional(const MdsText& text, char*& out) {
  out = nullptr;
  if (!text) return true;
  out = MdsStrDup(*text);
  return out != nullptr;
}

template <typename T>
T* AllocArray(std::size_t n) {
  // calloc: every pointer starts null, so a partly filled array frees cleanly.
  return static_cast<T*>(std::calloc(n ? n : 1, sizeof(T)));
}

}  // namespace

int MdsMakeStrings(const std::vector<std::string>& items, char*** out, int* count) {
  *out = nullptr;
  *count = 0;
  char** list = AllocArray<char*>(items.size());
  if (!list) return 1;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!(list[i] = MdsStrDup(items[i]))) {
      MdsFreeStrings(list, static_cast<int>(i));
      return 1;
    }
  }
  *out = list;
  *count = static_cast<int>(items.size());
  return 0;
}

int MdsMakeMembers(const std::vector<std::pair<std::string, MdsText>>& items, MDS_Member** out,
                   int* count) {
  *out = nullptr;
  *count = 0;
  MDS_Member* list = AllocArray<MDS_Member>(items.size());
  if (!list) return 1;
  for (std::size_t i = 0; i < items.size(); ++i) {
    list[i].first = MdsStrDup(items[i].first);
    if (!list[i].first || !DupOptional(items[i].second, list[i].second)) {
      MdsFreeMembers(list, static_cast<int>(i + 1));
      return 1;
    }
  }
  *out = list;
  *count = static_cast<int>(items.size());
  return 0;
}

int MdsMakeGroupInfo(const MdsGroupFields& fields, MDS_GroupInfo* out) {
  *out = MDS_GroupInfo{};
  for (int i = 0; i < MDS_GROUPINFO_FIELDS; ++i) {
    if (!DupOptional(fields[i], out->f[i])) {
      MdsFreeGroupInfo(out);
      return 1;
    }
  }
  return 0;
}

int MdsMakeGroupInfos(const std::vector<MdsGroupFields>& items, MDS_GroupInfo** out, int* count) {
  *out = nullptr;
  *count = 0;
  MDS_GroupInfo* list = AllocArray<MDS_GroupInfo>(items.size());
  if (!list) return 1;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (MdsMakeGroupInfo(items[i], &list[i]) != 0) {
      MdsFreeGroupInfos(list, static_cast<int>(i));
      return 1;
    }
  }
  *out = list;
  *count = static_cast<int>(items.size());
  return 0;
}

int MdsMakeUserInfo(const MdsUserFields& fields, MDS_UserInfo* out) {
  *out = MDS_UserInfo{};
  for (int i = 0; i < MDS_USERINFO_FIELDS; ++i) {
    if (!DupOptional(fields[i], out->f[i])) {
      MdsFreeUserInfo(out);
      return 1;
    }
  }
  return 0;
}

void MdsFreeStrings(char** items, int count) {
  if (!items) return;
  for (int i = 0; i < count; ++i) std::free(items[i]);
  std::free(items);
}

void MdsFreeMembers(MDS_Member* items, int count) {
  if (!items) return;
  for (int i = 0; i < count; ++i) {
    std::free(items[i].first);
    std::free(items[i].second);
  }
  std::free(items);
}

void MdsFreeGroupInfo(MDS_GroupInfo* info) {
  if (!info) return;
  for (char*& f : info->f) {
    std::free(f);
    f = nullptr;
  }
}

void MdsFreeGroupInfos(MDS_GroupInfo* items, int count) {
  if (!items) return;
  for (int i = 0; i < count; ++i) MdsFreeGroupInfo(&items[i]);
  std::free(items);
}

void MdsFreeUserInfo(MDS_UserInfo* info) {
  if (!info) return;
  for (char*& f : info->f) {
    std::free(f);
    f = nullptr;
  }
}

MdsString::~MdsString() {
  std::free(s);
}
