/* dlopen_only LIBRARY: loads one library as the directory service loads a
 * back end (RTLD_NOW | RTLD_GLOBAL) and exits. Beside a back end's benchmark
 * it shows what merely loading the library and its dependencies costs a
 * process, a part no back end's own code can shorten. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fputs("usage: dlopen_only LIBRARY\n", stderr);
    return 2;
  }
  if (!dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL)) {
    fprintf(stderr, "dlopen_only: %s\n", dlerror());
    return 1;
  }
  return 0;
}
