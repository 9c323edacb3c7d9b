// private(suma) gives each thread its own suma: the threads add into their copies and
// main's suma is never touched, so the final line shows 0.
// Try: OMP_THREAD_LIMIT=2 ./private_accumulator  (two block sums, and still 0 at the end:
// private copies are discarded at the join; that is what a reduction would merge).
#include <omp.h>

#include <cstdio>

int main() {
  int suma = 0;
  omp_set_num_threads(4);
  int parte = 25;
#pragma omp parallel private(suma)
  {
    // A private copy starts with no value of its own: give it one before adding to it.
    suma = 0;
    int tid = omp_get_thread_num();
    int Li = parte * tid + 1;
    int Lf = Li + parte - 1;
    for (int i = Li; i <= Lf; i++) {
      suma += i;
    }
    std::printf("\n subtotal: %d Hilo: %d \n", suma, omp_get_thread_num());
  }
  // main's own suma: the region only changed the threads' private copies.
  std::printf("\n valor de suma despues de paralelizacion: %d\n", suma);
  return 0;
}
