// A plain-text answer with an HTTP status, for requests a program refuses.
#pragma once

// Writes "Status: <status>", a text/plain header and "<reason>\n" to standard
// output, e.g. PrintStatusAnswer("400 Bad Request", "...").
void PrintStatusAnswer(const char* status, const char* reason);
