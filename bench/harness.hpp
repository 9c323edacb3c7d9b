// The timing harness of the overhead benchmark: the calibrated delay, the choice of
// inner repetitions, the outer repetitions with test and reference alternating, their
// statistics and the output lines. The constructs it measures live in overhead.cpp,
// each a pair of functions in one table; this file knows none of them.
#ifndef BENCH_HARNESS_HPP
#define BENCH_HARNESS_HPP

#include <cstddef>
#include <cstdio>
#include <vector>

namespace bench {

// What one timed run of a construct (or of its reference) is given.
struct Context {
  int innerreps;     // executions of the construct in one timed run
  int team;          // threads in the team (the reference runs on one)
  int delay_length;  // iterations of delay() inside each execution
  std::FILE* lines;  // where constructs that write report lines write (/dev/null)
};

// One entry of the constructs' table: its name on the command line, one line that
// says what it measures, the construct run innerreps times and the reference it is
// measured against.
struct Construct {
  const char* name;
  const char* description;
  void (*test)(const Context&);
  void (*reference)(const Context&);
};

// Read once per delay: the optimiser cannot know the starting value, so it can neither
// drop a loop that starts from it nor replace that loop by a formula.
extern volatile double delay_seed;

// A fixed amount of work with no memory traffic: `length` dependent floating-point
// additions, which take the same time wherever they run. Never inlined, so the test
// and the reference execute the very same code.
void delay(int length);

// Stops the run with one line when a construct did not do what it was measured doing
// (a team smaller than asked for, an update lost).
void expect_count(const char* construct, long got, long want);

struct MeanSd {
  double mean;
  double sd;
};

// Mean and sample standard deviation (0 for fewer than two values).
MeanSd mean_sd(const std::vector<double>& values);

// The whole command line: parses it, calibrates the delay, measures every construct
// named for every team size and prints the results (see overhead --help). Returns the
// process's exit status.
int run(int argc, char** argv, const Construct* constructs, std::size_t count);

}  // namespace bench

#endif  // BENCH_HARNESS_HPP
