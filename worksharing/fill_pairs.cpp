// parallel for with schedule(static) divides the 100 iterations into one contiguous
// block per thread; each thread fills and reports its own elements.
// Try: OMP_NUM_THREADS=4 ./fill_pairs  (four runs of consecutive values, interleaved;
// with OMP_NUM_THREADS=1, one run, in order).
#include <cstdio>

int main() {
  int s[100], P[100];  // shared arrays: each element is written by one thread only
#pragma omp parallel for schedule(static)
  for (int i = 0; i < 100; i++) {
    s[i] = i + 1;
    P[i] = s[i];
    std::printf("P[i] = %d \t s[i] = %d \n ", P[i], s[i]);
  }
  return 0;
}
