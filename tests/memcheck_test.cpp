// Every program under valgrind's memcheck: no invalid access, no read of an
// uninitialised value, no leak. Slow, so it has its own label (ctest -L memcheck).
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "case_name.hpp"
#include "child.hpp"
#include "facts.hpp"
#include "suite_config.hpp"

namespace {

// One program, with the processors it is told it has (0: the machine's).
struct Case {
  std::string program;
  int cpus;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << c.program << (c.cpus > 0 ? " cpus=" + std::to_string(c.cpus) : "");
}

// Every program; three that write the processor count also told of more processors than
// the machine has, so that the library that tells them (processors.cpp) runs under
// memcheck too, and is seen to work there.
std::vector<Case> every_program() {
  std::vector<Case> v;
  const std::set<std::string> counting = {"greet_half_procs", "greet_double_procs", "env_report"};
  for (const std::string& name : suite::program_names()) {
    v.push_back({name, 0});
    if (counting.count(name) != 0) v.push_back({name, 4});
  }
  return v;
}

class Memcheck : public ::testing::TestWithParam<Case> {};

TEST_P(Memcheck, NoMemoryErrors) {
  suite::Launch l;
  l.path = suite::config::kValgrind;
  l.detector = true;
  // --trace-children: a program that starts itself again stays under valgrind.
  l.args = {"--error-exitcode=" + std::to_string(suite::kDetectorExit),
            "--trace-children=yes",
            "--leak-check=full",
            "--errors-for-leak-kinds=definite,possible",
            "--track-origins=yes",
            std::string("--suppressions=") + suite::config::kSourceDir + "/tests/memcheck.supp",
            suite::program(GetParam().program).path};
  l.cpus = GetParam().cpus;
  if (l.cpus == 0) l.env = {{"OMP_NUM_THREADS", "2"}};  // a small team keeps the run short
  suite::Result r = suite::run(l);
  // valgrind's report: its first part, where the first error is, is enough to tell.
  EXPECT_EQ(r.exit_code, 0) << r.err.substr(0, 16000);
  EXPECT_NE(r.err.find("ERROR SUMMARY: 0 errors"), std::string::npos) << r.err.substr(0, 16000);
  SUITE_EXPECT(!r.out.empty(), "the program wrote nothing");
  if (l.cpus > 0) {
    SUITE_EXPECT(
        suite::has_line(r.out,
                        std::regex(".*procesadores[a-z ]*: " + std::to_string(l.cpus) + " ")),
        "no line shows the processor count, " + std::to_string(l.cpus) + ", under valgrind");
  }
}

INSTANTIATE_TEST_SUITE_P(Suite, Memcheck, ::testing::ValuesIn(every_program()), suite::CaseName());

}  // namespace
