// The C entry points a scan-engine library exports, found with dlsym by these
// exact names. Two families: the general one (TAV_*) and the "ostrel" add-on.
//
// A scan answers > 0 when a virus was found (writing report lines
// "name\tvirus\tcode\n" into `report`, within `report_size` bytes), 0 when
// clean, -2 when the engine cannot scan this input in this way, and another
// negative value with errno set on an error. The "ostrel" scan answers > 100
// for infected and writes the bare virus name into `report`.
#pragma once

extern "C" {

typedef int (*TAV_InitFn)(const char* config);
typedef int (*TAV_ScanFn)(const char* data, int length, const char* name, const char* pattern,
                          int pattern_length, char* report, int report_size, int action,
                          char** out, int* out_length);
typedef void (*TAV_CloseFn)(void);

int TAV_Init2(const char* config);
int TAV_Scan(const char* data, int length, const char* name, const char* pattern,
             int pattern_length, char* report, int report_size, int action, char** out,
             int* out_length);
void TAV_Close(void);

int Ostrel_initpath(const char* path);
int Ostrel_avscan(const char* data, int length, const char* name, const char* pattern,
                  int pattern_length, char* report, int report_size, int action, char** out,
                  int* out_length);
}

// Answers of an engine's scan: a count of viruses found (above 0), clean,
// not scanned, or "cannot scan this way" (the other scan mode may, when
// SecondaryScan is set).
inline constexpr int kEngineClean = 0;
inline constexpr int kEngineNotScanned = -1;
inline constexpr int kEngineOtherMode = -2;

// Action codes of a scan.
inline constexpr int AVS_ACTION_NONE = 0;
inline constexpr int AVS_ACTION_REPAIR = 1;
inline constexpr int AVS_ACTION_DELETE = 2;
