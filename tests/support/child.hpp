// Runs a built program of the suite as a child process under a controlled environment
// and captures what it did.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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
  std::string cwd;     // working directory (empty: this process's)
  int timeout_s = 60;  // the child is killed if it has not ended by then
};

struct Result {
  std::string out, err;
  int exit_code = -1;      // valid when signal == 0
  int signal = 0;          // the signal that ended the child, or 0
  bool timed_out = false;  // killed for running past the launch's timeout
};

Result run(const Launch& launch);
// Shorthand: run the named program of the suite with an environment and processor count.
Result run(const std::string& name, const Env& env = {}, int cpus = 0);

// Processors this process may run on (its affinity mask).
int available_cpus();

// A normal end: exit status 0 and no diagnostics. In the race-detector build the
// runtime writes informational notes on stderr, so only race reports count there.
// Use as ASSERT_TRUE(suite::ended_cleanly(r)); a failure says what was wrong.
::testing::AssertionResult ended_cleanly(const Result& r);

}  // namespace suite
