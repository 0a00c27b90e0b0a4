// The C records of the directory interface on the C++ side: making the
// malloc'ed lists that operations hand out, and owners that free them.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/directory/base/mds_abi.h"

// A malloc'ed copy; null when memory runs out.
char* MdsStrDup(std::string_view text);

using MdsText = std::optional<std::string>;  // nullopt stands for a null string
using MdsGroupFields = std::array<MdsText, MDS_GROUPINFO_FIELDS>;
using MdsUserFields = std::array<MdsText, MDS_USERINFO_FIELDS>;

// Fill the C forms. Each answers 0, or 1 when memory runs out (nothing is
// then handed out).
int MdsMakeStrings(const std::vector<std::string>& items, char*** out, int* count);
int MdsMakeMembers(const std::vector<std::pair<std::string, MdsText>>& items, MDS_Member** out,
                   int* count);
int MdsMakeGroupInfo(const MdsGroupFields& fields, MDS_GroupInfo* out);
int MdsMakeGroupInfos(const std::vector<MdsGroupFields>& items, MDS_GroupInfo** out, int* count);
int MdsMakeUserInfo(const MdsUserFields& fields, MDS_UserInfo* out);

// Frees what the C forms hold (the record itself for the single records).
void MdsFreeStrings(char** items, int count);
void MdsFreeMembers(MDS_Member* items, int count);
void MdsFreeGroupInfo(MDS_GroupInfo* info);
void MdsFreeGroupInfos(MDS_GroupInfo* items, int count);
void MdsFreeUserInfo(MDS_UserInfo* info);

// The text of a C string, null as nullopt.
inline MdsText MdsOptional(const char* s) {
  return s ? MdsText(s) : std::nullopt;
}

// Owners of what an operation hands out; they free it when they go.
template <typename T, void (*Free)(T*, int)>
struct MdsList {
  T* items = nullptr;
  int count = 0;
  MdsList() = default;
  MdsList(const MdsList&) = delete;
  MdsList& operator=(const MdsList&) = delete;
  ~MdsList() { Free(items, count); }
  void Reset() {
    Free(items, count);
    items = nullptr;
    count = 0;
  }
  T* begin() const { return items; }
  T* end() const { return items ? items + count : items; }
};
using MdsStringList = MdsList<char*, MdsFreeStrings>;
using MdsMemberList = MdsList<MDS_Member, MdsFreeMembers>;
using MdsGroupInfoList = MdsList<MDS_GroupInfo, MdsFreeGroupInfos>;

template <typename T, void (*Free)(T*)>
struct MdsRecord {
  T rec{};
  MdsRecord() = default;
  MdsRecord(const MdsRecord&) = delete;
  MdsRecord& operator=(const MdsRecord&) = delete;
  ~MdsRecord() { Free(&rec); }
};
using MdsGroupInfoRecord = MdsRecord<MDS_GroupInfo, MdsFreeGroupInfo>;
using MdsUserInfoRecord = MdsRecord<MDS_UserInfo, MdsFreeUserInfo>;

struct MdsString {
  char* s = nullptr;
  MdsString() = default;
  MdsString(const MdsString&) = delete;
  MdsString& operator=(const MdsString&) = delete;
  ~MdsString();
};
