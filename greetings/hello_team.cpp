// Every thread of a team runs the body of a parallel region: one greeting per thread.
// Try: OMP_NUM_THREADS=3 ./hello_team  (three greetings; without the variable the
// team has one thread per processor).
#include <cstdio>

int main() {
#pragma omp parallel
  {
    // Every thread of the team runs this block once.
    std::printf("Hola mundo con OpenMP\n");
  }
  return 0;
}
