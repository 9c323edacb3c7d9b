// A plain serial loop, the baseline for the parallel programs: a[i] = (i + b[i]) * 10 +
// c[i] + 50, evaluated in that order for 1000 elements. Built without OpenMP.
// Try: time ./vector_formula > /dev/null  (one thread, no runtime to start).
#include <cstdio>

int main() {
  double a[1000], b[1000], c[1000];
  // b[i] = i / 2 and c[i] = (i mod 10) / 2: halves, exact in binary, so every printed
  // value is exact too, and element 0 shows 50.0 = (0 + 0) * 10 + 0 + 50.
  for (int i = 0; i < 1000; i++) {
    b[i] = i / 2.0;
    c[i] = (i % 10) / 2.0;
  }
  for (int i = 0; i < 1000; i++) {
    a[i] = (static_cast<double>(i) + b[i]) * 10.0 + c[i] + 50.0;
    std::printf("i=%d: a[%4.01f] = b[%4.01f] + c[%4.01f]\n", i, a[i], b[i], c[i]);
  }
  return 0;
}
