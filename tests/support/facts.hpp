// Checks of a program's run, kept as facts. A check that fails fails the test with what
// was checked in plain words, the value the program gave and the value the lesson gives;
// the first failed check of a test also records them as properties of its result
// (compared_what, compared_got, compared_want, and compared_when: the SUITE_TRACE scopes
// it failed in), where ./tour --check reads them instead of the framework's own text.
// Every recorded text is printable and bounded (printable()).
//
//   SUITE_EXPECT_EQ("the total", got, want);       a comparison; _ASSERT_ returns on failure
//   SUITE_EXPECT_GE("thread 2", got, bound);       "at least" a bound; _LE: "at most"
//   SUITE_EXPECT(ok, "thread 2 wrote no subtotal"); a condition, told by what is wrong
//   SUITE_ASSERT(suite::ended_cleanly(r));         a condition that says itself what is wrong
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

namespace suite {

// The most characters a recorded text keeps (after escaping).
inline constexpr size_t kFactLength = 200;

// `text` as a fact keeps it: each byte outside printable ASCII written as \xNN (a line
// break as \n, a tab as \t), cut at kFactLength characters, saying how many more there were.
std::string printable(const std::string& text);

// A value as a fact shows it: a number as printf writes it, a text quoted, a list of
// numbers in braces.
std::string shown(const std::string& text);
inline std::string shown(const char* text) { return shown(std::string(text)); }
std::string shown(const std::vector<long long>& values);
std::string shown(double value);
template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
std::string shown(T value) {
  return std::to_string(value);
}

// Fails the current test at file:line with a failed check, and records it as the test's
// facts unless an earlier check of the test did. `got` and `want` are shown values (empty
// for a condition).
void check_failed(const char* file, int line, const std::string& what, const std::string& got = "",
                  const std::string& want = "");

// Each check: true if it held; else the test has failed with its fact.
template <class Got, class Want>
bool check_eq(const char* file, int line, const std::string& what, const Got& got,
              const Want& want) {
  if (got == want) return true;
  check_failed(file, line, what, shown(got), shown(want));
  return false;
}

template <class Got, class Bound>
bool check_ge(const char* file, int line, const std::string& what, const Got& got,
              const Bound& bound) {
  if (got >= bound) return true;
  check_failed(file, line, what, shown(got), "at least " + shown(bound));
  return false;
}

template <class Got, class Bound>
bool check_le(const char* file, int line, const std::string& what, const Got& got,
              const Bound& bound) {
  if (got <= bound) return true;
  check_failed(file, line, what, shown(got), "at most " + shown(bound));
  return false;
}

bool check_near(const char* file, int line, const std::string& what, double got, double want,
                double tolerance);

// A condition: `what` says what is wrong when it does not hold.
bool check_that(const char* file, int line, bool ok, const std::string& what);
// A condition whose result says what is wrong (ended_cleanly).
bool check_that(const char* file, int line, const ::testing::AssertionResult& ok);

// A scope of a test (a run of several, a way of writing the output): failures inside it
// carry its text, in the framework's trace and in the facts' compared_when.
class Trace {
 public:
  Trace(const char* file, int line, const std::string& text);
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;
  Trace(Trace&&) = delete;
  Trace& operator=(Trace&&) = delete;

 private:
  ::testing::ScopedTrace trace_;
};

}  // namespace suite

#define SUITE_FACT_CONCAT_(a, b) a##b
#define SUITE_FACT_CONCAT(a, b) SUITE_FACT_CONCAT_(a, b)

#define SUITE_TRACE(text) \
  const ::suite::Trace SUITE_FACT_CONCAT(suite_trace_, __LINE__)(__FILE__, __LINE__, (text))

#define SUITE_EXPECT_EQ(what, got, want) ::suite::check_eq(__FILE__, __LINE__, (what), got, want)
#define SUITE_EXPECT_GE(what, got, bound) ::suite::check_ge(__FILE__, __LINE__, (what), got, bound)
#define SUITE_EXPECT_LE(what, got, bound) ::suite::check_le(__FILE__, __LINE__, (what), got, bound)
#define SUITE_EXPECT_NEAR(what, got, want, tolerance) \
  ::suite::check_near(__FILE__, __LINE__, (what), got, want, tolerance)
#define SUITE_EXPECT(...) ::suite::check_that(__FILE__, __LINE__, __VA_ARGS__)

// The same, leaving the function (which must return void) when the check fails.
#define SUITE_ASSERT_EQ(what, got, want)           \
  do {                                             \
    if (!SUITE_EXPECT_EQ(what, got, want)) return; \
  } while (false)
#define SUITE_ASSERT(...)                   \
  do {                                      \
    if (!SUITE_EXPECT(__VA_ARGS__)) return; \
  } while (false)
