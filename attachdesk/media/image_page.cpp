// The inline image page ("img"): one image from an upload, the document
// cabinet or a web address goes into the hashed store, and the page hands
// its download reference back to the compose page. The image is not listed.
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "attachdesk/admission/state.h"
#include "attachdesk/cabinet/cabinet.h"
#include "attachdesk/media/media.h"
#include "host/account/session.h"
#include "host/base/ascii.h"
#include "host/cgi/cgi_request.h"
#include "host/charset/names.h"
#include "host/site/site.h"
#include "host/template/template.h"
#include "host/text/cgi_escape.h"
#include "host/text/mail/stored_names.h"

namespace {

constexpr OML_Decl kDecls[] = {
    {"$atid", OML_TEXT, ""},        {"$filedownload", OML_TEXT, ""}, {"$update", OML_BLOCK, "2"},
    {"$ERRORMSG", OML_SELECT, "0"}, {"$ifdc", OML_BLOCK, "2"},       {"$ifsize", OML_BLOCK, "2"},
    {"$width", OML_INT, "0"},       {"$height", OML_INT, "0"},
};

constexpr std::size_t kNameMax = 255;
// Of an extension longer than this only its start is kept.
constexpr std::size_t kExtMax = 32;

// The extension of a source: the text from the last "." of its base name,
// the "." included, its case kept; control bytes become "_" and a long one
// is cut. Empty without a ".".
std::string Extension(const std::string& source_name) {
  std::string_view base = purename(source_name);
  std::size_t dot = base.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string ext(base.substr(dot, kExtMax));
  for (char& c : ext) {
    if (ascii::IsControl(c)) c = '_';
  }
  return ext;
}

int AD_ImagePage(int code, const std::string& client_name, const std::string& stored_name) {
  const Session& s = session();
  std::string path = s.template_dir + "/imageadd.dat";
  OML_Handle page;
  if (OML_Init(path, 1, page, kDecls) != 0) {
    OML_HeaderPrint(kOmlHeaderHtml);
    std::fputs("Missing System File.", stdout);
    return 1;
  }
  form_setdefault(page);
  if (GINI_Level(s.level).flags & kLevelFlagCabinet) OML_IntSet(page, "$ifdc", 1);
  OML_IntSet(page, "$ERRORMSG", code);
  if (code == kMediaOk && !stored_name.empty()) {
    OML_StrDup(page, "$filedownload", HtmlEscape(stored_name + "/" + safe_cgistr(client_name)));
    OML_IntSet(page, "$update", 1);
  }
  const char* atid = AD_GetState().atid;
  OML_StrDup(page, "$atid", HtmlEscape(atid ? atid : ""));
  if (MCGI_VarIntGet("defsize", 0) == 1) OML_IntSet(page, "$ifsize", 1);
  OML_IntSet(page, "$width", MCGI_VarIntGet("owidth", 0));
  OML_IntSet(page, "$height", MCGI_VarIntGet("oheight", 0));
  OML_Execute(page);
  OML_Close(page);
  genEditTable(s.user_id, path);
  return 0;
}

}  // namespace

int AD_ImageMain() {
  // The cabinet page of the window's cabinet link; the file chosen there
  // comes back as the cabinet source.
  if (MCGI_VarStrGet("dcview", 0)) AD_CabinetPage();
  const char* init = MCGI_VarStrGet("init", 0);
  if (init && *init) return AD_ImagePage(kMediaOk, {}, {});
  std::fputs("Cache-Control: no-cache\n", stdout);
  struct timeval now;
  gettimeofday(&now, nullptr);
  // "%ld%ld%d%s": the microseconds, the process id, the size (the length of
  // a web address as sent) and the extension; a taken name gets "-N" before
  // the extension.
  auto namer = [&now](const std::string& source_name, std::int64_t size, int attempt) {
    char head[64];
    std::snprintf(head, sizeof head, "%ld%ld%lld", static_cast<long>(now.tv_usec),
                  static_cast<long>(getpid()), static_cast<long long>(size));
    return AD_FitStoredName(head, {}, Extension(source_name), attempt, kNameMax);
  };
  // The first source the request names is the only one taken.
  using Source = AD_MediaResult (*)(AD_MediaKind, const AD_StoredNamer&);
  for (Source source : {AD_MediaFromUpload, AD_MediaFromCabinet, AD_MediaFromUrl}) {
    AD_MediaResult r = source(AD_MediaKind::kImage, namer);
    std::string shown(purename(r.file.source_name));
    switch (r.status) {
      case AD_MediaStatus::kAbsent:
        continue;
      case AD_MediaStatus::kStored:
        return AD_ImagePage(kMediaOk, shown, r.file.stored_name);
      case AD_MediaStatus::kRefused:
        return AD_ImagePage(r.code, shown, {});
      case AD_MediaStatus::kFetchFailed:
        return AD_ImagePage(kMediaFetchFailed, shown, {});
    }
  }
  return AD_ImagePage(kMediaOk, {}, {});
}
