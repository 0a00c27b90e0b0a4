// attachtool rights, cabinet-path, cabinet-list: what the cabinet makes of a
// user, a base, a folder and a name, as the programs ask it.
#include <cstdio>
#include <string>
#include <string_view>

#include "attachtool.h"
#include "common/cabinet/entries/dc_entries.h"
#include "common/cabinet/paths/dc_paths.h"
#include "common/cabinet/permission/dc_permission.h"
#include "tool_session.h"

// rights USER BASE DIR [NAME]
int RightsCommand(int argc, char** argv) {
  if (argc < 4 || argc > 5) return UsageError("rights");
  const char* user = argv[1];
  SetToolSession(user);
  std::string_view name = argc == 5 ? argv[4] : "";
  std::printf("%d\n", DC_Permission(user, argv[2], argv[3], name, 0));
  return 0;
}

// cabinet-path BASE DIR [NAME]
int CabinetPathCommand(int argc, char** argv) {
  if (argc < 3 || argc > 4) return UsageError("cabinet-path");
  std::string_view base = argv[1];
  std::string_view dir = argv[2];
  std::string_view name = argc == 4 ? argv[3] : "";
  int reserved = 0;
  if (argc == 4) {
    std::size_t slash = name.rfind('/');
    reserved = DC_ReservedName(slash == std::string_view::npos ? name : name.substr(slash + 1));
  }
  std::printf("%s\t%s\t%d\t%s\n", DC_PathNormalize(dir, name).value_or("").c_str(),
              DC_FileName(name).value_or("").c_str(), reserved, DC_Dir(base, dir).c_str());
  return 0;
}

// cabinet-list BASE DIR
int CabinetListCommand(int argc, char** argv) {
  if (argc != 3) return UsageError("cabinet-list");
  DC_Listing listing;
  if (DC_List(argv[1], argv[2], -1, listing) != 0) return 1;
  DC_ListSort(listing, kDcSortName, 0);
  for (const DC_EntryInfo& e : listing.entries) {
    std::printf("%s\t%d\t%lld\t%lld\t%s\n", OneLineField(e.name).c_str(), e.type,
                static_cast<long long>(e.size), static_cast<long long>(e.mtime),
                OneLineField(e.description).c_str());
  }
  return 0;
}
