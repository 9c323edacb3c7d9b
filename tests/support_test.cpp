// The output reader, the clean-end check and the processor counts every program test relies on.
#include <gtest/gtest.h>

#include <gtest/gtest-spi.h>

#include <csignal>
#include <functional>
#include <regex>

#include "child.hpp"
#include "facts.hpp"
#include "records.hpp"
#include "suite_config.hpp"

namespace {

struct ParseCase {
  const char* out;
  std::vector<std::string> formats;
  bool ok;
  std::vector<int> kinds;
};

std::ostream& operator<<(std::ostream& os, const ParseCase& c) { return os << '"' << c.out << '"'; }

class Records : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Records, ReadsExactlyWhatPrintfWrites) {
  const ParseCase& c = GetParam();
  suite::Parse p = suite::parse_records(c.out, c.formats);
  EXPECT_EQ(p.ok(), c.ok) << p.error;
  if (c.ok) {
    std::vector<int> kinds;
    for (const auto& r : p.records) kinds.push_back(r.kind);
    EXPECT_EQ(kinds, c.kinds);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Records,
    ::testing::Values(ParseCase{"a: 1\nb 2\na: -3\n", {"a: %d\n", "b %d\n"}, true, {0, 1, 0}},
                      ParseCase{"a: 1\na: 2", {"a: %d\n"}, false, {}},     // a record cut short
                      ParseCase{"a: 1\nxa: 2\n", {"a: %d\n"}, false, {}},  // stray text
                      ParseCase{"a: 01\n", {"a: %d\n"}, false, {}},  // not how printf writes 1
                      ParseCase{"a:  1\n", {"a: %d\n"}, false, {}},  // one blank too many
                      ParseCase{"\n s: 5 \n\n s: 6 \n", {"\n s: %d \n"}, true, {0, 0}},
                      ParseCase{"v[50.0] w[ 0.0]\n", {"v[%4.01f] w[%4.01f]\n"}, true, {0}},
                      ParseCase{"v[0.0]\n", {"v[%4.01f]\n"}, false, {}},    // field narrower than 4
                      ParseCase{"v[ 1.25]\n", {"v[%4.01f]\n"}, false, {}},  // two decimals
                      ParseCase{"T: 50000005000000 \n", {"T: %ld \n"}, true, {0}}));

TEST(Records, KeepsValuesInOrder) {
  suite::Parse p = suite::parse_records("x 3 y 4\nx 5 y 6\n", {"x %d y %d\n"});
  ASSERT_TRUE(p.ok()) << p.error;
  EXPECT_EQ(suite::ints_of(p, 0, 0), (std::vector<long long>{3, 5}));
  EXPECT_EQ(suite::ints_of(p, 0, 1), (std::vector<long long>{4, 6}));
}

// With LLVM's runtime its known notes, as whole lines, are not diagnostics; nothing
// else is ignored, in any build. GCC's runtime writes no notes: its stderr must be empty.
TEST(EndedCleanly, IgnoresOnlyTheRuntimesKnownNotes) {
  const std::string nested =
      "OMP: Info #276: omp_get_nested routine deprecated, please use omp_get_max_active_levels "
      "instead.\n";
  const std::string team =
      "OMP: Warning #96: Cannot form a team with 8 threads, using 3 instead.\n"
      "OMP: Hint Consider unsetting KMP_DEVICE_THREAD_LIMIT (KMP_ALL_THREADS), "
      "KMP_TEAMS_THREAD_LIMIT, and OMP_THREAD_LIMIT (if any are set).\n";
  const std::string race = "WARNING: ThreadSanitizer: data race (pid=42)\n";
  struct Row {
    std::string err;
    int exit_code, signal;
    bool clean_with_llvm;
  };
  for (const Row& row : std::vector<Row>{
           {"", 0, 0, true},
           {nested, 0, 0, true},
           {team + nested, 0, 0, true},
           {"", 1, 0, false},
           {nested, 0, 6, false},
           {race, 0, 0, false},
           {nested + race, 0, 0, false},  // a note before or after a report does not hide it
           {race + team, 0, 0, false},
           {nested.substr(0, nested.size() - 1), 0, 0, false},  // a note cut short
           {"x" + nested, 0, 0, false},                         // a note inside other text
           {"OMP: Error #13: Assertion failure at kmp_runtime.cpp(1739).\n", 0, 0, false}}) {
    suite::Result r;
    r.err = row.err;
    r.exit_code = row.exit_code;
    r.signal = row.signal;
    bool clean = suite::config::kLlvmRuntime
                     ? row.clean_with_llvm
                     : row.err.empty() && row.exit_code == 0 && row.signal == 0;
    EXPECT_EQ(bool(suite::ended_cleanly(r)), clean)
        << "stderr \"" << row.err << "\", exit " << row.exit_code << ", signal " << row.signal;
  }
}

// A stream past the cap keeps exactly the cap's bytes and the program is killed, on
// either stream; output up to the cap is kept whole and the run is not stopped.
TEST(Run, KillsAProgramWritingPastTheOutputCap) {
  const size_t cap = 100000;
  struct Row {
    std::string script, capped;
    size_t out, err;
  };
  for (const Row& row : std::vector<Row>{{"yes", "stdout", cap, 0},
                                         {"yes >&2", "stderr", 0, cap},
                                         {"head -c 100000 /dev/zero", "", cap, 0},
                                         {"head -c 100001 /dev/zero; sleep 30", "stdout", cap, 0},
                                         {"head -c 100000 /dev/zero >&2; echo x", "", 2, cap}}) {
    suite::Launch l;
    l.path = "/bin/sh";
    l.args = {"-c", row.script};
    l.output_cap = cap;
    l.timeout_s = 20;
    suite::Result r = suite::run(l);
    SCOPED_TRACE(row.script);
    EXPECT_EQ(r.capped, row.capped);
    EXPECT_EQ(r.out.size(), row.out);
    EXPECT_EQ(r.err.size(), row.err);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, row.capped.empty() ? 0 : SIGKILL);
    if (!row.capped.empty()) {
      EXPECT_NE(std::string(suite::ended_cleanly(r).message()).find("more on " + row.capped),
                std::string::npos);
    }
  }
}

}  // namespace

namespace {

// The value printed after `label` on a line of `out`, or -1 if no line has it.
long long value_after(const std::string& out, const std::string& label) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex("(^|\n)" + label + "(\\d+)"))) return -1;
  return std::stoll(m[2]);
}

// A case may ask for more processors than the tests run on: the runtime then counts the
// processors asked for (processors.cpp), and forms its default team from them.
TEST(Processors, TheRuntimeCountsWhatTheCaseAsks) {
  for (int cpus : {1, 2, 3, 4, 7}) {
    SCOPED_TRACE("cpus=" + std::to_string(cpus));
    suite::Result r = suite::run("env_report", {}, cpus);
    ASSERT_TRUE(suite::ended_cleanly(r));
    EXPECT_EQ(value_after(r.out, "Numero de procesadores: "), cpus);
    EXPECT_EQ(value_after(r.out, "Numero de hilos: "), cpus) << "the default team";
  }
}

// A program that loads no runtime writes the same whatever count it is given.
TEST(Processors, ProgramsWithoutARuntimeAreUnchanged) {
  for (const std::string& name : suite::program_names()) {
    if (suite::loads_openmp_runtime(name)) continue;
    SCOPED_TRACE(name);
    suite::Result told = suite::run(name, {}, 7);
    ASSERT_TRUE(suite::ended_cleanly(told));
    EXPECT_EQ(told.out, suite::run(name).out);
  }
}

}  // namespace

namespace {

// The value the current test recorded for `key`, or "(none)".
std::string property(const std::string& key) {
  const ::testing::TestResult& result =
      *::testing::UnitTest::GetInstance()->current_test_info()->result();
  for (int k = 0; k < result.test_property_count(); ++k)
    if (result.GetTestProperty(k).key() == key) return result.GetTestProperty(k).value();
  return "(none)";
}

// A failed check of a program's run, and the facts its test must record.
struct FactCase {
  std::string name;
  std::function<void()> check;
  std::string what, got, want, when;
};

std::ostream& operator<<(std::ostream& os, const FactCase& c) { return os << c.name; }

class Facts : public ::testing::TestWithParam<FactCase> {};

TEST_P(Facts, AFailedCheckRecordsWhatItCompared) {
  const FactCase& c = GetParam();
  EXPECT_NONFATAL_FAILURE(c.check(), c.what);
  EXPECT_EQ(property("compared_what"), c.what);
  EXPECT_EQ(property("compared_got"), c.got);
  EXPECT_EQ(property("compared_want"), c.want);
  EXPECT_EQ(property("compared_when"), c.when);
}

const std::string kLong(1000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Checks, Facts,
    ::testing::Values(
        FactCase{"equal", [] { SUITE_EXPECT_EQ("the total", 950LL, 1275); }, "the total", "950",
                 "1275", "(none)"},
        FactCase{"at_least", [] { SUITE_EXPECT_GE("thread 0", 300, 325); }, "thread 0", "300",
                 "at least 325", "(none)"},
        FactCase{"at_most", [] { SUITE_EXPECT_LE("thread 1", 5051, 5050); }, "thread 1", "5051",
                 "at most 5050", "(none)"},
        FactCase{"near", [] { SUITE_EXPECT_NEAR("a", 2.5, 1.0, 0.25); }, "a", "2.5",
                 "1 (within 0.25)", "(none)"},
        FactCase{"lists",
                 [] {
                   SUITE_EXPECT_EQ("thread numbers", (std::vector<long long>{0, 1, 1}),
                                   (std::vector<long long>{0, 1}));
                 },
                 "thread numbers", "{0, 1, 1}", "{0, 1}", "(none)"},
        // What a program wrote is recorded printable: no byte acts on a terminal.
        FactCase{"escaped",
                 [] { SUITE_EXPECT_EQ("the output", std::string("a\nb\x1b[2J\xff\t"), "a\n"); },
                 "the output", "\"a\\nb\\x1b[2J\\xff\\t\"", "\"a\\n\"", "(none)"},
        // ...and bounded, saying how much more there was.
        FactCase{"bounded", [] { SUITE_EXPECT_EQ("the output", kLong, "x"); }, "the output",
                 "\"" + std::string(suite::kFactLength - 1, 'x') + "... (802 more)", "\"x\"",
                 "(none)"},
        FactCase{"condition", [] { SUITE_EXPECT(false, "thread 2 wrote no subtotal"); },
                 "thread 2 wrote no subtotal", "(none)", "(none)", "(none)"},
        FactCase{"result",
                 [] {
                   suite::Result r;
                   r.exit_code = 1;
                   SUITE_EXPECT(suite::ended_cleanly(r));
                 },
                 "it ended with status 1, not 0", "(none)", "(none)", "(none)"},
        FactCase{"traced",
                 [] {
                   SUITE_TRACE("run 2");
                   SUITE_TRACE("stdout closed");
                   SUITE_EXPECT_EQ("its exit status", 0, 1);
                 },
                 "its exit status", "0", "1", "run 2, stdout closed"}),
    [](const ::testing::TestParamInfo<FactCase>& info) { return info.param.name; });

// A check that holds records nothing; of several that fail, the first is the test's fact.
TEST(Facts, OnlyTheFirstFailedCheckIsRecorded) {
  EXPECT_TRUE(SUITE_EXPECT_EQ("lines", 3, 3));
  EXPECT_TRUE(SUITE_EXPECT(true, "never"));
  EXPECT_EQ(property("compared_what"), "(none)");
  EXPECT_NONFATAL_FAILURE(SUITE_EXPECT_EQ("total lines", 2u, 1u), "total lines");
  EXPECT_NONFATAL_FAILURE(SUITE_EXPECT_EQ("the total", 325, 1275), "the total");
  EXPECT_EQ(property("compared_what"), "total lines");
  EXPECT_EQ(property("compared_got"), "2");
}

// A program that runs past its deadline is not started again by this harness: the run
// that hung stays its test's record, and a later one is told as not run, in the
// harness's words, not as what the program wrote.
TEST(Run, AHungProgramIsRecordedAndNotStartedAgain) {
  suite::Launch l;
  l.path = "/usr/bin/sleep";
  l.args = {"30"};
  l.timeout_s = 1;
  l.env = {{"OMP_NUM_THREADS", "3"}};
  suite::Result hung = suite::run(l);
  EXPECT_TRUE(hung.timed_out);
  EXPECT_FALSE(hung.not_started);
  l.env = {{"OMP_NUM_THREADS", "5"}};
  suite::Result again = suite::run(l);
  EXPECT_TRUE(again.not_started && again.timed_out);
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(property("hung"), "ran");
  EXPECT_EQ(property("environment"), " OMP_NUM_THREADS=3");
  EXPECT_EQ(std::string(suite::ended_cleanly(again).message()),
            "it was not run: an earlier run of it did not end in time");
  EXPECT_FALSE(suite::started(again));
}

}  // namespace
