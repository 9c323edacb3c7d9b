// What the constructs the suite teaches cost, in the micro-benchmark method: each
// repetition times `innerreps` executions of a construct with a fixed delay inside it,
// then `innerreps` executions of the same delay alone, run by one thread (the
// reference). Overhead per execution = (test time - reference time) / innerreps; over
// the outer repetitions, bench/run.py turns the means and standard deviations printed
// here into an overhead with an interval.
//
// usage: overhead [--threads 1,2,4] [--reps N] [--target-us T] [--delay-us D | --delay-length L]
//                 CONSTRUCT...
//
// Prints the compiler, the OpenMP version and the delay on lines that start with #, then,
// per construct and team size, one tab-separated line:
//   construct threads innerreps test_mean_us test_sd_us reference_mean_us reference_sd_us
// (per execution of the construct; for atomic_int and atomic_double, per update).
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Read once per delay: the optimiser cannot know the starting value, so it can neither
// drop the loop nor replace it by a formula.
volatile double delay_seed = 0.0;

// A fixed amount of work with no memory traffic: `length` dependent floating-point
// additions, which take the same time wherever they run. Never inlined, so the test
// and the reference execute the very same code.
[[gnu::noinline]] void delay(int length) {
  double a = delay_seed;
  for (int i = 0; i < length; i++) a += i;
  if (a < 0) std::printf("%f\n", a);  // never true: a result the optimiser must keep
}

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

struct Context {
  int innerreps;
  int team;
  int delay_length;
  std::FILE* lines;  // where lines_every_thread writes
};

// Stops the run with one line when a construct did not do what it was measured doing
// (a team smaller than asked for, an update lost).
void expect_count(const char* construct, long got, long want) {
  if (got != want) {
    std::fprintf(stderr,
                 "overhead: %s counted %ld, expected %ld; the team was not what was asked\n",
                 construct, got, want);
    std::exit(1);
  }
}

// The reference of most constructs: the delay, innerreps times, by one thread.
void reference_delay(const Context& c) {
  for (int j = 0; j < c.innerreps; j++) delay(c.delay_length);
}

// Opening and joining a parallel region whose threads each run the delay.
void test_parallel(const Context& c) {
  for (int j = 0; j < c.innerreps; j++) {
#pragma omp parallel
    delay(c.delay_length);
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

// One long region in which every thread updates one shared variable innerreps times,
// with the delay between updates; the reference is the same loop, by one thread, with an
// ordinary add into a variable of its own (no atomic, nothing shared).
template <typename T>
void test_atomic(const Context& c) {
  T x = 0;
#pragma omp parallel shared(x)
  for (int j = 0; j < c.innerreps; j++) {
    delay(c.delay_length);
#pragma omp atomic
    x += 1;
  }
  expect_count("atomic", static_cast<long>(x), static_cast<long>(c.innerreps) * c.team);
}

template <typename T>
void reference_atomic(const Context& c) {
  T x = 0;
  for (int j = 0; j < c.innerreps; j++) {
    delay(c.delay_length);
    x += 1;
  }
  expect_count("atomic reference", static_cast<long>(x), c.innerreps);
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

struct Construct {
  const char* name;
  void (*test)(const Context&);
  void (*reference)(const Context&);
};

const Construct kConstructs[] = {
    {"parallel", test_parallel, reference_delay},
    {"for", test_for, reference_delay},
    {"barrier", test_barrier, reference_delay},
    {"parallel_for_100", test_parallel_for<100>, reference_parallel_for<100>},
    {"parallel_for_10000", test_parallel_for<10000>, reference_parallel_for<10000>},
    {"atomic_int", test_atomic<int>, reference_atomic<int>},
    {"atomic_double", test_atomic<double>, reference_atomic<double>},
    {"reduction_clause", test_reduction_clause, reference_delay},
    {"reduction_by_hand", test_reduction_by_hand, reference_delay},
    {"lines_every_thread", test_lines, reference_lines},
};

double seconds(void (*run)(const Context&), const Context& c) {
  const double start = omp_get_wtime();
  run(c);
  return omp_get_wtime() - start;
}

// The number of executions that makes one timed repetition of the test last about
// `target` seconds: doubled until a run takes a quarter of it, then scaled. Never fewer
// than kFewest, so that the region opened around for, barrier and the atomic loops
// adds at most a few per cent to each execution even when one execution is slow (a
// team far larger than the machine).
int choose_innerreps(const Construct& k, Context c, double target) {
  constexpr int kFewest = 32;
  constexpr int kMost = 1 << 30;
  c.innerreps = kFewest;
  seconds(k.test, c);  // the first run also wakes the team's threads: not timed
  for (;; c.innerreps *= 2) {
    const double t = seconds(k.test, c);
    if (t >= target / 4 || c.innerreps >= kMost / 2) {
      const double scaled = std::ceil(c.innerreps * target / std::max(t, 1e-9));
      return static_cast<int>(
          std::clamp(scaled, static_cast<double>(kFewest), static_cast<double>(kMost)));
    }
  }
}

struct MeanSd {
  double mean;
  double sd;
};

MeanSd mean_sd(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  const double mean = sum / static_cast<double>(v.size());
  double squares = 0;
  for (double x : v) squares += (x - mean) * (x - mean);
  const double sd = v.size() > 1 ? std::sqrt(squares / static_cast<double>(v.size() - 1)) : 0.0;
  return {mean, sd};
}

// The team size the runtime really gives when asked for `team` threads.
int team_given(int team) {
  omp_set_num_threads(team);
  int given = 0;
#pragma omp parallel shared(given)
  {
#pragma omp single
    given = omp_get_num_threads();
  }
  return given;
}

void measure(const Construct& k, Context c, int reps, double target) {
  c.innerreps = choose_innerreps(k, c, target);
  std::vector<double> test;
  std::vector<double> reference;
  for (int r = 0; r < reps; r++) {
    // Test and reference alternate, so that both see the same state of the machine.
    test.push_back(seconds(k.test, c) / c.innerreps * 1e6);
    reference.push_back(seconds(k.reference, c) / c.innerreps * 1e6);
  }
  const MeanSd t = mean_sd(test);
  const MeanSd ref = mean_sd(reference);
  std::printf("%s\t%d\t%d\t%.6g\t%.6g\t%.6g\t%.6g\n", k.name, c.team, c.innerreps, t.mean, t.sd,
              ref.mean, ref.sd);
  std::fflush(stdout);
}

// Microseconds per call of delay(length): the fastest of a few timings of many calls,
// so that a moment when another process had the processor does not count.
double delay_microseconds(int length) {
  constexpr int kCalls = 10000;
  constexpr int kTimings = 5;
  double fastest = INFINITY;
  for (int t = 0; t < kTimings; t++) {
    const double start = omp_get_wtime();
    for (int j = 0; j < kCalls; j++) delay(length);
    fastest = std::min(fastest, (omp_get_wtime() - start) / kCalls * 1e6);
  }
  return fastest;
}

// The delay length that takes about `microseconds`.
int calibrate_delay(double microseconds) {
  for (int length = 1;; length *= 2) {
    const double each = delay_microseconds(length);
    if (each >= microseconds || length >= (1 << 24)) {
      return std::max(1, static_cast<int>(std::lround(length * microseconds / each)));
    }
  }
}

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "overhead: %s (see overhead --help)\n", message.c_str());
  std::exit(2);
}

double positive_number(const char* option, const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0) || !std::isfinite(value)) {
    usage_error(std::string(option) + " takes a positive number, not '" + text + "'");
  }
  return value;
}

std::vector<int> team_list(const char* text) {
  std::vector<int> teams;
  const char* p = text;
  for (;;) {
    char* end = nullptr;
    const long team = std::strtol(p, &end, 10);
    if (end == p || team < 1 || team > 4096 || (*end != ',' && *end != '\0')) {
      usage_error(
          std::string("--threads takes team sizes from 1 to 4096 separated by commas, not '") +
          text + "'");
    }
    teams.push_back(static_cast<int>(team));
    if (*end == '\0') return teams;
    p = end + 1;
  }
}

const char* const kUsage =
    "usage: overhead [--threads LIST] [--reps N] [--target-us T]\n"
    "                [--delay-us D | --delay-length L] CONSTRUCT...\n"
    "\n"
    "Measures the overhead of OpenMP constructs: the construct with a fixed delay inside,\n"
    "minus the delay alone. Prints per construct and team size a tab-separated line:\n"
    "construct, threads, innerreps, then mean and standard deviation over the repetitions\n"
    "of the test and of the reference, in microseconds per execution (per update for the\n"
    "atomics).\n"
    "\n"
    "  --threads LIST  team sizes, e.g. 1,2,4 (default 1,2,4,8,16,64,256)\n"
    "  --reps N        timed repetitions of test and reference (default 20)\n"
    "  --target-us T   length of one repetition of the test, in microseconds (default 10000)\n"
    "  --delay-us D    the delay inside each construct, in microseconds (default 0.1)\n"
    "  --delay-length L  the delay as a number of iterations, as printed by an earlier run\n"
    "                  (to give several runs the very same delay)\n"
    "  CONSTRUCT       any of:";

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> teams = {1, 2, 4, 8, 16, 64, 256};
  int reps = 20;
  double target_us = 10000;
  double delay_us = 0.1;
  int delay_length = 0;  // 0: calibrated from delay_us
  std::vector<const Construct*> chosen;
  for (int a = 1; a < argc; a++) {
    const std::string arg = argv[a];
    const bool has_value = a + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      std::printf("%s", kUsage);
      for (const Construct& k : kConstructs) std::printf(" %s", k.name);
      std::printf("\n");
      return 0;
    }
    if (arg == "--threads" || arg == "--reps" || arg == "--target-us" || arg == "--delay-us" ||
        arg == "--delay-length") {
      if (!has_value) usage_error(arg + " needs a value");
      const char* value = argv[++a];
      if (arg == "--threads") {
        teams = team_list(value);
      } else if (arg == "--reps") {
        const double r = positive_number("--reps", value);
        if (r < 2 || r > 10000 || r != std::floor(r)) {
          usage_error(std::string("--reps takes a whole number from 2 to 10000, not '") + value +
                      "'");
        }
        reps = static_cast<int>(r);
      } else if (arg == "--target-us") {
        target_us = positive_number("--target-us", value);
      } else if (arg == "--delay-length") {
        const double length = positive_number("--delay-length", value);
        if (length > (1 << 24) || length != std::floor(length)) {
          usage_error(std::string("--delay-length takes a whole number from 1 to 16777216, not '") +
                      value + "'");
        }
        delay_length = static_cast<int>(length);
      } else {
        delay_us = positive_number("--delay-us", value);
      }
      continue;
    }
    const auto* found = std::find_if(std::begin(kConstructs), std::end(kConstructs),
                                     [&](const Construct& k) { return arg == k.name; });
    if (found == std::end(kConstructs)) usage_error("unknown construct or option '" + arg + "'");
    chosen.push_back(found);
  }
  if (chosen.empty()) usage_error("name at least one construct");

  std::FILE* lines = std::fopen("/dev/null", "w");
  if (lines == nullptr) {
    std::perror("overhead: /dev/null");
    return 1;
  }
  if (delay_length == 0) delay_length = calibrate_delay(delay_us);
  // What built and runs this, for the record of where the numbers come from.
  std::printf("# compiler\t%s\n# openmp\t%d\n", __VERSION__, _OPENMP);
  std::printf("# delay\t%d\titerations, %.3g us\n", delay_length, delay_microseconds(delay_length));
  std::fflush(stdout);
  for (const Construct* k : chosen) {
    for (int team : teams) {
      const int given = team_given(team);
      if (given != team) {
        std::fprintf(stderr,
                     "overhead: asked for a team of %d, the runtime gave %d (is OMP_THREAD_LIMIT "
                     "or OMP_DYNAMIC set?)\n",
                     team, given);
        return 1;
      }
      measure(*k, Context{0, team, delay_length, lines}, reps, target_us * 1e-6);
    }
  }
  std::fclose(lines);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "overhead: could not write the results\n");
    return 1;
  }
  return 0;
}
