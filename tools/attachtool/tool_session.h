// The session of the subcommands that act for a user.
#pragma once

// Fills the session as a login of `user` would leave it (without the account
// check): a bare id gets "@" and the default domain in a multi-domain site,
// and the domain is the id's. Without a user no one is logged in and the
// domain is the site's default.
void SetToolSession(const char* user);
