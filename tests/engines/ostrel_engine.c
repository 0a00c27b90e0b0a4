/* An "ostrel" add-on test engine: infected (answer 101) when the data holds
 * "VIRUS-MARKER <name>", writing the bare name into the report; clean answers
 * 100. With no data it reads the file named by `name`. An init path holding
 * "refuse" fails. */
#define _GNU_SOURCE
#include "engine_record.h"

int Ostrel_initpath(const char* path) {
  engine_record("init\t%s\n", path ? path : "(null)");
  return path && strstr(path, "refuse") ? 0 : 1;
}

int Ostrel_avscan(const char* data, int length, const char* name, const char* pattern,
                  int pattern_length, char* report, int report_size, int action, char** out,
                  int* out_length) {
  (void)pattern;
  (void)pattern_length;
  (void)out;
  (void)out_length;
  char* from_file = NULL;
  if (!data) {
    from_file = engine_read_file(name, &length);
    if (!from_file) length = -1;
    data = from_file;
  }
  engine_record("scan\t%s\t%d\t%d\t%d\n", name, length, action, report_size);
  int result = 100;
  char virus[128];
  if (length > 0 && engine_next_marker(data, data + length, virus)) {
    strcpy(report, virus);
    result = 101;
  }
  free(from_file);
  return result;
}
