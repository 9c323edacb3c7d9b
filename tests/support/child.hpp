// Runs a built program of the suite as a child process under a controlled environment
// and captures what it did.
#pragma once

#include <gtest/gtest.h>

#include <regex>

#include <string>
#include <utility>
#include <vector>

#include "suite_config.hpp"

namespace suite {

// One program as the build recorded it in the manifest.
struct Program {
  std::string name, folder, path, source, lesson;
};

// Every program of the suite, in lesson order.
const std::vector<Program>& programs();
// The program called `name`; the test fails loudly (throws) if there is none.
const Program& program(const std::string& name);
std::vector<std::string> program_names();

using Env = std::vector<std::pair<std::string, std::string>>;

// " KEY=VALUE KEY=VALUE": an environment as a case's name shows it.
std::string describe(const Env& env);

enum class Stdout { Capture, DevFull, Closed };

struct Launch {
  std::string path;               // executable to start
  Env env;                        // added after every OMP_*, GOMP_* and KMP_* variable is removed
  int cpus = 0;                   // > 0: pin the child to this many processors
  std::vector<std::string> args;  // command-line arguments after argv[0]
  Stdout out = Stdout::Capture;
  std::string cwd;  // working directory (empty: this process's)
  // The child is killed if it has not ended by then; 0: SUITE_RUN_TIMEOUT seconds if the
  // environment sets it (./tour --check does), else 60.
  int timeout_s = 0;
  // Kept with the test's result as its last run of the program; false for a tool's run
  // (readelf), which is no run of the program.
  bool recorded = true;
  // Bytes kept of each of stdout and stderr; a program that writes more on either is
  // killed. 0: kOutputCap.
  size_t output_cap = 0;
  // Run under a detector (a sanitizer the program is built with, valgrind) that ends it
  // with kDetectorExit at its first report.
  bool detector = config::kSanitize[0] != '\0';
};

// The status the detectors end a program with at their first report: the sanitizers'
// exitcode option, which the build sets, and valgrind's --error-exitcode.
inline constexpr int kDetectorExit = config::kDetectorExit;

// What a run keeps of each stream by default: far more than any program of the suite
// writes (10010 threads' lines are under 1 MiB), far less than a program printing without
// end writes before its deadline.
inline constexpr size_t kOutputCap = size_t{64} << 20;

struct Result {
  std::string out, err;
  int exit_code = -1;      // valid when signal == 0
  int signal = 0;          // the signal that ended the child, or 0
  bool timed_out = false;  // killed for running past the launch's timeout
  // Not started at all: an earlier run of the same program by this process ran past its
  // deadline (timed_out is set too, and out and err are empty).
  bool not_started = false;
  std::string capped;  // "stdout" or "stderr" if killed for writing past the output cap
};

Result run(const Launch& launch);
// Shorthand: run the named program of the suite with an environment and processor count.
Result run(const std::string& name, const Env& env = {}, int cpus = 0);

// The shared libraries the named program needs, as its dynamic section lists them.
std::vector<std::string> needed_libraries(const std::string& name);
// Whether one of them is an OpenMP runtime (libgomp, libomp, libiomp).
bool loads_openmp_runtime(const std::string& name);

// Processors this process may run on (its affinity mask).
int available_cpus();

// The longest line a regular expression is tried on: std::regex recurses for each
// character it matches, and a program's line of hundreds of thousands of characters
// would overflow the harness's stack. No line of the suite's programs comes near it.
inline constexpr size_t kLongestMatchedLine = 1000;

// Whether one line of `text` (without its line break, no longer than
// kLongestMatchedLine) matches `line` whole.
bool has_line(const std::string& text, const std::regex& line);

// Whether the run took place: one that was not started (an earlier run of the program
// did not end in time) fails, saying so.
::testing::AssertionResult started(const Result& r);

// A normal end: exit status 0 and nothing on stderr but, with LLVM's runtime, the notes
// it writes by design (listed in child.cpp). A race or sanitizer report, or any other
// text, fails. Use as ASSERT_TRUE(suite::ended_cleanly(r)); a failure says what was wrong.
::testing::AssertionResult ended_cleanly(const Result& r);

}  // namespace suite

// Skips the current test with a reason, given both to gtest and as a property of the
// test's result, where ./tour --check reads it.
#define SUITE_SKIP(reason)                                          \
  do {                                                              \
    const std::string suite_skip_reason_ = (reason);                \
    ::testing::Test::RecordProperty("skipped", suite_skip_reason_); \
    GTEST_SKIP() << suite_skip_reason_;                             \
  } while (false)
