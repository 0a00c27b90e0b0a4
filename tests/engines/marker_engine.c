/* A general-family test engine that answers from markers in the data:
 *   "VIRUS-MARKER <name>"  infected by <name>, one report line per marker
 *                          "file\t<name>\t1\n"; the answer is the number of markers
 *   "CANNOT-SCAN"          (in the data or the name) -2
 *   "ENGINE-ERROR"         -1 with errno EIO
 *   "LONG-REPORT"          infected, with a report of 1000 bytes whatever the
 *                          report size
 *   "WHO-AM-I"             infected by the name of this engine library, as the
 *                          exported tav_test_engine_name() answers it (every
 *                          build exports it: a loader that lets one engine bind
 *                          another's symbols shows)
 * The init text may hold "eml=N": a scan named "0.eml" then answers N.
 * REPAIR (action 1) hands back a copy with each marker made harmless.
 * Built also with ENGINE_INIT_FAILS, ENGINE_NO_CLOSE and ENGINE_NO_SCAN. */
#define _GNU_SOURCE
#include "engine_record.h"

static int whole_answer = 0;

/* Exported and called through the symbol table, never inlined. */
__attribute__((visibility("default"), noinline)) const char* tav_test_engine_name(void) {
  return ENGINE_NAME;
}

int TAV_Init2(const char* config) {
  engine_record("init\t%s\n", config ? config : "(null)");
#ifdef ENGINE_INIT_FAILS
  return 0;
#else
  const char* eml = config ? strstr(config, "eml=") : NULL;
  whole_answer = eml ? atoi(eml + 4) : 0;
  return 1;
#endif
}

#ifndef ENGINE_NO_SCAN
int TAV_Scan(const char* data, int length, const char* name, const char* pattern,
             int pattern_length, char* report, int report_size, int action, char** out,
             int* out_length) {
  (void)pattern;
  char* from_file = NULL;
  if (!data) {
    from_file = engine_read_file(name, &length);
    if (!from_file) length = -1;
    data = from_file;
  }
  engine_record("scan\t%s\t%d\t%d\t%d\n", name, length, action, pattern_length);
  int result = 0;
  size_t used = 0;
  if (report && report_size > 0) report[0] = '\0';
  if (whole_answer != 0 && strcmp(name, "0.eml") == 0) {
    result = whole_answer;
    if (result > 0 && report_size > 0) {
      snprintf(report, (size_t)report_size, "0.eml\tWhole.Test\t%d\n", result);
    }
  } else if (engine_contains(data, length, "ENGINE-ERROR")) {
    free(from_file);
    errno = EIO;
    return -1;
  } else if (strstr(name, "CANNOT-SCAN") || engine_contains(data, length, "CANNOT-SCAN")) {
    result = -2;
  } else if (engine_contains(data, length, "WHO-AM-I")) {
    if (report_size > 0)
      snprintf(report, (size_t)report_size, "%s\t%s\t1\n", name, tav_test_engine_name());
    result = 1;
  } else if (engine_contains(data, length, "LONG-REPORT")) {
    /* Beyond report_size on purpose: the caller's buffer is 1024 bytes. */
    int n = snprintf(report, 1000, "%s\tLong.Report\t1\n", name);
    memset(report + n, 'x', (size_t)(999 - n));
    report[999] = '\0';
    result = 1;
  } else if (length > 0) {
    const char* end = data + length;
    char virus[128];
    for (const char* p = engine_next_marker(data, end, virus); p;
         p = engine_next_marker(p, end, virus)) {
      ++result;
      if (report_size > 0 && used < (size_t)report_size) {
        int n = snprintf(report + used, (size_t)report_size - used, "%s\t%s\t1\n", name, virus);
        if (n > 0) used += (size_t)n;
      }
    }
    if (result > 0 && action == 1 && out && out_length) {
      char* copy = malloc((size_t)length + 1);
      if (copy) {
        memcpy(copy, data, (size_t)length);
        copy[length] = '\0';
        for (char* p = copy; (p = memmem(p, (size_t)(copy + length - p), "VIRUS-MARKER", 12));) {
          memcpy(p, "CLEANED-MARK", 12);
        }
        *out = copy;
        *out_length = length;
      }
    }
  }
  free(from_file);
  return result;
}
#endif

#ifndef ENGINE_NO_CLOSE
void TAV_Close(void) {
  engine_record("close\n");
}
#endif
