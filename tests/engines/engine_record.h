/* What the test engines share: each call is recorded as one line appended to
 * the file named by AD_ENGINE_LOG (nothing when it is unset), and a file
 * scanned by path is read whole. */
#ifndef AD_TEST_ENGINE_RECORD_H
#define AD_TEST_ENGINE_RECORD_H

#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* memmem */
#endif
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* static: the helpers stay inside each engine library. */
__attribute__((format(printf, 1, 2))) static void engine_record(const char* format, ...) {
  const char* path = getenv("AD_ENGINE_LOG");
  if (!path || !*path) return;
  char line[2048];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n < 0) return;
  if ((size_t)n >= sizeof line) n = sizeof line - 1;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ssize_t written = write(fd, line, (size_t)n);
  (void)written;
  close(fd);
}

/* The whole file at `path` (malloc'd, NUL-terminated), or NULL. */
__attribute__((unused)) static char* engine_read_file(const char* path, int* length) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  size_t size = 0, room = 4096;
  char* data = malloc(room + 1);
  size_t n;
  while (data && (n = fread(data + size, 1, room - size, f)) > 0) {
    size += n;
    if (size == room) {
      room *= 2;
      char* bigger = realloc(data, room + 1);
      if (!bigger) {
        free(data);
        data = NULL;
      }
      data = bigger;
    }
  }
  fclose(f);
  if (!data) return NULL;
  data[size] = '\0';
  *length = (int)size;
  return data;
}

/* The virus name after the next "VIRUS-MARKER" at or after `from`: the word
 * after one separator byte, at most 100 characters. Answers where the search
 * goes on, or NULL when there is no marker. */
__attribute__((unused)) static const char* engine_next_marker(const char* from, const char* end,
                                                              char* name) {
  static const char kMarker[] = "VIRUS-MARKER";
  const char* at = memmem(from, (size_t)(end - from), kMarker, sizeof kMarker - 1);
  if (!at) return NULL;
  const char* p = at + sizeof kMarker - 1;
  if (p < end && (*p == ' ' || *p == ':')) ++p;
  size_t n = 0;
  while (p < end && n < 100 && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n' && *p) {
    name[n++] = *p++;
  }
  name[n] = '\0';
  if (n == 0) strcpy(name, "Unnamed");
  return p;
}

__attribute__((unused)) static int engine_contains(const char* data, int length, const char* word) {
  return data && length > 0 && memmem(data, (size_t)length, word, strlen(word)) != NULL;
}

#endif
