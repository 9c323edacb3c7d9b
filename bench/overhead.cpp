// The constructs the overhead benchmark measures: each one a test (the construct, run
// innerreps times) and the reference it is measured against, with one line that says
// what it is, in the table kConstructs below, the only list of them: `overhead --list`
// prints it for bench/run.py and CI. The timing, the statistics and the command line
// are the harness's (harness.hpp).
//
// usage: overhead [--threads 1,2,4] [--reps N] [--target-us T] [--delay-us D | --delay-length L]
//                 CONSTRUCT...
//        overhead --list | --describe
#include <omp.h>

#include <cstdio>
#include <iterator>

#include "harness.hpp"

namespace {

using bench::Context;
using bench::delay;
using bench::delay_seed;
using bench::expect_count;

// The work of one iteration of the measured parallel for loops: one floating-point
// addition to a value that each thread carries from one iteration to the next. The
// iterations of a thread form one chain of dependent additions, so their time is the
// additions' latency and does not depend on how the compiler lays out the loop around
// them (independent calls would overlap, by an amount that does).
[[gnu::noinline]] double iteration(double carry) {
  carry += 0.5;
  if (carry < 0) std::printf("%f\n", carry);  // never true: keeps the call
  return carry;
}

// The reference of most constructs: the delay, innerreps times, by one thread.
void reference_delay(const Context& c) {
  for (int j = 0; j < c.innerreps; j++) delay(c.delay_length);
}

// The delay's length for the region below, which passes nothing to its threads. A region
// whose threads read a variable of the encountering thread's frame (here `c`, through the
// data the compiler hands the region) pays for that frame's cache line going to the other
// core, one more trip on every region: about a round trip's worth at two threads, which
// is the data's cost, not the region's.
int region_delay_length = 0;

// Opening and joining a parallel region whose threads each run the delay.
void test_parallel(const Context& c) {
  region_delay_length = c.delay_length;
  for (int j = 0; j < c.innerreps; j++) {
#pragma omp parallel
    delay(region_delay_length);
  }
}

// A work-shared loop inside one region already open: one iteration, one delay, per thread.
void test_for(const Context& c) {
#pragma omp parallel
  for (int j = 0; j < c.innerreps; j++) {
#pragma omp for schedule(static)
    for (int i = 0; i < c.team; i++) delay(c.delay_length);
  }
}

// A barrier after the delay, inside one region already open.
void test_barrier(const Context& c) {
#pragma omp parallel
  for (int j = 0; j < c.innerreps; j++) {
    delay(c.delay_length);
#pragma omp barrier
  }
}

// parallel for schedule(static) over n iterations of fixed work; the reference is one
// thread's share of the iterations, run serially. firstprivate hands each thread the
// starting value of its chain (one copy of a double per thread).
template <int n>
void test_parallel_for(const Context& c) {
  for (int j = 0; j < c.innerreps; j++) {
    double carry = delay_seed;
#pragma omp parallel for schedule(static) firstprivate(carry)
    for (int i = 0; i < n; i++) carry = iteration(carry);
  }
}

template <int n>
void reference_parallel_for(const Context& c) {
  const int share = (n + c.team - 1) / c.team;
  for (int j = 0; j < c.innerreps; j++) {
    double carry = delay_seed;
    for (int i = 0; i < share; i++) carry = iteration(carry);
  }
}

// One value to add that the optimiser cannot know (1, read once), so that it can
// neither drop the reference's adds nor turn a floating-point chain of them into one.
template <typename T>
T unknown_one() {
  return static_cast<T>(delay_seed + 1.0);
}

// The team shares innerreps updates of one shared variable, each thread its part, with
// nothing between updates; the time is per update the team made, so at two threads it
// is what the variable's cache line takes to serve one update while both compete for
// it. The reference is the same loop by one thread with an ordinary add into a variable
// of its own (nothing atomic, nothing shared).
template <typename T>
void test_atomic(const Context& c) {
  T x = 0;
  const T one = unknown_one<T>();
  const int each = c.innerreps / c.team;
#pragma omp parallel shared(x)
  for (int j = 0; j < each; j++) {
#pragma omp atomic
    x += one;
  }
  expect_count("atomic", static_cast<long>(x), static_cast<long>(each) * c.team);
}

template <typename T>
void reference_atomic(const Context& c) {
  T x = 0;
  const T one = unknown_one<T>();
  const int each = c.innerreps / c.team;
  for (int j = 0; j < each * c.team; j++) x += one;
  expect_count("atomic reference", static_cast<long>(x), static_cast<long>(each) * c.team);
}

// The same shared updates, each in a critical section, and each between a lock's set
// and unset: what a student pays for protecting an add that an atomic protects.
void test_critical(const Context& c) {
  double x = 0;
  const double one = unknown_one<double>();
  const int each = c.innerreps / c.team;
#pragma omp parallel shared(x)
  for (int j = 0; j < each; j++) {
#pragma omp critical
    x += one;
  }
  expect_count("critical", static_cast<long>(x), static_cast<long>(each) * c.team);
}

void test_lock(const Context& c) {
  double x = 0;
  const double one = unknown_one<double>();
  const int each = c.innerreps / c.team;
  omp_lock_t lock;
  omp_init_lock(&lock);
#pragma omp parallel shared(x, lock)
  for (int j = 0; j < each; j++) {
    omp_set_lock(&lock);
    x += one;
    omp_unset_lock(&lock);
  }
  omp_destroy_lock(&lock);
  expect_count("lock", static_cast<long>(x), static_cast<long>(each) * c.team);
}

// A region with reduction(+:suma) around the delay: each thread adds into its private
// copy, which the runtime merges at the join.
void test_reduction_clause(const Context& c) {
  int suma = 0;
  for (int j = 0; j < c.innerreps; j++) {
#pragma omp parallel reduction(+ : suma)
    {
      delay(c.delay_length);
      suma += 1;
    }
  }
  expect_count("reduction_clause", suma, static_cast<long>(c.innerreps) * c.team);
}

// The same region written by hand, as subtotal_atomic does: a private subtotal merged
// into the shared suma with one atomic add per thread.
void test_reduction_by_hand(const Context& c) {
  int suma = 0;
  for (int j = 0; j < c.innerreps; j++) {
#pragma omp parallel shared(suma)
    {
      int subtotal = 0;
      delay(c.delay_length);
      subtotal += 1;
#pragma omp atomic
      suma += subtotal;
    }
  }
  expect_count("reduction_by_hand", suma, static_cast<long>(c.innerreps) * c.team);
}

// Every thread of the team writes its own report line, as the greeting programs do;
// the reference is the team's lines, all written by one thread.
void test_lines(const Context& c) {
  for (int j = 0; j < c.innerreps; j++) {
#pragma omp parallel
    std::fprintf(c.lines, "Hola, soy el hilo: %d\n", omp_get_thread_num());
  }
}

void reference_lines(const Context& c) {
  for (int j = 0; j < c.innerreps; j++) {
    for (int t = 0; t < c.team; t++) std::fprintf(c.lines, "Hola, soy el hilo: %d\n", t);
  }
}

const bench::Construct kConstructs[] = {
    {"parallel", "open and join a parallel region", test_parallel, reference_delay},
    {"for", "a for loop inside a region already open", test_for, reference_delay},
    {"barrier", "a barrier", test_barrier, reference_delay},
    {"parallel_for_100", "parallel for, 100 iterations of fixed work", test_parallel_for<100>,
     reference_parallel_for<100>},
    {"parallel_for_10000", "parallel for, 10000 iterations of fixed work", test_parallel_for<10000>,
     reference_parallel_for<10000>},
    {"atomic_int", "an atomic add to a shared int, per update of the team", test_atomic<int>,
     reference_atomic<int>},
    {"atomic_double", "an atomic add to a shared double, per update of the team",
     test_atomic<double>, reference_atomic<double>},
    {"critical", "the same adds, each in a critical section, per update of the team", test_critical,
     reference_atomic<double>},
    {"lock", "the same adds, each between omp_set_lock and omp_unset_lock, per update", test_lock,
     reference_atomic<double>},
    {"reduction_clause", "a region with reduction(+:suma)", test_reduction_clause, reference_delay},
    {"reduction_by_hand", "the same region, private subtotal and one atomic add per thread",
     test_reduction_by_hand, reference_delay},
    {"lines_every_thread", "a line written by every thread, against all lines by one", test_lines,
     reference_lines},
};

}  // namespace

int main(int argc, char** argv) {
  return bench::run(argc, argv, kConstructs, std::size(kConstructs));
}
