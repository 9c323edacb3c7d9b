// Counting from 1: the lesson's output, value for value, and a store too many.
// This version runs i from 1 to 100 and stores i itself; whatever the team, it prints
// what the lesson prints. Check every element it stores against the arrays it has.
// Becomes: fill_pairs (worksharing/). Caught by: memory.
// Check it: ./tour --check fill_pairs exercises/one_based.cpp
#include <cstdio>

int main() {
  int s[100], P[100];
#pragma omp parallel for schedule(static)
  for (int i = 1; i <= 100; i++) {
    s[i] = i;
    P[i] = s[i];
    std::printf("P[i] = %d \t s[i] = %d \n ", P[i], s[i]);
  }
  return 0;
}
