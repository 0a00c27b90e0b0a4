// Writing a compose window's list back at the end of a request.
#pragma once

#include <string>
#include <vector>

namespace intake {

// Writes the process-wide table to `list_path`. When it cannot be written,
// the copies the request stored (`stored`, emptied) are removed, since the
// list on disk does not name them, the table is read again so that the page
// shows what is kept, the reason is logged for `function`, and the answer is
// kCodeListNotSaved; else kCodeOk.
int WriteListOrUndo(const std::string& list_path, std::vector<std::string>& stored,
                    const char* function);

}  // namespace intake
