// Every program under hostile conditions: junk arguments, an output that cannot be
// written, and team-size variables the runtime must reject.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "case_name.hpp"
#include "child.hpp"
#include "facts.hpp"
#include "suite_config.hpp"

namespace {

using suite::Env;

// A program, with what the case adds to its environment. Printed as the program's name
// and then the variables: "fill_pairs OMP_NUM_THREADS=abc".
struct Case {
  std::string program;
  Env env;
  std::string llvm_fault;  // why LLVM's runtime cannot survive this case, or empty
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << c.program << suite::describe(c.env);
}

std::vector<Case> every_program() {
  std::vector<Case> v;
  for (const std::string& name : suite::program_names()) v.push_back({name, {}, ""});
  return v;
}

suite::Launch launch(const std::string& program, Env env) {
  suite::Launch l;
  l.path = suite::program(program).path;
  l.env = std::move(env);
  return l;
}

class EveryProgram : public ::testing::TestWithParam<Case> {
 protected:
  static suite::Launch launch(Env env = {}) { return ::launch(GetParam().program, std::move(env)); }
};

// Arguments are ignored: with a team of one the output is fixed, so it must not change
// by a byte whatever the command line holds.
TEST_P(EveryProgram, IgnoresItsArguments) {
  Env one = {{"OMP_THREAD_LIMIT", "1"}};
  suite::Result plain = suite::run(launch(one));
  SUITE_ASSERT(suite::ended_cleanly(plain));
  const std::vector<std::vector<std::string>> junk = {{"--help"},
                                                      {"-x", "-v", "--version"},
                                                      {std::string(10240, 'A')},
                                                      {"\xff\xfe\x80 \xc3\x28", ""}};
  for (const auto& args : junk) {
    suite::Launch l = launch(one);
    l.args = args;
    SUITE_TRACE("with arguments " + ::testing::PrintToString(args).substr(0, 80));
    suite::Result r = suite::run(l);
    SUITE_ASSERT(suite::ended_cleanly(r));
    SUITE_EXPECT_EQ("the output, against the output without arguments", r.out, plain.out);
  }
}

// A failed write is reported: non-zero status, one line on stderr naming the program,
// and no crash.
TEST_P(EveryProgram, ReportsAFailedWrite) {
  for (suite::Stdout mode : {suite::Stdout::DevFull, suite::Stdout::Closed}) {
    SUITE_TRACE(mode == suite::Stdout::DevFull ? "stdout on /dev/full" : "stdout closed");
    suite::Launch l = launch({{"OMP_NUM_THREADS", "2"}});
    l.out = mode;
    suite::Result r = suite::run(l);
    SUITE_ASSERT(suite::started(r));
    SUITE_EXPECT_EQ("the signal that ended it (0: none)", r.signal, 0);
    SUITE_EXPECT(r.exit_code != 0, "it ended with status 0 although its output was lost");
    const std::string line = GetParam().program + ": no se pudo escribir la salida\n";
    SUITE_EXPECT(r.err.find(line) != std::string::npos, "its stderr must hold the line " +
                                                            suite::shown(line) + "; it wrote " +
                                                            suite::shown(r.err.substr(0, 200)));
  }
}

INSTANTIATE_TEST_SUITE_P(Suite, EveryProgram, ::testing::ValuesIn(every_program()),
                         suite::CaseName());

// The output as a sorted list of lines without their leading blanks: what a team of a
// given size writes, whatever the order in which its threads got there (fill_pairs
// puts its blank at the start of the next line, so which line has none depends on
// order). shared_accumulator's per-thread values depend on timing, so they are masked.
std::vector<std::string> canonical(const std::string& program, const std::string& out) {
  static const std::regex timing_value(R"(^subtotal: -?\d+ )");
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    line.erase(0, line.find_first_not_of(' '));
    if (program == "shared_accumulator" && line.size() <= suite::kLongestMatchedLine)
      line = std::regex_replace(line, timing_value, "subtotal: # ");
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Values of OMP_NUM_THREADS that are not a team size, each with why LLVM's runtime
// cannot survive it, if it cannot. Programs that do not load a runtime run every value.
std::vector<Case> invalid_team_sizes() {
  const std::string misparsed =
      "LLVM's OpenMP runtime (measured: version 14) misparses this value: at random it "
      "fails an internal assertion and aborts, or allocates memory until none is left and "
      "stops with \"Out of heap memory\"; not run, so as not to exhaust the machine";
  const std::string empty =
      "LLVM's OpenMP runtime (measured: version 14) fails an internal assertion "
      "(kmp_settings.cpp: total > 0) and aborts on an empty value, every time";
  const std::pair<const char*, std::string> values[] = {
      {"0", ""}, {"-3", misparsed}, {"abc", misparsed}, {"", empty}};
  std::vector<Case> v;
  for (const std::string& name : suite::program_names())
    for (const auto& [value, fault] : values)
      v.push_back({name, {{"OMP_NUM_THREADS", value}}, fault});
  return v;
}

class InvalidTeamSize : public ::testing::TestWithParam<Case> {};

// An invalid OMP_NUM_THREADS is the runtime's to handle (it may warn on stderr): the
// program still succeeds and writes what some valid team size writes.
TEST_P(InvalidTeamSize, ProgramSurvives) {
  const Case& c = GetParam();
  if (suite::config::kLlvmRuntime && !c.llvm_fault.empty() &&
      suite::loads_openmp_runtime(c.program))
    SUITE_SKIP(c.llvm_fault);
  std::vector<std::vector<std::string>> valid;
  for (int t = 1; t <= suite::available_cpus(); ++t)
    valid.push_back(canonical(
        c.program, suite::run(launch(c.program, {{"OMP_NUM_THREADS", std::to_string(t)}})).out));
  suite::Result r = suite::run(launch(c.program, c.env));
  SUITE_ASSERT(suite::started(r));
  SUITE_EXPECT_EQ("the signal that ended it (0: none)", r.signal, 0);
  SUITE_EXPECT_EQ("its exit status", r.exit_code, 0);
  bool like_a_valid_team =
      std::find(valid.begin(), valid.end(), canonical(c.program, r.out)) != valid.end();
  SUITE_EXPECT(like_a_valid_team, "its output is what no valid team size gives");
}

INSTANTIATE_TEST_SUITE_P(Suite, InvalidTeamSize, ::testing::ValuesIn(invalid_team_sizes()),
                         suite::CaseName());

}  // namespace
