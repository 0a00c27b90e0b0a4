// The memo note source of new files ("mnote").
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "attachdesk/admission/admission.h"
#include "attachdesk/admission/state.h"
#include "attachdesk/notes/notes.h"
#include "common/cabinet/text/dc_text.h"
#include "common/mime/types/content_type.h"
#include "host/account/session.h"
#include "host/cgi/cgi_request.h"
#include "host/charset/charset.h"
#include "host/charset/japanese_width.h"
#include "host/charset/names.h"

namespace {

// The longest name a list record holds.
constexpr std::size_t kNameMax = 255;

// The folder the keys are looked up in. It stays open while the following
// keys name the same folder, so their notes come from one reading of its
// index; a folder that cannot serve is not tried again for them.
class NoteFolder {
 public:
  NoteFolder() = default;
  ~NoteFolder() { MNOTE_Close(&context_); }
  NoteFolder(const NoteFolder&) = delete;
  NoteFolder& operator=(const NoteFolder&) = delete;

  // Makes `cate` (empty: the note root) the folder in use; false when it is
  // missing, refused, or its index cannot be read.
  bool Use(std::string_view cate) {
    if (named_ && cate == name_) return usable_;
    MNOTE_Close(&context_);
    named_ = true;
    name_ = cate;
    usable_ = false;
    std::string path;
    int found = MNOTE_FolderPath(session().user_id, cate, path);
    if (found != kMnoteExists && found != kMnoteOk) return false;
    usable_ = MNOTE_Open(&context_, path.c_str(), 0) == kMnoteOk &&
              MNOTE_Load(&context_) == kMnoteOk;
    return usable_;
  }

  const MNOTE_Context& context() const { return context_; }

 private:
  MNOTE_Context context_;
  std::string name_;
  bool named_ = false;
  bool usable_ = false;
};

std::vector<std::string_view> Values(const char* name) {
  std::vector<std::string_view> values;
  int cursor = 0;
  while (const char* value = MCGI_VarStrMGet(name, &cursor, 0)) values.emplace_back(value);
  return values;
}

}  // namespace

std::string AD_NameWithExtension(std::string_view stem, std::string_view extension,
                                 int charset_value) {
  std::string name(stem.substr(0, stem.find('\0')));
  const std::size_t room = extension.size() < kNameMax ? kNameMax - extension.size() : 0;
  if (name.size() > room) {
    std::vector<char> cut(room + 1);
    name.assign(cut.data(), MLG_Copy(cut.data(), cut.size(), name.c_str(), charset_value));
  }
  name += extension;
  return name;
}

std::string AD_NoteFileName(const MNOTE_Entry& entry, int charset_value) {
  std::string stem;
  if (entry.dated) {
    stem = DC_FormatTime(static_cast<std::time_t>(entry.mtime), kDcTimeMinutes).value_or("");
    std::replace(stem.begin(), stem.end(), '/', '-');
  } else {
    stem = DC_SafeName(entry.title);
    for (char& c : stem) {
      if (c == '/' || c == '\\') c = '_';
    }
  }
  return AD_NameWithExtension(stem, ".txt", charset_value);
}

void AD_NoteSource() {
  AD_Intake& in = AD_GetIntake();
  // Without a compose window no note has a list to join.
  if (!AD_GetState().cpid) {
    const std::vector<std::string_view> keys = Values("file");
    if (std::any_of(keys.begin(), keys.end(), [](std::string_view k) { return !k.empty(); })) {
      in.outcome.code = kAdNoComposeWindow;
    }
    return;
  }
  const std::vector<std::string_view> cates = Values("cate");
  const int user_value = MLC_CharsetWEncToValue(UserCharset());
  NoteFolder folder;
  int stored = 0;  // numbers the copies actually written
  std::size_t index = 0;
  int cursor = 0;
  while (const char* key = MCGI_VarStrMGet("file", &cursor, 0)) {
    std::string_view cate = cates.empty() ? std::string_view()
                                          : cates[std::min(index, cates.size() - 1)];
    ++index;
    if (!folder.Use(cate)) continue;
    // The key reaches a file only as the key of an entry of the index.
    MNOTE_Entry entry;
    std::string text;
    if (MNOTE_Read(&folder.context(), key, &entry, &text) != kMnoteOk) continue;

    const char* charset = MLC_CharsetToWEncName(entry.charset);
    const std::string name = AD_NoteFileName(entry, *charset ? entry.charset : user_value);
    const std::string source = folder.context().path + "/" + entry.key;
    const char* shown = AD_NameForCharset(std::string(purename(name)).c_str(), charset);
    // The bytes read count, whatever length the index records: the size
    // limit, the scan and the inserted text see exactly what is stored.
    const auto length = static_cast<std::int64_t>(text.size());
    const char* type = CT_Guess(text.data(), text.size(), name.c_str());
    AD_StoreFn store = AD_NumberedCopy(stored, text.data(), length, shown ? shown : "",
                                       *charset ? charset : UserCharset());
    if (AD_Admit(source.c_str(), text.data(), length, type, store, kAdmitTypeNoCase) ==
        AD_Admission::kRefused) {
      return;
    }
  }
}
