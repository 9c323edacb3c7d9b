// One merge per thread into the shared suma: what could go wrong?
// Each thread sums its block privately, then adds its subtotal to suma. The final line
// says 5050 on almost every run. Almost: find what can make a run lose a whole block.
// Becomes: subtotal_atomic (partial_sums/).
// Caught by: races, every time; behaviour may catch it too.
// Check it: ./tour --check subtotal_atomic exercises/unguarded_merge.cpp
#include <omp.h>

#include <cstdio>

int main() {
  int suma = 0;  // shared by the team
  omp_set_num_threads(4);
  int parte = 25;
#pragma omp parallel
  {
    int subtotal = 0;  // private: no other thread sees it
    int tid = omp_get_thread_num();
    int Li = parte * tid + 1;
    int Lf = Li + parte - 1;
    for (int i = Li; i <= Lf; i++) {
      subtotal += i;
    }
    std::printf("\n subtotal: %d Hilo: %d \n", subtotal, omp_get_thread_num());
    suma += subtotal;
  }
  std::printf("\n valor de suma despues de paralelizacion: %d\n", suma);
  return 0;
}
