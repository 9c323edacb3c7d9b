// Every program under valgrind's memcheck: no invalid access, no read of an
// uninitialised value, no leak. Slow, so it has its own label (ctest -L memcheck).
#include <gtest/gtest.h>

#include "case_name.hpp"
#include "child.hpp"
#include "suite_config.hpp"

namespace {

// One program.
struct Case {
  std::string program;
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.program; }

std::vector<Case> every_program() {
  std::vector<Case> v;
  for (const std::string& name : suite::program_names()) v.push_back({name});
  return v;
}

class Memcheck : public ::testing::TestWithParam<Case> {};

TEST_P(Memcheck, NoMemoryErrors) {
  suite::Launch l;
  l.path = suite::config::kValgrind;
  l.args = {"--error-exitcode=99",
            "--leak-check=full",
            "--errors-for-leak-kinds=definite,possible",
            "--track-origins=yes",
            std::string("--suppressions=") + suite::config::kSourceDir + "/tests/memcheck.supp",
            suite::program(GetParam().program).path};
  l.env = {{"OMP_NUM_THREADS", "2"}};  // a small team keeps the run short
  suite::Result r = suite::run(l);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("ERROR SUMMARY: 0 errors"), std::string::npos) << r.err;
  EXPECT_FALSE(r.out.empty()) << "the program wrote nothing";
}

INSTANTIATE_TEST_SUITE_P(Suite, Memcheck, ::testing::ValuesIn(every_program()), suite::CaseName());

}  // namespace
