#include "attachdesk/admission/state.h"

#include <cstring>

AD_State& AD_GetState() {
  static AD_State state;
  return state;
}

bool AD_IsComposeMode() {
  const char* atid = AD_GetState().atid;
  return atid && std::strcmp(atid, "compose") == 0;
}

bool AD_IsInsertMode() {
  const char* atid = AD_GetState().atid;
  return atid && std::strncmp(atid, "insert", 6) == 0;
}
