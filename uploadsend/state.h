// The request state of uploadsend, one per process: filled by the entry and
// the flows, read by the page.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/intake/fetch/fetched_url.h"

struct US_State {
  const char* atid = nullptr;  // the raw "atid" as it came; null without one
  // The compose identifier naming the window's files; none without "atid".
  std::optional<std::string> cpid;
  bool fresh_window = false;  // the identifier is this process's id
  // A page send: the HTML taken from uploads as the message body, and the
  // last name of the last upload read for it.
  std::optional<std::string> body;
  std::optional<std::string> body_name;
  bool body_taken = false;  // an upload became (part of) the body
  bool link_seen = false;   // an upload's name ends in ".url"
  bool html_seen = false;   // an upload had an HTML content type
  // A refused file (page codes 4 and 7): its name as sent, the virus found.
  std::string refused_name;
  std::optional<std::string> virus;
  intake::FetchMessage fetch_message = intake::FetchMessage::kNone;
  long fetch_status = 0;
};

US_State& US_GetState();

// The import of the upload control's files ("atid" "axcompose" + number).
[[noreturn]] void US_ImportUploads();
// The compose flow: cabinet files, or removals, uploads and a URL.
[[noreturn]] void US_AttachMain();
// Renders "uploadsend.dat" with the page code and ends the process.
[[noreturn]] void US_RenderPage(int error);

// 1 when the text holds "<frame" in any letter case (a frameset page), else 0;
// 0 for a null or empty text.
int US_HasFrame(const char* text);
// The same over bytes that may hold NUL bytes.
int US_HasFrame(std::string_view data);
