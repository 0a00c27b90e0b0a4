// attachdesk's entry: logs the user in, reads the compose identifier and hands
// the request to one page handler.
#pragma once

// The program's whole entry; answers the process exit status (the page
// handlers usually end the process themselves).
int AD_Main();
