// Every thread adds each term straight into the one shared suma: correct only because
// every add is atomic, and each thread's line shows how far the whole team has got.
// Try: run it several times; the per-thread values change, the final 5050 never does.
// Without the atomic, concurrent adds would be lost and the total would vary.
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
      // An unprotected read-add-write by two threads at once would lose one add.
#pragma omp atomic
      suma += i;
    }
    int visto;  // the shared sum as this thread sees it after its own last add
    visto = suma;
    std::printf("\n subtotal: %d Hilo: %d \n", visto, omp_get_thread_num());
  }
  std::printf("\n valor de suma despues de paralelizacion: %d\n", suma);
  return 0;
}
