// Team greeting programs: one greeting per member of the team the runtime forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>

#include "case_name.hpp"
#include "child.hpp"
#include "facts.hpp"
#include "records.hpp"

namespace {

using suite::Env;

// What a program writes: a fixed greeting, a numbered greeting, a closing line.
struct Shape {
  std::string greeting;  // fixed text written once per thread, or empty
  std::string numbered;  // per-thread line with the thread number, or empty
  bool closing = false;  // processor-count line after the region
};

const std::map<std::string, Shape> kShapes = {
    {"hello_team", {"Hola mundo con OpenMP\n", "", false}},
    {"hello_team_ids", {"Hola mundo con OpenMP\n", "Soy el hilo numero: %d\n", false}},
    {"greet_ids", {"", "Hola, soy el hilo: %d\n", false}},
    {"greet_eight", {"", "Hola ,soy el hilo: %d\n", false}},
    {"greet_all_procs", {"", "Hola Mundo, desde el hilo: %d\n", false}},
    {"greet_half_procs", {"", "Hola Mundo, desde el hilo: %d\n", true}},
    {"greet_double_procs", {"", "Hola Mundo, desde el hilo: %d\n", true}},
};
const char* const kClosing = "Numero de procesadores disponibles: %d \n";

struct Case {
  std::string program;
  Env env;
  int cpus;  // processors given to the program (0: all of this process's)
  int team;  // the team the runtime should form
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << c.program << " cpus=" << c.cpus << suite::describe(c.env) << " team=" << c.team;
}

std::vector<Case> cases() {
  std::vector<Case> v;
  for (const char* p : {"hello_team", "hello_team_ids", "greet_ids"}) {
    for (int t : {1, 2, 3, 4, 8, 50, 256})
      v.push_back({p, {{"OMP_NUM_THREADS", std::to_string(t)}}, 0, t});
    for (int c : {1, 2}) v.push_back({p, {}, c, c});  // default team: one thread per processor
    v.push_back({p, {{"OMP_NUM_THREADS", "8"}, {"OMP_THREAD_LIMIT", "3"}}, 0, 3});
  }
  v.push_back({"greet_eight", {}, 0, 8});
  v.push_back({"greet_eight", {}, 1, 8});
  v.push_back({"greet_eight", {{"OMP_NUM_THREADS", "3"}}, 0, 8});  // the call overrides it
  for (int limit : {1, 3, 5})
    v.push_back({"greet_eight", {{"OMP_THREAD_LIMIT", std::to_string(limit)}}, 0, limit});
  // The team follows the processors, whatever OMP_NUM_THREADS says; 3 and 4 processors
  // tell n / 2 from (n + 1) / 2 and 2n from n + 2.
  for (int c : {1, 2, 3, 4}) {
    for (const Env& env : {Env{}, Env{{"OMP_NUM_THREADS", "7"}}}) {
      v.push_back({"greet_all_procs", env, c, c});
      v.push_back({"greet_half_procs", env, c, std::max(c / 2, 1)});  // a request of 0 gives 1
      v.push_back({"greet_double_procs", env, c, 2 * c});
    }
  }
  v.push_back({"greet_double_procs", {{"OMP_THREAD_LIMIT", "1"}}, 2, 1});
  return v;
}

// One run of a case's program, checked.
void greets(const Case& c) {
  const Shape& shape = kShapes.at(c.program);
  suite::Result r = suite::run(c.program, c.env, c.cpus);
  SUITE_ASSERT(suite::ended_cleanly(r));

  std::vector<std::string> formats;
  int greeting = -1, numbered = -1, closing = -1;
  auto add = [&formats](const std::string& f) {
    formats.push_back(f);
    return static_cast<int>(formats.size()) - 1;
  };
  if (!shape.greeting.empty()) greeting = add(shape.greeting);
  if (!shape.numbered.empty()) numbered = add(shape.numbered);
  if (shape.closing) closing = add(kClosing);
  suite::Parse p = suite::parse_records(r.out, formats);
  SUITE_ASSERT(p.ok(), p.error);

  if (greeting >= 0) {
    SUITE_EXPECT_EQ("greetings, one per thread", suite::count_of(p, greeting), size_t(c.team));
  }
  if (numbered >= 0) {
    std::vector<long long> ids = suite::ints_of(p, numbered);
    std::sort(ids.begin(), ids.end());
    std::vector<long long> expected(c.team);
    std::iota(expected.begin(), expected.end(), 0);
    SUITE_EXPECT_EQ("the thread numbers, sorted: each of 0..T-1 once", ids, expected);
  }
  if (greeting >= 0 && numbered >= 0) {
    // A thread writes its greeting before its number, so no prefix of the output
    // holds more number lines than greetings.
    long long balance = 0;
    for (const suite::Record& rec : p.records) {
      balance += rec.kind == greeting ? 1 : -1;
      if (!SUITE_EXPECT(balance >= 0, "a number line came before its thread's greeting")) break;
    }
  }
  if (closing >= 0) {
    SUITE_ASSERT_EQ("processor-count lines", suite::count_of(p, closing), 1u);
    SUITE_EXPECT(p.records.back().kind == closing, "the closing line must be last");
    int procs = c.cpus > 0 ? c.cpus : suite::available_cpus();
    SUITE_EXPECT_EQ("the processor count", p.records.back().ints.at(0), procs);
  }
}

class Greetings : public ::testing::TestWithParam<Case> {};

// Each case runs several times: a greeting written in pieces comes out split only when
// another thread writes between the pieces, which one run may not show.
TEST_P(Greetings, OneGreetingPerTeamMember) {
  const int runs = 4;
  for (int run = 0; run < runs && !HasFailure(); ++run) {
    SUITE_TRACE("run " + std::to_string(run));
    greets(GetParam());
  }
}

INSTANTIATE_TEST_SUITE_P(Teams, Greetings, ::testing::ValuesIn(cases()), suite::CaseName());

}  // namespace
