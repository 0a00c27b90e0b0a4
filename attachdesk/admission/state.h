// The request state of attachdesk, one per process: filled by the entry and
// by the handlers.
#pragma once

#include <optional>
#include <string>

#include "common/intake/fetch/fetched_url.h"

// Why a URL the user sent was not attached ("$FETCHMSG").
using AD_FetchMessage = intake::FetchMessage;

struct AD_State {
  const char* ishtml = nullptr;  // non-empty: the message being composed is HTML
  const char* atid = nullptr;    // the raw "atid": mode word and compose identifier
  // The compose identifier naming the window's files; none without "atid".
  std::optional<std::string> cpid;
  std::optional<std::string> ins_text;   // text for the message body (insert mode)
  std::optional<std::string> virus_msg;  // virus name of a refused file
  AD_FetchMessage fetch_message = AD_FetchMessage::kNone;
  long fetch_status = 0;  // kHttpStatus: the status the server answered
};

AD_State& AD_GetState();

// Mode words of "atid".
bool AD_IsComposeMode();  // "atid" is exactly "compose"
bool AD_IsInsertMode();   // "atid" begins with "insert"
