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
  // A write that failed (a full disk, a closed stdout) must not end in success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "hello_team_ids: no se pudo escribir la salida\n");
    return 1;
  }
  return 0;
}
