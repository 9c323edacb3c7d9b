// The serial baseline for the sums: 1 + 2 + ... + 10000000 on 64-bit integers (the
// result, 50000005000000, does not fit in 32 bits). Built without OpenMP.
// Try: time ./serial_sum  (one core does all the work).
#include <cstdio>

int main() {
  long total = 0;
  for (long i = 1; i <= 10000000; i++) {
    total += i;
  }
  std::printf("\n Total: %ld \n", total);
  return 0;
}
