// The values that every page of the attachment window carries on to the next
// request: the mode word and compose identifier, the message's kind, the
// login's "auth" and the mail box number.
#pragma once

#include <string>

#include "host/template/template.h"

// The window's values that the cabinet and note links carry besides "atid",
// ready to follow a URL in an HTML attribute: "&amp;ishtml=1&amp;auth=...&amp;m=N".
std::string AD_CabinetLinkArgs();

// Binds "$atid", "$encatid" (for a URL), "$ishtml", "$auth" and "$dcargs"
// (AD_CabinetLinkArgs) on a page of the window.
void AD_BindWindowValues(OML_Handle& page);
