// A plain-text answer with an HTTP status, for requests a program refuses.
#pragma once

// Writes "Status: <status>", the header lines `headers` (each ending in
// CRLF; "" for none), a text/plain header and "<reason>\n" to standard
// output, e.g. PrintStatusAnswer("400 Bad Request", "...").
void PrintStatusAnswer(const char* status, const char* reason, const char* headers = "");
