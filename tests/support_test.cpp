// The output reader that every program test relies on.
#include <gtest/gtest.h>

#include "records.hpp"

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

}  // namespace
