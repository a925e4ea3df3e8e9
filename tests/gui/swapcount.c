/* Logs every buffer swap of a program for measuring it from outside: load
 * with LD_PRELOAD and set QX_SWAP_LOG to a file; each swap appends the wall
 * clock time, in seconds, once the swap has returned. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

typedef void (*SwapFn)(void*, unsigned long);

void glXSwapBuffers(void* display, unsigned long drawable) {
  static SwapFn real;
  static FILE* log;
  if (real == NULL) real = (SwapFn)dlsym(RTLD_NEXT, "glXSwapBuffers");
  real(display, drawable);
  if (log == NULL) {
    const char* path = getenv("QX_SWAP_LOG");
    if (path != NULL) log = fopen(path, "a");
  }
  if (log != NULL) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    fprintf(log, "%ld.%09ld\n", (long)t.tv_sec, t.tv_nsec);
    fflush(log);
  }
}
