// Every element filled once, but not by the thread the lesson promises.
// On two cores the lines look much like the lesson's. But the lesson gives each thread
// one contiguous block of iterations, in thread order, the first blocks one longer:
// compare who writes what with OMP_NUM_THREADS=3, and fix how the loop is divided.
// Becomes: fill_pairs_tagged (worksharing/). Caught by: behaviour.
// Check it: ./tour --check fill_pairs_tagged exercises/handed_out.cpp
#include <omp.h>

#include <cstdio>

int main() {
  int s[100], P[100];
#pragma omp parallel for schedule(dynamic)
  for (int i = 0; i < 100; i++) {
    s[i] = i + 1;
    P[i] = s[i];
    std::printf("P[i] = %d \t s[i] = %d (hilo: %d) \n", P[i], s[i], omp_get_thread_num());
  }
  return 0;
}
