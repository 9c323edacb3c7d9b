// The runtime report of env_report, from a team requested with omp_set_num_threads(8):
// thread 0 sees 8 threads, a maximum of 8, and an active parallel region.
// Try: OMP_THREAD_LIMIT=2 ./env_report_eight  (the team is capped at 2 threads).
#include <omp.h>

#include <cstdio>

int main() {
  // Shared: only thread 0 writes and reads them, so no other thread can interfere.
  int num_procs, max_threads, in_parallel, dynamic_enabled, nested_supported;
  omp_set_num_threads(8);
#pragma omp parallel
  {
    int tid = omp_get_thread_num();
    if (tid == 0) {
      std::printf("Hilo %d Obtiene informacion del entorno \n", tid);
      // All six queries first, from inside the region, so they describe this team.
      num_procs = omp_get_num_procs();
      int num_threads = omp_get_num_threads();
      max_threads = omp_get_max_threads();
      in_parallel = omp_in_parallel();
      dynamic_enabled = omp_get_dynamic();
      nested_supported = omp_get_nested();
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
