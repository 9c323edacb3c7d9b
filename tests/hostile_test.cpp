// Every program under hostile conditions: junk arguments, an output that cannot be
// written, and team-size variables the runtime must reject.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "child.hpp"
#include "suite_config.hpp"

namespace {

using suite::Env;

class EveryProgram : public ::testing::TestWithParam<std::string> {
 protected:
  static suite::Launch launch(Env env = {}) {
    suite::Launch l;
    l.path = suite::program(GetParam()).path;
    l.env = std::move(env);
    return l;
  }
};

// Arguments are ignored: with a team of one the output is fixed, so it must not change
// by a byte whatever the command line holds.
TEST_P(EveryProgram, IgnoresItsArguments) {
  Env one = {{"OMP_THREAD_LIMIT", "1"}};
  suite::Result plain = suite::run(launch(one));
  ASSERT_TRUE(suite::ended_cleanly(plain));
  const std::vector<std::vector<std::string>> junk = {{"--help"},
                                                      {"-x", "-v", "--version"},
                                                      {std::string(10240, 'A')},
                                                      {"\xff\xfe\x80 \xc3\x28", ""}};
  for (const auto& args : junk) {
    suite::Launch l = launch(one);
    l.args = args;
    suite::Result r = suite::run(l);
    ASSERT_TRUE(suite::ended_cleanly(r));
    EXPECT_EQ(r.out, plain.out) << "with arguments "
                                << ::testing::PrintToString(args).substr(0, 80);
  }
}

// A failed write is reported: non-zero status, one line on stderr naming the program,
// and no crash.
TEST_P(EveryProgram, ReportsAFailedWrite) {
  for (suite::Stdout mode : {suite::Stdout::DevFull, suite::Stdout::Closed}) {
    SCOPED_TRACE(mode == suite::Stdout::DevFull ? "stdout on /dev/full" : "stdout closed");
    suite::Launch l = launch({{"OMP_NUM_THREADS", "2"}});
    l.out = mode;
    suite::Result r = suite::run(l);
    EXPECT_EQ(r.signal, 0) << "killed by a signal";
    EXPECT_NE(r.exit_code, 0) << "a failed write reported as success";
    EXPECT_NE(r.err.find(GetParam() + ": no se pudo escribir la salida\n"), std::string::npos)
        << "stderr: " << r.err;
  }
}

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
    if (program == "shared_accumulator")
      line = std::regex_replace(line, timing_value, "subtotal: # ");
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// An invalid OMP_NUM_THREADS is the runtime's to handle (it may warn on stderr): the
// program still succeeds and writes what some valid team size writes.
TEST_P(EveryProgram, SurvivesAnInvalidTeamSize) {
  std::vector<std::vector<std::string>> valid;
  for (int t = 1; t <= suite::available_cpus(); ++t)
    valid.push_back(
        canonical(GetParam(), suite::run(launch({{"OMP_NUM_THREADS", std::to_string(t)}})).out));
  for (std::string value : {"0", "-3", "abc", ""}) {
    // LLVM's runtime (version 14) fails an internal assertion and aborts on an empty
    // value, before the program can do anything: a fault of that runtime, not ours.
    if (value.empty() && suite::config::kLlvmRuntime) continue;
    suite::Result r = suite::run(launch({{"OMP_NUM_THREADS", value}}));
    EXPECT_EQ(r.signal, 0) << "OMP_NUM_THREADS=\"" << value << "\"";
    EXPECT_EQ(r.exit_code, 0) << "OMP_NUM_THREADS=\"" << value << "\"";
    EXPECT_NE(std::find(valid.begin(), valid.end(), canonical(GetParam(), r.out)), valid.end())
        << "OMP_NUM_THREADS=\"" << value << "\" gave output no valid team size gives:\n"
        << r.out.substr(0, 400);
  }
}

INSTANTIATE_TEST_SUITE_P(Suite, EveryProgram, ::testing::ValuesIn(suite::program_names()),
                         [](const auto& info) { return info.param; });

}  // namespace
