// The floor for whole-process timings: a program that loads and starts the OpenMP
// runtime (one query keeps the library linked) but forms no team and writes nothing.
#include <omp.h>

int main() { return omp_get_max_threads() > 0 ? 0 : 1; }
