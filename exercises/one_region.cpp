// One team instead of two: the products are right on most runs.
// This version fills the arrays and takes the products in a single region, each thread
// going on to its product as soon as its own part of the fill is done. Which elements
// does thread t read, who wrote them, and when?
// Becomes: fill_then_square (two_phase/).
// Caught by: races, every time; behaviour and memory may catch it too.
// Check it: ./tour --check fill_then_square exercises/one_region.cpp
#include <omp.h>

#include <cstdio>

int main() {
  const int N = 10000;
  int S[N], P[N], Q[N];
#pragma omp parallel
  {
#pragma omp for schedule(static) nowait
    for (int i = 0; i < N; i++) {
      S[i] = i + 1;
      P[i] = S[i];
      std::printf("P[i] = %d \t S[i] = %d \n", P[i], S[i]);
    }
    int tid = omp_get_thread_num();
    if (tid < N) {
      Q[tid] = S[tid] * P[tid] + 1;
      std::printf("Q[tid]= %d \n", Q[tid]);
    }
  }
  return 0;
}
