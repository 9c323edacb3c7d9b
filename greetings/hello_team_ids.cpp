// Each thread writes two separate lines: a greeting, then its own number.
// Try: OMP_NUM_THREADS=4 ./hello_team_ids  several times; another thread's line can fall
// between a thread's two lines, because each printf is its own write.
#include <omp.h>

#include <cstdio>

int main() {
#pragma omp parallel
  {
    std::printf("Hola mundo con OpenMP\n");
    std::printf("Soy el hilo numero: %d\n", omp_get_thread_num());
  }
  return 0;
}
