// The cabinet page of the attachment window ("cabinet.dat"): one folder of a
// cabinet the user may read, its folders to open and its files to choose;
// the choice is posted back to attachdesk as the cabinet source ("doc").
#include <cstdio>
#include <string>
#include <vector>

#include "attachdesk/admission/state.h"
#include "attachdesk/admission/window_values.h"
#include "attachdesk/cabinet/cabinet.h"
#include "common/cabinet/entries/dc_entries.h"
#include "common/cabinet/paths/dc_paths.h"
#include "common/cabinet/permission/dc_permission.h"
#include "common/cabinet/text/dc_text.h"
#include "common/intake/page/list_page.h"
#include "host/account/session.h"
#include "host/base/process.h"
#include "host/cgi/cgi_request.h"
#include "host/site/site.h"
#include "host/template/template.h"
#include "host/text/cgi_escape.h"

namespace {

// Kinds of cabinet ("$DCKIND").
enum Kind { kOwn = 1, kShared = 2, kSitePublic = 3, kDomainPublic = 4 };
// Why no folder is listed ("$DCMSG").
enum Message { kListed = 0, kMayNotRead = 1, kCannotOpen = 2, kNoCabinet = 3 };

constexpr OML_Decl kDecls[] = {
    {"$atid", OML_TEXT, ""},        {"$encatid", OML_TEXT, ""},     {"$ishtml", OML_TEXT, ""},
    {"$auth", OML_TEXT, ""},        {"$dcargs", OML_TEXT, ""},      {"$dcbase", OML_TEXT, ""},
    {"$encbase", OML_TEXT, ""},     {"$dcpath", OML_TEXT, ""},      {"$dcowner", OML_TEXT, ""},
    {"$encparent", OML_TEXT, ""},   {"$encsite", OML_TEXT, "%40"},  {"$encown", OML_TEXT, ""},
    {"$encdomain", OML_TEXT, ""},   {"$DCKIND", OML_SELECT, "0"},   {"$DCMSG", OML_SELECT, "0"},
    {"$ifup", OML_BLOCK, "2"},      {"$ifdomain", OML_BLOCK, "2"},  {"$iffiles", OML_BLOCK, "2"},
    {"$ifnofiles", OML_BLOCK, "2"}, {"$iffolders", OML_BLOCK, "2"}, {"$fname", OML_TEXT, ""},
    {"$fvalue", OML_TEXT, ""},      {"$encfbase", OML_TEXT, ""},    {"$encfpath", OML_TEXT, ""},
    {"$fsize", OML_TEXT, ""},       {"$ftime", OML_TEXT, ""},       {"$fdesc", OML_TEXT, ""},
    {"$fid", OML_INT, "0"},
};

std::string Text(const char* name) {
  const char* value = MCGI_VarStrGet(name, 0);
  return value ? value : "";
}

struct Folder {
  std::string name;
  std::string base;  // where it leads: a link folder's target
  std::string path;
  std::time_t mtime = 0;
};

struct Chosen {
  std::string base;
  std::string dir;
  Kind kind = kOwn;
};

Chosen Choose() {
  const Session& s = session();
  Chosen c;
  std::string owner = Text("dc_owner");
  c.base = Text("dc_base");
  if (!owner.empty()) c.base = owner == s.user_id ? owner : "*" + owner;
  if (c.base.empty()) c.base = s.user_id;
  c.dir = DC_PathNormalize(Text("dir_path")).value_or("/");
  switch (DC_BaseKindOf(c.base)) {
    case DC_BaseKind::kSite:
      c.kind = kSitePublic;
      break;
    case DC_BaseKind::kDomain:
      c.kind = kDomainPublic;
      break;
    default:
      c.kind = DC_IsOwner(s.user_id, c.base) == 0 ? kOwn : kShared;
  }
  return c;
}

std::string FolderPath(const std::string& dir, const std::string& name) {
  return DC_PathJoin(dir, name, 2048);
}

}  // namespace

void AD_CabinetPage() {
  const Session& s = session();
  const Chosen c = Choose();

  Message message = kListed;
  DC_Listing listing;
  std::vector<Folder> folders;
  std::vector<DC_EntryInfo> files;
  if (DC_BaseKindOf(c.base) == DC_BaseKind::kNone) {
    message = kNoCabinet;
  } else if (!(DC_Permission(s.user_id, c.base, c.dir, "", 0) & DC_PERM_READ)) {
    message = kMayNotRead;
  } else if (DC_List(c.base, c.dir, -1, listing) != 0) {
    // A user's own cabinet that was never used has no folder yet: empty.
    if (!(c.kind == kOwn && c.dir == "/")) message = kCannotOpen;
  }
  DC_ListSort(listing, kDcSortName, 0);
  for (DC_EntryInfo& e : listing.entries) {
    if (e.type == kDcTypeFolder) {
      folders.push_back({e.name, c.base, FolderPath(c.dir, e.name), e.mtime});
    } else if (e.type == kDcTypeLinkFolder) {
      DC_LinkTarget target;
      if (DC_LinkResolve(c.base, FolderPath(c.dir, e.name), target) == 0) {
        folders.push_back({e.name, target.base, target.path, e.mtime});
      }
    } else {
      files.push_back(std::move(e));
    }
  }

  std::string path = s.template_dir + "/cabinet.dat";
  OML_Handle page;
  if (OML_Init(path, 1, page, kDecls) != 0) intake::ExitMissingTemplate();
  form_setdefault(page);
  std::printf("Cache-Control: no-cache\n");
  AD_BindWindowValues(page);
  OML_StrDup(page, "$dcbase", HtmlEscape(c.base));
  OML_StrDup(page, "$encbase", MCGI_URIEscapeStr(c.base));
  OML_StrDup(page, "$dcpath", HtmlEscape(c.dir));
  OML_StrDup(page, "$dcowner", HtmlEscape(DC_BaseUser(c.base)));
  OML_StrDup(page, "$encown", MCGI_URIEscapeStr(s.user_id));
  if (isMultiDomain() && !s.domain.empty()) {
    OML_IntSet(page, "$ifdomain", 1);
    OML_StrDup(page, "$encdomain", MCGI_URIEscapeStr("@" + s.domain));
  }
  OML_IntSet(page, "$DCKIND", c.kind);
  OML_IntSet(page, "$DCMSG", message);
  if (c.dir != "/") {
    OML_IntSet(page, "$ifup", 1);
    OML_StrDup(page, "$encparent", MCGI_URIEscapeStr(DC_SplitPath(c.dir).dir));
  }
  if (message == kListed) {
    OML_IntSet(page, files.empty() ? "$ifnofiles" : "$iffiles", 1);
    if (!folders.empty()) OML_IntSet(page, "$iffolders", 1);
  }

  std::string loop;
  while (OML_Execute(page, &loop) != 0) {
    if (loop == "$folders") {
      for (const Folder& f : folders) {
        OML_StrDup(page, "$fname", HtmlEscape(f.name));
        OML_StrDup(page, "$encfbase", MCGI_URIEscapeStr(f.base));
        OML_StrDup(page, "$encfpath", MCGI_URIEscapeStr(f.path));
        OML_StrDup(page, "$ftime", DC_FormatTime(f.mtime, kDcTimeMinutes).value_or(""));
        OML_Execute(page);
      }
    } else if (loop == "$files") {
      int id = 0;
      for (const DC_EntryInfo& e : files) {
        OML_StrDup(page, "$fname", HtmlEscape(e.name));
        OML_StrDup(page, "$fvalue", HtmlEscape(e.name));
        OML_StrDup(page, "$fsize", DC_FormatSize(e.size, kDcSizeUnits).value_or(""));
        OML_StrDup(page, "$ftime", DC_FormatTime(e.mtime, kDcTimeMinutes).value_or(""));
        OML_StrDup(page, "$fdesc", HtmlEscape(e.description));
        OML_IntSet(page, "$fid", id++);
        OML_Execute(page);
      }
    }
    OML_ExitLoop(page);
  }
  OML_Close(page);
  genEditTable(s.user_id, path);
  host::Exit(0);
}
