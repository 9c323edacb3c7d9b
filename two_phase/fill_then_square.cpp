// Two regions in a row over the same shared arrays: a work-shared fill, then one value
// per thread. The join between them guarantees the second team sees every element set.
// Try: OMP_NUM_THREADS=8 ./fill_then_square | tail -n 8  (threads 0..7 write
// (t + 1) * (t + 1) + 1: 2, 5, 10, ... 65, in any order).
#include <omp.h>

#include <cstdio>

int main() {
  const int N = 10000;
  int S[N], P[N], Q[N];
#pragma omp parallel for schedule(static)
  for (int i = 0; i < N; i++) {
    S[i] = i + 1;
    P[i] = S[i];
    std::printf("P[i] = %d \t S[i] = %d \n", P[i], S[i]);
  }
  // The first team has joined: every element of S and P is set.
#pragma omp parallel
  {
    int tid = omp_get_thread_num();
    // The thread number is the index: in a team larger than the arrays, the threads
    // past the end have no element and do nothing.
    if (tid < N) {
      Q[tid] = S[tid] * P[tid] + 1;
      std::printf("Q[tid]= %d \n", Q[tid]);
    }
  }
  return 0;
}
