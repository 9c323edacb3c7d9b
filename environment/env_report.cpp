// Thread 0 asks the runtime about the team it runs in: processors, team size, maximum
// team size, whether it is in a parallel region, and the dynamic and nesting settings.
// Try: OMP_NUM_THREADS=1 ./env_report  (a team of one is not an active parallel region:
// "Esta en paralelo?" shows 0), then OMP_DYNAMIC=true ./env_report.
#include <omp.h>

#include <cstdio>

int main() {
  // Shared: only thread 0 writes and reads them, so no other thread can interfere.
  int num_procs, max_threads, in_parallel, dynamic_enabled, nested_supported;
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
