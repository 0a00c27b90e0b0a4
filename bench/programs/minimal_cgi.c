/* The least a CGI program can do for a request: read it (the query string and
 * CONTENT_LENGTH bytes of the body) and print a small fixed page. Its run time
 * is process start, dynamic linking of the C library and exit: the floor that
 * bench/run.sh measures the real programs against. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char kPage[] =
    "Content-Type: text/html; charset=utf-8\n"
    "\n"
    "<!DOCTYPE html>\n"
    "<html><head><title>Attachments</title></head>\n"
    "<body><p>No attachments.</p></body></html>\n";

/* Reads and drops up to `length` bytes of the request body. */
static void drain_body(long length) {
  char buffer[8192];
  while (length > 0) {
    size_t want = length < (long)sizeof buffer ? (size_t)length : sizeof buffer;
    ssize_t got = read(STDIN_FILENO, buffer, want);
    if (got <= 0) break;
    length -= got;
  }
}

int main(void) {
  const char* query = getenv("QUERY_STRING");
  const char* content_length = getenv("CONTENT_LENGTH");
  /* Measure the query so reading it is not optimised away. */
  volatile size_t query_bytes = query != NULL ? strlen(query) : 0;
  (void)query_bytes;
  if (content_length != NULL && *content_length != '\0') {
    char* end = NULL;
    long length = strtol(content_length, &end, 10);
    if (*end == '\0' && length > 0) drain_body(length);
  }
  if (fwrite(kPage, 1, sizeof kPage - 1, stdout) != sizeof kPage - 1) return 1;
  return 0;
}
