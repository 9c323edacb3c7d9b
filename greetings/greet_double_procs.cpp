// Twice as many threads as processors: more threads than cores is allowed.
// Try: taskset -c 0 ./greet_double_procs  (two greetings on one processor; the threads
// take turns on the core).
#include <omp.h>

#include <cstdio>

int main() {
  int nprocs = omp_get_num_procs();
  omp_set_num_threads(nprocs * 2);
#pragma omp parallel
  {
    int tid = omp_get_thread_num();
    std::printf("Hola Mundo, desde el hilo: %d\n", tid);
  }
  // The region has joined: this line always comes after every greeting.
  std::printf("Numero de procesadores disponibles: %d \n", nprocs);
  return 0;
}
