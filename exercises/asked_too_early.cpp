// The runtime's answers are right, but they describe no team.
// This version asks its six questions once, at the start of main, and lets thread 0
// report the answers. With OMP_NUM_THREADS=3 it should report a team of 3, in a parallel
// region. Where must a question be asked so that the answer describes the team?
// Becomes: env_report (environment/). Caught by: behaviour.
// Check it: ./tour --check env_report exercises/asked_too_early.cpp
#include <omp.h>

#include <cstdio>

int main() {
  int num_procs = omp_get_num_procs();
  int num_threads = omp_get_num_threads();
  int max_threads = omp_get_max_threads();
  int in_parallel = omp_in_parallel();
  int dynamic_enabled = omp_get_dynamic();
  int nested_supported = omp_get_nested();
#pragma omp parallel
  {
    int tid = omp_get_thread_num();
    if (tid == 0) {
      std::printf("Hilo %d Obtiene informacion del entorno \n", tid);
      std::printf("Numero de procesadores: %d \n", num_procs);
      std::printf("Numero de hilos: %d\n", num_threads);
      std::printf("Maximo de hilos: %d\n", max_threads);
      std::printf("Esta en paralelo?: %d\n", in_parallel);
      std::printf("hilos dinamicos habilitados: %d\n", dynamic_enabled);
      std::printf("Soporte de anidacion en paralelo?: %d\n", nested_supported);
    }
  }
  return 0;
}
