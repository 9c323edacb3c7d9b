// The serial baselines: exact output, and no OpenMP runtime where none is used.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "case_name.hpp"
#include "child.hpp"
#include "records.hpp"
#include "suite_config.hpp"

namespace {

using suite::Env;

// A table of one program, so that its case is named after it as every other case is.
class VectorFormula : public ::testing::TestWithParam<std::string> {};

TEST_P(VectorFormula, ThousandLinesThatFollowTheFormula) {
  suite::Result r = suite::run(GetParam());
  ASSERT_TRUE(suite::ended_cleanly(r));
  suite::Parse p = suite::parse_records(r.out, {"i=%d: a[%4.01f] = b[%4.01f] + c[%4.01f]\n"});
  ASSERT_TRUE(p.ok()) << p.error;
  ASSERT_EQ(p.records.size(), 1000u) << "lines";
  for (size_t k = 0; k < p.records.size(); ++k) {
    const suite::Record& rec = p.records[k];
    ASSERT_EQ(rec.ints[0], long(k)) << "lines in order of i";
    double a = rec.reals[0], b = rec.reals[1], c = rec.reals[2];
    ASSERT_TRUE(std::isfinite(a) && std::isfinite(b) && std::isfinite(c)) << "line " << k;
    // Printed values carry one decimal: b's rounding is magnified ten times in a.
    EXPECT_NEAR(a, (double(k) + b) * 10.0 + c + 50.0, 10 * 0.05 + 0.05 + 0.05 + 1e-9)
        << "line " << k;
  }
  EXPECT_EQ(suite::run(GetParam()).out, r.out) << "a second run differs";
}

INSTANTIATE_TEST_SUITE_P(Baselines, VectorFormula, ::testing::Values("vector_formula"),
                         [](const auto& info) { return info.param; });

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
  ASSERT_TRUE(suite::ended_cleanly(r));
  EXPECT_EQ(r.out, "\n Total: 50000005000000 \n");
}

INSTANTIATE_TEST_SUITE_P(
    Baselines, SerialSum,
    ::testing::Values(SumCase{"serial_sum", {}}, SumCase{"serial_sum_fifty", {}},
                      SumCase{"serial_sum_fifty", {{"OMP_NUM_THREADS", "4"}}},
                      SumCase{"serial_sum_fifty", {{"OMP_THREAD_LIMIT", "1"}}}),
    suite::CaseName());

// The shared libraries a program needs, as its dynamic section lists them.
std::vector<std::string> needed(const std::string& program) {
  suite::Launch launch;
  launch.path = suite::config::kReadelf;
  launch.args = {"-d", "-W", suite::program(program).path};
  suite::Result r = suite::run(launch);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> libs;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    size_t open = line.find("(NEEDED)");
    size_t lib = line.find('[');
    if (open != std::string::npos && lib != std::string::npos)
      libs.push_back(line.substr(lib + 1, line.find(']') - lib - 1));
  }
  EXPECT_FALSE(libs.empty()) << "no NEEDED entries read from " << program;
  return libs;
}

bool is_openmp_runtime(const std::string& lib) {
  const std::vector<std::string> runtimes = {"libgomp", "libomp", "libiomp"};
  return std::any_of(runtimes.begin(), runtimes.end(),
                     [&lib](const std::string& name) { return lib.rfind(name, 0) == 0; });
}

class Linking : public ::testing::TestWithParam<std::pair<std::string, bool>> {};

TEST_P(Linking, OpenMPRuntimeOnlyWhereUsed) {
  const auto& [program, wants_runtime] = GetParam();
  std::vector<std::string> libs = needed(program);
  bool has = std::any_of(libs.begin(), libs.end(), is_openmp_runtime);
  EXPECT_EQ(has, wants_runtime) << program << " needs: " << ::testing::PrintToString(libs);
}

INSTANTIATE_TEST_SUITE_P(Baselines, Linking,
                         ::testing::Values(std::make_pair("vector_formula", false),
                                           std::make_pair("serial_sum", false),
                                           std::make_pair("serial_sum_fifty", true),
                                           std::make_pair("greet_ids", true)));

}  // namespace
