// attachtool compile-magic: writes httpd/conf/magic.mgc from the magic rules,
// so that requests load compiled rules instead of parsing the text.
#include <cstdio>

#include "attachtool.h"
#include "common/mime/types/content_type.h"
#include "host/files/root.h"

int CompileMagicCommand(int argc, char** /*argv*/) {
  if (argc != 1) return UsageError("compile-magic");
  if (CT_CompileMagic() != 0) return 1;
  std::printf("%s\n", host::RootPath("httpd/conf/magic.mgc").c_str());
  return 0;
}
