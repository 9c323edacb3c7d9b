// Four right block sums from copies that start from nobody knows what.
// private(suma) gives every thread its own suma, and built as the tour builds it the
// program prints 325, 950, 1575 and 2200. What does each copy hold before the first term
// is added to it, and who said so?
// Becomes: private_accumulator (partial_sums/). Caught by: memory.
// Check it: ./tour --check private_accumulator exercises/fresh_copies.cpp
#include <omp.h>

#include <cstdio>

int main() {
  int suma = 0;
  omp_set_num_threads(4);
  int parte = 25;
#pragma omp parallel private(suma)
  {
    int tid = omp_get_thread_num();
    int Li = parte * tid + 1;
    int Lf = Li + parte - 1;
    for (int i = Li; i <= Lf; i++) {
      suma += i;
    }
    std::printf("\n subtotal: %d Hilo: %d \n", suma, omp_get_thread_num());
  }
  std::printf("\n valor de suma despues de paralelizacion: %d\n", suma);
  return 0;
}
