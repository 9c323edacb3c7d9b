// The members of a team are numbered 0..T-1; each thread reads its own number.
// Try: OMP_NUM_THREADS=8 ./greet_ids  (numbers 0 to 7, each once, in a different order
// from run to run).
#include <omp.h>

#include <cstdio>

int main() {
#pragma omp parallel
  {
    int tid = omp_get_thread_num();  // declared inside the region: private to each thread
    std::printf("Hola, soy el hilo: %d\n", tid);
  }
  return 0;
}
