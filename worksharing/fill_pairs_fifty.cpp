// A team of 50 on 100 iterations: the static schedule gives each thread exactly two,
// i = 2t and 2t + 1.
// Try: OMP_THREAD_LIMIT=30 ./fill_pairs_fifty  (30 threads: the first ten get four
// iterations, the other twenty get three).
#include <omp.h>

#include <cstdio>

int main() {
  int s[100], P[100];
  omp_set_num_threads(50);
#pragma omp parallel for schedule(static)
  for (int i = 0; i < 100; i++) {
    s[i] = i + 1;
    P[i] = s[i];
    std::printf("P[i] = %d \t s[i] = %d (hilo: %d) \n", P[i], s[i], omp_get_thread_num());
  }
  return 0;
}
