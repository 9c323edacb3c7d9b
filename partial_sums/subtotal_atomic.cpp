// A private subtotal per thread, merged into the shared suma by one atomic add: the
// hand-written form of a sum reduction.
// Try: OMP_THREAD_LIMIT=1 ./subtotal_atomic  (one thread, block 1..25: suma is 325).
#include <omp.h>

#include <cstdio>

int main() {
  int suma = 0;  // shared by the team
  omp_set_num_threads(4);
  int parte = 25;
#pragma omp parallel
  {
    int subtotal = 0;  // private: no other thread sees it, so no atomic is needed here
    int tid = omp_get_thread_num();
    int Li = parte * tid + 1;
    int Lf = Li + parte - 1;
    for (int i = Li; i <= Lf; i++) {
      subtotal += i;
    }
    std::printf("\n subtotal: %d Hilo: %d \n", subtotal, omp_get_thread_num());
    // One atomic add per thread, not one per term.
#pragma omp atomic
    suma += subtotal;
  }
  std::printf("\n valor de suma despues de paralelizacion: %d\n", suma);
  return 0;
}
