// serial_sum after a request for 50 threads: with no parallel region to use it, the
// request changes nothing, and the output is exactly serial_sum's.
// Try: OMP_NUM_THREADS=4 ./serial_sum_fifty  (still one thread, the same total).
#include <omp.h>

#include <cstdio>

int main() {
  long total = 0;
  omp_set_num_threads(50);  // applies only to parallel regions, and none follows
  for (long i = 1; i <= 10000000; i++) {
    total += i;
  }
  std::printf("\n Total: %ld \n", total);
  return 0;
}
