// Half as many threads as processors; the processor count is written after the join.
// Try: taskset -c 0 ./greet_half_procs  (1 / 2 asks for 0 threads; the runtime treats a
// request below 1 as 1, so one greeting, and the last line still shows 1 processor).
#include <omp.h>

#include <cstdio>

int main() {
  int nprocs = omp_get_num_procs();
  omp_set_num_threads(nprocs / 2);  // passed on as computed, even when it is 0
#pragma omp parallel
  {
    int tid = omp_get_thread_num();
    std::printf("Hola Mundo, desde el hilo: %d\n", tid);
  }
  // The region has joined: this line always comes after every greeting.
  std::printf("Numero de procesadores disponibles: %d \n", nprocs);
  return 0;
}
