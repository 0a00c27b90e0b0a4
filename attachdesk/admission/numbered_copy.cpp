// Stored copies numbered by the copies a request made so far.
#include "attachdesk/admission/admission.h"
#include "attachdesk/admission/state.h"
#include "common/intake/store/stored_copy.h"
#include "host/base/strings.h"

AD_StoreFn AD_NumberedCopy(int& stored, const char* data, std::int64_t length, std::string name,
                           std::string charset) {
  return [&stored, data, length, name = std::move(name),
          charset = std::move(charset)](AttachRecord& record) {
    std::string copy = intake::StoredName(*AD_GetState().cpid, 'A', AD_GetIntake().pid, stored);
    if (intake::StoreCopy(copy, data, length) != 0) return -1;
    ++stored;
    ATT_SetField(record.name, sizeof record.name, name);
    ATT_SetField(record.charset, sizeof record.charset, charset);
    MSTR_Copy(record.path, sizeof record.path, copy);
    return 0;
  };
}
