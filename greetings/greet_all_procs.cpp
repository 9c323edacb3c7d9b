// A team size derived from the processor count: one thread per processor.
// Try: taskset -c 0 ./greet_all_procs  (one processor available, so one greeting).
#include <omp.h>

#include <cstdio>

int main() {
  int nprocs = omp_get_num_procs();
  omp_set_num_threads(nprocs);
#pragma omp parallel
  {
    int tid = omp_get_thread_num();
    std::printf("Hola Mundo, desde el hilo: %d\n", tid);
  }
  return 0;
}
