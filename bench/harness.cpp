// The timing harness of the overhead benchmark (see harness.hpp): each repetition times
// `innerreps` executions of a construct with a fixed delay inside it, then `innerreps`
// executions of its reference. Overhead per execution = (test time - reference time) /
// innerreps; over the outer repetitions, bench/run.py turns the means and standard
// deviations printed here into an overhead with an interval.
#include "harness.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace bench {

volatile double delay_seed = 0.0;

void delay(int length) {
  double a = delay_seed;
  for (int i = 0; i < length; i++) a += i;
  if (a < 0) std::printf("%f\n", a);  // never true: a result the optimiser must keep
}

void expect_count(const char* construct, long got, long want) {
  if (got != want) {
    std::fprintf(stderr,
                 "overhead: %s counted %ld, expected %ld; the team was not what was asked\n",
                 construct, got, want);
    std::exit(1);
  }
}

MeanSd mean_sd(const std::vector<double>& values) {
  double sum = 0;
  for (double x : values) sum += x;
  const double mean = sum / static_cast<double>(values.size());
  double squares = 0;
  for (double x : values) squares += (x - mean) * (x - mean);
  const double sd =
      values.size() > 1 ? std::sqrt(squares / static_cast<double>(values.size() - 1)) : 0.0;
  return {mean, sd};
}

namespace {

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
    "       overhead --list | --describe\n"
    "\n"
    "Measures the overhead of OpenMP constructs: the construct with a fixed delay inside,\n"
    "minus its reference. Prints per construct and team size a tab-separated line:\n"
    "construct, threads, innerreps, then mean and standard deviation over the repetitions\n"
    "of the test and of the reference, in microseconds per execution (per update for the\n"
    "atomics).\n"
    "\n"
    "  --list          print the constructs' names, one a line, and nothing else\n"
    "  --describe      print each construct's name, a tab and what it measures\n"
    "  --threads LIST  team sizes, e.g. 1,2,4 (default 1,2,4,8,16,64,256)\n"
    "  --reps N        timed repetitions of test and reference (default 20)\n"
    "  --target-us T   length of one repetition of the test, in microseconds (default 10000)\n"
    "  --delay-us D    the delay inside each construct, in microseconds (default 0.1)\n"
    "  --delay-length L  the delay as a number of iterations, as printed by an earlier run\n"
    "                  (to give several runs the very same delay)\n"
    "  CONSTRUCT       any of:";

}  // namespace

int run(int argc, char** argv, const Construct* constructs, std::size_t count) {
  const Construct* const end_of_table = constructs + count;
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
      for (const Construct* k = constructs; k != end_of_table; ++k) std::printf(" %s", k->name);
      std::printf("\n");
      return 0;
    }
    if (arg == "--list" || arg == "--describe") {
      for (const Construct* k = constructs; k != end_of_table; ++k) {
        if (arg == "--list") {
          std::printf("%s\n", k->name);
        } else {
          std::printf("%s\t%s\n", k->name, k->description);
        }
      }
      return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
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
    const Construct* found =
        std::find_if(constructs, end_of_table, [&](const Construct& k) { return arg == k.name; });
    if (found == end_of_table) usage_error("unknown construct or option '" + arg + "'");
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

}  // namespace bench
