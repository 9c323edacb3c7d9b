// The runtime environment report: seven lines from thread 0, in order, whose values
// follow the team and the runtime's variables.
#include <gtest/gtest.h>

#include "case_name.hpp"
#include "child.hpp"
#include "facts.hpp"
#include "records.hpp"

namespace {

using suite::Env;

const std::vector<std::string> kLines = {"Hilo %d Obtiene informacion del entorno \n",
                                         "Numero de procesadores: %d \n",
                                         "Numero de hilos: %d\n",
                                         "Maximo de hilos: %d\n",
                                         "Esta en paralelo?: %d\n",
                                         "hilos dinamicos habilitados: %d\n",
                                         "Soporte de anidacion en paralelo?: %d\n"};

constexpr int kAny = -1;

struct Case {
  std::string program;
  Env env;
  int cpus;
  // Expected values of lines 3..7; kAny where the runtime decides. Line 2 is always
  // the processors the program may run on.
  int threads, max_threads, in_parallel, dynamic, nested;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << c.program << " cpus=" << c.cpus << suite::describe(c.env);
}

Env var(const char* key, const char* value) { return {{key, value}}; }

std::vector<Case> cases() {
  return {
      {"env_report", {}, 1, 1, 1, 0, 0, kAny},  // one processor: a team of one, not active
      {"env_report", {}, 2, 2, 2, 1, 0, kAny},
      {"env_report", var("OMP_NUM_THREADS", "1"), 2, 1, 1, 0, kAny, kAny},
      {"env_report", var("OMP_NUM_THREADS", "3"), 0, 3, 3, 1, kAny, kAny},
      {"env_report", var("OMP_NUM_THREADS", "64"), 1, 64, 64, 1, kAny, kAny},
      {"env_report", var("OMP_NUM_THREADS", "256"), 0, 256, 256, 1, kAny, kAny},
      {"env_report", var("OMP_DYNAMIC", "true"), 0, kAny, kAny, kAny, 1, kAny},
      {"env_report", var("OMP_DYNAMIC", "false"), 0, kAny, kAny, kAny, 0, kAny},
      {"env_report", var("OMP_NESTED", "true"), 0, kAny, kAny, kAny, kAny, 1},
      {"env_report", var("OMP_MAX_ACTIVE_LEVELS", "4"), 0, kAny, kAny, kAny, kAny, 1},
      {"env_report", var("OMP_MAX_ACTIVE_LEVELS", "1"), 0, kAny, kAny, kAny, kAny, 0},
      // Every line's value differs from the others' in one of these two rows, so two lines
      // that swapped values cannot pass.
      {"env_report",
       {{"OMP_NUM_THREADS", "8"}, {"OMP_THREAD_LIMIT", "2"}, {"OMP_MAX_ACTIVE_LEVELS", "1"}},
       1,
       2,
       8,
       1,
       0,
       0},
      {"env_report",
       {{"OMP_NUM_THREADS", "5"},
        {"OMP_DYNAMIC", "true"},
        {"OMP_THREAD_LIMIT", "1"},
        {"OMP_MAX_ACTIVE_LEVELS", "1"}},
       1,
       1,
       5,
       0,
       1,
       0},
      {"env_report_eight", {}, 0, 8, 8, 1, 0, kAny},
      {"env_report_eight", {}, 1, 8, 8, 1, 0, kAny},  // eight threads on one processor
      {"env_report_eight", {}, 2, 8, 8, 1, 0, kAny},
      {"env_report_eight", var("OMP_NUM_THREADS", "1"), 0, 8, 8, 1, kAny, kAny},
      {"env_report_eight", var("OMP_THREAD_LIMIT", "2"), 0, 2, kAny, 1, kAny, kAny},
      {"env_report_eight", var("OMP_THREAD_LIMIT", "1"), 0, 1, kAny, 0, kAny, kAny},
      {"env_report_eight", var("OMP_DYNAMIC", "true"), 0, kAny, 8, kAny, 1, kAny},
  };
}

class EnvReport : public ::testing::TestWithParam<Case> {};

TEST_P(EnvReport, SevenLinesFromThreadZero) {
  const Case& c = GetParam();
  suite::Result r = suite::run(c.program, c.env, c.cpus);
  SUITE_ASSERT(suite::ended_cleanly(r));
  suite::Parse p = suite::parse_records(r.out, kLines);
  SUITE_ASSERT(p.ok(), p.error);
  SUITE_ASSERT_EQ("report lines", p.records.size(), kLines.size());
  for (size_t k = 0; k < kLines.size(); ++k)
    SUITE_ASSERT(p.records[k].kind == int(k), "the report's lines out of order");

  int procs = c.cpus > 0 ? c.cpus : suite::available_cpus();
  const int expected[] = {0, procs, c.threads, c.max_threads, c.in_parallel, c.dynamic, c.nested};
  for (size_t k = 0; k < kLines.size(); ++k) {
    long long value = p.records[k].ints[0];
    std::string line =
        "line " + std::to_string(k + 1) + ", \"" + kLines[k].substr(0, kLines[k].find('%')) + "\"";
    if (expected[k] != kAny) SUITE_EXPECT_EQ(line, value, expected[k]);
    // The last three lines are yes-or-no answers.
    if (k >= 4) SUITE_EXPECT(value == 0 || value == 1, line + " must be 0 or 1");
  }
}

INSTANTIATE_TEST_SUITE_P(Runtime, EnvReport, ::testing::ValuesIn(cases()), suite::CaseName());

}  // namespace
