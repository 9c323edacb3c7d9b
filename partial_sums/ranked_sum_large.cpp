// The same partitioned sum as ranked_sum with blocks of 2500: four threads sum
// 1..10000 (50005000, which still fits in a 32-bit int).
// Try: OMP_THREAD_LIMIT=3 ./ranked_sum_large  (three blocks: the sum of 1..7500,
// 28128750).
#include <omp.h>

#include <cstdio>

int main() {
  int total = 0;  // declared before the region: one variable shared by the whole team
  omp_set_num_threads(4);
  int parte = 2500;  // block length, only read inside the region
#pragma omp parallel
  {
    int subtotal = 0;  // declared inside the region: each thread has its own
    int rank = omp_get_thread_num();
    std::printf("rank vale:%d y parte vale: %d\n", rank, parte);
    int Li = parte * rank + 1;
    int Lf = Li + parte - 1;
    std::printf("Li vale: %d, Lf vale: %d\n", Li, Lf);
    for (int i = Li; i <= Lf; i++) {
      subtotal += i;
    }
    std::printf("\n subtotal: %d \n", subtotal);
    // Several threads may add at the same moment: atomic makes each add indivisible.
#pragma omp atomic
    total += subtotal;
  }
  // After the join every thread has added its subtotal.
  std::printf("\n total: %d\n", total);
  return 0;
}
