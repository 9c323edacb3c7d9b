// Every term into one shared suma: 5050 on most runs, yet adds can be lost.
// Run it a few times and the total is 5050, as the lesson's. But when two threads update
// suma at the same moment, one of their two updates may be all that survives: a run now
// and then shows less. Make every update safe.
// Becomes: shared_accumulator (partial_sums/).
// Caught by: races, every time; behaviour may catch it too.
// Check it: ./tour --check shared_accumulator exercises/lost_adds.cpp
#include <omp.h>

#include <cstdio>

int main() {
  int suma = 0;  // shared: all four threads add into this one variable
  omp_set_num_threads(4);
  int parte = 25;
#pragma omp parallel
  {
    int tid = omp_get_thread_num();
    int Li = parte * tid + 1;
    int Lf = Li + parte - 1;
    for (int i = Li; i <= Lf; i++) {
      suma += i;
    }
    int visto;  // the shared sum as this thread sees it after its own last add
#pragma omp atomic read
    visto = suma;
    std::printf("\n subtotal: %d Hilo: %d \n", visto, omp_get_thread_num());
  }
  std::printf("\n valor de suma despues de paralelizacion: %d\n", suma);
  return 0;
}
