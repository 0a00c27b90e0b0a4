// The request state of attachdesk, one per process: filled by the entry and
// by the handlers.
#pragma once

#include <optional>
#include <string>

struct AD_State {
  const char* ishtml = nullptr;  // non-empty: the message being composed is HTML
  const char* atid = nullptr;    // the raw "atid": mode word and compose identifier
  // The compose identifier naming the window's files; none without "atid".
  std::optional<std::string> cpid;
  std::optional<std::string> ins_text;   // text for the message body (insert mode)
  std::optional<std::string> virus_msg;  // virus name of a refused file
};

AD_State& AD_GetState();

// Mode words of "atid".
bool AD_IsComposeMode();  // "atid" is exactly "compose"
bool AD_IsInsertMode();   // "atid" begins with "insert"
