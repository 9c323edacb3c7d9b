// The static schedule made visible: every line names the thread that ran it.
// Try: OMP_NUM_THREADS=3 ./fill_pairs_tagged  (100 does not divide by 3: thread 0 runs
// loop indices 0..33, one more than threads 1 and 2, which run 34..66 and 67..99; each
// line prints i + 1, so thread 0's lines show 1..34).
#include <omp.h>

#include <cstdio>

int main() {
  int s[100], P[100];
#pragma omp parallel for schedule(static)
  for (int i = 0; i < 100; i++) {
    s[i] = i + 1;
    P[i] = s[i];
    std::printf("P[i] = %d \t s[i] = %d (hilo: %d) \n", P[i], s[i], omp_get_thread_num());
  }
  return 0;
}
