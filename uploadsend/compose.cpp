// The compose flow: files from the document cabinet, or removals, upload
// fields and a URL, each new file checked against the limits and the virus
// scanner, stored as a private copy and listed in the window's attachment
// list, which is written back once.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/attach/attach_list.h"
#include "common/attach/list_turn.h"
#include "common/cabinet/cabinet_source.h"
#include "common/intake/fetch/fetched_url.h"
#include "common/intake/form_fields.h"
#include "common/intake/limits.h"
#include "common/intake/page_codes.h"
#include "common/intake/store/list_write.h"
#include "common/intake/store/stored_copy.h"
#include "common/intake/store/virus_check.h"
#include "host/account/session.h"
#include "host/base/strings.h"
#include "host/cgi/cgi_request.h"
#include "host/files/mapped_file.h"
#include "uploadsend/state.h"

namespace {


// The working values of one request's compose flow.
struct Compose {
  US_State& st = US_GetState();
  std::string list_path;
  std::int64_t total = 0;  // the list's size, raised by each file added
  int pid = static_cast<int>(getpid());
  bool changed = false;             // the list differs from its file
  std::vector<std::string> stored;  // copies this request made
  int code = intake::kCodeOk;
};

bool Present(const char* name) {
  return MCGI_VarStrGet(name, 0) != nullptr;
}

// Whether the request names files to add or entries to remove.
bool SendsChanges() {
  if (Present("doc") || Present("choice")) return true;
  for (const FormPart& part : MCGI_Request().parts) {
    if (part.name.starts_with("newfile") && part.length > 0) return true;
  }
  return !intake::UrlFieldText().empty();
}

// The admission of one new file whose bytes are in memory: the limits and the
// virus check; false (with the page's code) when the request takes no
// further files.
bool Admit(Compose& in, const char* name, const char* data, std::int64_t length) {
  in.code = intake::LimitRefusal(ATT_Table().count, in.total, length);
  if (in.code == intake::kCodeOk) in.code = intake::ScanRefusal(name, data, length, in.st.virus);
  if (in.code == intake::kCodeVirus || in.code == intake::kCodeNotScanned) {
    in.st.refused_name = name;
  }
  return in.code == intake::kCodeOk;
}

// Lists an admitted file stored at `path` under `name` (cleaned).
void List(Compose& in, const char* name, const std::string& path, std::int64_t length) {
  AttachRecord record{};
  record.size = static_cast<std::int32_t>(length);
  ATT_SetField(record.name, sizeof record.name, name);
  MSTR_Copy(record.path, sizeof record.path, path);
  ATT_ListAdd(record);  // cannot be full: the count limit is at most what it holds
  in.total += length;
  in.changed = true;
}

// Admits, stores and lists one file; false when the request takes no further
// files. A file that cannot be stored is left out (the reason is logged).
bool AddCopy(Compose& in, const char* name, const char* data, std::int64_t length, int number) {
  if (!Admit(in, name, data, length)) return false;
  std::string path = intake::StoredName(*in.st.cpid, 'A', in.pid, number);
  if (intake::StoreCopy(path, data, length) != 0) return true;
  in.stored.push_back(path);
  List(in, name, path, length);
  return true;
}

// Files of the document cabinet, "name" values of folder "dir_path" of
// cabinet "dc_base", until a value is absent or empty. Copies are numbered by
// the copies made before them.
void CabinetSource(Compose& in) {
  const std::optional<DC_SourceFolder> folder = DC_RequestedFolder();
  if (!folder) return;
  const char* base = folder->base;
  const char* dir = folder->dir;
  int copies = 0;
  int cursor = 0;
  for (const char* name; (name = MCGI_VarStrMGet("name", &cursor, 0)) && *name;) {
    if (!in.st.cpid) {
      in.code = intake::kCodeNoComposeWindow;
      return;
    }
    MappedFile data;
    std::string source;
    // A file beyond the room left (or a record's 32-bit size) is refused
    // before it is read.
    const std::int64_t room = std::min<std::int64_t>(intake::SizeLimit() - in.total,
                                                     std::numeric_limits<std::int32_t>::max());
    switch (DC_OpenSourceFile(session().user_id, base, dir, name, data, source, room)) {
      case DC_SourceAnswer::kNoPermission:
        in.code = intake::kCodeNoPermission;
        return;
      case DC_SourceAnswer::kSkipped:
        continue;
      case DC_SourceAnswer::kTooLarge:
        // The count limit is told before the size limit.
        in.code = intake::LimitRefusal(ATT_Table().count, in.total, room + 1);
        return;
      case DC_SourceAnswer::kOk:
        break;
    }
    std::size_t before = in.stored.size();
    if (!AddCopy(in, name, data.data(), static_cast<std::int64_t>(data.size()), copies)) return;
    if (in.stored.size() > before) ++copies;
  }
}

// One upload field; false when the request takes no further files. A field
// with a name but no data is passed over.
bool Upload(Compose& in, int index) {
  std::string field = intake::UploadFieldName(index);
  const char* client = nullptr;
  const char* data = nullptr;
  std::int64_t length = 0;
  MCGI_FileGet(field, &client, &data, &length);
  if (length <= 0) return true;
  return AddCopy(in, client ? client : "", data, length, index);
}

// The URL field: the fetched file is listed where the fetch left it, under
// the URL; one that is refused or brings nothing is deleted, and the page
// says why a fetch failed.
void FetchUrl(Compose& in) {
  std::string url = intake::UrlFieldText();
  if (url.empty()) return;
  url = intake::NormaliseUrl(std::move(url));
  intake::FetchedUrl fetched(url, *in.st.cpid, in.pid, "US_AttachMain");
  if (!fetched.ok()) {
    in.st.fetch_message = fetched.message();
    in.st.fetch_status = fetched.http_status();
    return;
  }
  auto length = static_cast<std::int64_t>(fetched.size());
  if (!Admit(in, url.c_str(), fetched.data(), length)) return;
  List(in, url.c_str(), fetched.path(), length);
  in.stored.push_back(fetched.path());
  fetched.Keep();
}

void FormSource(Compose& in) {
  if (intake::RemoveChosen(intake::ChoiceShift::kByRemoved) > 0) in.changed = true;
  if (intake::HasUploadFields()) {
    for (int i = 0; i < intake::kUploadFields; ++i) {
      if (!Upload(in, i)) return;
    }
  }
  FetchUrl(in);
}

// Writes the list back when the request changed it. When it cannot be
// written, the copies this request stored are removed (the list on disk does
// not name them), the table is read again so that the page shows what is
// kept, and the user is told.
void WriteList(Compose& in) {
  if (in.list_path.empty() || !in.changed) return;
  int code = intake::WriteListOrUndo(in.list_path, in.stored, "US_AttachMain");
  if (code != intake::kCodeOk) in.code = code;
}

int RunCompose() {
  Compose in;
  std::optional<AttachListTurn> turn;
  if (in.st.cpid) {
    in.list_path = ATT_ListPath(in.st.cpid->c_str());
    if (SendsChanges()) turn.emplace(in.list_path);
    ATT_ListRead(in.list_path);
  } else {
    ATT_Table().count = 0;
  }
  for (int i = 0; i < ATT_Table().count; ++i) in.total += ATT_Table().records[i].size;

  if (Present("doc")) {
    CabinetSource(in);
  } else if (in.st.cpid) {
    FormSource(in);
  } else if (SendsChanges()) {
    in.code = intake::kCodeNoComposeWindow;  // no list to remove from or to join
  }
  WriteList(in);
  return in.code;
}

}  // namespace

void US_AttachMain() {
  US_RenderPage(RunCompose());
}
