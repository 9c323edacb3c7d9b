// 5050 appears, but not as the one last line the lesson writes.
// The blocks are summed and merged as in the lesson; the total should be written once,
// when the whole team has added its part. Run it with OMP_THREAD_LIMIT=2, then as it is.
// Becomes: ranked_sum (partial_sums/).
// Caught by: behaviour and races, every time.
// Check it: ./tour --check ranked_sum exercises/total_too_soon.cpp
#include <omp.h>

#include <cstdio>

int main() {
  int total = 0;
  omp_set_num_threads(4);
  int parte = 25;
#pragma omp parallel
  {
    int subtotal = 0;
    int rank = omp_get_thread_num();
    std::printf("rank vale:%d y parte vale: %d\n", rank, parte);
    int Li = parte * rank + 1;
    int Lf = Li + parte - 1;
    std::printf("Li vale: %d, Lf vale: %d\n", Li, Lf);
    for (int i = Li; i <= Lf; i++) {
      subtotal += i;
    }
    std::printf("\n subtotal: %d \n", subtotal);
#pragma omp atomic
    total += subtotal;
    std::printf("\n total: %d\n", total);
  }
  return 0;
}
