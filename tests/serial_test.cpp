// The serial baselines: exact output, and no OpenMP runtime where none is used.
#include <gtest/gtest.h>

#include <cmath>

#include "case_name.hpp"
#include "child.hpp"
#include "facts.hpp"
#include "records.hpp"

namespace {

using suite::Env;

// A table of one program, so that its case is named after it as every other case is.
class VectorFormula : public ::testing::TestWithParam<std::string> {};

TEST_P(VectorFormula, ThousandLinesThatFollowTheFormula) {
  suite::Result r = suite::run(GetParam());
  SUITE_ASSERT(suite::ended_cleanly(r));
  suite::Parse p = suite::parse_records(r.out, {"i=%d: a[%4.01f] = b[%4.01f] + c[%4.01f]\n"});
  SUITE_ASSERT(p.ok(), p.error);
  SUITE_ASSERT_EQ("lines", p.records.size(), 1000u);
  for (size_t k = 0; k < p.records.size(); ++k) {
    const suite::Record& rec = p.records[k];
    const std::string line = "line " + std::to_string(k + 1);
    SUITE_ASSERT_EQ("i on " + line + " (the lines in order of i)", rec.ints[0], (long long)k);
    double a = rec.reals[0], b = rec.reals[1], c = rec.reals[2];
    SUITE_ASSERT(std::isfinite(a) && std::isfinite(b) && std::isfinite(c),
                 line + " shows a value that is no number");
    // Printed values carry one decimal: b's rounding is magnified ten times in a.
    if (!SUITE_EXPECT_NEAR("a on " + line, a, (double(k) + b) * 10.0 + c + 50.0,
                           10 * 0.05 + 0.05 + 0.05 + 1e-9))
      break;
  }
  SUITE_EXPECT_EQ("a second run's output, against the first's", suite::run(GetParam()).out, r.out);
}

INSTANTIATE_TEST_SUITE_P(Baselines, VectorFormula, ::testing::Values("vector_formula"),
                         suite::CaseName());

struct SumCase {
  std::string program;
  Env env;
};

std::ostream& operator<<(std::ostream& os, const SumCase& c) {
  return os << c.program << suite::describe(c.env);
}

class SerialSum : public ::testing::TestWithParam<SumCase> {};

TEST_P(SerialSum, SixtyFourBitTotal) {
  suite::Result r = suite::run(GetParam().program, GetParam().env);
  SUITE_ASSERT(suite::ended_cleanly(r));
  SUITE_EXPECT_EQ("the output", r.out, "\n Total: 50000005000000 \n");
}

INSTANTIATE_TEST_SUITE_P(
    Baselines, SerialSum,
    ::testing::Values(SumCase{"serial_sum", {}}, SumCase{"serial_sum_fifty", {}},
                      SumCase{"serial_sum_fifty", {{"OMP_NUM_THREADS", "4"}}},
                      SumCase{"serial_sum_fifty", {{"OMP_THREAD_LIMIT", "1"}}}),
    suite::CaseName());

struct LinkCase {
  std::string program;
  bool runtime;  // whether it must load an OpenMP runtime
};

std::ostream& operator<<(std::ostream& os, const LinkCase& c) {
  return os << c.program << (c.runtime ? " loads a runtime" : " loads no runtime");
}

class Linking : public ::testing::TestWithParam<LinkCase> {};

TEST_P(Linking, OpenMPRuntimeOnlyWhereUsed) {
  const LinkCase& c = GetParam();
  SUITE_EXPECT(suite::loads_openmp_runtime(c.program) == c.runtime,
               std::string(c.runtime ? "it loads no OpenMP runtime, and it must"
                                     : "it loads an OpenMP runtime, and it must not") +
                   " (it needs: " + ::testing::PrintToString(suite::needed_libraries(c.program)) +
                   ")");
}

INSTANTIATE_TEST_SUITE_P(Baselines, Linking,
                         ::testing::Values(LinkCase{"vector_formula", false},
                                           LinkCase{"serial_sum", false},
                                           LinkCase{"serial_sum_fifty", true},
                                           LinkCase{"greet_ids", true}),
                         suite::CaseName());

}  // namespace
