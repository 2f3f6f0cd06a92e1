/* Counts the clock reads of a program: built as a shared object and loaded
 * with LD_PRELOAD, it passes every clock_gettime on and, at exit, appends
 * "<monotonic> <all>" to the file named by CLOCK_READS_FILE. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static atomic_ulong monotonic_reads;
static atomic_ulong all_reads;
static int (*real_clock_gettime)(clockid_t, struct timespec*);

int clock_gettime(clockid_t clock, struct timespec* out) {
    if (real_clock_gettime == NULL) real_clock_gettime = dlsym(RTLD_NEXT, "clock_gettime");
    atomic_fetch_add_explicit(&all_reads, 1, memory_order_relaxed);
    if (clock == CLOCK_MONOTONIC) atomic_fetch_add_explicit(&monotonic_reads, 1, memory_order_relaxed);
    return real_clock_gettime(clock, out);
}

__attribute__((destructor)) static void report_reads(void) {
    const char* path = getenv("CLOCK_READS_FILE");
    if (path == NULL) return;
    FILE* f = fopen(path, "a");
    if (f == NULL) return;
    fprintf(f, "%lu %lu\n", atomic_load(&monotonic_reads), atomic_load(&all_reads));
    fclose(f);
}
