// Work-shared fills: the static schedule's block partition, checked against an
// independent statement of the rule; and the two-phase program built on it.
#include <gtest/gtest.h>

#include <algorithm>

#include "case_name.hpp"
#include "child.hpp"
#include "facts.hpp"
#include "records.hpp"
#include "suite_config.hpp"

namespace {

using suite::Env;

// The static block partition: thread t of T runs [start, end) of 0..n-1; the first
// n mod T threads get one iteration more.
struct Block {
  long long start, end;
};
Block block(long long n, long long team, long long t) {
  long long q = n / team, r = n % team;
  long long start = t < r ? t * (q + 1) : t * q + r;
  long long len = t < r ? q + 1 : q;
  return {start, start + len};
}

TEST(PartitionOracle, MatchesTheWorkedDivisions) {
  struct Row {
    int team;
    std::vector<std::pair<int, int>> inclusive;
  };
  for (const Row& row : std::vector<Row>{
           {3, {{0, 33}, {34, 66}, {67, 99}}},
           {4, {{0, 24}, {25, 49}, {50, 74}, {75, 99}}},
           {8, {{0, 12}, {13, 25}, {26, 38}, {39, 51}, {52, 63}, {64, 75}, {76, 87}, {88, 99}}}}) {
    for (int t = 0; t < row.team; ++t) {
      Block b = block(100, row.team, t);
      EXPECT_EQ(b.start, row.inclusive[t].first) << "T=" << row.team << " t=" << t;
      EXPECT_EQ(b.end - 1, row.inclusive[t].second) << "T=" << row.team << " t=" << t;
    }
  }
  for (int t = 0; t < 50; ++t) EXPECT_EQ(block(100, 50, t).start, 2 * t);
  EXPECT_EQ(block(100, 50, 49).end, 100);
  EXPECT_EQ(block(100, 101, 100).start, block(100, 101, 100).end);  // thread 100: nothing
  EXPECT_EQ(block(10000, 4, 2).start, 5000);
}

// A sequence of values written as runs: "1..34, 36, 40..41".
std::string runs(const std::vector<long long>& values) {
  std::string text;
  for (size_t k = 0; k < values.size();) {
    size_t end = k;
    while (end + 1 < values.size() && values[end + 1] == values[end] + 1) ++end;
    if (!text.empty()) text += ", ";
    text += std::to_string(values[k]);
    if (end > k) text += ".." + std::to_string(values[end]);
    k = end + 1;
  }
  return text.empty() ? "none" : text;
}

// Checks the fill lines of a run: values 1..n once each with both numbers equal, and
// every thread's block written in increasing order. With tags, each thread's lines
// must be exactly its own block.
void check_fill(const suite::Parse& p, int fill_kind, long long n, int team, bool tagged) {
  std::vector<long long> order;  // iteration index of each fill line, in output order
  std::vector<std::vector<long long>> shown_by(team);  // values each thread's lines show
  for (const suite::Record& rec : p.records) {
    if (rec.kind != fill_kind) continue;
    if (!SUITE_EXPECT_EQ("the second number of the line P[i] = " + std::to_string(rec.ints[0]),
                         rec.ints[1], rec.ints[0]))
      return;
    order.push_back(rec.ints[0] - 1);
    if (tagged) {
      long long t = rec.ints[2];
      SUITE_ASSERT(t >= 0 && t < team, "a line names thread " + std::to_string(t) +
                                           ", outside a team of " + std::to_string(team));
      shown_by[t].push_back(rec.ints[0]);
    }
  }
  std::vector<long long> values = order;  // the values the lines show, in increasing order
  std::sort(values.begin(), values.end());
  for (long long& v : values) ++v;
  SUITE_ASSERT_EQ("the values of P[i] on the lines, sorted", runs(values),
                  "1.." + std::to_string(n));

  // Each line's owner under the rule; then every thread's lines must be increasing
  // and, when tagged, exactly its own block.
  std::vector<int> owner(n);
  for (int t = 0; t < team; ++t) {
    Block b = block(n, team, t);
    for (long long i = b.start; i < b.end; ++i) owner[i] = t;
  }
  // The values of each thread's block (i + 1 for its iterations i), in output order.
  std::vector<std::vector<long long>> block_of(team);
  for (long long i : order) block_of[owner[i]].push_back(i + 1);
  for (int t = 0; t < team; ++t) {
    SUITE_EXPECT(std::is_sorted(block_of[t].begin(), block_of[t].end()),
                 "the lines of thread " + std::to_string(t) + "'s block out of order");
    if (tagged) {
      SUITE_EXPECT_EQ("the values on thread " + std::to_string(t) +
                          "'s lines, against its block under the static schedule (a team of " +
                          std::to_string(team) + ")",
                      runs(shown_by[t]), runs(block_of[t]));
    }
  }
}

struct FillCase {
  std::string program;
  Env env;
  int team;
};

std::ostream& operator<<(std::ostream& os, const FillCase& c) {
  return os << c.program << suite::describe(c.env) << " team=" << c.team;
}

Env threads(int t) { return {{"OMP_NUM_THREADS", std::to_string(t)}}; }

std::vector<FillCase> fill_cases() {
  std::vector<FillCase> v;
  for (int t : {1, 2, 3, 4, 7, 8, 50, 101, 256}) v.push_back({"fill_pairs_tagged", threads(t), t});
  for (int t : {1, 3, 8, 101, 256}) v.push_back({"fill_pairs", threads(t), t});
  v.push_back({"fill_pairs_fifty", {}, 50});
  v.push_back({"fill_pairs_fifty", threads(3), 50});  // the call wins over the variable
  for (int limit : {1, 7, 30})
    v.push_back({"fill_pairs_fifty", {{"OMP_THREAD_LIMIT", std::to_string(limit)}}, limit});
  return v;
}

class Fill : public ::testing::TestWithParam<FillCase> {};

TEST_P(Fill, StaticBlocks) {
  const FillCase& c = GetParam();
  bool tagged = c.program != "fill_pairs";
  suite::Result r = suite::run(c.program, c.env);
  SUITE_ASSERT(suite::ended_cleanly(r));
  // fill_pairs ends its format with a newline and a blank: the output begins with "P",
  // every later line with a blank, and it ends with "\n ".
  suite::Parse p = suite::parse_records(
      r.out, {tagged ? "P[i] = %d \t s[i] = %d (hilo: %d) \n" : "P[i] = %d \t s[i] = %d \n "});
  SUITE_ASSERT(p.ok(), p.error);
  SUITE_ASSERT_EQ("lines", p.records.size(), 100u);
  check_fill(p, 0, 100, c.team, tagged);
  if (c.team == 1) {
    for (size_t k = 0; k < p.records.size(); ++k)
      SUITE_ASSERT_EQ("P[i] on line " + std::to_string(k + 1) + " of a team of one",
                      p.records[k].ints[0], (long long)k + 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Teams, Fill, ::testing::ValuesIn(fill_cases()), suite::CaseName());

// fill_then_square: 10000 fill lines, then one product line per thread of the second team.
struct TwoPhaseCase {
  Env env;
  int team;
  std::string program = "fill_then_square";
};

std::ostream& operator<<(std::ostream& os, const TwoPhaseCase& c) {
  return os << "fill_then_square" << suite::describe(c.env) << " team=" << c.team;
}

class TwoPhase : public ::testing::TestWithParam<TwoPhaseCase> {};

TEST_P(TwoPhase, FillThenOneProductPerThread) {
  const TwoPhaseCase& c = GetParam();
  const long long n = 10000;
  if (c.team > 8000 && std::string(suite::config::kSanitize).find("thread") != std::string::npos)
    SUITE_SKIP("ThreadSanitizer tracks at most 8128 threads at once");
  suite::Result r = suite::run(c.program, c.env);
  SUITE_ASSERT(suite::ended_cleanly(r));
  suite::Parse p = suite::parse_records(r.out, {"P[i] = %d \t S[i] = %d \n", "Q[tid]= %d \n"});
  SUITE_ASSERT(p.ok(), p.error);
  SUITE_ASSERT_EQ("fill lines", suite::count_of(p, 0), size_t(n));
  for (size_t k = 0; k < size_t(n); ++k)
    SUITE_ASSERT(p.records[k].kind == 0, "a product line came before the fill ended");
  check_fill(p, 0, n, c.team, false);
  if (c.team == 1) {
    for (size_t k = 0; k < size_t(n); ++k)
      SUITE_ASSERT_EQ("P[i] on line " + std::to_string(k + 1) + " of a team of one",
                      p.records[k].ints[0], (long long)k + 1);
  }

  // Threads past the arrays' end write nothing; thread t < n shows (t + 1)^2 + 1.
  std::vector<long long> products = suite::ints_of(p, 1), expected;
  for (long long t = 0; t < std::min<long long>(c.team, n); ++t)
    expected.push_back((t + 1) * (t + 1) + 1);
  std::sort(products.begin(), products.end());
  SUITE_EXPECT_EQ("the products, sorted: (t + 1)^2 + 1 for each thread t", products, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Teams, TwoPhase,
    ::testing::Values(TwoPhaseCase{threads(1), 1}, TwoPhaseCase{threads(2), 2},
                      TwoPhaseCase{threads(4), 4}, TwoPhaseCase{threads(8), 8},
                      TwoPhaseCase{threads(256), 256},
                      // A team larger than the arrays: small stacks make 10010 threads cheap.
                      TwoPhaseCase{{{"OMP_NUM_THREADS", "10010"}, {"OMP_STACKSIZE", "16K"}},
                                   10010}),
    suite::CaseName());

}  // namespace
