// The attachment window itself: the intake of one request from its sources to
// the list page, and the form's own source (removals, uploads, the URL).
#pragma once

#include "attachdesk/admission/admission.h"

// The exit status of the redirect back to the compose program (the system
// reports it as 232).
inline constexpr int kAdExitComposeRedirect = 1000;

// The attachment intake and list page (normal, compose and insert mode).
[[noreturn]] void attach_main();

// Renders the attachment window with an error code (or, in compose mode
// without an error, redirects to the compose program) and ends the process.
// `name` and `virus` name a refused file and its virus (codes 4 and 7);
// either may be null.
[[noreturn]] void AD_AttachPage(int code, const char* name, const char* virus);

// The form's source: removals, the upload fields and the URL.
void AD_FormSource();
