// parallel for with schedule(static) divides the 100 iterations into one contiguous
// block per thread; each thread fills and reports its own elements.
// Try: OMP_NUM_THREADS=1 ./fill_pairs, then OMP_NUM_THREADS=4 ./fill_pairs  (in order
// with one thread; with four, four runs of consecutive values, interleaved).
#include <cstdio>

int main() {
  int s[100], P[100];  // shared arrays: each element is written by one thread only
#pragma omp parallel for schedule(static)
  for (int i = 0; i < 100; i++) {
    s[i] = i + 1;
    P[i] = s[i];
    std::printf("P[i] = %d \t s[i] = %d \n ", P[i], s[i]);
  }
  // A write that failed (a full disk, a closed stdout) must not end in success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "fill_pairs: no se pudo escribir la salida\n");
    return 1;
  }
  return 0;
}
