// The background image ("bg") and background sound ("bs") pages: one file
// from an upload, the document cabinet or a web address becomes the compose
// window's background, remembered in its background list.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "attachdesk/admission/admission.h"
#include "attachdesk/admission/state.h"
#include "attachdesk/cabinet/cabinet.h"
#include "attachdesk/media/media.h"
#include "common/attach/attach_list.h"
#include "common/attach/background_list.h"
#include "common/attach/list_text.h"
#include "common/intake/page/list_page.h"
#include "host/account/session.h"
#include "host/base/process.h"
#include "host/base/strings.h"
#include "host/cgi/cgi_request.h"
#include "host/charset/names.h"
#include "host/files/hashed_store.h"
#include "host/files/log.h"
#include "host/site/site.h"
#include "host/template/template.h"
#include "host/text/cgi_escape.h"
#include "host/text/mail/stored_names.h"

namespace {

constexpr OML_Decl kImageDecls[] = {
    {"$atid", OML_TEXT, ""},     {"$filedownload", OML_TEXT, ""}, {"$hasdata", OML_BLOCK, "2"},
    {"$ifhelp", OML_BLOCK, "1"}, {"$bgfile", OML_TEXT, ""},       {"$ERRORMSG", OML_SELECT, "0"},
    {"$filesize", OML_INT, "0"}, {"$type", OML_INT, "0"},         {"$auth", OML_TEXT, ""},
    {"$ifdc", OML_BLOCK, "2"},
};

constexpr OML_Decl kSoundDecls[] = {
    {"$ifninit", OML_BLOCK, "1"},   {"$atid", OML_TEXT, ""},         {"$downfile", OML_TEXT, ""},
    {"$hasdata", OML_BLOCK, "2"},   {"$ifhelp", OML_BLOCK, "1"},     {"$bsfile", OML_TEXT, ""},
    {"$ERRORMSG", OML_SELECT, "0"}, {"$filesize", OML_INT, "0"},     {"$type", OML_INT, "0"},
    {"$auth", OML_TEXT, ""},        {"$ifauth", OML_BLOCK, "2"},     {"$ifnauth", OML_BLOCK, "1"},
    {"$ifinit", OML_BLOCK, "1"},    {"$filedownload", OML_TEXT, ""}, {"$ifdc", OML_BLOCK, "2"},
};

// A stored name's room: the store's file names, and the record's path slot.
constexpr std::size_t kNameMax = 255;
constexpr std::size_t kPathMax = sizeof BackgroundRecord::path - 1;
// An extension longer than this is part of the name's stem when cutting.
constexpr std::size_t kExtKeep = 32;

// One of the two lists and its page.
struct Background {
  AD_MediaKind kind;
  const char* tmpl;  // the page's template
  const std::string& (*list_path)(const char*);
  int (*list_read)(const std::string&);
  int (*set)(const BackgroundRecord&);
  int (*remove)();
  int (*list_write)(const std::string&);
  BackgroundRecord& (*record)();
  int& (*count)();
};

const Background kImage = {
    AD_MediaKind::kImage, "/background.dat", BG_ListPath, BG_ListRead, BG_Set, BG_Remove,
    BG_ListWrite,         BG_Record,         BG_Count};
const Background kSound = {AD_MediaKind::kSound, "/backsound.dat", BS_ListPath,
                           BS_ListRead,          BS_Set,           BS_Remove,
                           BS_ListWrite,         BS_Record,        BS_Count};

const char* Text(const char* name) {
  return MCGI_VarStrGet(name, 0);
}

bool NonEmpty(const char* text) {
  return text != nullptr && *text != '\0';
}

// A text variable, or the data of the multipart part of that name when the
// text is absent.
const char* TextOrPart(const char* name) {
  if (const char* text = Text(name)) return text;
  const char* client = nullptr;
  const char* data = nullptr;
  std::int64_t length = 0;
  if (MCGI_FileGet(name, &client, &data, &length) == 0 && data) return data;
  return nullptr;
}

// The request's type number: the multipart part's data, else the text.
std::int32_t TypeNumber() {
  const char* client = nullptr;
  const char* data = nullptr;
  std::int64_t length = 0;
  if (MCGI_FileGet("type", &client, &data, &length) == 0 && data) {
    return list_text::ParseInt32(data);
  }
  const char* text = Text("type");
  return text ? list_text::ParseInt32(text) : 0;
}

std::string Escaped(std::string_view text) {
  return HtmlEscape(text);
}

// The stored name: the process id in upper-case hex, the user id and the
// source's base name in quoted-printable form on one line. An "&" before a
// "#" is written "=26", so no stored path holds a character reference that
// a list line would read differently. A long name loses the end of its stem
// (its extension stays) so that the whole path fits a record; a taken name
// gets "-N" before the extension.
std::string StoredName(const std::string& source_name, std::int64_t /*size*/, int attempt) {
  std::string encoded = MTX_QPEncLine(purename(source_name));
  for (std::size_t at = encoded.find("&#"); at != std::string::npos; at = encoded.find("&#", at)) {
    encoded.replace(at, 1, "=26");
  }
  std::string_view stem = encoded;
  std::string_view ext;
  std::size_t dot = encoded.rfind('.');
  if (dot != std::string::npos && encoded.size() - dot <= kExtKeep) {
    stem = stem.substr(0, dot);
    ext = std::string_view(encoded).substr(dot);
  }
  const std::string head = BG_StoredNameHead(static_cast<int>(getpid()), session().user_id);
  const std::string root = HashedStoreRoot();
  const std::size_t folder = root.size() + 7;  // "/XX/YY/"
  if (folder >= kPathMax) return {};
  std::string name =
      AD_FitStoredName(head, stem, ext, attempt, std::min(kNameMax, kPathMax - folder));
  if (name.empty()) return {};
  std::string path = root + "/" + HashedStoreSubdir(name) + "/" + name;
  if (!list_text::FieldReadsBack(path, list_text::RefRule::kBackground)) return {};
  return name;
}

[[noreturn]] void Page(const Background& bg, int code) {
  const Session& s = session();
  std::string path = s.template_dir + bg.tmpl;
  OML_Handle page;
  const bool sound = bg.kind == AD_MediaKind::kSound;
  int loaded = sound ? OML_Init(path, 1, page, kSoundDecls) : OML_Init(path, 1, page, kImageDecls);
  if (loaded != 0) intake::ExitMissingTemplate();
  form_setdefault(page);
  if (GINI_Level(s.level).flags & kLevelFlagCabinet) OML_IntSet(page, "$ifdc", 1);
  const char* auth = sound ? TextOrPart("auth") : Text("auth");
  if (auth) OML_StrDup(page, "$auth", Escaped(auth));
  if (sound && NonEmpty(auth)) {
    OML_IntSet(page, "$ifauth", 1);
    OML_IntSet(page, "$ifnauth", 2);
  }
  if (sound) OML_IntSet(page, NonEmpty(Text("init")) ? "$ifninit" : "$ifinit", 2);
  OML_IntSet(page, "$ERRORMSG", code);
  if (bg.count() > 0) {
    const BackgroundRecord& r = bg.record();
    OML_IntSet(page, "$ifhelp", 2);
    OML_IntSet(page, "$hasdata", 1);
    std::string_view name(r.name, strnlen(r.name, sizeof r.name));
    std::string_view stored(r.path, strnlen(r.path, sizeof r.path));
    // A list name may carry characters its charset lacks as "&#NNN;".
    OML_StrDup(page, sound ? "$bsfile" : "$bgfile", HtmlEscapeKeepingReferences(purename(name)));
    if (sound) OML_StrDup(page, "$downfile", Escaped(purename(stored)));
    OML_StrDup(page, "$filedownload", Escaped(HashedStoreReference(stored)));
    OML_IntSet(page, "$filesize", r.size);
    OML_IntSet(page, "$type", r.type);
  }
  const char* atid = AD_GetState().atid;
  OML_StrDup(page, "$atid", Escaped(atid ? atid : ""));
  OML_Execute(page);
  OML_Close(page);
  genEditTable(s.user_id, path);
  host::Exit(0);
}

// The window's turn, held by a request that may change its list from reading
// the list to writing it, as the attachment window's requests and the
// clean-up of tmp/ take it. It lives until the process ends, since the page
// ends the process; its lock file goes with it.
std::optional<AttachListTurn>& Turn() {
  static std::optional<AttachListTurn> turn;
  return turn;
}

// Whether the request asks for any change.
bool AsksForChange() {
  return MCGI_VarIntGet("del", 0) == 1 || NonEmpty(Text("type")) || AD_MediaUploadSent() ||
         AD_MediaUrlSent() || NonEmpty(Text("name"));
}

int Run(const Background& bg) {
  // The cabinet page of the window's cabinet link; the file chosen there
  // comes back as the cabinet source.
  if (Text("dcview")) AD_CabinetPage();
  const AD_State& st = AD_GetState();
  // Without a compose identifier there is no list: nothing is taken, and a
  // request that asks for a change is told so.
  if (!st.cpid) {
    bg.count() = 0;
    bool change = !NonEmpty(Text("init")) && AsksForChange();
    Page(bg, change ? kMediaNoComposeWindow : kMediaOk);
  }
  const std::string list_path = bg.list_path(st.cpid->c_str());
  if (!NonEmpty(Text("init")) && AsksForChange()) Turn().emplace(ATT_ListPath(st.cpid->c_str()));
  bg.list_read(list_path);
  if (NonEmpty(Text("init"))) Page(bg, kMediaOk);

  const bool del = MCGI_VarIntGet("del", 0) == 1;
  if (del) {
    bg.remove();
  } else if (!Text("doc") && NonEmpty(Text("type")) && !AD_MediaUploadSent() &&
             !AD_MediaUrlSent()) {
    // The type-only update: no page. A list that cannot be written is told
    // by the answer's status.
    bg.record().type = list_text::ParseInt32(Text("type"));
    if (bg.list_write(list_path) < 0) {
      LOG_FileLine(ErrorLogPath(), "AD_BackgroundMain: the list %s could not be written",
                   list_path.c_str());
      std::fputs(
          "Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n\r\n"
          "The background list could not be saved.\n",
          stdout);
    } else {
      std::fputs("Status: 204 No Content\r\n\r\n", stdout);
    }
    return 1;
  }

  const std::int32_t type = TypeNumber();
  std::fputs("Cache-Control: no-cache\n", stdout);
  std::vector<std::string> stored;  // files this request stored
  if (!del) {
    using Source = AD_MediaResult (*)(AD_MediaKind, const AD_StoredNamer&);
    for (Source source : {AD_MediaFromUpload, AD_MediaFromCabinet, AD_MediaFromUrl}) {
      AD_MediaResult r = source(bg.kind, StoredName);
      if (r.status == AD_MediaStatus::kRefused) {
        // The list keeps its state, so what this request stored before is
        // named nowhere: it goes.
        for (const std::string& file : stored) HashedStoreUnlink(file);
        Page(bg, r.code);
      }
      if (r.status != AD_MediaStatus::kStored) continue;  // absent, or a fetch that failed
      BackgroundRecord record{};
      record.type = type;
      record.size = static_cast<std::int32_t>(r.file.size);
      std::string base(purename(r.file.source_name));
      const char* shown = AD_NameForUser(base.c_str());
      BG_SetField(record.name, sizeof record.name, shown ? shown : "");
      MSTR_Copy(record.path, sizeof record.path, r.file.stored_path);
      bg.set(record);
      stored.push_back(r.file.stored_path);
    }
  }
  if (bg.list_write(list_path) < 0) {
    // The list on disk does not name this request's files: they go, and the
    // page shows what the list holds.
    LOG_FileLine(ErrorLogPath(), "AD_BackgroundMain: the list %s could not be written",
                 list_path.c_str());
    for (const std::string& file : stored) HashedStoreUnlink(file);
    bg.list_read(list_path);
    Page(bg, kMediaNotStored);
  }
  Page(bg, kMediaOk);
}

}  // namespace

int AD_BackgroundMain() {
  return Run(kImage);
}

int AD_BacksoundMain() {
  return Run(kSound);
}
