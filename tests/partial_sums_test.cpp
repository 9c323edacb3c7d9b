// Rank-partitioned sums: each thread's block follows from its number, and the team sum
// is merged atomically (or, in private_accumulator, never merged at all).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>

#include "case_name.hpp"
#include "child.hpp"
#include "facts.hpp"
#include "records.hpp"

namespace {

using suite::Env;

// Oracles: block r covers parte*r+1 .. parte*(r+1); the team covers 1 .. parte*T.
long long block_sum(int parte, int r) {
  long long first = 1LL * parte * r + 1, last = 1LL * parte * (r + 1);
  return (first + last) * parte / 2;
}
long long team_sum(int parte, int team) {
  long long n = 1LL * parte * team;
  return n * (n + 1) / 2;
}

TEST(PartialSumOracle, MatchesTheWorkedExamples) {
  EXPECT_EQ(block_sum(25, 0), 325);
  EXPECT_EQ(block_sum(25, 3), 2200);
  EXPECT_EQ(block_sum(2500, 1), 9376250);
  EXPECT_EQ(block_sum(2500, 3), 21876250);
  EXPECT_EQ(team_sum(25, 4), 5050);
  EXPECT_EQ(team_sum(2500, 4), 50005000);
}

const std::vector<std::string> kRankedFormats = {"rank vale:%d y parte vale: %d\n",
                                                 "Li vale: %d, Lf vale: %d\n", "\n subtotal: %d \n",
                                                 "\n total: %d\n"};
const std::vector<std::string> kTaggedFormats = {
    "\n subtotal: %d Hilo: %d \n", "\n valor de suma despues de paralelizacion: %d\n"};

using Checker = std::function<void(const suite::Parse&, int team)>;

// ranked_sum, ranked_sum_large: each thread's rank, bounds and subtotal, in that order.
Checker ranked(int parte) {
  return [parte](const suite::Parse& p, int team) {
    enum { kRank, kBounds, kSub, kTotal };
    std::vector<size_t> rank_at(team, SIZE_MAX), bounds_at(team, SIZE_MAX), sub_at(team, SIZE_MAX);
    for (size_t k = 0; k < p.records.size(); ++k) {
      const suite::Record& rec = p.records[k];
      if (rec.kind == kRank) {
        long long r = rec.ints[0];
        const std::string rank = "rank " + std::to_string(r);
        SUITE_ASSERT(r >= 0 && r < team, rank + " is outside a team of " + std::to_string(team));
        SUITE_EXPECT(rank_at[r] == SIZE_MAX, rank + " twice");
        SUITE_EXPECT_EQ("parte on " + rank + "'s line", rec.ints[1], parte);
        rank_at[r] = k;
      } else if (rec.kind == kBounds) {
        long long r = (rec.ints[0] - 1) / parte;
        SUITE_ASSERT(r >= 0 && r < team, "Li " + std::to_string(rec.ints[0]) +
                                             " starts no block of a team of " +
                                             std::to_string(team));
        const std::string block = "block " + std::to_string(r);
        SUITE_EXPECT_EQ("Li of " + block, rec.ints[0], 1LL * parte * r + 1);
        SUITE_EXPECT_EQ("Lf of " + block, rec.ints[1], 1LL * parte * (r + 1));
        SUITE_EXPECT(bounds_at[r] == SIZE_MAX, block + " twice");
        bounds_at[r] = k;
      } else if (rec.kind == kSub) {
        int r = team;
        for (int t = 0; t < team; ++t)
          if (block_sum(parte, t) == rec.ints[0]) r = t;
        SUITE_ASSERT(r < team, "subtotal " + std::to_string(rec.ints[0]) + " is no block's sum");
        SUITE_EXPECT(sub_at[r] == SIZE_MAX, "subtotal of block " + std::to_string(r) + " twice");
        sub_at[r] = k;
      }
    }
    for (int r = 0; r < team; ++r) {
      const std::string thread = "thread " + std::to_string(r);
      SUITE_ASSERT(sub_at[r] != SIZE_MAX, thread + " wrote no subtotal");
      SUITE_EXPECT(rank_at[r] < bounds_at[r],
                   thread + "'s rank line must come before its bounds line");
      SUITE_EXPECT(bounds_at[r] < sub_at[r],
                   thread + "'s bounds line must come before its subtotal");
    }
    SUITE_ASSERT_EQ("total lines", suite::count_of(p, kTotal), 1u);
    SUITE_EXPECT(p.records.back().kind == kTotal, "the total line must be last");
    SUITE_EXPECT_EQ("the total", p.records.back().ints[0], team_sum(parte, team));
  };
}

// The tagged programs: one subtotal line per thread number, then the final suma.
// `shown` is what thread t's line must show; `final_sum` the last line.
Checker tagged(const std::function<void(const suite::Record&, int team)>& shown,
               const std::function<long long(int team)>& final_sum) {
  return [=](const suite::Parse& p, int team) {
    std::vector<long long> tags = suite::ints_of(p, 0, 1);
    std::sort(tags.begin(), tags.end());
    std::vector<long long> expected(team);
    std::iota(expected.begin(), expected.end(), 0);
    SUITE_EXPECT_EQ("the thread numbers of the subtotal lines, sorted", tags, expected);
    for (const suite::Record& rec : p.records)
      if (rec.kind == 0) shown(rec, team);
    SUITE_ASSERT_EQ("final lines", suite::count_of(p, 1), 1u);
    SUITE_EXPECT(p.records.back().kind == 1, "the final line must be last");
    SUITE_EXPECT_EQ("the final line's suma", p.records.back().ints[0], final_sum(team));
  };
}

void shows_block_sum(const suite::Record& rec, int /*team*/) {
  SUITE_EXPECT_EQ("thread " + std::to_string(rec.ints[1]) + "'s subtotal", rec.ints[0],
                  block_sum(25, static_cast<int>(rec.ints[1])));
}

// shared_accumulator: each thread shows the shared sum as it finds it after its own last
// add, so at least its own block and at most the team's sum; the thread that makes the
// team's last add sees the whole sum.
Checker shared_sum() {
  Checker each = tagged(
      [](const suite::Record& rec, int team) {
        int t = static_cast<int>(rec.ints[1]);
        const std::string line = "the suma on thread " + std::to_string(t) + "'s line";
        SUITE_EXPECT_GE(line, rec.ints[0], block_sum(25, t));
        SUITE_EXPECT_LE(line, rec.ints[0], team_sum(25, team));
      },
      [](int team) { return team_sum(25, team); });
  return [each](const suite::Parse& p, int team) {
    each(p, team);
    std::vector<long long> seen = suite::ints_of(p, 0);
    SUITE_EXPECT(std::find(seen.begin(), seen.end(), team_sum(25, team)) != seen.end(),
                 "no thread saw the whole sum");
  };
}

struct Program {
  const std::vector<std::string>* formats;
  Checker check;
};

const std::map<std::string, Program>& checks() {
  static const std::map<std::string, Program> table = {
      {"ranked_sum", {&kRankedFormats, ranked(25)}},
      {"ranked_sum_large", {&kRankedFormats, ranked(2500)}},
      {"subtotal_atomic",
       {&kTaggedFormats, tagged(shows_block_sum, [](int t) { return team_sum(25, t); })}},
      {"private_accumulator", {&kTaggedFormats, tagged(shows_block_sum, [](int) { return 0LL; })}},
      {"shared_accumulator", {&kTaggedFormats, shared_sum()}},
  };
  return table;
}

struct Case {
  std::string program;
  Env env;
  int cpus;
  int team;
  int runs;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << c.program << " cpus=" << c.cpus << suite::describe(c.env) << " team=" << c.team
            << " runs=" << c.runs;
}

std::vector<Case> cases() {
  std::vector<Case> v;
  for (const auto& entry : checks()) {
    const std::string& name = entry.first;
    bool varies = name == "shared_accumulator" || name == "private_accumulator";
    v.push_back({name, {}, 0, 4, varies ? 25 : 3});
    v.push_back({name, {}, 1, 4, varies ? 10 : 1});            // four threads, one core
    v.push_back({name, {{"OMP_NUM_THREADS", "9"}}, 0, 4, 1});  // the call wins
    for (int limit : {1, 2, 3})
      v.push_back({name, {{"OMP_THREAD_LIMIT", std::to_string(limit)}}, 0, limit, varies ? 5 : 1});
  }
  return v;
}

class PartialSums : public ::testing::TestWithParam<Case> {};

TEST_P(PartialSums, BlocksFollowThreadNumbers) {
  const Case& c = GetParam();
  const Program& program = checks().at(c.program);
  for (int run = 0; run < c.runs; ++run) {
    SUITE_TRACE("run " + std::to_string(run));
    suite::Result r = suite::run(c.program, c.env, c.cpus);
    SUITE_ASSERT(suite::ended_cleanly(r));
    suite::Parse p = suite::parse_records(r.out, *program.formats);
    SUITE_ASSERT(p.ok(), p.error);
    program.check(p, c.team);
    if (HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Teams, PartialSums, ::testing::ValuesIn(cases()), suite::CaseName());

}  // namespace
