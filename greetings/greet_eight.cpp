// omp_set_num_threads before a region asks for a fixed team size, here 8.
// Try: OMP_THREAD_LIMIT=3 ./greet_eight  (the runtime caps the team: three greetings, not
// eight; OMP_NUM_THREADS has no effect, the call overrides it).
#include <omp.h>

#include <cstdio>

int main() {
  omp_set_num_threads(8);
#pragma omp parallel
  {
    int tid = omp_get_thread_num();
    std::printf("Hola ,soy el hilo: %d\n", tid);
  }
  return 0;
}
