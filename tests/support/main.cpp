// The test harnesses' main: GoogleTest's, plus --suite_cases, which lists every test
// with the program it belongs to ("SUITE.TEST<TAB>PROGRAM", an empty program for a test
// of no one program) and runs nothing. ./tour --check runs a program's cases from it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "case_name.hpp"

namespace suite {
namespace {

std::map<std::string, std::set<std::string>>& owners() {
  static std::map<std::string, std::set<std::string>> by_name;
  return by_name;
}

int list_cases() {
  const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
  for (int s = 0; s < unit.total_test_suite_count(); ++s) {
    const ::testing::TestSuite& suite = *unit.GetTestSuite(s);
    for (int t = 0; t < suite.total_test_count(); ++t) {
      const ::testing::TestInfo& test = *suite.GetTestInfo(t);
      std::string name = test.name();
      std::string program;
      if (test.value_param() != nullptr) {
        auto found = owners().find(name.substr(name.rfind('/') + 1));
        if (found != owners().end() && found->second.size() > 1) {
          std::fprintf(stderr, "--suite_cases: the case name %s belongs to several programs\n",
                       found->first.c_str());
          return 1;
        }
        if (found != owners().end()) program = *found->second.begin();
      }
      std::printf("%s.%s\t%s\n", suite.name(), name.c_str(), program.c_str());
    }
  }
  return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}

}  // namespace

void own_case(const std::string& name, const std::string& program) {
  owners()[name].insert(program);
}

}  // namespace suite

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int k = 1; k < argc; ++k)
    if (std::strcmp(argv[k], "--suite_cases") == 0) return suite::list_cases();
  return RUN_ALL_TESTS();
}
