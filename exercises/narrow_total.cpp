// A plausible total that is not the sum of 1..10000000.
// Work out 1 + 2 + ... + n for n = 10000000, and the largest value the program's total
// can hold; then give the total the room it needs.
// Becomes: serial_sum (serial/). Caught by: behaviour.
// Check it: ./tour --check serial_sum exercises/narrow_total.cpp
#include <cstdio>

int main() {
  int total = 0;
  for (long i = 1; i <= 10000000; i++) {
    total += i;
  }
  std::printf("\n Total: %d \n", total);
  return 0;
}
